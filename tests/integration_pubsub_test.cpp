// Integration tests of publish/subscribe: confirmation and message frames byte
// for byte in both protocols, the subscribe-context gate, PUBSUB queries and a
// subscriber that stops reading.
#include <gtest/gtest.h>

#include <string>

#include "support/resp_client.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

std::string frame(char marker, const std::string& kind, const std::string& name, int count) {
    return std::string(1, marker) + "3\r\n$" + std::to_string(kind.size()) + "\r\n" + kind + "\r\n$" +
           std::to_string(name.size()) + "\r\n" + name + "\r\n:" + std::to_string(count) + "\r\n";
}

std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }

}  // namespace

TEST(PubSub, ConfirmationsAndGate) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    c.send(cmd({"SUBSCRIBE", "a", "b", "a"}));
    EXPECT_EQ(c.read_reply(), frame('*', "subscribe", "a", 1));
    EXPECT_EQ(c.read_reply(), frame('*', "subscribe", "b", 2));
    EXPECT_EQ(c.read_reply(), frame('*', "subscribe", "a", 2));
    EXPECT_EQ(c.call({"PSUBSCRIBE", "p*"}), frame('*', "psubscribe", "p*", 1));
    EXPECT_EQ(c.call({"GET", "k"}),
              "-ERR only (P)SUBSCRIBE / (P)UNSUBSCRIBE / PING / QUIT allowed in this context\r\n");
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    c.send(cmd({"UNSUBSCRIBE"}));
    EXPECT_EQ(c.read_reply(), frame('*', "unsubscribe", "a", 1));
    EXPECT_EQ(c.read_reply(), frame('*', "unsubscribe", "b", 0));
    EXPECT_EQ(c.call({"UNSUBSCRIBE"}), "*3\r\n$11\r\nunsubscribe\r\n$-1\r\n:0\r\n");
    EXPECT_EQ(c.call({"PUNSUBSCRIBE", "zz"}), frame('*', "punsubscribe", "zz", 1));
    EXPECT_EQ(c.call({"RESET"}), "+OK\r\n");
    EXPECT_EQ(c.call({"GET", "k"}), "$-1\r\n");
    EXPECT_EQ(c.call({"SUBSCRIBE"}), "-ERR wrong number of arguments for 'subscribe' command\r\n");
}

TEST(PubSub, DeliveryPicksOneFramePerReceiver) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn exact(server.port()), patterns(server.port()), resp3(server.port()), pub(server.port());
    exact.send(cmd({"SUBSCRIBE", "news"}));
    EXPECT_EQ(exact.read_reply(), frame('*', "subscribe", "news", 1));
    EXPECT_EQ(exact.call({"PSUBSCRIBE", "n*"}), frame('*', "psubscribe", "n*", 1));
    patterns.send(cmd({"PSUBSCRIBE", "n*", "ne*"}));
    EXPECT_EQ(patterns.read_reply(), frame('*', "psubscribe", "n*", 1));
    EXPECT_EQ(patterns.read_reply(), frame('*', "psubscribe", "ne*", 2));
    EXPECT_EQ(resp3.call({"HELLO", "3"}).substr(0, 4), "%4\r\n");
    EXPECT_EQ(resp3.call({"SUBSCRIBE", "news"}), frame('>', "subscribe", "news", 1));

    EXPECT_EQ(pub.call({"PUBLISH", "news", "x"}), ":3\r\n");
    EXPECT_EQ(exact.read_reply(), "*3\r\n$7\r\nmessage\r\n$4\r\nnews\r\n$1\r\nx\r\n");
    EXPECT_EQ(patterns.read_reply(), "*4\r\n$8\r\npmessage\r\n$2\r\nn*\r\n$4\r\nnews\r\n$1\r\nx\r\n");
    EXPECT_EQ(resp3.read_reply(), ">3\r\n$7\r\nmessage\r\n$4\r\nnews\r\n$1\r\nx\r\n");
    EXPECT_EQ(exact.read_available(100), "") << "a receiver got a second frame";
    EXPECT_EQ(patterns.read_available(50), "");

    std::string channel(200, 'c'), message(5000, 'm');
    EXPECT_EQ(pub.call({"PUBLISH", channel, message}), ":0\r\n");
    EXPECT_EQ(resp3.call({"SUBSCRIBE", channel}), frame('>', "subscribe", channel, 2));
    EXPECT_EQ(pub.call({"PUBLISH", channel, message}), ":1\r\n");
    EXPECT_EQ(resp3.read_reply(), ">3\r\n$7\r\nmessage\r\n" + bulk(channel) + bulk(message));

    EXPECT_EQ(pub.call({"PUBSUB", "NUMSUB", "news", "none"}), "*4\r\n$4\r\nnews\r\n:2\r\n$4\r\nnone\r\n:0\r\n");
    EXPECT_EQ(pub.call({"PUBSUB", "NUMSUB"}), "*0\r\n");
    EXPECT_EQ(pub.call({"PUBSUB", "NUMPAT"}), ":3\r\n");
    EXPECT_EQ(pub.call({"PUBSUB", "CHANNELS", "n*"}), "*1\r\n$4\r\nnews\r\n");
    EXPECT_EQ(pub.call({"PUBSUB", "foo"}), "-ERR syntax error\r\n");
}

TEST(PubSub, StalledSubscriberIsDroppedAndPublisherCarriesOn) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn slow(server.port()), pub(server.port());
    slow.send(cmd({"SUBSCRIBE", "ch"}));
    EXPECT_EQ(slow.read_reply(), frame('*', "subscribe", "ch", 1));
    std::string message(1 << 20, 'z');
    std::string reply;
    // 160 MiB to a subscriber that never reads: past four times its output limit
    // (32 MiB) it is closed at once, without waiting out the grace period.
    for (int i = 0; i < 160; ++i) {
        reply = pub.call({"PUBLISH", "ch", message});
        ASSERT_TRUE(reply == ":1\r\n" || reply == ":0\r\n") << reply;
    }
    EXPECT_EQ(reply, ":0\r\n") << "the stalled subscriber was never dropped";
    EXPECT_EQ(pub.call({"PING"}), "+PONG\r\n");
}
