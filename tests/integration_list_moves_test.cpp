// Integration tests of the list moves and trims over real connections: LTRIM,
// LMOVE, RPOPLPUSH and the blocking BLMOVE, BRPOPLPUSH and BLMPOP — replies in
// both protocols, edge cases (missing keys, wrong types, the same source and
// destination), wake-ups by other clients, time-outs and transactions.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/parking_fixture.h"

using namespace vtest;

namespace {

class ListMoves : public ParkingTest {
protected:
    std::string range(const char* key) { return c().call({"LRANGE", key, "0", "-1"}); }
};

}  // namespace

TEST_F(ListMoves, TrimKeepsTheRangeAndDeletesAnEmptyResult) {
    struct Case {
        const char* start;
        const char* stop;
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        {"1", "3", {"b", "c", "d"}}, {"0", "-1", {"a", "b", "c", "d", "e"}}, {"-2", "-1", {"d", "e"}},
        {"-100", "1", {"a", "b"}},   {"3", "100", {"d", "e"}},              {"2", "2", {"c"}},
        {"3", "1", {}},              {"5", "10", {}},                       {"0", "-6", {}},
    };
    for (const Case& k : cases) {
        ASSERT_EQ(c().call({"DEL", "l"}).substr(0, 1), ":");
        ASSERT_EQ(c().call({"RPUSH", "l", "a", "b", "c", "d", "e"}), integer(5));
        EXPECT_EQ(c().call({"LTRIM", "l", k.start, k.stop}), kOk) << k.start << " " << k.stop;
        EXPECT_EQ(range("l"), arr(k.kept)) << k.start << " " << k.stop;
        EXPECT_EQ(c().call({"EXISTS", "l"}), integer(k.kept.empty() ? 0 : 1));
    }
    EXPECT_EQ(c().call({"LTRIM", "missing", "0", "1"}), kOk);
    EXPECT_EQ(c().call({"EXISTS", "missing"}), integer(0));
    EXPECT_EQ(c().call({"SET", "s", "v"}), kOk);
    EXPECT_EQ(c().call({"LTRIM", "s", "0", "1"}), kWrongType);
    EXPECT_EQ(c().call({"LTRIM", "l", "x", "1"}), "-ERR value is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"LTRIM", "l", "0"}), "-ERR wrong number of arguments for 'ltrim' command\r\n");
}

TEST_F(ListMoves, MoveBetweenEndsAndOntoItself) {
    ASSERT_EQ(c().call({"RPUSH", "src", "a", "b", "c"}), integer(3));
    EXPECT_EQ(c().call({"LMOVE", "src", "dst", "LEFT", "RIGHT"}), bulk("a"));
    EXPECT_EQ(c().call({"LMOVE", "src", "dst", "right", "left"}), bulk("c"));
    EXPECT_EQ(range("dst"), arr({"c", "a"}));
    EXPECT_EQ(c().call({"RPOPLPUSH", "dst", "dst"}), bulk("a")) << "rotation of one list";
    EXPECT_EQ(range("dst"), arr({"a", "c"}));
    EXPECT_EQ(c().call({"LMOVE", "dst", "dst", "LEFT", "RIGHT"}), bulk("a"));
    EXPECT_EQ(range("dst"), arr({"c", "a"}));
    EXPECT_EQ(c().call({"RPOPLPUSH", "src", "dst"}), bulk("b"));
    EXPECT_EQ(c().call({"EXISTS", "src"}), integer(0)) << "the emptied source stays";
    EXPECT_EQ(range("dst"), arr({"b", "c", "a"}));
    // A one-element list moved onto itself keeps its element.
    ASSERT_EQ(c().call({"RPUSH", "one", "x"}), integer(1));
    EXPECT_EQ(c().call({"LMOVE", "one", "one", "LEFT", "LEFT"}), bulk("x"));
    EXPECT_EQ(range("one"), arr({"x"}));

    EXPECT_EQ(c().call({"LMOVE", "missing", "dst", "LEFT", "LEFT"}), kNil);
    EXPECT_EQ(c().call({"RPOPLPUSH", "missing", "dst"}), kNil);
    EXPECT_EQ(c().call({"EXISTS", "missing"}), integer(0));
    EXPECT_EQ(c().call({"SET", "s", "v"}), kOk);
    EXPECT_EQ(c().call({"LMOVE", "s", "dst", "LEFT", "LEFT"}), kWrongType);
    EXPECT_EQ(c().call({"LMOVE", "dst", "s", "LEFT", "LEFT"}), kWrongType);
    EXPECT_EQ(c().call({"RPOPLPUSH", "dst", "s"}), kWrongType);
    EXPECT_EQ(range("dst"), arr({"b", "c", "a"})) << "a refused move lost the element";
    EXPECT_EQ(c().call({"LMOVE", "dst", "x", "UP", "LEFT"}), kSyntax);
    EXPECT_EQ(c().call({"LMOVE", "dst", "x", "LEFT"}), "-ERR wrong number of arguments for 'lmove' command\r\n");
}

TEST_F(ListMoves, BlockingMovesAnswerAtOnceWakeAndTimeOut) {
    ASSERT_EQ(c().call({"RPUSH", "src", "a", "b"}), integer(2));
    EXPECT_EQ(c().call({"BLMOVE", "src", "dst", "RIGHT", "LEFT", "0"}), bulk("b"));
    EXPECT_EQ(c().call({"BRPOPLPUSH", "src", "dst", "0"}), bulk("a"));
    EXPECT_EQ(range("dst"), arr({"a", "b"}));

    // Woken by another client's push; the element lands at the destination.
    auto waiter = connect();
    park(*waiter, {"BLMOVE", "q", "done", "LEFT", "RIGHT", "0"});
    EXPECT_EQ(c().call({"RPUSH", "q", "job1", "job2"}), integer(2));
    EXPECT_EQ(waiter->read_reply(), bulk("job1"));
    EXPECT_EQ(range("q"), arr({"job2"}));
    EXPECT_EQ(range("done"), arr({"job1"}));

    // The moved element wakes a client parked on the destination in turn.
    auto second = connect();
    park(*waiter, {"BRPOPLPUSH", "in", "mid", "0"});
    park(*second, {"BLPOP", "mid", "0"});
    EXPECT_EQ(c().call({"LPUSH", "in", "x"}), integer(1));
    EXPECT_EQ(waiter->read_reply(), bulk("x"));
    EXPECT_EQ(second->read_reply(), arr({"mid", "x"}));
    EXPECT_EQ(c().call({"EXISTS", "in", "mid"}), integer(0));

    // A push by LMOVE wakes a parked client too.
    park(*second, {"BLMOVE", "target", "final", "LEFT", "LEFT", "0"});
    EXPECT_EQ(c().call({"LMOVE", "q", "target", "LEFT", "LEFT"}), bulk("job2"));
    EXPECT_EQ(second->read_reply(), bulk("job2"));
    EXPECT_EQ(range("final"), arr({"job2"}));

    // A destination that became another type answers the parked client WRONGTYPE
    // and keeps the element in the source.
    park(*waiter, {"BLMOVE", "w", "wrong", "LEFT", "LEFT", "0"});
    EXPECT_EQ(c().call({"SET", "wrong", "s"}), kOk);
    EXPECT_EQ(c().call({"RPUSH", "w", "kept"}), integer(1));
    EXPECT_EQ(waiter->read_reply(), kWrongType);
    EXPECT_EQ(range("w"), arr({"kept"}));

    // Time-outs in both protocols.
    EXPECT_EQ(waiter->call({"BLMOVE", "none", "d", "LEFT", "LEFT", "0.05"}), kNilArray);
    EXPECT_EQ(waiter->call({"HELLO", "3"}).substr(0, 1), "%");
    EXPECT_EQ(waiter->call({"BRPOPLPUSH", "none", "d", "0.05"}), "_\r\n");
    EXPECT_EQ(c().call({"EXISTS", "d"}), integer(0));
    EXPECT_EQ(c().call({"BLMOVE", "src", "d", "LEFT", "LEFT", "-1"}), "-ERR timeout is negative\r\n");
    EXPECT_EQ(c().call({"BLMOVE", "src", "d", "NEAR", "LEFT", "0"}), kSyntax);
}

TEST_F(ListMoves, BlockingMultiPopPassesOverOtherTypes) {
    ASSERT_EQ(c().call({"SET", "s", "v"}), kOk);
    ASSERT_EQ(c().call({"RPUSH", "l", "a", "b", "c"}), integer(3));
    EXPECT_EQ(c().call({"BLMPOP", "0", "3", "missing", "s", "l", "RIGHT", "COUNT", "2"}),
              "*2\r\n" + bulk("l") + arr({"c", "b"}));
    EXPECT_EQ(c().call({"BLMPOP", "0", "1", "l", "LEFT"}), "*2\r\n" + bulk("l") + arr({"a"}));
    EXPECT_EQ(c().call({"BLMPOP", "0", "2", "l", "s", "LEFT", "COUNT", "0"}),
              "-ERR numkeys should be greater than 0\r\n");
    EXPECT_EQ(c().call({"BLMPOP", "0", "5", "l", "LEFT"}), "-ERR wrong number of arguments for 'blmpop' command\r\n");
    EXPECT_EQ(c().call({"BLMPOP", "0", "1", "l", "COUNT", "2"}), kSyntax);
    EXPECT_EQ(c().call({"BLMPOP", "x", "1", "l", "LEFT"}), "-ERR timeout is not a float or out of range\r\n");

    auto waiter = connect();
    park(*waiter, {"BLMPOP", "0", "2", "s", "q", "LEFT", "COUNT", "5"});
    EXPECT_EQ(c().call({"RPUSH", "q", "1", "2", "3"}), integer(3));
    EXPECT_EQ(waiter->read_reply(), "*2\r\n" + bulk("q") + arr({"1", "2", "3"}));
    EXPECT_EQ(c().call({"EXISTS", "q"}), integer(0));
    EXPECT_EQ(waiter->call({"BLMPOP", "0.05", "1", "q", "LEFT"}), kNilArray);

    // Inside a transaction nothing waits.
    EXPECT_EQ(c().call({"MULTI"}), kOk);
    EXPECT_EQ(c().call({"BLMPOP", "0", "1", "q", "LEFT"}), "+QUEUED\r\n");
    EXPECT_EQ(c().call({"BLMOVE", "q", "d", "LEFT", "LEFT", "0"}), "+QUEUED\r\n");
    EXPECT_EQ(c().call({"EXEC"}), "*2\r\n" + kNilArray + kNil);
    EXPECT_EQ(c().call({"RPUSH", "q", "v"}), integer(1));
    EXPECT_EQ(c().call({"LLEN", "q"}), integer(1)) << "the transaction's client was left parked";
}

// Parked clients of every blocking list command on one key are served first
// parked, first served, one element each.
TEST_F(ListMoves, WakeUpOrderIsParkOrderAcrossCommands) {
    auto a = connect();
    auto b = connect();
    auto d = connect();
    // Parked in another order than they connected.
    park(*d, {"BRPOP", "k", "0"});
    park(*a, {"BLMOVE", "k", "ad", "LEFT", "LEFT", "0"});
    park(*b, {"BLMPOP", "0", "1", "k", "LEFT", "COUNT", "2"});
    EXPECT_EQ(c().call({"RPUSH", "k", "1", "2", "3", "4", "5"}), integer(5));
    EXPECT_EQ(d->read_reply(), arr({"k", "5"}));
    EXPECT_EQ(a->read_reply(), bulk("1"));
    EXPECT_EQ(b->read_reply(), "*2\r\n" + bulk("k") + arr({"2", "3"}));
    EXPECT_EQ(c().call({"LRANGE", "k", "0", "-1"}), arr({"4"}));
    EXPECT_EQ(vtest::parked_clients(c()), 0);
}
