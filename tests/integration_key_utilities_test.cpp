// Integration tests over real connections of the smaller key, hash, set and
// string commands: UNLINK, TOUCH, EXPIRETIME/PEXPIRETIME, TIME, OBJECT ENCODING
// and FREQ, MEMORY USAGE, HSETNX, HRANDFIELD, SMISMEMBER and BITOP.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/resp_client.h"

using namespace vtest;

namespace {

class KeyUtilities : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        c_ = std::make_unique<Conn>(server_.port());
    }
    Conn& c() { return *c_; }
    // The integer of an integer reply, or -999 for anything else.
    long long number(std::initializer_list<std::string_view> request) {
        const std::string r = c().call(request);
        return r.size() > 1 && r[0] == ':' ? std::atoll(r.c_str() + 1) : -999;
    }
    ServerGuard server_;
    std::unique_ptr<Conn> c_;
};

}  // namespace

TEST_F(KeyUtilities, UnlinkTouchDeadlinesAndTime) {
    ASSERT_EQ(c().call({"MSET", "a", "1", "b", "2"}), kOk);
    ASSERT_EQ(c().call({"RPUSH", "l", "x"}), integer(1));
    EXPECT_EQ(c().call({"TOUCH", "a", "b", "missing", "l"}), integer(3));
    EXPECT_EQ(c().call({"UNLINK", "a", "l", "missing"}), integer(2));
    EXPECT_EQ(c().call({"EXISTS", "a", "l", "b"}), integer(1));
    EXPECT_EQ(c().call({"UNLINK"}), "-ERR wrong number of arguments for 'unlink' command\r\n");

    EXPECT_EQ(c().call({"EXPIRETIME", "b"}), integer(-1));
    EXPECT_EQ(c().call({"PEXPIRETIME", "missing"}), integer(-2));
    EXPECT_EQ(c().call({"PEXPIREAT", "b", "99999999999000"}), integer(1));
    EXPECT_EQ(c().call({"PEXPIRETIME", "b"}), integer(99999999999000LL));
    EXPECT_EQ(c().call({"EXPIRETIME", "b"}), integer(99999999999LL));
    EXPECT_EQ(c().call({"EXPIRE", "b", "100"}), integer(1));
    const long long deadline_s = number({"EXPIRETIME", "b"});
    const long long now_s = platform::current_time_ms() / 1000;
    EXPECT_GE(deadline_s, now_s + 98);
    EXPECT_LE(deadline_s, now_s + 101);

    const std::string time = c().call({"TIME"});
    ASSERT_EQ(time.substr(0, 4), "*2\r\n");
    const size_t secs_at = time.find("\r\n", 4) + 2;
    const long long secs = std::atoll(time.c_str() + secs_at);
    EXPECT_NEAR(static_cast<double>(secs), static_cast<double>(now_s), 2.0);
    const size_t micros_at = time.find("\r\n", time.find("\r\n", secs_at) + 2) + 2;
    const long long micros = std::atoll(time.c_str() + micros_at);
    EXPECT_GE(micros, 0);
    EXPECT_LT(micros, 1000000);
}

TEST_F(KeyUtilities, EncodingFreqAndMemoryUsage) {
    ASSERT_EQ(c().call({"SET", "int", "12345"}), kOk);
    ASSERT_EQ(c().call({"SET", "short", "hello"}), kOk);
    ASSERT_EQ(c().call({"SET", "long", std::string(100, 'x')}), kOk);
    ASSERT_EQ(c().call({"RPUSH", "list", "a"}), integer(1));
    ASSERT_EQ(c().call({"ZADD", "zset", "1", "a"}), integer(1));
    ASSERT_EQ(c().call({"HSET", "hash", "f", "v"}), integer(1));
    const std::vector<std::pair<const char*, const char*>> encodings = {
        {"int", "+int\r\n"},       {"short", "+embstr\r\n"},  {"long", "+raw\r\n"}, {"list", "+listpack\r\n"},
        {"zset", "+listpack\r\n"}, {"hash", "+listpack\r\n"}, {"missing", "$-1\r\n"}};
    for (const auto& [key, reply] : encodings) EXPECT_EQ(c().call({"OBJECT", "ENCODING", key}), reply) << key;
    for (int i = 0; i < 200; ++i) c().call({"RPUSH", "biglist", std::to_string(i)});
    EXPECT_EQ(c().call({"OBJECT", "ENCODING", "biglist"}), "+quicklist\r\n");
    EXPECT_EQ(c().call({"OBJECT", "FREQ", "missing"}), kNil);

    // MEMORY USAGE is what the accounting charges: deleting the key gives it back.
    EXPECT_EQ(c().call({"MEMORY", "USAGE", "missing"}), kNil);
    for (const char* key : {"long", "biglist", "zset", "hash"}) {
        const long long usage = number({"MEMORY", "USAGE", key});
        EXPECT_GT(usage, 100) << key;
        const std::string info_before = c().call({"INFO"});
        const long long before = std::atoll(info_before.c_str() + info_before.find("used_memory:") + 12);
        EXPECT_EQ(c().call({"DEL", key}), integer(1));
        const std::string info_after = c().call({"INFO"});
        const long long after = std::atoll(info_after.c_str() + info_after.find("used_memory:") + 12);
        EXPECT_EQ(before - after, usage) << key;
    }
    EXPECT_EQ(c().call({"MEMORY", "USAGE", "int", "SAMPLES", "5"}).substr(0, 1), ":");
    EXPECT_EQ(c().call({"MEMORY", "NOPE"}), "-ERR unknown subcommand 'NOPE'. Try MEMORY HELP.\r\n");
}

