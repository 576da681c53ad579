// Integration tests of the sorted-set commands over a real connection: exact
// reply bytes in RESP2 and RESP3, the ZADD flag combinations, score bounds,
// reverse and LIMIT forms, ZRANGESTORE, the empty member, counts beyond 32 bits,
// error texts, and the log records a replay rebuilds the keyspace from.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/resp_client.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }
std::string arr(std::initializer_list<std::string> items) {
    std::string out = "*" + std::to_string(items.size()) + "\r\n";
    for (const std::string& i : items) out += i;
    return out;
}
// An array of bulk strings.
std::string bulks(std::initializer_list<std::string> items) {
    std::string out = "*" + std::to_string(items.size()) + "\r\n";
    for (const std::string& i : items) out += bulk(i);
    return out;
}
std::string integer(long long n) { return ":" + std::to_string(n) + "\r\n"; }

const std::string kNil = "$-1\r\n";
const std::string kEmpty = "*0\r\n";
const std::string kWrongType = "-WRONGTYPE Operation against a key holding the wrong kind of value\r\n";
const std::string kSyntax = "-ERR syntax error\r\n";
const std::string kNotInteger = "-ERR value is not an integer or out of range\r\n";
const std::string kNotFloat = "-ERR value is not a valid float\r\n";
const std::string kBadBound = "-ERR min or max is not a float\r\n";

std::string arity(const std::string& lower) { return "-ERR wrong number of arguments for '" + lower + "' command\r\n"; }

class Zsets : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        c_ = std::make_unique<Conn>(server_.port());
    }
    Conn& c() { return *c_; }
    // a..e with scores 1..5.
    void fill_five(std::string_view key) {
        ASSERT_EQ(c().call({"ZADD", key, "1", "a", "2", "b", "3", "c", "4", "d", "5", "e"}), integer(5));
    }
    ServerGuard server_;
    std::unique_ptr<Conn> c_;
};

}  // namespace

TEST_F(Zsets, EqualScoresComeInByteOrder) {
    EXPECT_EQ(c().call({"ZADD", "k", "1", "b", "1", "a", "1", "ab", "0", "z"}), integer(4));
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "-1"}), bulks({"z", "a", "ab", "b"}));
    EXPECT_EQ(c().call({"ZADD", "k", "1", "\xff", "1", "B"}), integer(2));
    EXPECT_EQ(c().call({"ZRANGE", "k", "1", "-1"}), bulks({"B", "a", "ab", "b", "\xff"}));
    EXPECT_EQ(c().call({"ZREVRANK", "k", "\xff"}), integer(0));
}

TEST_F(Zsets, ZaddFlagCombinations) {
    EXPECT_EQ(c().call({"ZADD", "k", "1", "a"}), integer(1));
    EXPECT_EQ(c().call({"ZADD", "k", "NX", "XX", "GT", "1", "a"}), integer(0));
    EXPECT_EQ(c().call({"ZADD", "k", "CH", "1", "a"}), integer(1)) << "CH counts an unchanged score";
    EXPECT_EQ(c().call({"ZADD", "k", "GT", "0", "a"}), integer(0));
    EXPECT_EQ(c().call({"ZADD", "k", "gt", "ch", "3", "a"}), integer(1));
    EXPECT_EQ(c().call({"ZADD", "k", "LT", "5", "a"}), integer(0));
    EXPECT_EQ(c().call({"ZADD", "k", "LT", "CH", "2", "a"}), integer(1));
    EXPECT_EQ(c().call({"ZADD", "k", "NX", "9", "a"}), integer(0));
    EXPECT_EQ(c().call({"ZSCORE", "k", "a"}), bulk("2"));
    EXPECT_EQ(c().call({"ZADD", "k", "GT", "7", "new", "8", "a"}), integer(1)) << "GT does not stop a new member";
    EXPECT_EQ(c().call({"ZADD", "k", "XX", "CH", "1", "a", "1", "absent"}), integer(1));
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "-1", "WITHSCORES"}), bulks({"a", "1", "new", "7"}));

    EXPECT_EQ(c().call({"ZADD", "k", "INCR", "XX", "5", "z"}), bulk("5")) << "INCR ignores XX";
    EXPECT_EQ(c().call({"ZADD", "k", "INCR", "LT", "2.5", "z"}), bulk("7.5"));
    EXPECT_EQ(c().call({"ZINCRBY", "k", "-10", "z"}), bulk("-2.5"));
    EXPECT_EQ(c().call({"ZINCRBY", "k", "1", "fresh"}), bulk("1"));
    EXPECT_EQ(c().call({"ZINCRBY", "k", "x", "z"}), kNotFloat);

    EXPECT_EQ(c().call({"ZADD", "k", "NX", "CH"}), integer(0)) << "options only";
    EXPECT_EQ(c().call({"ZADD", "k", "INCR", "NX"}), arity("zadd"));
    EXPECT_EQ(c().call({"ZADD", "k", "INCR", "1", "a", "2", "b"}), arity("zadd"));
    EXPECT_EQ(c().call({"ZADD", "k", "1", "a", "2"}), arity("zadd"));
    EXPECT_EQ(c().call({"ZADD", "k", "1"}), arity("zadd"));
}

