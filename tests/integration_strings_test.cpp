// Integration tests of the string commands over a real connection: exact reply
// bytes, error texts, and the behaviour that earlier designs got wrong (empty
// values, counter overflow, millisecond expiries, counters on other types).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/resp_client.h"

using vtest::Conn;
using vtest::ServerGuard;

namespace {

std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }
const std::string kNil = "$-1\r\n";
const std::string kOk = "+OK\r\n";
const std::string kWrongType = "-WRONGTYPE Operation against a key holding the wrong kind of value\r\n";
const std::string kSyntax = "-ERR syntax error\r\n";

class Strings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        c_ = std::make_unique<Conn>(server_.port());
    }
    Conn& c() { return *c_; }
    ServerGuard server_;
    std::unique_ptr<Conn> c_;
};

}  // namespace

TEST_F(Strings, SetOptionsAndExpiry) {
    EXPECT_EQ(c().call({"SET", "k", "a", "EX", "10"}), kOk);
    EXPECT_EQ(c().call({"TTL", "k"}), ":10\r\n");
    EXPECT_EQ(c().call({"SET", "k", "b"}), kOk);
    EXPECT_EQ(c().call({"TTL", "k"}), ":-1\r\n");
    EXPECT_EQ(c().call({"SET", "k", "c", "ex", "100"}), kOk);
    EXPECT_EQ(c().call({"SET", "k", "d", "KEEPTTL"}), kOk);
    EXPECT_EQ(c().call({"TTL", "k"}), ":100\r\n");
    EXPECT_EQ(c().call({"SET", "k", "e", "XX", "KEEPTTL"}), kOk);
    EXPECT_EQ(c().call({"TTL", "k"}), ":100\r\n");
    EXPECT_EQ(c().call({"GET", "k"}), bulk("e"));

    EXPECT_EQ(c().call({"SET", "k", "v", "PX", "0"}), "-ERR invalid expire time in 'set' command\r\n");
    EXPECT_EQ(c().call({"SET", "k", "v", "EX", "-1"}), "-ERR invalid expire time in 'set' command\r\n");
    EXPECT_EQ(c().call({"SET", "k", "v", "EXAT", "1"}), "-ERR invalid expire time in 'set' command\r\n");
    EXPECT_EQ(c().call({"SET", "k", "v", "EX", "abc"}), kOk);
    EXPECT_EQ(c().call({"TTL", "k"}), ":-1\r\n");
    EXPECT_EQ(c().call({"SET", "k", "v", "PXAT", "5"}), kSyntax);
    EXPECT_EQ(c().call({"SET", "k", "v", "EX"}), kSyntax);
    EXPECT_EQ(c().call({"SET", "k", "v", "PXTL"}), kOk);
    EXPECT_EQ(c().call({"SET", "k", "v", "NX", "XX"}), kSyntax);
    EXPECT_EQ(c().call({"SET", "k", "w", "NX"}), kNil);
    EXPECT_EQ(c().call({"SET", "k", "w", "NX", "GET"}), bulk("v"));
    EXPECT_EQ(c().call({"SET", "fresh", "1", "XX"}), kNil);
    EXPECT_EQ(c().call({"EXISTS", "fresh"}), ":0\r\n");
    EXPECT_EQ(c().call({"SET", "k", "z", "GET"}), bulk("v"));
    EXPECT_EQ(c().call({"SET"}), "-ERR wrong number of arguments for 'set' command\r\n");
}