TEST_F(KeyUtilities, HashSetNxRandomFieldsAndSetMembership) {
    EXPECT_EQ(c().call({"HSETNX", "h", "f", "1"}), integer(1));
    EXPECT_EQ(c().call({"HSETNX", "h", "f", "2"}), integer(0));
    EXPECT_EQ(c().call({"HGET", "h", "f"}), bulk("1"));
    EXPECT_EQ(c().call({"HSET", "h", "g", "2", "k", "3"}), integer(2));
    EXPECT_EQ(c().call({"SET", "s", "v"}), kOk);
    EXPECT_EQ(c().call({"HSETNX", "s", "f", "1"}), kWrongType);

    const std::set<std::string> fields = {bulk("f"), bulk("g"), bulk("k")};
    EXPECT_EQ(fields.count(c().call({"HRANDFIELD", "h"})), 1u);
    EXPECT_EQ(c().call({"HRANDFIELD", "missing"}), kNil);
    EXPECT_EQ(c().call({"HRANDFIELD", "missing", "3"}), "*0\r\n");
    EXPECT_EQ(c().call({"HRANDFIELD", "h", "0"}), "*0\r\n");
    const std::string distinct = c().call({"HRANDFIELD", "h", "10"});
    ASSERT_EQ(distinct.substr(0, 4), "*3\r\n");
    for (const char* f : {"f", "g", "k"}) EXPECT_NE(distinct.find(bulk(f)), std::string::npos) << f;
    const std::string repeated = c().call({"HRANDFIELD", "h", "-7"});
    EXPECT_EQ(repeated.substr(0, 4), "*7\r\n") << "a negative count gives exactly that many, with repeats";
    const std::string with_values = c().call({"HRANDFIELD", "h", "-2", "WITHVALUES"});
    ASSERT_EQ(with_values.substr(0, 4), "*4\r\n");
    EXPECT_TRUE(with_values.find(bulk("f") + bulk("1")) != std::string::npos ||
                with_values.find(bulk("g") + bulk("2")) != std::string::npos ||
                with_values.find(bulk("k") + bulk("3")) != std::string::npos);
    EXPECT_EQ(c().call({"HRANDFIELD", "h", "1", "WITHVALUE"}), kSyntax);
    EXPECT_EQ(c().call({"HRANDFIELD", "s"}), kWrongType);
    EXPECT_EQ(c().call({"HELLO", "3"}).substr(0, 1), "%");
    const std::string pairs = c().call({"HRANDFIELD", "h", "1", "WITHVALUES"});
    EXPECT_TRUE(pairs == "*1\r\n*2\r\n" + bulk("f") + bulk("1") || pairs == "*1\r\n*2\r\n" + bulk("g") + bulk("2") ||
                pairs == "*1\r\n*2\r\n" + bulk("k") + bulk("3"))
        << pairs;

    EXPECT_EQ(c().call({"SADD", "set", "a", "b"}), integer(2));
    EXPECT_EQ(c().call({"SMISMEMBER", "set", "a", "x", "b", "a"}), "*4\r\n:1\r\n:0\r\n:1\r\n:1\r\n");
    EXPECT_EQ(c().call({"SMISMEMBER", "missing", "a"}), "*1\r\n:0\r\n");
    EXPECT_EQ(c().call({"SMISMEMBER", "s", "a"}), kWrongType);
    EXPECT_EQ(c().call({"SMISMEMBER", "set"}), "-ERR wrong number of arguments for 'smismember' command\r\n");
}

TEST_F(KeyUtilities, BitOperations) {
    ASSERT_EQ(c().call({"SET", "a", std::string("\xf0\x0f", 2)}), kOk);
    ASSERT_EQ(c().call({"SET", "b", std::string("\xff", 1)}), kOk);
    EXPECT_EQ(c().call({"BITOP", "AND", "d", "a", "b"}), integer(2));
    EXPECT_EQ(c().call({"GET", "d"}), bulk(std::string("\xf0\x00", 2)));
    EXPECT_EQ(c().call({"BITOP", "or", "d", "a", "b", "missing"}), integer(2));
    EXPECT_EQ(c().call({"GET", "d"}), bulk(std::string("\xff\x0f", 2)));
    EXPECT_EQ(c().call({"BITOP", "XOR", "d", "a", "b"}), integer(2));
    EXPECT_EQ(c().call({"GET", "d"}), bulk(std::string("\x0f\x0f", 2)));
    EXPECT_EQ(c().call({"BITOP", "NOT", "d", "a"}), integer(2));
    EXPECT_EQ(c().call({"GET", "d"}), bulk(std::string("\x0f\xf0", 2)));
    EXPECT_EQ(c().call({"BITOP", "AND", "a", "a", "b"}), integer(2)) << "the destination is a source";
    EXPECT_EQ(c().call({"GET", "a"}), bulk(std::string("\xf0\x00", 2)));
    EXPECT_EQ(c().call({"BITOP", "OR", "d", "missing", "missing2"}), integer(0));
    EXPECT_EQ(c().call({"EXISTS", "d"}), integer(0)) << "an empty result deletes the destination";
    EXPECT_EQ(c().call({"BITOP", "NOT", "d", "a", "b"}),
              "-ERR BITOP NOT must be called with a single source key.\r\n");
    EXPECT_EQ(c().call({"BITOP", "NAND", "d", "a"}), kSyntax);
    EXPECT_EQ(c().call({"RPUSH", "l", "x"}), integer(1));
    EXPECT_EQ(c().call({"BITOP", "AND", "d", "a", "l"}), kWrongType);
}
