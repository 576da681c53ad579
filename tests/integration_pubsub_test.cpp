// Integration tests of publish/subscribe: confirmation and message frames byte
// for byte in both protocols, counts as totals, delivery to every matching
// subscription, the RESP2 gate and RESP3's freedom, PUBSUB queries, a very large
// subscription and a subscriber that stops reading.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/platform.h"
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

// Every confirmation counts the client's channels and patterns together.
TEST(PubSub, ConfirmationsCountTotalsAndTheResp2Gate) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    c.send(cmd({"SUBSCRIBE", "a", "b", "a"}));
    EXPECT_EQ(c.read_reply(), frame('*', "subscribe", "a", 1));
    EXPECT_EQ(c.read_reply(), frame('*', "subscribe", "b", 2));
    EXPECT_EQ(c.read_reply(), frame('*', "subscribe", "a", 2));
    EXPECT_EQ(c.call({"PSUBSCRIBE", "p*"}), frame('*', "psubscribe", "p*", 3));
    EXPECT_EQ(c.call({"UNSUBSCRIBE", "a"}), frame('*', "unsubscribe", "a", 2));
    EXPECT_EQ(c.call({"SUBSCRIBE", "a"}), frame('*', "subscribe", "a", 3));
    EXPECT_EQ(c.call({"GET", "k"}),
              "-ERR only (P)SUBSCRIBE / (P)UNSUBSCRIBE / PING / QUIT allowed in this context\r\n");
    // PING while subscribed in RESP2: the array ["pong", argument].
    EXPECT_EQ(c.call({"PING"}), "*2\r\n$4\r\npong\r\n$0\r\n\r\n");
    EXPECT_EQ(c.call({"PING", "hi"}), "*2\r\n$4\r\npong\r\n$2\r\nhi\r\n");
    // Without names: every channel in the order subscribed, then one frame with a
    // null name when nothing of that kind is left; the count is still the total.
    c.send(cmd({"UNSUBSCRIBE"}));
    EXPECT_EQ(c.read_reply(), frame('*', "unsubscribe", "b", 2));
    EXPECT_EQ(c.read_reply(), frame('*', "unsubscribe", "a", 1));
    EXPECT_EQ(c.call({"UNSUBSCRIBE"}), "*3\r\n$11\r\nunsubscribe\r\n$-1\r\n:1\r\n");
    EXPECT_EQ(c.call({"PUNSUBSCRIBE", "zz"}), frame('*', "punsubscribe", "zz", 1));
    EXPECT_EQ(c.call({"PUNSUBSCRIBE"}), frame('*', "punsubscribe", "p*", 0));
    EXPECT_EQ(c.call({"PUNSUBSCRIBE"}), "*3\r\n$12\r\npunsubscribe\r\n$-1\r\n:0\r\n");
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n") << "no longer subscribed";
    EXPECT_EQ(c.call({"PSUBSCRIBE", "x*"}), frame('*', "psubscribe", "x*", 1));
    EXPECT_EQ(c.call({"RESET"}), "+OK\r\n");
    EXPECT_EQ(c.call({"GET", "k"}), "$-1\r\n");
    EXPECT_EQ(c.call({"SUBSCRIBE"}), "-ERR wrong number of arguments for 'subscribe' command\r\n");
}

// A RESP3 connection may run any command while subscribed; pushes and replies
// interleave and are told apart by their type.
TEST(PubSub, Resp3SubscriberRunsAnyCommand) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port()), pub(server.port());
    ASSERT_EQ(c.call({"HELLO", "3"}).substr(0, 4), "%7\r\n");
    EXPECT_EQ(c.call({"SUBSCRIBE", "ch"}), frame('>', "subscribe", "ch", 1));
    EXPECT_EQ(c.call({"SET", "k", "v"}), "+OK\r\n");
    EXPECT_EQ(c.call({"GET", "k"}), bulk("v"));
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    EXPECT_EQ(pub.call({"PUBLISH", "ch", "hello"}), ":1\r\n");
    EXPECT_EQ(c.call({"INCR", "n"}), ">3\r\n$7\r\nmessage\r\n$2\r\nch\r\n$5\r\nhello\r\n")
        << "the push that arrived first is read first";
    EXPECT_EQ(c.read_reply(), ":1\r\n");
    EXPECT_EQ(c.call({"PUBLISH", "ch", "self"}), ">3\r\n$7\r\nmessage\r\n$2\r\nch\r\n$4\r\nself\r\n");
    EXPECT_EQ(c.read_reply(), ":1\r\n") << "a subscriber may publish to its own channel";
    EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
    EXPECT_EQ(c.call({"GET", "k"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"EXEC"}), "*1\r\n" + bulk("v"));
    EXPECT_EQ(c.call({"UNSUBSCRIBE"}), frame('>', "unsubscribe", "ch", 0));
}