TEST_F(Zsets, ZaddThatAddsNothingCreatesNoKey) {
    EXPECT_EQ(c().call({"ZADD", "nk", "XX", "1", "a"}), integer(0));
    EXPECT_EQ(c().call({"ZADD", "nk", "NX", "XX", "GT", "1", "a", "2", "b"}), integer(0));
    EXPECT_EQ(c().call({"EXISTS", "nk"}), integer(0));
    EXPECT_EQ(c().call({"TYPE", "nk"}), "+none\r\n");
    EXPECT_EQ(c().call({"ZPOPMIN", "nk"}), kEmpty);
}

TEST_F(Zsets, ZaddChecksEveryScoreBeforeApplyingAny) {
    EXPECT_EQ(c().call({"ZADD", "k", "1", "a", "x", "b"}), kNotFloat);
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0)) << "the pair before the bad score was applied";
    EXPECT_EQ(c().call({"ZADD", "k", "1", "a"}), integer(1));
    EXPECT_EQ(c().call({"ZADD", "k", "5", "a", "2", "b", "inf", "c"}), kNotFloat);
    EXPECT_EQ(c().call({"ZADD", "k", "nan", "a"}), kNotFloat);
    EXPECT_EQ(c().call({"ZADD", "k", "1e400", "a"}), kNotFloat);
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "-1", "WITHSCORES"}), bulks({"a", "1"}));
}

TEST_F(Zsets, ScoreBoundsAndLimits) {
    fill_five("k");
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "-inf", "+inf"}), bulks({"a", "b", "c", "d", "e"}));
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "(1", "[3"}), bulks({"b", "c"}));
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "[2", "(4"}), bulks({"b", "c"}));
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "(-inf", "(+INF"}), bulks({"a", "b", "c", "d", "e"}));
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "(3", "3"}), kEmpty);
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "inf", "+inf"}), kBadBound);
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "1", "x"}), kBadBound);
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "1", "5", "WITHSCORES", "LIMIT", "1", "2"}),
              bulks({"b", "2", "c", "3"}));
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "1", "5", "LIMIT", "3", "-1"}), bulks({"d", "e"}));
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "1", "5", "LIMIT", "0", "4294967297"}),
              bulks({"a", "b", "c", "d", "e"}))
        << "a limit beyond 32 bits is not cut to 1";
    EXPECT_EQ(c().call({"ZREVRANGEBYSCORE", "k", "10", "0", "LIMIT", "1", "2"}), bulks({"d", "c"}));
    EXPECT_EQ(c().call({"ZREVRANGEBYSCORE", "k", "(5", "[2", "WITHSCORES"}), bulks({"d", "4", "c", "3", "b", "2"}));
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "0", "10", "LIMIT", "1"}), kSyntax);
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "0", "10", "LIMIT", "a", "1"}), kNotInteger);
    EXPECT_EQ(c().call({"ZRANGEBYSCORE", "k", "0", "10", "FOO"}), kSyntax);
    EXPECT_EQ(c().call({"ZCOUNT", "k", "(1", "(5"}), integer(3));
    EXPECT_EQ(c().call({"ZCOUNT", "k", "-inf", "2"}), integer(2));
    EXPECT_EQ(c().call({"ZCOUNT", "k", "x", "2"}), kBadBound);
    EXPECT_EQ(c().call({"ZCOUNT", "missing", "0", "9"}), integer(0));
}

