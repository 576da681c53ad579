// Integration tests of the connection loop and the dispatcher frame over real
// loopback sockets: framing, pipelining, protocol errors, authentication gate,
// client limits and slow readers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/resp_client.h"
#include "vorel.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

TEST(Framing, MultibulkAndInlinePing) {
    ServerGuard server;
    ASSERT_TRUE(server.ok()) << vorel_last_error();
    Conn c(server.port());
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    EXPECT_EQ(c.call({"ping", "hello world"}), "$11\r\nhello world\r\n");
    EXPECT_EQ(c.call({"ECHO", ""}), "$0\r\n\r\n");
    EXPECT_EQ(c.call({"ECHO"}), "-ERR wrong number of arguments for 'echo' command\r\n");
    EXPECT_EQ(c.call({"foo", "bar"}), "-ERR unknown command 'FOO'\r\n");

    c.send("PING\r\n");
    EXPECT_EQ(c.read_reply(), "+PONG\r\n");
    c.send("   PING\r\n");
    EXPECT_EQ(c.read_reply(), "+PONG\r\n");
    // An empty line and a line of spaces produce nothing; the ECHO after them does.
    c.send("\r\n   \r\necho  two   spaces\r\n");
    EXPECT_EQ(c.read_reply(), "$3\r\ntwo\r\n");
    // LF-only lines run in order.
    c.send("ECHO a\nECHO b\n");
    EXPECT_EQ(c.read_reply(), "$1\r\na\r\n");
    EXPECT_EQ(c.read_reply(), "$1\r\nb\r\n");
}

TEST(Framing, SplitPipelinedAndBinaryArguments) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    std::string req = cmd({"ECHO", "split across segments"});
    for (size_t i = 0; i + 1 < req.size(); ++i) {
        c.send(req.substr(i, 1));
        if (i % 7 == 0) {
            EXPECT_EQ(c.read_available(5), "") << "answered a partial request at byte " << i;
        }
    }
    c.send(req.substr(req.size() - 1));
    EXPECT_EQ(c.read_reply(), "$21\r\nsplit across segments\r\n");

    c.send(cmd({"ECHO", "one"}) + cmd({"PING"}) + cmd({"ECHO", "three"}));
    EXPECT_EQ(c.read_reply(), "$3\r\none\r\n");
    EXPECT_EQ(c.read_reply(), "+PONG\r\n");
    EXPECT_EQ(c.read_reply(), "$5\r\nthree\r\n");

    std::string binary("a\r\nb\0c", 6);
    c.send(cmd({"ECHO", binary}));
    EXPECT_EQ(c.read_reply(), "$6\r\n" + binary + "\r\n");
}

TEST(Framing, ManyArgumentsAndLargePipeline) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    std::vector<std::string> args{"ECHO", "first"};
    for (int i = 0; i < 5000; ++i) args.push_back("x" + std::to_string(i));
    c.send(vtest::cmd(args));
    EXPECT_EQ(c.read_reply(), "$5\r\nfirst\r\n");

    std::string pipeline;
    for (int i = 0; i < 3000; ++i) pipeline += cmd({"ECHO", std::to_string(i)});
    c.send(pipeline);
    for (int i = 0; i < 3000; ++i) {
        std::string v = std::to_string(i);
        ASSERT_EQ(c.read_reply(), "$" + std::to_string(v.size()) + "\r\n" + v + "\r\n");
    }
}

TEST(Framing, ZeroCountDropsBufferAndProtocolErrorCloses) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    {
        Conn c(server.port());
        c.send("*0\r\n" + cmd({"PING"}));
        EXPECT_EQ(c.read_available(200), "");
        EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    }
    {
        Conn c(server.port());
        c.send("*1\r\n:4\r\nPING\r\n");
        EXPECT_TRUE(c.wait_closed());
    }
    {
        Conn c(server.port());
        c.send("*1\r\n$-3\r\n");
        EXPECT_TRUE(c.wait_closed());
    }
}

TEST(Auth, GateRefusesUntilAuthenticated) {
    ServerGuard server("s3cret");
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"PING"}), "-NOAUTH Authentication required.\r\n");
    EXPECT_EQ(c.call({"ECHO", "x"}), "-NOAUTH Authentication required.\r\n");
    EXPECT_EQ(c.call({"nosuch"}), "-NOAUTH Authentication required.\r\n");
}

TEST(Auth, EmptyPasswordMeansNone) {
    ServerGuard server("");
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
}

