// Integration tests of transactions that cannot run whole: a command refused
// when queued (unknown name, wrong argument count, refused by its queue check)
// is answered at once and makes EXEC discard everything; errors at run time take
// their slot while the rest runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/resp_client.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

const std::string kExecAbort = "-EXECABORT Transaction discarded because of previous errors.\r\n";

}  // namespace

TEST(Transactions, ACommandThatCannotBeQueuedDiscardsTheTransaction) {
    struct Case {
        std::vector<std::string> refused;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"nosuch", "x"}, "-ERR unknown command 'NOSUCH'\r\n"},
        {{"GET"}, "-ERR wrong number of arguments for 'get' command\r\n"},
        {{"SET", "k"}, "-ERR wrong number of arguments for 'set' command\r\n"},
        {{"ZMSCORE", "z"}, "-ERR wrong number of arguments for 'zmscore' command\r\n"},
        {{"CLIENT"}, "-ERR unknown subcommand ''. Try CLIENT HELP.\r\n"},
        {{"CLIENT", "FOO"}, "-ERR unknown subcommand 'FOO'. Try CLIENT HELP.\r\n"},
    };
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    for (const bool resp3 : {false, true}) {
        Conn c(server.port());
        if (resp3) {
            ASSERT_EQ(c.call({"HELLO", "3"}).substr(0, 1), "%");
        }
        for (const Case& k : cases) {
            ASSERT_EQ(c.call({"SET", "n", "1"}), "+OK\r\n");
            ASSERT_EQ(c.call({"MULTI"}), "+OK\r\n");
            EXPECT_EQ(c.call({"INCR", "n"}), "+QUEUED\r\n");
            c.send(cmd(k.refused));
            EXPECT_EQ(c.read_reply(), k.error) << k.refused[0];
            EXPECT_EQ(c.call({"INCR", "n"}), "+QUEUED\r\n") << "queueing goes on after the refusal";
            EXPECT_EQ(c.call({"EXEC"}), kExecAbort) << k.refused[0];
            EXPECT_EQ(c.call({"GET", "n"}), "$1\r\n1\r\n") << k.refused[0] << ": part of the transaction ran";
            EXPECT_EQ(c.call({"EXEC"}), "-ERR EXEC without MULTI\r\n");
        }
        // DISCARD and a new MULTI start clean.
        ASSERT_EQ(c.call({"MULTI"}), "+OK\r\n");
        EXPECT_EQ(c.call({"nosuch"}), "-ERR unknown command 'NOSUCH'\r\n");
        EXPECT_EQ(c.call({"DISCARD"}), "+OK\r\n");
        ASSERT_EQ(c.call({"MULTI"}), "+OK\r\n");
        EXPECT_EQ(c.call({"INCR", "n"}), "+QUEUED\r\n");
        EXPECT_EQ(c.call({"EXEC"}), "*1\r\n:2\r\n");
    }
}

TEST(Transactions, RunTimeErrorsTakeTheirSlotAndTheRestRuns) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    ASSERT_EQ(c.call({"SET", "s", "text"}), "+OK\r\n");
    ASSERT_EQ(c.call({"MULTI"}), "+OK\r\n");
    EXPECT_EQ(c.call({"INCR", "s"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"LPUSH", "s", "x"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"SET", "t", "1"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"EXEC"}),
              "*3\r\n-ERR value is not an integer or out of range\r\n"
              "-WRONGTYPE Operation against a key holding the wrong kind of value\r\n+OK\r\n");
    EXPECT_EQ(c.call({"GET", "t"}), "$1\r\n1\r\n");
}