TEST_F(Zsets, RankRangesAndRanks) {
    fill_five("k");
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "1", "REV"}), bulks({"e", "d"}));
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "1", "BYSCORE"}), bulks({"a"}));
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "1", "FOO"}), kSyntax);
    EXPECT_EQ(c().call({"ZRANGE", "k", "x", "1"}), kNotInteger);
    EXPECT_EQ(c().call({"ZRANGE", "k", "-2", "100", "withscores"}), bulks({"d", "4", "e", "5"}));
    EXPECT_EQ(c().call({"ZRANGE", "k", "3", "1"}), kEmpty);
    EXPECT_EQ(c().call({"ZREVRANGE", "k", "0", "1"}), bulks({"e", "d"}));
    EXPECT_EQ(c().call({"ZREVRANGE", "k", "0", "0", "WITHSCORES"}), bulks({"e", "5"}));
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "4294967296"}), bulks({"a", "b", "c", "d", "e"}))
        << "a stop beyond 32 bits is not cut to 0";
    EXPECT_EQ(c().call({"ZRANGE", "k", "4294967296", "4294967297"}), kEmpty);
    EXPECT_EQ(c().call({"ZRANGE", "missing", "0", "-1"}), kEmpty);

    EXPECT_EQ(c().call({"ZRANK", "k", "c"}), integer(2));
    EXPECT_EQ(c().call({"ZREVRANK", "k", "c", "junk"}), integer(2));
    EXPECT_EQ(c().call({"ZRANK", "k", "d", "WITHSCORE"}), arr({integer(3), bulk("4")}));
    EXPECT_EQ(c().call({"ZREVRANK", "k", "d", "withscore"}), arr({integer(1), bulk("4")}));
    EXPECT_EQ(c().call({"ZRANK", "k", "zz"}), kNil);
    EXPECT_EQ(c().call({"ZRANK", "missing", "a", "WITHSCORE"}), kNil);
    EXPECT_EQ(c().call({"ZCARD", "k"}), integer(5));
    EXPECT_EQ(c().call({"ZCARD", "missing"}), integer(0));
}

TEST_F(Zsets, ScoresInResp2AndResp3) {
    EXPECT_EQ(c().call({"ZADD", "k", "2", "a", "2.5", "b", "1e15", "c", "-0.5", "d"}), integer(4));
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "-1", "WITHSCORES"}),
              bulks({"d", "-0.5", "a", "2", "b", "2.5", "c", "1000000000000000"}));
    EXPECT_EQ(c().call({"ZSCORE", "k", "missing"}), kNil);
    EXPECT_EQ(c().call({"ZINCRBY", "k", "0.25", "b"}), bulk("2.75"));

    // RESP3: every score is a double, integral ones included; a member with its
    // score is a [member, score] pair.
    ASSERT_EQ(c().call({"HELLO", "3"}).substr(0, 1), "%");
    EXPECT_EQ(c().call({"ZSCORE", "k", "a"}), ",2\r\n");
    EXPECT_EQ(c().call({"ZSCORE", "k", "b"}), ",2.75\r\n");
    EXPECT_EQ(c().call({"ZSCORE", "k", "missing"}), "_\r\n");
    EXPECT_EQ(c().call({"ZINCRBY", "k", "0", "a"}), ",2\r\n");
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "-1", "WITHSCORES"}),
              arr({arr({bulk("d"), ",-0.5\r\n"}), arr({bulk("a"), ",2\r\n"}), arr({bulk("b"), ",2.75\r\n"}),
                   arr({bulk("c"), ",1000000000000000\r\n"})}));
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "0"}), bulks({"d"})) << "without scores the array stays flat";
    EXPECT_EQ(c().call({"ZMSCORE", "k", "a", "nope", "d"}), arr({",2\r\n", "_\r\n", ",-0.5\r\n"}));
    EXPECT_EQ(c().call({"ZRANK", "k", "b", "WITHSCORE"}), arr({integer(2), ",2.75\r\n"}));
    EXPECT_EQ(c().call({"ZRANK", "k", "nope"}), "_\r\n");
    EXPECT_EQ(c().call({"ZADD", "k", "INCR", "1", "a"}), ",3\r\n");
    EXPECT_EQ(c().call({"ZPOPMIN", "k"}), arr({bulk("d"), ",-0.5\r\n"})) << "without a count: flat";
    EXPECT_EQ(c().call({"ZRANDMEMBER", "missing"}), "_\r\n");
}