TEST_F(Strings, MillisecondExpiriesKeepTheirPrecision) {
    EXPECT_EQ(c().call({"SET", "short", "v", "PX", "300"}), kOk);
    std::string pttl = c().call({"PTTL", "short"});
    long long left = std::atoll(pttl.c_str() + 1);
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 300);
    EXPECT_EQ(c().call({"PSETEX", "p", "1500", "v"}), kOk);
    left = std::atoll(c().call({"PTTL", "p"}).c_str() + 1);
    EXPECT_GT(left, 1000) << "PSETEX 1500 was cut to whole seconds";
    EXPECT_LE(left, 1500);
    EXPECT_EQ(c().call({"GETEX", "p", "PX", "700"}), bulk("v"));
    left = std::atoll(c().call({"PTTL", "p"}).c_str() + 1);
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 700);
    platform::sleep_ms(450);
    EXPECT_EQ(c().call({"GET", "short"}), kNil) << "a 300 ms key outlived its deadline";
    EXPECT_EQ(c().call({"EXISTS", "short"}), ":0\r\n");
    EXPECT_EQ(c().call({"GETEX", "p", "PERSIST"}), bulk("v"));
    EXPECT_EQ(c().call({"PTTL", "p"}), ":-1\r\n");
    EXPECT_EQ(c().call({"GETEX", "p", "EX", "0"}), "-ERR invalid expire time in 'getex' command\r\n");
    EXPECT_EQ(c().call({"GETEX", "p", "BOGUS"}), kSyntax);
    EXPECT_EQ(c().call({"SETEX", "s", "0", "v"}), "-ERR invalid expire time in 'setex' command\r\n");
    EXPECT_EQ(c().call({"PSETEX", "s", "x", "v"}), "-ERR invalid expire time in 'psetex' command\r\n");
}

TEST_F(Strings, EmptyStringsAreValues) {
    EXPECT_EQ(c().call({"SET", "e", ""}), kOk);
    EXPECT_EQ(c().call({"GET", "e"}), "$0\r\n\r\n");
    EXPECT_EQ(c().call({"STRLEN", "e"}), ":0\r\n");
    EXPECT_EQ(c().call({"EXISTS", "e"}), ":1\r\n");
    EXPECT_EQ(c().call({"MGET", "e", "missing"}), "*2\r\n$0\r\n\r\n$-1\r\n");
    EXPECT_EQ(c().call({"GETEX", "e"}), "$0\r\n\r\n");
    EXPECT_EQ(c().call({"GETSET", "e", "x"}), "$0\r\n\r\n");
    EXPECT_EQ(c().call({"GETSET", "e", ""}), bulk("x"));
    EXPECT_EQ(c().call({"GET", "e"}), "$0\r\n\r\n");
    EXPECT_EQ(c().call({"GETDEL", "e"}), "$0\r\n\r\n");
    EXPECT_EQ(c().call({"EXISTS", "e"}), ":0\r\n");
    EXPECT_EQ(c().call({"INCR", "e"}), ":1\r\n");
}

TEST_F(Strings, CountersAndOverflow) {
    EXPECT_EQ(c().call({"INCR", "n"}), ":1\r\n");
    EXPECT_EQ(c().call({"INCR", "n", "5"}), ":6\r\n");
    EXPECT_EQ(c().call({"DECR", "n", "-5"}), ":11\r\n");
    EXPECT_EQ(c().call({"INCRBY", "n"}), ":12\r\n");
    EXPECT_EQ(c().call({"DECRBY", "n", "2"}), ":10\r\n");
    EXPECT_EQ(c().call({"INCR", "n", "1", "2"}), "-ERR wrong number of arguments for 'INCR' command\r\n");
    EXPECT_EQ(c().call({"INCRBY", "n", "x"}), "-ERR value is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SET", "n", "9223372036854775806"}), kOk);
    EXPECT_EQ(c().call({"INCR", "n"}), ":9223372036854775807\r\n");
    EXPECT_EQ(c().call({"INCR", "n"}), "-ERR increment or decrement would overflow\r\n");
    EXPECT_EQ(c().call({"GET", "n"}), bulk("9223372036854775807"));
    EXPECT_EQ(c().call({"SET", "m", "-9223372036854775807"}), kOk);
    EXPECT_EQ(c().call({"DECRBY", "m", "2"}), "-ERR increment or decrement would overflow\r\n");
    EXPECT_EQ(c().call({"DECRBY", "m", "-9223372036854775808"}), "-ERR increment or decrement would overflow\r\n");
    EXPECT_EQ(c().call({"SET", "t", "abc"}), kOk);
    EXPECT_EQ(c().call({"INCR", "t"}), "-ERR value is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SET", "x", "5", "EX", "100"}), kOk);
    EXPECT_EQ(c().call({"INCR", "x"}), ":6\r\n");
    EXPECT_EQ(c().call({"TTL", "x"}), ":-1\r\n");

    EXPECT_EQ(c().call({"SET", "f", "10.5"}), kOk);
    EXPECT_EQ(c().call({"INCRBYFLOAT", "f", "0.1"}), bulk("10.6"));
    EXPECT_EQ(c().call({"GET", "f"}), bulk("10.6"));
    EXPECT_EQ(c().call({"INCRBYFLOAT", "t", "0.1"}), bulk("0.10000000000000001"));
    EXPECT_EQ(c().call({"INCRBYFLOAT", "f", "x"}), "-ERR value is not a valid float\r\n");
    EXPECT_EQ(c().call({"INCRBYFLOAT", "f", "1e308"}), bulk("1e+308"));
    EXPECT_EQ(c().call({"INCRBYFLOAT", "f", "1e308"}), "-ERR increment would produce NaN or Infinity\r\n");
    EXPECT_EQ(c().call({"INCRBYFLOAT", "i", "3"}), bulk("3"));
}