// One "message" frame for the exact subscription and one "pmessage" frame for
// each matching pattern of each client; PUBLISH counts every frame.
TEST(PubSub, EveryMatchingSubscriptionReceivesTheMessage) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn all(server.port()), patterns(server.port()), resp3(server.port()), pub(server.port());
    all.send(cmd({"SUBSCRIBE", "news"}));
    EXPECT_EQ(all.read_reply(), frame('*', "subscribe", "news", 1));
    all.send(cmd({"PSUBSCRIBE", "n*", "ne*", "x*"}));
    EXPECT_EQ(all.read_reply(), frame('*', "psubscribe", "n*", 2));
    EXPECT_EQ(all.read_reply(), frame('*', "psubscribe", "ne*", 3));
    EXPECT_EQ(all.read_reply(), frame('*', "psubscribe", "x*", 4));
    EXPECT_EQ(patterns.call({"PSUBSCRIBE", "n*"}), frame('*', "psubscribe", "n*", 1));
    EXPECT_EQ(resp3.call({"HELLO", "3"}).substr(0, 4), "%7\r\n");
    EXPECT_EQ(resp3.call({"SUBSCRIBE", "news"}), frame('>', "subscribe", "news", 1));

    EXPECT_EQ(pub.call({"PUBLISH", "news", "x"}), ":5\r\n");
    EXPECT_EQ(all.read_reply(), "*3\r\n$7\r\nmessage\r\n$4\r\nnews\r\n$1\r\nx\r\n");
    EXPECT_EQ(all.read_reply(), "*4\r\n$8\r\npmessage\r\n$2\r\nn*\r\n$4\r\nnews\r\n$1\r\nx\r\n");
    EXPECT_EQ(all.read_reply(), "*4\r\n$8\r\npmessage\r\n$3\r\nne*\r\n$4\r\nnews\r\n$1\r\nx\r\n");
    EXPECT_EQ(patterns.read_reply(), "*4\r\n$8\r\npmessage\r\n$2\r\nn*\r\n$4\r\nnews\r\n$1\r\nx\r\n");
    EXPECT_EQ(resp3.read_reply(), ">3\r\n$7\r\nmessage\r\n$4\r\nnews\r\n$1\r\nx\r\n");
    EXPECT_EQ(all.read_available(100), "") << "a frame too many";
    EXPECT_EQ(patterns.read_available(50), "");

    std::string channel(200, 'c'), message(5000, 'm');
    EXPECT_EQ(pub.call({"PUBLISH", channel, message}), ":0\r\n");
    EXPECT_EQ(resp3.call({"SUBSCRIBE", channel}), frame('>', "subscribe", channel, 2));
    EXPECT_EQ(pub.call({"PUBLISH", channel, message}), ":1\r\n");
    EXPECT_EQ(resp3.read_reply(), ">3\r\n$7\r\nmessage\r\n" + bulk(channel) + bulk(message));

    EXPECT_EQ(pub.call({"PUBSUB", "NUMSUB", "news", "none"}), "*4\r\n$4\r\nnews\r\n:2\r\n$4\r\nnone\r\n:0\r\n");
    EXPECT_EQ(pub.call({"PUBSUB", "NUMSUB"}), "*0\r\n");
    EXPECT_EQ(pub.call({"PUBSUB", "NUMPAT"}), ":4\r\n");
    EXPECT_EQ(pub.call({"PUBSUB", "CHANNELS", "n*"}), "*1\r\n$4\r\nnews\r\n");
    EXPECT_EQ(pub.call({"PUBSUB", "foo"}), "-ERR syntax error\r\n");

    // A client that goes away leaves the index: nothing is delivered to it.
    all.send(cmd({"QUIT"}));
    EXPECT_TRUE(all.wait_closed());
    for (int i = 0; i < 100 && pub.call({"PUBSUB", "NUMPAT"}) != ":1\r\n"; ++i) platform::sleep_ms(20);
    EXPECT_EQ(pub.call({"PUBSUB", "NUMPAT"}), ":1\r\n");
    EXPECT_EQ(pub.call({"PUBLISH", "news", "y"}), ":2\r\n");
}

// Subscribing to 50,000 channels in one request costs linear time: another
// client is served within a generous bound meanwhile, and PUBLISH to one of them
// reaches just its subscriber.
TEST(PubSub, FiftyThousandChannelsInOneRequest) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn big(server.port()), other(server.port()), pub(server.port());
    std::vector<std::string> args{"SUBSCRIBE"};
    for (int i = 0; i < 50000; ++i) args.push_back("channel:" + std::to_string(i));
    EXPECT_EQ(other.call({"PING"}), "+PONG\r\n");
    big.send(cmd(args));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(other.call({"PING"}), "+PONG\r\n");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::milliseconds(1000)) << "a PING waited behind the subscribe";
    std::string last;
    for (int i = 0; i < 50000; ++i) {
        last = big.read_reply();
        ASSERT_FALSE(last.empty()) << "confirmation " << i;
    }
    EXPECT_EQ(last, frame('*', "subscribe", "channel:49999", 50000));
    EXPECT_EQ(pub.call({"PUBLISH", "channel:31337", "m"}), ":1\r\n");
    EXPECT_EQ(big.read_reply(), "*3\r\n$7\r\nmessage\r\n" + bulk("channel:31337") + bulk("m"));
    big.send(cmd({"UNSUBSCRIBE"}));
    for (int i = 0; i < 50000; ++i) {
        last = big.read_reply();
        ASSERT_FALSE(last.empty()) << "unsubscribe confirmation " << i;
    }
    EXPECT_EQ(last, frame('*', "unsubscribe", "channel:49999", 0));
    EXPECT_EQ(pub.call({"PUBSUB", "NUMSUB", "channel:1"}), "*2\r\n" + bulk("channel:1") + ":0\r\n");
}

TEST(PubSub, StalledSubscriberIsDroppedAndPublisherCarriesOn) {
    VOREL_SKIP_HEAVY_UNDER_WINE();
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