// Every reply that carries members with their scores, in both protocols: flat
// with bulk scores in RESP2, [member, score] pairs with double scores in RESP3.
TEST_F(Zsets, WithScoresRepliesInBothProtocols) {
    struct Case {
        std::vector<std::string> request;
        std::vector<std::pair<std::string, std::string>> members;  // member, score text
    };
    const std::vector<Case> cases = {
        {{"ZRANGE", "k", "0", "1", "WITHSCORES"}, {{"a", "1"}, {"b", "2.5"}}},
        {{"ZREVRANGE", "k", "0", "1", "WITHSCORES"}, {{"c", "3"}, {"b", "2.5"}}},
        {{"ZRANGEBYSCORE", "k", "2", "3", "WITHSCORES"}, {{"b", "2.5"}, {"c", "3"}}},
        {{"ZREVRANGEBYSCORE", "k", "+inf", "(2.5", "WITHSCORES"}, {{"c", "3"}}},
        {{"ZRANDMEMBER", "one", "2", "WITHSCORES"}, {{"x", "7"}}},
        {{"ZRANDMEMBER", "one", "-2", "WITHSCORES"}, {{"x", "7"}, {"x", "7"}}},
        {{"ZPOPMAX", "pop", "2"}, {{"q", "-1"}, {"p", "-2"}}},
        {{"ZPOPMIN", "pop", "5"}, {}},
    };
    for (const bool resp3 : {false, true}) {
        Conn c(server_.port());
        if (resp3) {
            ASSERT_EQ(c.call({"HELLO", "3"}).substr(0, 1), "%");
        }
        ASSERT_EQ(c.call({"ZADD", "k", "1", "a", "2.5", "b", "3", "c"}), resp3 ? integer(0) : integer(3));
        ASSERT_EQ(c.call({"ZADD", "one", "7", "x"}), resp3 ? integer(0) : integer(1));
        ASSERT_EQ(c.call({"ZADD", "pop", "-2", "p", "-1", "q"}), integer(2));
        for (const Case& k : cases) {
            std::string expected = "*" + std::to_string(k.members.size() * (resp3 ? 1 : 2)) + "\r\n";
            for (const auto& [member, score] : k.members) {
                expected += resp3 ? "*2\r\n" + bulk(member) + "," + score + "\r\n" : bulk(member) + bulk(score);
            }
            c.send(cmd(std::vector<std::string>(k.request)));
            EXPECT_EQ(c.read_reply(), expected) << k.request[0] << (resp3 ? " in RESP3" : " in RESP2");
        }
        // ZSCAN stays flat with scores as bulk strings in both protocols.
        EXPECT_EQ(c.call({"ZSCAN", "one", "0"}), arr({bulk("0"), bulks({"x", "7"})}));
        // INCRBYFLOAT and HINCRBYFLOAT answer bulk strings in both protocols.
        EXPECT_EQ(c.call({"INCRBYFLOAT", "f", "1.5"}), resp3 ? bulk("3") : bulk("1.5"));
        EXPECT_EQ(c.call({"HINCRBYFLOAT", "h", "f", "2"}), resp3 ? bulk("4") : bulk("2"));
    }
}

