// Integration tests of the host functions: with and without a running server,
// escaping in the keys JSON, key information, values of every size, logging
// through the host, and statistics right after a start.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "keyspace/keyspace.h"
#include "support/resp_client.h"
#include "vorel.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

TEST(HostApi, WorksWithoutAServer) {
    ASSERT_EQ(vorel_server_status(), 0);
    EXPECT_STREQ(vorel_get_keys_json(nullptr), "[]");
    EXPECT_STREQ(vorel_key_info("k"), "none 0");
    EXPECT_EQ(vorel_get_value("k"), nullptr);
    EXPECT_EQ(vorel_del_key("k"), 0);
    EXPECT_STREQ(vorel_key_info(nullptr), "");
    EXPECT_EQ(vorel_set_value(nullptr, "v", 0), -1);
    EXPECT_STREQ(vorel_last_error(), "Invalid key or value parameter");
    // A value set without a server lives in a keyspace of its own until a start.
    EXPECT_EQ(vorel_set_value("k", "v", 0), 0);
    EXPECT_STREQ(vorel_get_value("k"), "v");
    EXPECT_STREQ(vorel_get_keys_json(nullptr), "[\"k\"]");
    EXPECT_EQ(vorel_del_key("k"), 1);
    std::string stats = vorel_get_stats_json();
    EXPECT_NE(stats.find("\"status\":\"running\""), std::string::npos);
}

TEST(HostApi, ReadsAndWritesAlongsideClients) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    std::string stats = vorel_get_stats_json();
    // A fresh keyspace holds its own block and its first bucket array.
    EXPECT_EQ(stats, "{\"ops_per_sec\":0,\"total_keys\":0,\"memory_used_bytes\":" +
                         std::to_string(CHARGE_FRESH_KEYSPACE) +
                         ",\"hits\":0,\"misses\":0,"
                         "\"uptime\":0,\"connected_clients\":0,\"total_commands\":0,\"status\":\"running\"}");
    Conn c(server.port());
    EXPECT_EQ(c.call({"SET", "a", "1"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SET", "b\"c", "2"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SET", std::string("ctl\x01\\\n"), "3"}), "+OK\r\n");
    std::string json = vorel_get_keys_json(nullptr);
    EXPECT_EQ(json.front(), '[');
    EXPECT_NE(json.find("\"a\""), std::string::npos);
    EXPECT_NE(json.find("\"b\\\"c\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"ctl\\u0001\\\\\\n\""), std::string::npos) << json;
    EXPECT_STREQ(vorel_get_keys_json("b*"), "[\"b\\\"c\"]");

    EXPECT_STREQ(vorel_key_info("a"), "string 1");
    EXPECT_STREQ(vorel_key_info("missing"), "none 0");
    EXPECT_EQ(c.call({"SET", "empty", ""}), "+OK\r\n");
    ASSERT_NE(vorel_get_value("empty"), nullptr);
    EXPECT_STREQ(vorel_get_value("empty"), "");
    std::string big(200000, 'z');
    ASSERT_EQ(vorel_set_value("big", big.c_str(), 0), 0);
    EXPECT_EQ(std::string(vorel_get_value("big")), big) << "a long value came back cut";
    EXPECT_EQ(c.call({"STRLEN", "big"}), ":200000\r\n");
    EXPECT_EQ(vorel_set_value("t", "v", 10), 0);
    EXPECT_EQ(c.call({"TTL", "t"}), ":10\r\n");
    EXPECT_EQ(vorel_del_key("t"), 1);
    EXPECT_EQ(vorel_del_key("t"), 0);
    EXPECT_EQ(c.call({"EXISTS", "t"}), ":0\r\n");
}

TEST(HostApi, HostWritesAreLogged) {
    std::string path = "vorel_host_" + std::to_string(platform::process_id()) + ".aof";
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        int64_t before = platform::current_time_ms();
        ASSERT_EQ(vorel_set_value("k", "v", 10), 0);
        int64_t after = platform::current_time_ms();
        EXPECT_EQ(vorel_del_key("missing"), 0);
        EXPECT_EQ(vorel_del_key("k"), 1);
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string text = ss.str();
        std::string head = cmd({"SET", "k", "v"}) + "*3\r\n$9\r\nPEXPIREAT\r\n$1\r\nk\r\n$13\r\n";
        ASSERT_EQ(text.substr(0, head.size()), head);
        int64_t when = std::stoll(text.substr(head.size(), 13));
        EXPECT_GE(when, before + 10000);
        EXPECT_LE(when, after + 10000);
        EXPECT_EQ(text.substr(head.size() + 15), cmd({"DEL", "k"}));
    }
    std::remove(path.c_str());
}
