// Integration tests of the key-level commands and of the append-only log writer:
// expiry commands, listing, scanning, renaming, copying, and the exact records
// that writes leave in the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/resp_client.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A log path unique to this process, removed when the test ends.
struct TempLog {
    std::string path = "vorel_test_" + std::to_string(platform::process_id()) + "_" +
                       std::to_string(platform::current_time_ms()) + ".aof";
    ~TempLog() { std::remove(path.c_str()); }
};

}  // namespace

TEST(Keys, ExpiryCommands) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"SET", "k", "v"}), "+OK\r\n");
    EXPECT_EQ(c.call({"EXPIRE", "k", "1"}), ":1\r\n");
    EXPECT_EQ(c.call({"TTL", "k"}), ":1\r\n");
    long long left = std::atoll(c.call({"PTTL", "k"}).c_str() + 1);
    EXPECT_GE(left, 1);
    EXPECT_LE(left, 1000);
    EXPECT_EQ(c.call({"PERSIST", "k"}), ":1\r\n");
    EXPECT_EQ(c.call({"PERSIST", "k"}), ":0\r\n");
    EXPECT_EQ(c.call({"TTL", "k"}), ":-1\r\n");
    EXPECT_EQ(c.call({"TTL", "nokey"}), ":-2\r\n");
    EXPECT_EQ(c.call({"EXPIRE", "k", "0"}), "-ERR invalid expire time in 'expire' command\r\n");
    EXPECT_EQ(c.call({"PEXPIRE", "k", "x"}), "-ERR invalid expire time in 'pexpire' command\r\n");
    EXPECT_EQ(c.call({"EXPIRE", "nokey", "10"}), ":0\r\n");
    // An absolute time in the past deletes the key.
    EXPECT_EQ(c.call({"EXPIREAT", "k", "1"}), ":1\r\n");
    EXPECT_EQ(c.call({"EXISTS", "k"}), ":0\r\n");
    EXPECT_EQ(c.call({"SET", "k", "v"}), "+OK\r\n");
    EXPECT_EQ(c.call({"PEXPIREAT", "k", "-5"}), ":1\r\n");
    EXPECT_EQ(c.call({"EXISTS", "k"}), ":0\r\n");
    EXPECT_EQ(c.call({"SET", "k", "v"}), "+OK\r\n");
    std::string future = std::to_string(platform::current_time_ms() + 100000);
    EXPECT_EQ(c.call({"PEXPIREAT", "k", future}), ":1\r\n");
    left = std::atoll(c.call({"PTTL", "k"}).c_str() + 1);
    EXPECT_GT(left, 99000);
    EXPECT_EQ(c.call({"PEXPIRE", "k", "150"}), ":1\r\n");
    platform::sleep_ms(260);
    // Gone without being read: the periodic purge removed it.
    EXPECT_EQ(c.call({"KEYS", "*"}), "*0\r\n");
}

TEST(Keys, TypeExistsDelKeysAndScan) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"MSET", "hello", "1", "hallo", "2", "hllo", "3", "h[ae]llo", "4", "A1", "5", "ba", "6"}),
              "+OK\r\n");
    EXPECT_EQ(c.call({"TYPE", "hello"}), "+string\r\n");
    EXPECT_EQ(c.call({"TYPE", "nokey"}), "+none\r\n");
    EXPECT_EQ(c.call({"EXISTS", "hello", "hello", "nokey"}), ":2\r\n");

    auto key_set = [](const std::string& reply) {
        std::multiset<std::string> keys;
        size_t pos = reply.find("\r\n") + 2;
        while (pos < reply.size()) {
            size_t eol = reply.find("\r\n", pos);
            size_t len = std::stoul(reply.substr(pos + 1, eol - pos - 1));
            keys.insert(reply.substr(eol + 2, len));
            pos = eol + 2 + len + 2;
        }
        return keys;
    };
    EXPECT_EQ(key_set(c.call({"KEYS", "h?llo"})), (std::multiset<std::string>{"hello", "hallo"}));
    EXPECT_EQ(key_set(c.call({"KEYS", "h[ae]llo"})), (std::multiset<std::string>{"h[ae]llo"}));
    EXPECT_EQ(key_set(c.call({"KEYS", "a*"})), (std::multiset<std::string>{}));
    EXPECT_EQ(key_set(c.call({"KEYS"})).size(), 6u);

    // Paging: on an unchanged table every key comes exactly once over the pages.
    std::multiset<std::string> seen;
    std::string cursor = "0";
    int pages = 0;
    do {
        std::string reply = c.call({"SCAN", cursor, "COUNT", "2"});
        ASSERT_EQ(reply.substr(0, 4), "*2\r\n");
        size_t eol = reply.find("\r\n", 4);
        size_t len = std::stoul(reply.substr(5, eol - 5));
        cursor = reply.substr(eol + 2, len);
        std::multiset<std::string> page = key_set(reply.substr(eol + 2 + len + 2));
        seen.insert(page.begin(), page.end());
        ++pages;
    } while (cursor != "0" && pages < 5000);
    EXPECT_EQ(cursor, "0");
    EXPECT_EQ(seen, key_set(c.call({"KEYS", "*"})));
    EXPECT_EQ(c.call({"SCAN", "x"}), "-ERR invalid cursor\r\n");
    EXPECT_EQ(c.call({"SCAN", "0", "COUNT"}), "-ERR syntax error\r\n");

    EXPECT_EQ(c.call({"DEL", "hello", "hallo", "nokey"}), ":2\r\n");
    EXPECT_EQ(c.call({"DEL", "nokey"}), ":0\r\n");
}