TEST_F(Zsets, EmptyMemberIsAMember) {
    EXPECT_EQ(c().call({"ZADD", "k", "1", ""}), integer(1));
    EXPECT_EQ(c().call({"ZADD", "k", "1", ""}), integer(0));
    EXPECT_EQ(c().call({"ZADD", "k", "0", "a"}), integer(1));
    EXPECT_EQ(c().call({"ZCARD", "k"}), integer(2));
    EXPECT_EQ(c().call({"ZSCORE", "k", ""}), bulk("1"));
    EXPECT_EQ(c().call({"ZRANK", "k", ""}), integer(1));
    EXPECT_EQ(c().call({"ZMSCORE", "k", "", "x"}), arr({bulk("1"), kNil}));
    EXPECT_EQ(c().call({"ZREVRANGE", "k", "0", "-1"}), "*2\r\n$0\r\n\r\n$1\r\na\r\n");
    EXPECT_EQ(c().call({"ZREM", "k", "", "a"}), integer(2));
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));
}

TEST_F(Zsets, ZmscoreAnswersEveryMember) {
    std::vector<std::string> args = {"ZMSCORE", "k"};
    std::string expected = "*300\r\n";
    for (int i = 0; i < 300; ++i) {
        args.push_back("m" + std::to_string(i));
        expected += i % 3 == 0 ? bulk(std::to_string(i)) : kNil;
        if (i % 3 == 0) c().call({"ZADD", "k", std::to_string(i), "m" + std::to_string(i)});
    }
    c().send(cmd(args));
    EXPECT_EQ(c().read_reply(), expected);
    EXPECT_EQ(c().call({"ZMSCORE", "k"}), arity("zmscore"));
}

TEST_F(Zsets, RangeStoreForms) {
    fill_five("s");
    // REV counts ranks from the highest member, as ZRANGE does.
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "0", "2", "REV"}), integer(3));
    EXPECT_EQ(c().call({"ZRANGE", "d", "0", "-1"}), bulks({"c", "d", "e"}));
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "2", "0", "REV"}), integer(0));
    EXPECT_EQ(c().call({"EXISTS", "d"}), integer(0));
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "1", "-2"}), integer(3));
    EXPECT_EQ(c().call({"ZRANGE", "d", "0", "-1"}), bulks({"b", "c", "d"}));

    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "(1", "4", "BYSCORE", "LIMIT", "1", "2"}), integer(2));
    EXPECT_EQ(c().call({"ZRANGE", "d", "0", "-1", "WITHSCORES"}), bulks({"c", "3", "d", "4"}));
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "4", "(1", "BYSCORE", "REV", "LIMIT", "0", "2"}), integer(2));
    EXPECT_EQ(c().call({"ZRANGE", "d", "0", "-1"}), bulks({"c", "d"}));
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "-inf", "+inf", "BYSCORE"}), integer(5));
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "0", "5", "(3", "BYSCORE"}), kSyntax);
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "5", "0", "BYSCORE"}), integer(0));
    EXPECT_EQ(c().call({"EXISTS", "d"}), integer(0));

    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "0", "-1", "BYLEX"}),
              "-ERR min or max not valid string range item\r\n");
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "0", "5", "BYSCORE", "3"}), kSyntax);
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "0", "-1", "LIMIT"}), kSyntax);
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "a", "b"}), kNotInteger);
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "a", "b", "BYSCORE"}), kBadBound);
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "s", "0"}), arity("zrangestore"));

    EXPECT_EQ(c().call({"SET", "str", "v"}), "+OK\r\n");
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "str", "0", "-1"}), kWrongType);
    EXPECT_EQ(c().call({"ZRANGESTORE", "str", "s", "0", "0"}), integer(1)) << "any destination is replaced";
    EXPECT_EQ(c().call({"TYPE", "str"}), "+zset\r\n");
    EXPECT_EQ(c().call({"ZRANGESTORE", "str", "missing", "0", "-1"}), integer(0));
    EXPECT_EQ(c().call({"EXISTS", "str"}), integer(0));
}

