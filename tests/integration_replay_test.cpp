// Integration tests of the append-only log across real start/stop cycles: what a
// restart rebuilds, how damaged files are handled, and transactions.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/resp_client.h"
#include "vorel.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }

class Replay : public ::testing::Test {
protected:
    void TearDown() override {
        std::remove(path.c_str());
        std::remove((path + ".corrupt").c_str());
    }
    void write_file(const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::string read_file(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string path = "vorel_replay_" + std::to_string(platform::process_id()) + "_" +
                       std::to_string(platform::current_time_ms()) + ".aof";
};

}  // namespace

TEST_F(Replay, MissingFileIsCreatedAndWritesSurviveARestart) {
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"DBSIZE_UNKNOWN"}), "-ERR unknown command 'DBSIZE_UNKNOWN'\r\n");
        EXPECT_EQ(c.call({"SET", "k", "v"}), "+OK\r\n");
        EXPECT_EQ(c.call({"SET", "empty", ""}), "+OK\r\n");
        EXPECT_EQ(c.call({"SET", "t", "1", "EX", "100"}), "+OK\r\n");
        EXPECT_EQ(c.call({"SET", "short", "1", "PX", "200"}), "+OK\r\n");
        EXPECT_EQ(c.call({"INCR", "n"}), ":1\r\n");
        EXPECT_EQ(c.call({"INCRBY", "n", "41"}), ":42\r\n");
        EXPECT_EQ(c.call({"APPEND", "k", "w"}), ":2\r\n");
        EXPECT_EQ(c.call({"SETRANGE", "k", "4", "z"}), ":5\r\n");
        EXPECT_EQ(c.call({"SETBIT", "b", "9", "1"}), ":0\r\n");
        EXPECT_EQ(c.call({"RENAME", "b", "bits"}), "+OK\r\n");
        EXPECT_EQ(c.call({"COPY", "bits", "bits2"}), ":1\r\n");
        EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
        EXPECT_EQ(c.call({"INCR", "tx"}), "+QUEUED\r\n");
        EXPECT_EQ(c.call({"INCR", "tx"}), "+QUEUED\r\n");
        EXPECT_EQ(c.call({"EXEC"}), "*2\r\n:1\r\n:2\r\n");
        EXPECT_EQ(c.call({"SET", "gone", "x"}), "+OK\r\n");
        EXPECT_EQ(c.call({"DEL", "gone"}), ":1\r\n");
    }
    platform::sleep_ms(250);
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"GET", "k"}), bulk(std::string("vw\0\0z", 5)));
    EXPECT_EQ(c.call({"GET", "empty"}), "$0\r\n\r\n");
    EXPECT_EQ(c.call({"GET", "n"}), bulk("42"));
    EXPECT_EQ(c.call({"GET", "tx"}), bulk("2")) << "a transaction was applied twice";
    EXPECT_EQ(c.call({"GET", "bits"}), bulk(std::string("\0@", 2)));
    EXPECT_EQ(c.call({"GET", "bits2"}), bulk(std::string("\0@", 2)));
    EXPECT_EQ(c.call({"EXISTS", "b", "gone", "short"}), ":0\r\n") << "a dead or deleted key came back";
    long long left = std::atoll(c.call({"PTTL", "t"}).c_str() + 1);
    EXPECT_GT(left, 98000);
    EXPECT_LE(left, 100000 - 250) << "the deadline restarted at replay instead of staying absolute";
}

TEST_F(Replay, OldStyleRecordsAndSkippedCommands) {
    write_file(cmd({"SET", "rel", "v", "EX", "100"}) + cmd({"FOO", "bar"}) + cmd({"GET", "rel"}) +
               cmd({"incr", "c"}) + cmd({"INCR", "c"}) + cmd({"INCR", "c"}) + cmd({"SET", "old", "v"}) +
               cmd({"EXPIREAT", "old", "1"}) + cmd({"SET", "p", "v"}) + cmd({"PEXPIREAT", "p", "1"}) +
               cmd({"SUBSCRIBE", "ch"}) + cmd({"SET", "after", "1"}));
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"TTL", "rel"}), ":100\r\n");
    EXPECT_EQ(c.call({"GET", "c"}), bulk("3"));
    EXPECT_EQ(c.call({"EXISTS", "old", "p"}), ":0\r\n");
    EXPECT_EQ(c.call({"GET", "after"}), bulk("1"));
}

TEST_F(Replay, TruncatedTailIsCutSoNewWritesStayReachable) {
    std::string good = cmd({"SET", "a", "1"}) + cmd({"SET", "b", "2"});
    std::string partial = cmd({"SET", "c", "3"}).substr(0, 12);
    write_file(good + partial);
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok()) << vorel_last_error();
        Conn c(server.port());
        EXPECT_EQ(c.call({"MGET", "a", "b", "c"}), "*3\r\n" + bulk("1") + bulk("2") + "$-1\r\n");
        EXPECT_EQ(c.call({"SET", "d", "4"}), "+OK\r\n");
    }
    EXPECT_EQ(read_file(path), good + cmd({"SET", "d", "4"}));
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"GET", "d"}), bulk("4"));
}

TEST_F(Replay, GarbageInTheMiddleStopsReplayAndIsSetAside) {
    std::string good = cmd({"SET", "a", "1"}) + std::string("*2\r\n$3\r\nSET\n$1\r\nx\n");
    std::string bad = "!garbage!" + cmd({"SET", "late", "1"});
    write_file(good + bad);
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"GET", "a"}), bulk("1"));
        EXPECT_EQ(c.call({"EXISTS", "late"}), ":0\r\n");
        EXPECT_EQ(c.call({"SET", "new", "1"}), "+OK\r\n");
    }
    EXPECT_EQ(read_file(path + ".corrupt"), bad);
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"GET", "new"}), bulk("1"));
}

TEST_F(Replay, HugeCountsAndLengthsStopWithoutHarm) {
    for (const std::string& tail : {std::string("*100001\r\n"), std::string("*1\r\n$536870913\r\n"),
                                    std::string("*1\r\n$99999999999999999999\r\n"), std::string("*0\r\n"),
                                    std::string("*-1\r\n"), std::string("*1\r\r\n")}) {
        write_file(cmd({"SET", "a", "1"}) + tail + cmd({"SET", "z", "1"}));
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok()) << tail;
        Conn c(server.port());
        EXPECT_EQ(c.call({"EXISTS", "a", "z"}), ":1\r\n") << tail;
    }
}

TEST(Transactions, QueueExecDiscardAndErrors) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"EXEC"}), "-ERR EXEC without MULTI\r\n");
    EXPECT_EQ(c.call({"DISCARD"}), "-ERR DISCARD without MULTI\r\n");
    EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
    EXPECT_EQ(c.call({"EXEC"}), "*0\r\n");
    EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SET", "a", "1"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"MULTI"}), "-ERR MULTI calls can not be nested\r\n");
    EXPECT_EQ(c.call({"INCR", "a"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"PING"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"GET", "a"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"EXEC"}), "*4\r\n+OK\r\n:2\r\n+PONG\r\n$1\r\n2\r\n");
    EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SET", "b", "1"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"DISCARD"}), "+OK\r\n");
    EXPECT_EQ(c.call({"EXISTS", "b"}), ":0\r\n");
    EXPECT_EQ(c.call({"EXEC"}), "-ERR EXEC without MULTI\r\n");
}
