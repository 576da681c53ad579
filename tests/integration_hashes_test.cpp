// Integration tests of the hash commands over a real connection: exact reply
// bytes in RESP2 and RESP3, pair order after deletes, the empty string as field
// and value, error texts, the increments, scans paging with COUNT, requests with
// thousands of fields, and what the log rebuilds after a restart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collection_test_support.h"

using namespace ctest;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

class Hashes : public ServerTest {};

}  // namespace

TEST_F(Hashes, PairsKeepTheirOrderAfterOverwritesAndDeletes) {
    EXPECT_EQ(c().call({"HSET", "h", "f1", "1", "f2", "2", "f3", "3"}), ":3\r\n");
    EXPECT_EQ(c().call({"HSET", "h", "f1", "x", "f4", "4"}), ":1\r\n");
    EXPECT_EQ(c().call({"HDEL", "h", "f2", "nope"}), ":1\r\n");
    EXPECT_EQ(c().call({"HGETALL", "h"}), arr({"f1", "x", "f3", "3", "f4", "4"}));
    EXPECT_EQ(c().call({"HKEYS", "h"}), arr({"f1", "f3", "f4"}));
    EXPECT_EQ(c().call({"HVALS", "h"}), arr({"x", "3", "4"}));
    EXPECT_EQ(c().call({"HMSET", "h", "f2", "back"}), "+OK\r\n");
    EXPECT_EQ(c().call({"HKEYS", "h"}), arr({"f1", "f3", "f4", "f2"}));
    EXPECT_EQ(c().call({"HLEN", "h"}), ":4\r\n");
    EXPECT_EQ(c().call({"HSTRLEN", "h", "f2"}), ":4\r\n");
    EXPECT_EQ(c().call({"HSTRLEN", "h", "none"}), ":0\r\n");
    EXPECT_EQ(c().call({"HEXISTS", "h", "f3"}), ":1\r\n");
    EXPECT_EQ(c().call({"HEXISTS", "h", "f9"}), ":0\r\n");
    EXPECT_EQ(c().call({"HMGET", "h", "f4", "f9", "f1"}), "*3\r\n" + bulk("4") + kNil + bulk("x"));
    EXPECT_EQ(c().call({"HGET", "h", "f9"}), kNil);
    EXPECT_EQ(c().call({"HDEL", "h", "f1", "f2", "f3", "f4"}), ":4\r\n");
    EXPECT_EQ(c().call({"EXISTS", "h"}), ":0\r\n") << "the emptied hash was left behind";
    EXPECT_EQ(c().call({"HGETALL", "h"}), "*0\r\n");
    EXPECT_EQ(c().call({"HLEN", "h"}), ":0\r\n");
}

TEST_F(Hashes, HeadersAndNullsFollowTheProtocol) {
    EXPECT_EQ(c().call({"HSET", "h", "a", "1", "b", "2"}), ":2\r\n");
    EXPECT_EQ(head(c().call({"HGETALL", "h"}), "*4\r\n"), "*4\r\n");
    EXPECT_EQ(head(c().call({"HELLO", "3"}), "%"), "%");
    EXPECT_EQ(c().call({"HGETALL", "h"}), "%2\r\n" + bulk("a") + bulk("1") + bulk("b") + bulk("2"));
    EXPECT_EQ(c().call({"HGETALL", "missing"}), "%0\r\n");
    EXPECT_EQ(c().call({"HGET", "h", "zz"}), "_\r\n");
    EXPECT_EQ(c().call({"HMGET", "h", "zz", "a"}), "*2\r\n_\r\n" + bulk("1"));
    EXPECT_EQ(c().call({"HINCRBYFLOAT", "h", "a", "0.5"}), bulk("1.5")) << "a bulk string in RESP3 too";
    EXPECT_EQ(c().call({"HINCRBYFLOAT", "h", "a", "0.5"}), bulk("2"));
}