TEST_F(Zsets, PopsAndRangeRemovals) {
    fill_five("k");
    EXPECT_EQ(c().call({"ZPOPMIN", "k"}), bulks({"a", "1"}));
    EXPECT_EQ(c().call({"ZPOPMAX", "k", "2"}), bulks({"e", "5", "d", "4"}));
    EXPECT_EQ(c().call({"ZPOPMIN", "k", "0"}), kEmpty);
    EXPECT_EQ(c().call({"ZPOPMIN", "k", "-1"}), kNotInteger);
    EXPECT_EQ(c().call({"ZPOPMIN", "k", "4294967296"}), bulks({"b", "2", "c", "3"}))
        << "a count beyond 32 bits is not cut to 0";
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));
    EXPECT_EQ(c().call({"ZPOPMAX", "k"}), kEmpty);
    EXPECT_EQ(c().call({"ZPOPMAX"}), arity("zpopmax"));

    fill_five("k");
    EXPECT_EQ(c().call({"ZREMRANGEBYSCORE", "k", "(1", "3"}), integer(2));
    EXPECT_EQ(c().call({"ZREMRANGEBYSCORE", "k", "(1", "x"}), kBadBound);
    EXPECT_EQ(c().call({"ZREMRANGEBYRANK", "k", "-1", "-1"}), integer(1));
    EXPECT_EQ(c().call({"ZRANGE", "k", "0", "-1"}), bulks({"a", "d"}));
    EXPECT_EQ(c().call({"ZREMRANGEBYRANK", "k", "x", "1"}), kNotInteger);
    EXPECT_EQ(c().call({"ZREMRANGEBYRANK", "k", "0", "4294967296"}), integer(2));
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));
    fill_five("k");
    EXPECT_EQ(c().call({"ZREM", "k", "a", "a", "zz", "b"}), integer(2));
    EXPECT_EQ(c().call({"ZREMRANGEBYSCORE", "k", "-inf", "+inf"}), integer(3));
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));
}

TEST_F(Zsets, RandomMembers) {
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k"}), kNil);
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "3"}), kEmpty);
    EXPECT_EQ(c().call({"ZADD", "k", "1.5", "only"}), integer(1));
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k"}), bulk("only"));
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "1"}), bulks({"only"})) << "any count answers an array";
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "-1"}), bulks({"only"}));
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "-3"}), bulks({"only", "only", "only"}));
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "10", "WITHSCORES"}), bulks({"only", "1.5"}));
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "0"}), kEmpty);
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "-2", "WITHSCORES"}), bulks({"only", "1.5", "only", "1.5"}));
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "1", "FOO"}), kSyntax);
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "4294967297"}), kNotInteger) << "not cut to a count of 1";
    EXPECT_EQ(c().call({"ZRANDMEMBER", "k", "x"}), kNotInteger);
}