TEST(Keys, RenameCopyAndRandomKey) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"RANDOMKEY"}), "$-1\r\n");
    EXPECT_EQ(c.call({"SET", "a", "1", "EX", "100"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SET", "b", "2"}), "+OK\r\n");
    EXPECT_EQ(c.call({"RENAME", "a", "c"}), "+OK\r\n");
    EXPECT_EQ(c.call({"TTL", "c"}), ":100\r\n");
    EXPECT_EQ(c.call({"RENAME", "a", "c"}), "-ERR no such key\r\n");
    EXPECT_EQ(c.call({"RENAMENX", "c", "b"}), ":0\r\n");
    EXPECT_EQ(c.call({"GET", "b"}), bulk("2"));
    EXPECT_EQ(c.call({"RENAME", "c", "b"}), "+OK\r\n");
    EXPECT_EQ(c.call({"GET", "b"}), bulk("1"));
    EXPECT_EQ(c.call({"RENAME", "b", "b"}), "+OK\r\n");
    EXPECT_EQ(c.call({"GET", "b"}), bulk("1"));

    EXPECT_EQ(c.call({"COPY", "b", "d"}), ":1\r\n");
    EXPECT_EQ(c.call({"COPY", "b", "d"}), ":0\r\n");
    EXPECT_EQ(c.call({"COPY", "b", "d", "REPLACE", "DB", "0"}), ":1\r\n");
    EXPECT_EQ(c.call({"TTL", "d"}), ":100\r\n");
    EXPECT_EQ(c.call({"COPY", "zz", "d"}), ":0\r\n") << "a missing source copies nothing";
    EXPECT_EQ(c.call({"COPY", "b", "d", "DB", "1"}), "-ERR DB index is out of range\r\n");
    EXPECT_EQ(c.call({"COPY", "b", "d", "DB"}), "-ERR syntax error\r\n");
    std::string k = c.call({"RANDOMKEY"});
    EXPECT_TRUE(k == bulk("b") || k == bulk("d")) << k;
}

TEST(Log, RecordsAreExactAndOnlyForChanges) {
    TempLog log;
    {
        ServerGuard server(nullptr, 0, log.path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"SET", "k", "v"}), "+OK\r\n");
        // Flushed before the reply went out.
        EXPECT_EQ(read_file(log.path), "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$1\r\nv\r\n");
        std::string binary("a\r\n\0b", 5);
        EXPECT_EQ(c.call({"set", "bin", binary}), "+OK\r\n");
        EXPECT_EQ(c.call({"GET", "k"}), bulk("v"));
        EXPECT_EQ(c.call({"INCR", "k"}), "-ERR value is not an integer or out of range\r\n");
        EXPECT_EQ(c.call({"SET", "k", "v", "NX"}), "$-1\r\n");
        EXPECT_EQ(c.call({"DEL", "nokey"}), ":0\r\n");
        EXPECT_EQ(c.call({"incr", "n"}), ":1\r\n");
        EXPECT_EQ(read_file(log.path), cmd({"SET", "k", "v"}) + cmd({"set", "bin", binary}) + cmd({"incr", "n"}));
    }
    EXPECT_EQ(read_file(log.path).size(), (cmd({"SET", "k", "v"}) + cmd({"SET", "bin", std::string(5, 'x')}) +
                                           cmd({"incr", "n"})).size());
}

TEST(Log, RelativeExpiriesAreLoggedAsAbsoluteDeadlines) {
    TempLog log;
    ServerGuard server(nullptr, 0, log.path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    int64_t before = platform::current_time_ms();
    EXPECT_EQ(c.call({"SET", "k", "v", "EX", "100", "GET"}), "$-1\r\n");
    EXPECT_EQ(c.call({"EXPIRE", "k", "50"}), ":1\r\n");
    EXPECT_EQ(c.call({"EXPIREAT", "k", "1"}), ":1\r\n");
    int64_t after = platform::current_time_ms();
    std::string text = read_file(log.path);
    std::string first = cmd({"SET", "k", "v"});
    ASSERT_EQ(text.substr(0, first.size()), first);
    // Two PEXPIREAT records with absolute times, then the deletion.
    size_t pos = first.size();
    for (int64_t offset : {100000, 50000}) {
        std::string head = "*3\r\n$9\r\nPEXPIREAT\r\n$1\r\nk\r\n$13\r\n";
        ASSERT_EQ(text.substr(pos, head.size()), head);
        int64_t when = std::stoll(text.substr(pos + head.size(), 13));
        EXPECT_GE(when, before + offset);
        EXPECT_LE(when, after + offset);
        pos += head.size() + 15;
    }
    EXPECT_EQ(text.substr(pos), cmd({"DEL", "k"}));
}