TEST_F(Hashes, EmptyFieldsAndValuesAreOrdinary) {
    EXPECT_EQ(c().call({"HSET", "h", "", "v"}), ":1\r\n");
    EXPECT_EQ(c().call({"HSET", "h", "", "w"}), ":0\r\n") << "the empty field was not found again";
    EXPECT_EQ(c().call({"HLEN", "h"}), ":1\r\n");
    EXPECT_EQ(c().call({"HGET", "h", ""}), bulk("w"));
    EXPECT_EQ(c().call({"HSET", "h", "e", ""}), ":1\r\n");
    EXPECT_EQ(c().call({"HGET", "h", "e"}), kEmpty);
    EXPECT_EQ(c().call({"HMGET", "h", "e", ""}), "*2\r\n" + kEmpty + bulk("w"));
    EXPECT_EQ(c().call({"HGETALL", "h"}), "*4\r\n" + kEmpty + bulk("w") + bulk("e") + kEmpty);
    EXPECT_EQ(c().call({"HVALS", "h"}), "*2\r\n" + bulk("w") + kEmpty);
    EXPECT_EQ(c().call({"HSCAN", "h", "0"}), "*2\r\n" + bulk("0") + "*4\r\n" + kEmpty + bulk("w") + bulk("e") + kEmpty);
    EXPECT_EQ(c().call({"HEXISTS", "h", ""}), ":1\r\n");
    EXPECT_EQ(c().call({"HDEL", "h", ""}), ":1\r\n");
    EXPECT_EQ(c().call({"HEXISTS", "h", ""}), ":0\r\n");
    EXPECT_EQ(c().call({"HKEYS", "h"}), arr({"e"}));
}

TEST_F(Hashes, ArityTypesAndErrorTexts) {
    EXPECT_EQ(c().call({"HSET", "k", "a", "1", "b"}), "-ERR wrong number of arguments for 'hset' command\r\n");
    EXPECT_EQ(c().call({"HMSET", "k", "a"}), "-ERR wrong number of arguments for 'hmset' command\r\n");
    EXPECT_EQ(c().call({"HGET", "k"}), "-ERR wrong number of arguments for 'hget' command\r\n");
    EXPECT_EQ(c().call({"HDEL", "k"}), "-ERR wrong number of arguments for 'hdel' command\r\n");
    EXPECT_EQ(c().call({"HINCRBY", "k", "f"}), "-ERR wrong number of arguments for 'hincrby' command\r\n");
    EXPECT_EQ(c().call({"HSCAN", "k"}), "-ERR wrong number of arguments for 'hscan' command\r\n");
    EXPECT_EQ(c().call({"EXISTS", "k"}), ":0\r\n");
    EXPECT_EQ(c().call({"SET", "s", "v"}), "+OK\r\n");
    for (const char* name : {"HGET", "HDEL", "HSTRLEN"}) EXPECT_EQ(c().call({name, "s", "f"}), kWrongType) << name;
    EXPECT_EQ(c().call({"HLEN", "s"}), kWrongType);
    EXPECT_EQ(c().call({"HGETALL", "s"}), kWrongType);
    EXPECT_EQ(c().call({"HKEYS", "s"}), kWrongType);
    EXPECT_EQ(c().call({"HMGET", "s", "f"}), kWrongType);
    EXPECT_EQ(c().call({"HSET", "s", "f", "v"}), kWrongType);
    EXPECT_EQ(c().call({"HINCRBY", "s", "f", "1"}), kWrongType);
    EXPECT_EQ(c().call({"HSCAN", "s", "0"}), kWrongType);
    EXPECT_EQ(c().call({"HEXISTS", "s", "f"}), ":0\r\n");
    EXPECT_EQ(c().call({"GET", "s"}), bulk("v"));
}