TEST_F(Zsets, OtherTypesAndArity) {
    EXPECT_EQ(c().call({"SET", "s", "v"}), "+OK\r\n");
    const std::vector<std::vector<std::string>> reads_and_writes = {
        {"ZSCORE", "s", "a"},     {"ZCARD", "s"},        {"ZRANK", "s", "a"},           {"ZMSCORE", "s", "a"},
        {"ZRANGE", "s", "0", "-1"}, {"ZADD", "s", "1", "a"}, {"ZINCRBY", "s", "1", "a"},   {"ZPOPMIN", "s"},
        {"ZCOUNT", "s", "0", "1"}, {"ZSCAN", "s", "0"},   {"ZRANDMEMBER", "s"},          {"ZRANGEBYSCORE", "s", "0", "1"},
        {"ZREMRANGEBYRANK", "s", "0", "-1"}};
    for (const auto& args : reads_and_writes) {
        c().send(cmd(args));
        EXPECT_EQ(c().read_reply(), kWrongType) << args[0];
    }
    EXPECT_EQ(c().call({"ZREM", "s", "v"}), integer(0));
    EXPECT_EQ(c().call({"GET", "s"}), bulk("v"));

    for (const char* name : {"zadd", "zrem", "zscore", "zincrby", "zcard", "zrank", "zrevrank", "zrange",
                             "zrevrange", "zrangebyscore", "zrevrangebyscore", "zcount", "zscan", "zpopmin",
                             "zremrangebyscore", "zremrangebyrank", "zrandmember"}) {
        std::string upper(name);
        for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        EXPECT_EQ(c().call({upper}), arity(name)) << name;
    }
}

TEST(ZsetsLog, WritesAreLoggedSoAReplayRebuildsTheSets) {
    const std::string path = "vorel_zsets_" + std::to_string(platform::process_id()) + ".aof";
    std::remove(path.c_str());
    const std::vector<std::vector<std::string>> logged = {
        {"ZADD", "k", "1", "a", "2", "b"}, {"ZINCRBY", "k", "1.5", "a"},     {"ZREM", "k", "b"},
        {"ZADD", "z", "1", "x", "2", "y", "3", "w", "4", "v"},               {"zpopmax", "z"},
        {"ZRANGESTORE", "d", "z", "0", "-1"},                                {"ZRANGESTORE", "d", "missing", "0", "-1"},
        {"ZREMRANGEBYSCORE", "z", "2", "2"}, {"ZPOPMIN", "z", "1"},          {"ZADD", "k", "INCR", "2", ""},
    };
    const std::vector<std::vector<std::string>> not_logged = {
        {"ZADD", "k", "XX", "5", "c"},      {"ZADD", "k", "2.5", "a"},
        {"ZADD", "k", "1", "c", "bad", "d"}, {"ZREM", "k", "nope"},
        {"ZPOPMIN", "missing"},             {"ZREMRANGEBYRANK", "z", "5", "9"},
        {"ZRANGESTORE", "d", "missing", "0", "-1"}, {"ZADD", "k", "GT", "CH", "0", "a"},
        {"ZINCRBY", "k", "x", "a"},         {"ZRANDMEMBER", "z", "2"},
        {"ZSCORE", "k", "a"},
    };
    std::string snapshot;
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        // Each logged write followed by the no-ops and failures that must not be logged.
        for (size_t i = 0; i < logged.size(); ++i) {
            c.send(cmd(logged[i]));
            c.read_reply();
            if (i < not_logged.size()) {
                c.send(cmd(not_logged[i]));
                c.read_reply();
            }
        }
        for (size_t i = logged.size(); i < not_logged.size(); ++i) {
            c.send(cmd(not_logged[i]));
            c.read_reply();
        }
        snapshot = c.call({"ZRANGE", "k", "0", "-1", "WITHSCORES"}) + c.call({"ZRANGE", "z", "0", "-1", "WITHSCORES"}) +
                   c.call({"EXISTS", "d"});
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    in.close();
    std::string expected;
    for (const auto& args : logged) expected += cmd(args);
    EXPECT_EQ(ss.str(), expected);
    EXPECT_EQ(snapshot, bulks({"", "2", "a", "2.5"}) + bulks({"w", "3"}) + integer(0));

    {
        ServerGuard restarted(nullptr, 0, path.c_str());  // replays the log at start
        ASSERT_TRUE(restarted.ok());
        Conn c(restarted.port());
        EXPECT_EQ(c.call({"ZRANGE", "k", "0", "-1", "WITHSCORES"}) +
                      c.call({"ZRANGE", "z", "0", "-1", "WITHSCORES"}) + c.call({"EXISTS", "d"}),
                  snapshot);
    }
    std::remove(path.c_str());
}
