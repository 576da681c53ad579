// Integration tests of the sorted-set range forms and set algebra over real
// connections: ZRANGE with BYSCORE, BYLEX, REV and LIMIT, ZRANGESTORE with the
// same meaning, the lexicographic commands, ZUNION/ZINTER/ZDIFF and their STORE
// forms, ZINTERCARD, ZMPOP, and the blocking BZPOPMIN, BZPOPMAX and BZMPOP.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/parking_fixture.h"

using namespace vtest;

namespace {

const std::string kEmpty = "*0\r\n";

class ZsetForms : public ParkingTest {
protected:
    // a..e scored 1..5
    void fill_five(const char* key) {
        ASSERT_EQ(c().call({"ZADD", key, "1", "a", "2", "b", "3", "c", "4", "d", "5", "e"}), integer(5));
    }
    // Equal scores: byte order.
    void fill_lex(const char* key) {
        ASSERT_EQ(c().call({"ZADD", key, "0", "a", "0", "b", "0", "c", "0", "d", "0", "e", "0", "f", "0", "g"}),
                  integer(7));
    }
};

}  // namespace

TEST_F(ZsetForms, RangeByScoreAndRankWithRevAndLimit) {
    fill_five("k");
    struct Case {
        std::vector<std::string> request;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {{"ZRANGE", "k", "0", "1", "REV"}, arr({"e", "d"})},
        {{"ZRANGE", "k", "-2", "-1", "REV", "WITHSCORES"}, arr({"b", "2", "a", "1"})},
        {{"ZRANGE", "k", "(1", "4", "BYSCORE"}, arr({"b", "c", "d"})},
        {{"ZRANGE", "k", "4", "(1", "BYSCORE", "REV"}, arr({"d", "c", "b"})},
        {{"ZRANGE", "k", "1", "4", "BYSCORE", "REV"}, kEmpty},
        {{"ZRANGE", "k", "-inf", "+inf", "BYSCORE", "LIMIT", "1", "2"}, arr({"b", "c"})},
        {{"ZRANGE", "k", "+inf", "-inf", "BYSCORE", "REV", "LIMIT", "0", "2", "WITHSCORES"},
         arr({"e", "5", "d", "4"})},
        {{"ZRANGE", "k", "-inf", "+inf", "BYSCORE", "LIMIT", "3", "-1"}, arr({"d", "e"})},
        {{"ZRANGE", "k", "-inf", "+inf", "BYSCORE", "LIMIT", "0", "0"}, kEmpty},
        {{"ZRANGE", "k", "-inf", "+inf", "BYSCORE", "LIMIT", "-1", "2"}, kEmpty},
        {{"ZRANGE", "missing", "0", "-1", "REV"}, kEmpty},
        {{"ZRANGE", "k", "0", "-1", "LIMIT", "0", "1"},
         "-ERR syntax error, LIMIT is only supported in combination with either BYSCORE or BYLEX\r\n"},
        {{"ZRANGE", "k", "x", "1", "BYSCORE"}, "-ERR min or max is not a float\r\n"},
        {{"ZRANGE", "k", "0", "1", "BYSCORE", "LIMIT", "0"}, kSyntax},
    };
    for (const Case& k : cases) {
        c().send(cmd(k.request));
        EXPECT_EQ(c().read_reply(), k.reply) << k.request[0] << " " << k.request[2] << " " << k.request[3];
    }
}