TEST_F(Strings, RangesAndBits) {
    EXPECT_EQ(c().call({"SET", "s", "Hello World"}), kOk);
    EXPECT_EQ(c().call({"GETRANGE", "s", "0", "-1"}), bulk("Hello World"));
    EXPECT_EQ(c().call({"GETRANGE", "s", "-5", "-1"}), bulk("World"));
    EXPECT_EQ(c().call({"GETRANGE", "s", "5", "2"}), "$0\r\n\r\n");
    EXPECT_EQ(c().call({"SUBSTR", "s", "-100000000000", "4"}), bulk("Hello"));
    EXPECT_EQ(c().call({"GETRANGE", "missing", "0", "-1"}), "$0\r\n\r\n");
    EXPECT_EQ(c().call({"GETRANGE", "s", "a", "1"}), "-ERR value is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SETRANGE", "r", "5", "ab"}), ":7\r\n");
    EXPECT_EQ(c().call({"GET", "r"}), bulk(std::string(5, '\0') + "ab"));
    EXPECT_EQ(c().call({"SETRANGE", "none", "0", ""}), ":0\r\n");
    EXPECT_EQ(c().call({"EXISTS", "none"}), ":0\r\n");
    EXPECT_EQ(c().call({"SETRANGE", "r", "-1", "x"}), "-ERR offset is out of range\r\n");
    EXPECT_EQ(c().call({"SETRANGE", "r", "536870911", "xy"}),
              "-ERR string exceeds maximum allowed size (proto-max-bulk-len)\r\n");
    EXPECT_EQ(c().call({"SETRANGE", "r", "9999999999", "x"}),
              "-ERR string exceeds maximum allowed size (proto-max-bulk-len)\r\n");
    EXPECT_EQ(c().call({"APPEND", "r", "cd"}), ":9\r\n");
    EXPECT_EQ(c().call({"STRLEN", "r"}), ":9\r\n");

    EXPECT_EQ(c().call({"SETBIT", "b", "7", "1"}), ":0\r\n");
    EXPECT_EQ(c().call({"GET", "b"}), bulk("\x01"));
    EXPECT_EQ(c().call({"SETBIT", "b", "0", "1"}), ":0\r\n");
    EXPECT_EQ(c().call({"GETBIT", "b", "0"}), ":1\r\n");
    EXPECT_EQ(c().call({"GETBIT", "b", "100"}), ":0\r\n");
    EXPECT_EQ(c().call({"SETBIT", "b", "0", "2"}), "-ERR bit is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SETBIT", "b", "-1", "1"}), "-ERR bit offset is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SETBIT", "b", "4294967296", "1"}), "-ERR bit offset is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SET", "fb", "foobar"}), kOk);
    EXPECT_EQ(c().call({"BITCOUNT", "fb"}), ":26\r\n");
    EXPECT_EQ(c().call({"BITCOUNT", "fb", "1"}), ":26\r\n");
    EXPECT_EQ(c().call({"BITCOUNT", "fb", "1", "1"}), ":6\r\n");
    EXPECT_EQ(c().call({"BITCOUNT", "fb", "5", "30", "BIT"}), ":17\r\n");
    EXPECT_EQ(c().call({"BITCOUNT", "fb", "5", "30", "NIBBLE"}), kSyntax);
    EXPECT_EQ(c().call({"SET", "ff", "\xff\xff\xff"}), kOk);
    EXPECT_EQ(c().call({"BITPOS", "ff", "0"}), ":24\r\n");
    EXPECT_EQ(c().call({"BITPOS", "ff", "0", "0"}), ":-1\r\n");
    EXPECT_EQ(c().call({"BITPOS", "ff", "1", "1"}), ":8\r\n");
    EXPECT_EQ(c().call({"BITPOS", "ff", "2"}), "-ERR bit is not an integer or out of range\r\n");
}