TEST(Clients, AllOfTheTableAreServedAndTheNextIsClosed) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    std::vector<std::unique_ptr<Conn>> conns;
    for (int i = 0; i < 128; ++i) {
        conns.push_back(std::make_unique<Conn>(server.port()));
        ASSERT_TRUE(conns.back()->connected());
        // One round trip each, so the server has accepted this one before the next.
        ASSERT_EQ(conns.back()->call({"PING"}), "+PONG\r\n") << "client " << i;
    }
    Conn extra(server.port());
    EXPECT_TRUE(extra.wait_closed());
    for (auto& c : conns) c->send(cmd({"PING"}));
    for (size_t i = 0; i < conns.size(); ++i) EXPECT_EQ(conns[i]->read_reply(), "+PONG\r\n") << "client " << i;
    conns.pop_back();
    // A freed slot is reused.
    for (int attempt = 0; attempt < 50; ++attempt) {
        Conn again(server.port());
        if (again.call({"PING"}) == "+PONG\r\n") return;
        platform::sleep_ms(20);
    }
    FAIL() << "a freed slot was never reused";
}

TEST(Clients, NonReadingClientDoesNotStallOthers) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn hog(server.port());
    std::string big(1 << 20, 'v');
    std::string req = cmd({"ECHO", big});
    // About 64 MiB of replies the hog never reads.
    for (int i = 0; i < 64; ++i) hog.send(req);
    Conn other(server.port());
    for (int i = 0; i < 20; ++i) ASSERT_EQ(other.call({"PING"}), "+PONG\r\n");
}

TEST(Auth, AuthAndHelloFlows) {
    ServerGuard server("s3cret");
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"HELLO", "3"}),
              "-NOAUTH HELLO must be called with the client already authenticated, otherwise the HELLO <proto> "
              "AUTH <user> <pass> option can be used to authenticate the client and select the RESP protocol "
              "version at the same time\r\n");
    EXPECT_EQ(c.call({"AUTH", "wrong"}), "-WRONGPASS invalid username-password pair or user is disabled.\r\n");
    EXPECT_EQ(c.call({"AUTH", "other", "s3cret"}),
              "-WRONGPASS invalid username-password pair or user is disabled.\r\n");
    EXPECT_EQ(c.call({"AUTH"}), "-ERR wrong number of arguments for 'auth' command\r\n");
    EXPECT_EQ(c.call({"PING"}), "-NOAUTH Authentication required.\r\n");
    EXPECT_EQ(c.call({"HELLO", "2", "AUTH", "default", "s3cret", "SETNAME", "worker"}),
              "*7\r\n:2\r\n$6\r\nserver\r\n$5\r\nvorel\r\n$7\r\nversion\r\n$5\r\n1.3.2\r\n$4\r\nmode\r\n$10\r\n"
              "standalone\r\n");
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");

    Conn d(server.port());
    EXPECT_EQ(d.call({"AUTH", "s3cret"}), "+OK\r\n");
    EXPECT_EQ(d.call({"ECHO", "in"}), "$2\r\nin\r\n");
}

TEST(Protocol, HelloSwitchesRepliesToResp3) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"AUTH", "x"}), "-ERR Client sent AUTH, but no password is set\r\n");
    EXPECT_EQ(c.call({"GET", "missing"}), "$-1\r\n");
    EXPECT_EQ(c.call({"HELLO", "4"}), "-ERR Only RESP2 and RESP3 are supported\r\n");
    EXPECT_EQ(c.call({"HELLO", "3", "SETNAME", "a b"}),
              "-ERR Client names cannot contain spaces, newlines or special characters.\r\n");
    EXPECT_EQ(c.call({"HELLO", "3", "BOGUS"}), "-ERR syntax error\r\n");
    EXPECT_EQ(c.call({"HELLO"}),
              "%4\r\n$6\r\nserver\r\n$5\r\nvorel\r\n$7\r\nversion\r\n$5\r\n1.3.2\r\n$4\r\nmode\r\n$10\r\n"
              "standalone\r\n$5\r\nproto\r\n:3\r\n");
    EXPECT_EQ(c.call({"GET", "missing"}), "_\r\n");
    EXPECT_EQ(c.call({"MGET", "missing", "missing"}), "*2\r\n_\r\n_\r\n");
    EXPECT_EQ(c.call({"INCRBYFLOAT", "f", "2"}), ":2\r\n");
    EXPECT_EQ(c.call({"INCRBYFLOAT", "f", "0.5"}), ",2.5\r\n");
    EXPECT_EQ(c.call({"SELECT", "0"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SELECT", "1"}), "-ERR DB index is out of range\r\n");
    EXPECT_EQ(c.call({"HELLO", "2"}).substr(0, 4), "*7\r\n");
    EXPECT_EQ(c.call({"GET", "missing"}), "$-1\r\n");
    EXPECT_EQ(c.call({"QUIT"}), "+OK\r\n");
    EXPECT_TRUE(c.wait_closed());
}