TEST_F(ZsetForms, LexicographicRanges) {
    fill_lex("z");
    EXPECT_EQ(c().call({"ZRANGE", "z", "[b", "(e", "BYLEX"}), arr({"b", "c", "d"}));
    EXPECT_EQ(c().call({"ZRANGE", "z", "(e", "[b", "BYLEX", "REV"}), arr({"d", "c", "b"}));
    EXPECT_EQ(c().call({"ZRANGE", "z", "-", "+", "BYLEX", "LIMIT", "2", "3"}), arr({"c", "d", "e"}));
    EXPECT_EQ(c().call({"ZRANGE", "z", "+", "-", "BYLEX", "REV", "LIMIT", "1", "2"}), arr({"f", "e"}));
    EXPECT_EQ(c().call({"ZRANGE", "z", "-", "+", "BYLEX", "WITHSCORES"}),
              "-ERR syntax error, WITHSCORES not supported in combination with BYLEX\r\n");
    EXPECT_EQ(c().call({"ZRANGEBYLEX", "z", "-", "[c"}), arr({"a", "b", "c"}));
    EXPECT_EQ(c().call({"ZRANGEBYLEX", "z", "(c", "+", "LIMIT", "1", "10"}), arr({"e", "f", "g"}));
    EXPECT_EQ(c().call({"ZREVRANGEBYLEX", "z", "[c", "-"}), arr({"c", "b", "a"}));
    EXPECT_EQ(c().call({"ZREVRANGEBYLEX", "z", "+", "(e", "LIMIT", "0", "1"}), arr({"g"}));
    EXPECT_EQ(c().call({"ZRANGEBYLEX", "z", "[x", "[y"}), kEmpty);
    EXPECT_EQ(c().call({"ZRANGEBYLEX", "z", "[e", "[b"}), kEmpty);
    EXPECT_EQ(c().call({"ZRANGEBYLEX", "z", "b", "[c"}), "-ERR min or max not valid string range item\r\n");
    EXPECT_EQ(c().call({"ZLEXCOUNT", "z", "-", "+"}), integer(7));
    EXPECT_EQ(c().call({"ZLEXCOUNT", "z", "(a", "[c"}), integer(2));
    EXPECT_EQ(c().call({"ZLEXCOUNT", "missing", "-", "+"}), integer(0));
    EXPECT_EQ(c().call({"ZREMRANGEBYLEX", "z", "[b", "(d"}), integer(2));
    EXPECT_EQ(c().call({"ZRANGE", "z", "0", "-1"}), arr({"a", "d", "e", "f", "g"}));
    EXPECT_EQ(c().call({"ZREMRANGEBYLEX", "z", "[x", "+"}), integer(0));
    EXPECT_EQ(c().call({"ZREMRANGEBYLEX", "z", "-", "+"}), integer(5));
    EXPECT_EQ(c().call({"EXISTS", "z"}), integer(0));
    EXPECT_EQ(c().call({"SET", "s", "v"}), kOk);
    EXPECT_EQ(c().call({"ZLEXCOUNT", "s", "-", "+"}), kWrongType);
    EXPECT_EQ(c().call({"ZRANGEBYLEX", "s", "-", "+"}), kWrongType);

    fill_lex("z");
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "z", "[c", "+", "BYLEX", "LIMIT", "1", "2"}), integer(2));
    EXPECT_EQ(c().call({"ZRANGE", "d", "0", "-1"}), arr({"d", "e"}));
    EXPECT_EQ(c().call({"ZRANGESTORE", "d", "z", "[f", "+", "BYLEX", "REV"}), integer(0)) << "REV takes max first";
    EXPECT_EQ(c().call({"EXISTS", "d"}), integer(0));
    EXPECT_EQ(c().call({"ZRANGESTORE", "z", "z", "+", "[f", "BYLEX", "REV"}), integer(2)) << "onto its source";
    EXPECT_EQ(c().call({"ZRANGE", "z", "0", "-1"}), arr({"f", "g"}));
}

TEST_F(ZsetForms, UnionIntersectionAndDifference) {
    ASSERT_EQ(c().call({"ZADD", "x", "1", "a", "2", "b", "3", "c"}), integer(3));
    ASSERT_EQ(c().call({"ZADD", "y", "10", "b", "20", "c", "30", "d"}), integer(3));
    ASSERT_EQ(c().call({"SADD", "plain", "c", "d", "e"}), integer(3));
    EXPECT_EQ(c().call({"ZUNION", "2", "x", "y", "WITHSCORES"}), arr({"a", "1", "b", "12", "c", "23", "d", "30"}));
    EXPECT_EQ(c().call({"ZUNION", "2", "x", "y", "WEIGHTS", "2", "0.5", "AGGREGATE", "MAX", "WITHSCORES"}),
              arr({"a", "2", "b", "5", "c", "10", "d", "15"}));
    EXPECT_EQ(c().call({"ZINTER", "2", "x", "y", "AGGREGATE", "MIN", "WITHSCORES"}), arr({"b", "2", "c", "3"}));
    EXPECT_EQ(c().call({"ZINTER", "3", "x", "y", "plain"}), arr({"c"}));
    EXPECT_EQ(c().call({"ZUNION", "2", "plain", "missing", "WITHSCORES"}), arr({"c", "1", "d", "1", "e", "1"}));
    EXPECT_EQ(c().call({"ZDIFF", "2", "x", "y", "WITHSCORES"}), arr({"a", "1"}));
    EXPECT_EQ(c().call({"ZDIFF", "2", "y", "plain"}), arr({"b"}));
    EXPECT_EQ(c().call({"ZDIFF", "1", "missing"}), kEmpty);
    EXPECT_EQ(c().call({"ZINTERCARD", "2", "x", "y"}), integer(2));
    EXPECT_EQ(c().call({"ZINTERCARD", "2", "x", "y", "LIMIT", "1"}), integer(1));
    EXPECT_EQ(c().call({"ZINTERCARD", "2", "x", "missing"}), integer(0));

    EXPECT_EQ(c().call({"ZUNIONSTORE", "u", "2", "x", "y"}), integer(4));
    EXPECT_EQ(c().call({"ZRANGE", "u", "0", "-1", "WITHSCORES"}), arr({"a", "1", "b", "12", "c", "23", "d", "30"}));
    EXPECT_EQ(c().call({"ZINTERSTORE", "x", "2", "x", "y", "WEIGHTS", "1", "0"}), integer(2))
        << "the destination is one of the sources";
    EXPECT_EQ(c().call({"ZRANGE", "x", "0", "-1", "WITHSCORES"}), arr({"b", "2", "c", "3"}));
    EXPECT_EQ(c().call({"ZDIFFSTORE", "dd", "2", "y", "plain"}), integer(1));
    EXPECT_EQ(c().call({"ZRANGE", "dd", "0", "-1", "WITHSCORES"}), arr({"b", "10"}));
    EXPECT_EQ(c().call({"ZINTERSTORE", "dd", "2", "x", "missing"}), integer(0));
    EXPECT_EQ(c().call({"EXISTS", "dd"}), integer(0)) << "an empty result deletes the destination";

    EXPECT_EQ(c().call({"SET", "str", "v"}), kOk);
    EXPECT_EQ(c().call({"ZUNION", "2", "x", "str"}), kWrongType);
    EXPECT_EQ(c().call({"ZUNIONSTORE", "str", "1", "x"}), integer(2)) << "any destination is replaced";
    EXPECT_EQ(c().call({"TYPE", "str"}), "+zset\r\n");
    EXPECT_EQ(c().call({"ZUNION", "0", "x"}), "-ERR numkeys should be greater than 0\r\n");
    EXPECT_EQ(c().call({"ZUNION", "3", "x", "y"}), kSyntax);
    EXPECT_EQ(c().call({"ZUNION", "2", "x", "y", "WEIGHTS", "1", "z"}), "-ERR weight value is not a float\r\n");
    EXPECT_EQ(c().call({"ZUNION", "2", "x", "y", "AGGREGATE", "AVG"}), kSyntax);
    EXPECT_EQ(c().call({"ZDIFF", "2", "x", "y", "WEIGHTS", "1", "1"}), kSyntax);
    EXPECT_EQ(c().call({"ZUNIONSTORE", "d", "2", "x", "y", "WITHSCORES"}), kSyntax);
    EXPECT_EQ(c().call({"ZINTERCARD", "2", "x", "y", "LIMIT", "-1"}), "-ERR LIMIT can't be negative\r\n");
}