TEST_F(Hashes, IncrementsReplyAndRefuse) {
    EXPECT_EQ(c().call({"HINCRBY", "k", "f", "5"}), ":5\r\n");
    EXPECT_EQ(c().call({"HINCRBYFLOAT", "k", "f", "0.5"}), bulk("5.5"));
    EXPECT_EQ(c().call({"HINCRBYFLOAT", "k", "f", "0.5"}), bulk("6"));
    EXPECT_EQ(c().call({"HGET", "k", "f"}), bulk("6"));
    EXPECT_EQ(c().call({"HINCRBY", "k", "f", "x"}), "-ERR value is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"HINCRBYFLOAT", "k", "f", "x"}), "-ERR value is not a valid float\r\n");
    EXPECT_EQ(c().call({"HSET", "k", "big", "9223372036854775000"}), ":1\r\n");
    EXPECT_EQ(c().call({"HINCRBY", "k", "big", "1000"}), "-ERR increment or decrement would overflow\r\n");
    EXPECT_EQ(c().call({"HGET", "k", "big"}), bulk("9223372036854775000"));
    EXPECT_EQ(c().call({"HSET", "k", "max", "1e308"}), ":1\r\n");
    EXPECT_EQ(c().call({"HINCRBYFLOAT", "k", "max", "1e308"}), "-ERR increment would produce NaN or Infinity\r\n");
    EXPECT_EQ(c().call({"HGET", "k", "max"}), bulk("1e308"));
    EXPECT_EQ(c().call({"HSET", "k", "p", "12abc"}), ":1\r\n");
    EXPECT_EQ(c().call({"HINCRBY", "k", "p", "1"}), ":13\r\n");
}

TEST_F(Hashes, ThousandsOfFieldsInOneRequest) {
    std::vector<std::string> set{"HSET", "wide"}, get{"HMGET", "wide"}, del{"HDEL", "wide"};
    std::string expected = "*3001\r\n";
    for (int i = 0; i < 3000; i++) {
        set.push_back("field" + std::to_string(i));
        set.push_back("value" + std::to_string(i));
        get.push_back("field" + std::to_string(i));
        del.push_back("field" + std::to_string(i));
        expected += bulk("value" + std::to_string(i));
    }
    get.push_back("absent");
    expected += kNil;
    EXPECT_EQ(send(set), ":3000\r\n");
    EXPECT_EQ(c().call({"HLEN", "wide"}), ":3000\r\n");
    EXPECT_EQ(send(get), expected);
    EXPECT_EQ(c().call({"HGET", "wide", "field2999"}), bulk("value2999"));
    EXPECT_EQ(send(del), ":3000\r\n");
    EXPECT_EQ(c().call({"EXISTS", "wide"}), ":0\r\n");
}

TEST(HashLog, WritesAreRebuiltAfterARestartAndFailuresAreNotLogged) {
    const LogFile log("vorel_hashes_");
    const std::string& path = log.path;
    std::string before_failures, after_failures;
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"HSET", "h", "a", "1", "b", "2", "c", "3", "", "empty"}), ":4\r\n");
        EXPECT_EQ(c.call({"HDEL", "h", "b"}), ":1\r\n");
        EXPECT_EQ(c.call({"HMSET", "h", "b", "again", "e", ""}), "+OK\r\n");
        EXPECT_EQ(c.call({"HINCRBY", "h", "a", "41"}), ":42\r\n");
        EXPECT_EQ(c.call({"HINCRBYFLOAT", "h", "f", "0.1"}), bulk("0.10000000000000001"));
        EXPECT_EQ(c.call({"HINCRBYFLOAT", "h", "f", "0.2"}), bulk("0.30000000000000004"));
        EXPECT_EQ(c.call({"SET", "s", "v"}), "+OK\r\n");
        std::ifstream in(path, std::ios::binary);
        before_failures.assign(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(c.call({"HSET", "s", "f", "v"}), kWrongType);
        EXPECT_EQ(c.call({"HDEL", "h", "nope"}), ":0\r\n");
        EXPECT_EQ(c.call({"HINCRBY", "h", "a", "9223372036854775807"}), "-ERR increment or decrement would overflow\r\n");
        EXPECT_EQ(head(c.call({"HGETALL", "h"}), "*12\r\n"), "*12\r\n");
        std::ifstream again(path, std::ios::binary);
        after_failures.assign(std::istreambuf_iterator<char>(again), {});
    }
    EXPECT_EQ(after_failures, before_failures) << "a failed or read-only command was logged";
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"HGETALL", "h"}), arr({"a", "42", "c", "3", "", "empty", "b", "again", "e", "", "f",
                                             "0.30000000000000004"}));
}
