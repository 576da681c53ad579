// A restart test for the list moves and trims, the blocking forms, HSETNX,
// UNLINK, BITOP, ZRANGESTORE's forms, ZREMRANGEBYLEX, the sorted-set algebra
// stores and the multi-pops: each runs with the log on, the server restarts on
// the same file, and every key reads back the same.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/resp_client.h"

using namespace vtest;

namespace {

// Every key's type and contents, read back in a fixed order.
std::string snapshot(Conn& c, const std::vector<std::string>& keys) {
    std::string out;
    for (const std::string& key : keys) {
        const std::string type = c.call({"TYPE", key});
        out += key + " " + type;
        if (type == "+string\r\n") out += c.call({"GET", key});
        if (type == "+list\r\n") out += c.call({"LRANGE", key, "0", "-1"});
        if (type == "+hash\r\n") out += c.call({"HGETALL", key});
        if (type == "+set\r\n") out += c.call({"SMEMBERS", key});
        if (type == "+zset\r\n") out += c.call({"ZRANGE", key, "0", "-1", "WITHSCORES"});
    }
    return out;
}

}  // namespace

TEST(NewWritesRestart, ReplayRebuildsTheSameKeyspace) {
    const std::string path = "vorel_new_writes_" + std::to_string(platform::process_id()) + "_" +
                             std::to_string(platform::current_time_ms()) + ".aof";
    const std::vector<std::string> keys = {"l", "m", "dst", "q", "done", "bm", "h", "gone", "bits", "b1",
                                           "z", "zl", "zr", "zu", "zi", "zd", "zp", "bz", "w"};
    std::string before;
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        Conn waiter(server.port());
        const std::vector<std::vector<std::string>> writes = {
            {"RPUSH", "l", "a", "b", "c", "d", "e", "f"},
            {"LTRIM", "l", "1", "-2"},
            {"LMOVE", "l", "dst", "LEFT", "RIGHT"},
            {"RPOPLPUSH", "l", "dst"},
            {"BLMOVE", "l", "dst", "RIGHT", "LEFT", "0"},
            {"BRPOPLPUSH", "dst", "m", "0"},
            {"RPUSH", "bm", "1", "2", "3"},
            {"BLMPOP", "0", "2", "none", "bm", "LEFT", "COUNT", "2"},
            {"HSETNX", "h", "f", "1"},
            {"HSETNX", "h", "f", "2"},
            {"SET", "gone", "x"},
            {"SET", "b1", "ab"},
            {"UNLINK", "gone"},
            {"BITOP", "NOT", "bits", "b1"},
            {"ZADD", "z", "0", "a", "0", "b", "0", "c", "0", "d", "1", "e"},
            {"ZRANGESTORE", "zr", "z", "0", "1", "REV"},
            {"ZADD", "zl", "0", "a", "0", "b", "0", "c"},
            {"ZREMRANGEBYLEX", "zl", "[b", "+"},
            {"ZUNIONSTORE", "zu", "2", "z", "zr", "WEIGHTS", "2", "3"},
            {"ZINTERSTORE", "zi", "2", "z", "zr", "AGGREGATE", "MAX"},
            {"ZDIFFSTORE", "zd", "2", "z", "zr"},
            {"ZADD", "zp", "1", "x", "2", "y", "3", "w"},
            {"ZMPOP", "1", "zp", "MAX", "COUNT", "2"},
            {"BZPOPMIN", "zp", "0"},
            {"ZADD", "bz", "5", "p", "6", "r"},
            {"BZMPOP", "0", "1", "bz", "MIN"},
        };
        for (const auto& w : writes) {
            c.send(cmd(w));
            const std::string reply = c.read_reply();
            EXPECT_FALSE(reply.empty() || reply[0] == '-') << w[0] << ": " << reply;
        }
        // Hand-overs to parked clients are logged after the write that served them.
        ASSERT_TRUE(send_and_park(waiter, c, {"BLMOVE", "q", "done", "LEFT", "LEFT", "0"}));
        EXPECT_EQ(c.call({"RPUSH", "q", "j1", "j2"}), integer(2));
        EXPECT_EQ(waiter.read_reply(), bulk("j1"));
        ASSERT_TRUE(send_and_park(waiter, c, {"BZPOPMAX", "w", "0"}));
        EXPECT_EQ(c.call({"ZADD", "w", "1", "m1", "2", "m2"}), integer(2));
        EXPECT_EQ(waiter.read_reply(), arr({"w", "m2", "2"}));
        before = snapshot(c, keys);
    }
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(snapshot(c, keys), before);
        EXPECT_NE(before.find("l +list"), std::string::npos) << before;
    }
    // After the stop: Windows removes no file a running server holds.
    std::remove(path.c_str());
}