TEST_F(ZsetForms, MultiPopAndBlockingPops) {
    fill_five("k");
    EXPECT_EQ(c().call({"ZMPOP", "2", "missing", "k", "MIN"}), "*2\r\n" + bulk("k") + "*1\r\n" + arr({"a", "1"}));
    EXPECT_EQ(c().call({"ZMPOP", "1", "k", "MAX", "COUNT", "2"}),
              "*2\r\n" + bulk("k") + "*2\r\n" + arr({"e", "5"}) + arr({"d", "4"}));
    EXPECT_EQ(c().call({"ZMPOP", "1", "missing", "MIN"}), kNilArray);
    EXPECT_EQ(c().call({"ZMPOP", "1", "k", "SIDE"}), kSyntax);
    EXPECT_EQ(c().call({"ZMPOP", "1", "k", "MIN", "COUNT", "0"}), "-ERR count should be greater than 0\r\n");
    EXPECT_EQ(c().call({"SET", "s", "v"}), kOk);
    EXPECT_EQ(c().call({"ZMPOP", "2", "s", "k", "MIN"}), kWrongType);
    EXPECT_EQ(c().call({"BZPOPMIN", "s", "0"}), kWrongType);
    EXPECT_EQ(c().call({"BZPOPMIN", "missing", "k", "0"}), arr({"k", "b", "2"}));
    EXPECT_EQ(c().call({"BZPOPMAX", "k", "0"}), arr({"k", "c", "3"}));
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));

    // Woken by ZADD, first parked first served; the blocking multi-pop takes its count.
    auto first = connect();
    auto second = connect();
    park(*first, {"BZPOPMAX", "q", "0"});
    park(*second, {"BZMPOP", "0", "1", "q", "MIN", "COUNT", "5"});
    EXPECT_EQ(c().call({"ZADD", "q", "1", "x", "2", "y", "3", "z"}), integer(3));
    EXPECT_EQ(first->read_reply(), arr({"q", "z", "3"}));
    EXPECT_EQ(second->read_reply(), "*2\r\n" + bulk("q") + "*2\r\n" + arr({"x", "1"}) + arr({"y", "2"}));
    EXPECT_EQ(c().call({"EXISTS", "q"}), integer(0));

    // Time-outs, and inside a transaction nothing waits.
    EXPECT_EQ(first->call({"BZPOPMIN", "q", "0.05"}), kNilArray);
    EXPECT_EQ(first->call({"BZMPOP", "0.05", "1", "q", "MAX"}), kNilArray);
    EXPECT_EQ(c().call({"MULTI"}), kOk);
    EXPECT_EQ(c().call({"BZPOPMIN", "q", "0"}), "+QUEUED\r\n");
    EXPECT_EQ(c().call({"EXEC"}), "*1\r\n" + kNilArray);
}
