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

namespace {

// HELLO's answer: seven fields, a map in RESP3 and a flat array of 14 in RESP2.
std::string hello_reply(int proto, const std::string& id) {
    return std::string(proto == 3 ? "%7\r\n" : "*14\r\n") +
           "$6\r\nserver\r\n$5\r\nvorel\r\n$7\r\nversion\r\n$5\r\n1.3.2\r\n$5\r\nproto\r\n:" +
           std::to_string(proto) + "\r\n$2\r\nid\r\n:" + id +
           "\r\n$4\r\nmode\r\n$10\r\nstandalone\r\n$4\r\nrole\r\n$6\r\nmaster\r\n$7\r\nmodules\r\n*0\r\n";
}

// The number of an integer reply.
std::string integer_text(const std::string& reply) { return reply.substr(1, reply.size() - 3); }

}  // namespace

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

// Plain requests are framed a batch at a time, other forms one at a time: a
// pipeline that moves between them, and from before to after authentication,
// must run every request once and in order.
TEST(Framing, PipelineMovesBetweenPlainAndOtherForms) {
    ServerGuard server("pw");
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    const std::string tail = cmd({"ECHO", "h"});
    c.send(cmd({"ECHO", "a"}) + cmd({"AUTH", "pw"}) + cmd({"ECHO", "b"}) + "*2\r\n$4\r\nECHO\r\n$+1\r\nc\r\n" +
           cmd({"ECHO", "d"}) + "ECHO e\r\n" + "*02\r\n$004\r\nECHO\r\n$1\r\nf\r\n" + cmd({"PING"}) +
           cmd({"ECHO", "g"}) + tail.substr(0, 9));
    EXPECT_EQ(c.read_reply(), "-NOAUTH Authentication required.\r\n");
    EXPECT_EQ(c.read_reply(), "+OK\r\n");
    for (const char* v : {"b", "c", "d", "e", "f"}) EXPECT_EQ(c.read_reply(), std::string("$1\r\n") + v + "\r\n");
    EXPECT_EQ(c.read_reply(), "+PONG\r\n");
    EXPECT_EQ(c.read_reply(), "$1\r\ng\r\n");
    EXPECT_EQ(c.read_available(100), "");
    c.send(tail.substr(9));
    EXPECT_EQ(c.read_reply(), "$1\r\nh\r\n");
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
    const std::string hello = c.call({"HELLO", "2", "AUTH", "default", "s3cret", "SETNAME", "worker"});
    EXPECT_EQ(hello, hello_reply(2, integer_text(c.call({"CLIENT", "ID"}))));
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
    const std::string id = integer_text(c.call({"CLIENT", "ID"}));
    EXPECT_EQ(c.call({"HELLO"}), hello_reply(3, id));
    EXPECT_EQ(c.call({"GET", "missing"}), "_\r\n");
    EXPECT_EQ(c.call({"MGET", "missing", "missing"}), "*2\r\n_\r\n_\r\n");
    EXPECT_EQ(c.call({"INCRBYFLOAT", "f", "2"}), "$1\r\n2\r\n");
    EXPECT_EQ(c.call({"INCRBYFLOAT", "f", "0.5"}), "$3\r\n2.5\r\n");
    EXPECT_EQ(c.call({"CONFIG", "GET", "maxmemory-policy"}), "%1\r\n$16\r\nmaxmemory-policy\r\n$11\r\nallkeys-lru\r\n");
    EXPECT_EQ(c.call({"SELECT", "0"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SELECT", "1"}), "-ERR DB index is out of range\r\n");
    EXPECT_EQ(c.call({"HELLO", "2"}), hello_reply(2, id));
    EXPECT_EQ(c.call({"CONFIG", "GET", "maxmemory-policy"}), "*2\r\n$16\r\nmaxmemory-policy\r\n$11\r\nallkeys-lru\r\n");
    EXPECT_EQ(c.call({"GET", "missing"}), "$-1\r\n");
    EXPECT_EQ(c.call({"QUIT"}), "+OK\r\n");
    EXPECT_TRUE(c.wait_closed());
}

// The connect sequence of current client libraries, pipelined as they send it:
// HELLO 3 with AUTH, CLIENT SETINFO twice, then the application's commands; and
// the RESP2 form (AUTH, then SETINFO). Every reply byte for byte.
TEST(Protocol, ConnectSequenceOfCurrentClients) {
    ServerGuard server("pw");
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    c.send(cmd({"HELLO", "3", "AUTH", "default", "pw"}) + cmd({"CLIENT", "SETINFO", "LIB-NAME", "app-lib"}) +
           cmd({"CLIENT", "SETINFO", "LIB-VER", "5.0.1"}) + cmd({"SET", "k", "v"}) + cmd({"GET", "k"}) +
           cmd({"CLIENT", "ID"}));
    const std::string hello = c.read_reply();
    EXPECT_EQ(c.read_reply(), "+OK\r\n");
    EXPECT_EQ(c.read_reply(), "+OK\r\n");
    EXPECT_EQ(c.read_reply(), "+OK\r\n");
    EXPECT_EQ(c.read_reply(), "$1\r\nv\r\n");
    EXPECT_EQ(hello, hello_reply(3, integer_text(c.read_reply())));
    const std::string info = c.call({"CLIENT", "INFO"});
    EXPECT_NE(info.find(" resp=3 lib-name=app-lib lib-ver=5.0.1\r\n"), std::string::npos) << info;

    Conn d(server.port());
    d.send(cmd({"AUTH", "pw"}) + cmd({"CLIENT", "SETINFO", "lib-name", "py"}) +
           cmd({"CLIENT", "SETINFO", "lib-ver", "6.1"}) + cmd({"PING"}));
    EXPECT_EQ(d.read_reply(), "+OK\r\n");
    EXPECT_EQ(d.read_reply(), "+OK\r\n");
    EXPECT_EQ(d.read_reply(), "+OK\r\n");
    EXPECT_EQ(d.read_reply(), "+PONG\r\n");
    const std::string list = d.call({"CLIENT", "LIST"});
    EXPECT_NE(list.find(" lib-name=app-lib lib-ver=5.0.1\n"), std::string::npos) << list;
    EXPECT_NE(list.find(" lib-name=py lib-ver=6.1\n"), std::string::npos) << list;

    // Spaces and line feeds are refused; so are other attributes and arities.
    EXPECT_EQ(d.call({"CLIENT", "SETINFO", "LIB-NAME", "a b"}),
              "-ERR lib-name cannot contain spaces, newlines or special characters.\r\n");
    EXPECT_EQ(d.call({"CLIENT", "SETINFO", "LIB-VER", "1\n2"}),
              "-ERR lib-ver cannot contain spaces, newlines or special characters.\r\n");
    EXPECT_EQ(d.call({"CLIENT", "SETINFO", "COLOR", "red"}), "-ERR Unrecognized option 'COLOR'\r\n");
    EXPECT_EQ(d.call({"CLIENT", "SETINFO", "LIB-NAME"}),
              "-ERR wrong number of arguments for 'client|setinfo' command\r\n");
    EXPECT_NE(d.call({"CLIENT", "INFO"}).find(" lib-name=py lib-ver=6.1\r\n"), std::string::npos);
}