TEST_F(Strings, ReadWriteAndConditionalCommands) {
    EXPECT_EQ(c().call({"GETSET", "g", "first"}), kNil);
    EXPECT_EQ(c().call({"GET", "g"}), bulk("first"));
    EXPECT_EQ(c().call({"GETSET", "g", "second"}), bulk("first"));
    EXPECT_EQ(c().call({"GETDEL", "g"}), bulk("second"));
    EXPECT_EQ(c().call({"GETDEL", "g"}), kNil);
    EXPECT_EQ(c().call({"SETNX", "n", "1"}), ":1\r\n");
    EXPECT_EQ(c().call({"SETNX", "n", "2"}), ":0\r\n");
    EXPECT_EQ(c().call({"MSETNX", "n", "x", "o", "y"}), ":0\r\n");
    EXPECT_EQ(c().call({"EXISTS", "o"}), ":0\r\n");
    EXPECT_EQ(c().call({"MSETNX", "p", "x", "o", "y"}), ":1\r\n");
    EXPECT_EQ(c().call({"MSET", "a", "1", "b"}), "-ERR wrong number of arguments for 'mset' command\r\n");
}

// A refused write changes nothing: an empty key anywhere in MSET or MSETNX
// writes none of the pairs, and SET NX with GET on a list leaves the list.
TEST_F(Strings, RefusedWritesLeaveTheKeyspaceAsItWas) {
    const std::string empty_key = "-ERR empty keys are not supported\r\n";
    EXPECT_EQ(c().call({"RPUSH", "l", "a"}), ":1\r\n");
    EXPECT_EQ(c().call({"SET", "l", "v", "NX", "GET"}), kNil);
    EXPECT_EQ(c().call({"LRANGE", "l", "0", "-1"}), "*1\r\n$1\r\na\r\n");
    EXPECT_EQ(c().call({"SET", "", "v"}), empty_key);
    EXPECT_EQ(c().call({"MSET", "a", "1", "", "2", "b", "3"}), empty_key);
    EXPECT_EQ(c().call({"MSETNX", "a", "1", "", "2"}), empty_key);
    EXPECT_EQ(c().call({"EXISTS", "a", "b"}), ":0\r\n");
    EXPECT_EQ(c().call({"DBSIZE"}), ":1\r\n");
}

TEST_F(Strings, ThousandsOfArguments) {
    std::vector<std::string> mset{"MSET"}, mget{"MGET"}, del{"DEL"}, exists{"EXISTS"};
    for (int i = 0; i < 3000; ++i) {
        std::string k = "key:" + std::to_string(i);
        mset.push_back(k);
        mset.push_back("v" + std::to_string(i));
        mget.push_back(k);
        del.push_back(k);
        exists.push_back(k);
    }
    c().send(vtest::cmd(mset));
    EXPECT_EQ(c().read_reply(), kOk);
    c().send(vtest::cmd(exists));
    EXPECT_EQ(c().read_reply(), ":3000\r\n");
    c().send(vtest::cmd(mget));
    std::string reply = c().read_reply();
    std::string expected = "*3000\r\n";
    for (int i = 0; i < 3000; ++i) expected += bulk("v" + std::to_string(i));
    EXPECT_EQ(reply, expected);
    c().send(vtest::cmd(del));
    EXPECT_EQ(c().read_reply(), ":3000\r\n");
}
