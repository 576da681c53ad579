// Integration tests of the list commands over real connections: exact replies and
// error texts, empty elements, arguments past the 32-bit range, blocking pops
// (parking, wake-up order, time-outs, parked clients that keep working or stall),
// what the log records and a restart rebuilds, and the string and key commands
// meeting a list key.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/resp_client.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }
std::string arr(const std::vector<std::string>& items) {
    std::string out = "*" + std::to_string(items.size()) + "\r\n";
    for (const std::string& s : items) out += bulk(s);
    return out;
}
std::string ints(const std::vector<int>& items) {
    std::string out = "*" + std::to_string(items.size()) + "\r\n";
    for (int n : items) out += ":" + std::to_string(n) + "\r\n";
    return out;
}
std::string integer(long long n) { return ":" + std::to_string(n) + "\r\n"; }
// The reply of a blocking pop and of LMPOP's single-element form.
std::string key_and(const std::string& key, const std::string& element) { return arr({key, element}); }

const std::string kNil = "$-1\r\n";
const std::string kOk = "+OK\r\n";
const std::string kEmpty = "*0\r\n";
const std::string kWrongType = "-WRONGTYPE Operation against a key holding the wrong kind of value\r\n";
const std::string kSyntax = "-ERR syntax error\r\n";
const std::string kNotInteger = "-ERR value is not an integer or out of range\r\n";

class Lists : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        c_ = std::make_unique<Conn>(server_.port());
    }
    Conn& c() { return *c_; }
    std::unique_ptr<Conn> connect() { return std::make_unique<Conn>(server_.port()); }
    // Sends a blocking request and makes sure the server has parked it before
    // going on; a connection of its own watches the parked count.
    void park(Conn& who, std::initializer_list<std::string_view> request) {
        if (!observer_) observer_ = connect();
        ASSERT_TRUE(vtest::send_and_park(who, *observer_, request));
    }
    ServerGuard server_;
    std::unique_ptr<Conn> c_;
    std::unique_ptr<Conn> observer_;
};

}  // namespace

TEST_F(Lists, PushesKeepOrderAndCheckArity) {
    EXPECT_EQ(c().call({"RPUSH", "k", "a", "b", "c"}), integer(3));
    EXPECT_EQ(c().call({"LRANGE", "k", "0", "-1"}), arr({"a", "b", "c"}));
    EXPECT_EQ(c().call({"LPUSH", "k", "x", "y"}), integer(5));
    EXPECT_EQ(c().call({"LRANGE", "k", "0", "-1"}), arr({"y", "x", "a", "b", "c"}));
    EXPECT_EQ(c().call({"LLEN", "k"}), integer(5));
    EXPECT_EQ(c().call({"LLEN", "missing"}), integer(0));
    EXPECT_EQ(c().call({"RPUSHX", "k", "z"}), integer(6));
    EXPECT_EQ(c().call({"LPUSHX", "missing", "z"}), integer(0));
    EXPECT_EQ(c().call({"EXISTS", "missing"}), integer(0));

    EXPECT_EQ(c().call({"LPUSH", "k"}), "-ERR wrong number of arguments\r\n");
    EXPECT_EQ(c().call({"RPUSHX", "k"}), "-ERR wrong number of arguments\r\n");
    EXPECT_EQ(c().call({"LLEN"}), "-ERR wrong number of arguments for 'llen' command\r\n");
    EXPECT_EQ(c().call({"LRANGE", "k", "0"}), "-ERR wrong number of arguments for 'lrange' command\r\n");
    EXPECT_EQ(c().call({"LINDEX", "k"}), "-ERR wrong number of arguments for 'lindex' command\r\n");
    EXPECT_EQ(c().call({"LSET", "k", "0"}), "-ERR wrong number of arguments for 'lset' command\r\n");
    EXPECT_EQ(c().call({"LREM", "k", "0"}), "-ERR wrong number of arguments for 'lrem' command\r\n");
    EXPECT_EQ(c().call({"LPOS", "k"}), "-ERR wrong number of arguments for 'lpos' command\r\n");
    EXPECT_EQ(c().call({"LINSERT", "k", "BEFORE", "a"}), "-ERR wrong number of arguments for 'linsert' command\r\n");
    EXPECT_EQ(c().call({"LPOP"}), "-ERR wrong number of arguments for 'lpop' command\r\n");
    EXPECT_EQ(c().call({"RPOP"}), "-ERR wrong number of arguments for 'rpop' command\r\n");
    EXPECT_EQ(c().call({"BLPOP", "k"}), "-ERR wrong number of arguments for 'blpop' command\r\n");
    EXPECT_EQ(c().call({"BRPOP", "k"}), "-ERR wrong number of arguments for 'brpop' command\r\n");
    EXPECT_EQ(c().call({"LLEN", "k"}), integer(6)) << "a refused request changed the list";

    // Thousands of elements in one request are all pushed.
    std::vector<std::string> big = {"RPUSH", "many"};
    for (int i = 0; i < 5000; ++i) big.push_back("e" + std::to_string(i));
    c().send(cmd(big));
    EXPECT_EQ(c().read_reply(), integer(5000));
    EXPECT_EQ(c().call({"LINDEX", "many", "4999"}), bulk("e4999"));
}

TEST_F(Lists, WrongTypeIsRefusedAndLeavesTheValue) {
    EXPECT_EQ(c().call({"SET", "s", "text"}), kOk);
    EXPECT_EQ(c().call({"LPUSH", "s", "a"}), kWrongType);
    EXPECT_EQ(c().call({"RPUSH", "s", "a"}), kWrongType);
    EXPECT_EQ(c().call({"LPUSHX", "s", "a"}), integer(0));
    EXPECT_EQ(c().call({"LLEN", "s"}), kWrongType);
    EXPECT_EQ(c().call({"LPOP", "s"}), kWrongType);
    EXPECT_EQ(c().call({"RPOP", "s", "0"}), kWrongType);
    EXPECT_EQ(c().call({"RPOP", "s", "2"}), kWrongType);
    EXPECT_EQ(c().call({"LRANGE", "s", "0", "-1"}), kWrongType);
    EXPECT_EQ(c().call({"LINDEX", "s", "0"}), kWrongType);
    EXPECT_EQ(c().call({"LSET", "s", "0", "x"}), kWrongType);
    EXPECT_EQ(c().call({"LREM", "s", "0", "x"}), kWrongType);
    EXPECT_EQ(c().call({"LINSERT", "s", "BEFORE", "a", "b"}), kWrongType);
    EXPECT_EQ(c().call({"LPOS", "s", "a"}), kWrongType);
    EXPECT_EQ(c().call({"BLPOP", "s", "0"}), kWrongType);
    EXPECT_EQ(c().call({"GET", "s"}), bulk("text"));
}

TEST_F(Lists, PopsWithAndWithoutCount) {
    EXPECT_EQ(c().call({"RPUSH", "k", "a", "b", "c", "d", "e"}), integer(5));
    EXPECT_EQ(c().call({"LPOP", "k", "1"}), bulk("a")) << "count 1 answers a bulk, not an array";
    EXPECT_EQ(c().call({"LPOP", "k", "0"}), kEmpty);
    EXPECT_EQ(c().call({"RPOP", "k"}), bulk("e"));
    EXPECT_EQ(c().call({"RPOP", "k", "2"}), arr({"d", "c"}));
    EXPECT_EQ(c().call({"LPOP", "k", "-1"}), arr({"b"}));
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));
    EXPECT_EQ(c().call({"LPOP", "k"}), kNil);
    EXPECT_EQ(c().call({"LPOP", "k", "3"}), kEmpty);
    EXPECT_EQ(c().call({"LPOP", "k", "x"}), kNotInteger);
    EXPECT_EQ(c().call({"HELLO", "3"}).substr(0, 1), "%");
    EXPECT_EQ(c().call({"LPOP", "k"}), "_\r\n");
}

// Counts, indexes, ranks and limits past the 32-bit range are clamped, never
// cut to their low 32 bits (4294967297 would read as 1, 4294967296 as 0).
TEST_F(Lists, ArgumentsBeyondThirtyTwoBitsAreNotTruncated) {
    EXPECT_EQ(c().call({"RPUSH", "k", "a", "b", "x", "x", "x"}), integer(5));
    EXPECT_EQ(c().call({"LRANGE", "k", "0", "4294967296"}), arr({"a", "b", "x", "x", "x"}));
    EXPECT_EQ(c().call({"LRANGE", "k", "-4294967296", "0"}), arr({"a"}));
    EXPECT_EQ(c().call({"LINDEX", "k", "4294967296"}), kNil);
    EXPECT_EQ(c().call({"LSET", "k", "4294967296", "v"}), "-ERR index out of range\r\n");
    EXPECT_EQ(c().call({"LPOS", "k", "a", "RANK", "4294967297"}), kNil);
    EXPECT_EQ(c().call({"LPOS", "k", "x", "MAXLEN", "4294967297"}), integer(2));
    EXPECT_EQ(c().call({"LPOS", "k", "x", "COUNT", "4294967297"}), ints({2, 3, 4}));
    EXPECT_EQ(c().call({"LPOS", "k", "x", "RANK", "-9223372036854775808"}), kNil);
    EXPECT_EQ(c().call({"LREM", "k", "-4294967295", "x"}), integer(3));
    EXPECT_EQ(c().call({"LPOP", "k", "4294967297"}), arr({"a", "b"}));
    EXPECT_EQ(c().call({"RPUSH", "m", "1", "2", "3"}), integer(3));
    EXPECT_EQ(c().call({"LMPOP", "1", "m", "LEFT", "COUNT", "4294967297"}), "*2\r\n" + bulk("m") + arr({"1", "2", "3"}));
    EXPECT_EQ(c().call({"LINDEX", "m", "9223372036854775808"}), kNotInteger);
    EXPECT_EQ(c().call({"LMPOP", "4294967297", "m", "LEFT"}), "-ERR wrong number of arguments for 'lmpop' command\r\n");
}

TEST_F(Lists, EmptyElementsAreElements) {
    EXPECT_EQ(c().call({"RPUSH", "k", "", "a", ""}), integer(3));
    EXPECT_EQ(c().call({"LRANGE", "k", "0", "-1"}), arr({"", "a", ""}));
    EXPECT_EQ(c().call({"LINDEX", "k", "0"}), "$0\r\n\r\n");
    EXPECT_EQ(c().call({"LPOS", "k", ""}), integer(0));
    EXPECT_EQ(c().call({"LPOS", "k", "", "COUNT", "0"}), ints({0, 2}));
    EXPECT_EQ(c().call({"LPOP", "k"}), "$0\r\n\r\n");
    EXPECT_EQ(c().call({"LLEN", "k"}), integer(2));
    EXPECT_EQ(c().call({"RPOP", "k", "2"}), arr({"", "a"}));
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));

    EXPECT_EQ(c().call({"RPUSH", "k", "", "b"}), integer(2));
    EXPECT_EQ(c().call({"BLPOP", "k", "0"}), key_and("k", ""));
    EXPECT_EQ(c().call({"LMPOP", "1", "k", "LEFT"}), "*2\r\n" + bulk("k") + arr({"b"}));
    EXPECT_EQ(c().call({"RPUSH", "k", "x", ""}), integer(2));
    EXPECT_EQ(c().call({"LSET", "k", "0", ""}), kOk);
    EXPECT_EQ(c().call({"LREM", "k", "1", ""}), integer(1));
    EXPECT_EQ(c().call({"LINSERT", "k", "AFTER", "", "z"}), integer(2));
    EXPECT_EQ(c().call({"LRANGE", "k", "0", "-1"}), arr({"", "z"}));

    // A push that wakes a parked client hands it an empty element as well.
    auto waiter = connect();
    park(*waiter, {"BRPOP", "w", "0"});
    EXPECT_EQ(c().call({"RPUSH", "w", ""}), integer(1));
    EXPECT_EQ(waiter->read_reply(), key_and("w", ""));
    EXPECT_EQ(c().call({"EXISTS", "w"}), integer(0));
}

TEST_F(Lists, EditsSearchAndTheirErrors) {
    EXPECT_EQ(c().call({"LSET", "k", "0", "v"}), "-ERR no such key\r\n");
    EXPECT_EQ(c().call({"RPUSH", "k", "a", "b", "a", "b", "a"}), integer(5));
    EXPECT_EQ(c().call({"LSET", "k", "5", "v"}), "-ERR index out of range\r\n");
    EXPECT_EQ(c().call({"LSET", "k", "-1", "A"}), kOk);
    EXPECT_EQ(c().call({"LSET", "k", "x", "A"}), kNotInteger);
    EXPECT_EQ(c().call({"LINDEX", "k", "-1"}), bulk("A"));
    EXPECT_EQ(c().call({"LINDEX", "k", "5"}), kNil);

    EXPECT_EQ(c().call({"LPOS", "k", "a"}), integer(0));
    EXPECT_EQ(c().call({"LPOS", "k", "b", "RANK", "-1"}), integer(3));
    EXPECT_EQ(c().call({"LPOS", "k", "a", "COUNT", "0", "RANK", "-1"}), ints({2, 0}));
    EXPECT_EQ(c().call({"LPOS", "k", "a", "RANK", "2", "MAXLEN", "2"}), kNil);
    EXPECT_EQ(c().call({"LPOS", "k", "nope", "COUNT", "0"}), kNil);
    EXPECT_EQ(c().call({"LPOS", "k", "a", "RANK", "0"}),
              "-ERR RANK can't be zero: use 1 to start from the first match, 2 from the second ... or use negative "
              "to start from the end of the list\r\n");
    EXPECT_EQ(c().call({"LPOS", "k", "a", "COUNT"}), kSyntax);
    EXPECT_EQ(c().call({"LPOS", "k", "a", "COUNT", "-1"}), "-ERR COUNT can't be negative\r\n");
    EXPECT_EQ(c().call({"LPOS", "k", "a", "MAXLEN", "-1"}), "-ERR MAXLEN can't be negative\r\n");
    EXPECT_EQ(c().call({"LPOS", "k", "a", "RANK", "abc"}), kNotInteger);
    EXPECT_EQ(c().call({"LPOS", "k", "a", "FIRST", "1"}), kSyntax);

    EXPECT_EQ(c().call({"LINSERT", "k", "MIDDLE", "a", "e"}), kSyntax);
    EXPECT_EQ(c().call({"LINSERT", "k", "before", "b", "x"}), integer(6));
    EXPECT_EQ(c().call({"LINSERT", "k", "AFTER", "nope", "x"}), integer(-1));
    EXPECT_EQ(c().call({"LINSERT", "missing", "AFTER", "a", "x"}), integer(0));
    EXPECT_EQ(c().call({"LRANGE", "k", "0", "-1"}), arr({"a", "x", "b", "a", "b", "A"}));

    EXPECT_EQ(c().call({"LREM", "k", "-1", "b"}), integer(1));
    EXPECT_EQ(c().call({"LREM", "k", "0", "a"}), integer(2));
    EXPECT_EQ(c().call({"LREM", "k", "x", "a"}), kNotInteger);
    EXPECT_EQ(c().call({"LRANGE", "k", "0", "-1"}), arr({"x", "b", "A"}));
    EXPECT_EQ(c().call({"LRANGE", "k", "a", "1"}), kNotInteger);
    EXPECT_EQ(c().call({"LRANGE", "missing", "0", "-1"}), kEmpty);
}

TEST_F(Lists, MultiKeyPopOptionsAndReplies) {
    EXPECT_EQ(c().call({"RPUSH", "k", "a", "b", "c"}), integer(3));
    EXPECT_EQ(c().call({"SET", "s", "x"}), kOk);
    EXPECT_EQ(c().call({"LMPOP", "2", "a", "b", "LEFT", "COUNT", "0"}), "-ERR numkeys should be greater than 0\r\n");
    EXPECT_EQ(c().call({"LMPOP", "0", "a", "LEFT"}), "-ERR numkeys should be greater than 0\r\n");
    EXPECT_EQ(c().call({"LMPOP", "1", "a", "COUNT", "2"}), kSyntax);
    EXPECT_EQ(c().call({"LMPOP", "3", "a", "b"}), "-ERR wrong number of arguments for 'lmpop' command\r\n");
    EXPECT_EQ(c().call({"LMPOP", "3", "a", "b", "LEFT"}), kSyntax);
    EXPECT_EQ(c().call({"LMPOP", "1", "a", "LEFT", "COUNT"}), kSyntax);
    EXPECT_EQ(c().call({"LMPOP", "x", "a", "LEFT"}), kNotInteger);
    EXPECT_EQ(c().call({"LMPOP", "1"}), "-ERR wrong number of arguments for 'lmpop' command\r\n");

    EXPECT_EQ(c().call({"LMPOP", "3", "missing", "s", "k", "RIGHT", "COUNT", "2"}),
              "*2\r\n" + bulk("k") + arr({"c", "b"}));
    EXPECT_EQ(c().call({"LMPOP", "1", "k", "right", "left"}), "*2\r\n" + bulk("k") + arr({"a"}));
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));
    EXPECT_EQ(c().call({"LMPOP", "2", "k", "s", "LEFT"}), "*-1\r\n");
    EXPECT_EQ(c().call({"HELLO", "3"}).substr(0, 1), "%");
    EXPECT_EQ(c().call({"LMPOP", "1", "k", "LEFT"}), "_\r\n");
}

TEST_F(Lists, BlockingPopAnswersAtOnceWhenAKeyHasElements) {
    EXPECT_EQ(c().call({"RPUSH", "second", "a", "b"}), integer(2));
    EXPECT_EQ(c().call({"BLPOP", "first", "second", "0"}), key_and("second", "a"));
    EXPECT_EQ(c().call({"BRPOP", "first", "second", "1.5"}), key_and("second", "b"));
    EXPECT_EQ(c().call({"EXISTS", "second"}), integer(0));
    EXPECT_EQ(c().call({"BLPOP", "k", "-1"}), "-ERR timeout is negative\r\n");
    EXPECT_EQ(c().call({"BLPOP", "k", "abc"}), "-ERR timeout is not a float or out of range\r\n");
    EXPECT_EQ(c().call({"BLPOP", "k", "1x"}), "-ERR timeout is not a float or out of range\r\n");
    EXPECT_EQ(c().call({"BLPOP", "k", "2e9"}), "-ERR timeout is out of range\r\n");
    EXPECT_EQ(c().call({"SET", "s", "x"}), kOk);
    EXPECT_EQ(c().call({"RPUSH", "later", "v"}), integer(1));
    EXPECT_EQ(c().call({"BLPOP", "empty", "s", "later", "0"}), kWrongType) << "keys after a wrong type are not tried";
    EXPECT_EQ(c().call({"LLEN", "later"}), integer(1));

    // Inside a transaction a blocking pop cannot wait: it answers as a time-out.
    EXPECT_EQ(c().call({"MULTI"}), kOk);
    EXPECT_EQ(c().call({"BLPOP", "nothing", "0"}), "+QUEUED\r\n");
    EXPECT_EQ(c().call({"BLPOP", "later", "0"}), "+QUEUED\r\n");
    EXPECT_EQ(c().call({"EXEC"}), "*2\r\n*-1\r\n" + key_and("later", "v"));
    auto other = connect();
    EXPECT_EQ(other->call({"RPUSH", "nothing", "v"}), integer(1));
    EXPECT_EQ(c().call({"LLEN", "nothing"}), integer(1)) << "the transaction's client was left parked";
}

TEST_F(Lists, PushWakesAParkedClient) {
    auto waiter = connect();
    park(*waiter, {"BLPOP", "k", "0"});
    EXPECT_EQ(waiter->read_available(100), "") << "a parked client was answered with nothing to pop";
    EXPECT_EQ(c().call({"RPUSH", "k", "v"}), integer(1)) << "the pusher sees the length before the hand-over";
    EXPECT_EQ(waiter->read_reply(), key_and("k", "v"));
    EXPECT_EQ(c().call({"LLEN", "k"}), integer(0));
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));

    // RESP3 clients are woken with the same array.
    EXPECT_EQ(waiter->call({"HELLO", "3"}).substr(0, 1), "%");
    park(*waiter, {"BRPOP", "a", "b", "0"});
    EXPECT_EQ(c().call({"RPUSH", "b", "1", "2"}), integer(2));
    EXPECT_EQ(waiter->read_reply(), key_and("b", "2"));
    EXPECT_EQ(c().call({"LRANGE", "b", "0", "-1"}), arr({"1"}));
    EXPECT_EQ(c().call({"LPUSHX", "b", "3"}), integer(2));
}

TEST_F(Lists, ParkedClientsAreServedInParkOrderOnePerElement) {
    auto first = connect();
    auto second = connect();
    auto third = connect();
    park(*first, {"BLPOP", "k", "0"});
    park(*second, {"BLPOP", "other", "k", "0"});
    park(*third, {"BRPOP", "k", "0"});
    EXPECT_EQ(c().call({"LPUSH", "k", "a", "b"}), integer(2));
    EXPECT_EQ(first->read_reply(), key_and("k", "b"));
    EXPECT_EQ(second->read_reply(), key_and("k", "a"));
    EXPECT_EQ(c().call({"EXISTS", "k"}), integer(0));
    EXPECT_EQ(third->read_available(100), "") << "one element went to two clients";
    EXPECT_EQ(c().call({"RPUSH", "k", "x", "y"}), integer(2));
    EXPECT_EQ(third->read_reply(), key_and("k", "y"));
    EXPECT_EQ(c().call({"LRANGE", "k", "0", "-1"}), arr({"x"}));
}

// Requests pipelined behind a blocking command wait until it is answered, so
// replies keep request order; a second blocking command waits its turn instead
// of replacing the first.
TEST_F(Lists, RequestsBehindAParkedCommandWaitForItsAnswer) {
    auto waiter = connect();
    waiter->send(cmd({"BLPOP", "q", "0.2"}) + cmd({"SET", "x", "1"}) + cmd({"GET", "x"}));
    EXPECT_EQ(waiter->read_reply(), "*-1\r\n");
    EXPECT_EQ(waiter->read_reply(), kOk);
    EXPECT_EQ(waiter->read_reply(), bulk("1"));

    park(*waiter, {"BLPOP", "k", "0"});
    waiter->send(cmd({"BLPOP", "k2", "0"}) + cmd({"INCR", "x"}));
    EXPECT_EQ(c().call({"GET", "x"}), bulk("1")) << "a request behind a parked command ran";
    EXPECT_EQ(waiter->read_available(100), "");
    EXPECT_EQ(c().call({"RPUSH", "k2", "w"}), integer(1));
    EXPECT_EQ(c().call({"LLEN", "k2"}), integer(1)) << "the second pop ran before the first was answered";
    EXPECT_EQ(c().call({"RPUSH", "k", "v"}), integer(1));
    EXPECT_EQ(waiter->read_reply(), key_and("k", "v"));
    EXPECT_EQ(waiter->read_reply(), key_and("k2", "w")) << "the second pop found its element once it ran";
    EXPECT_EQ(waiter->read_reply(), integer(2));
    EXPECT_EQ(c().call({"EXISTS", "k", "k2"}), integer(0));

    // A parked client that went away is not handed anything, even when its close
    // is seen in the same pass as the push (the pusher sits in a later slot).
    auto gone = connect();
    park(*gone, {"BLPOP", "q", "0"});
    auto pusher = connect();
    ASSERT_EQ(pusher->call({"PING"}), "+PONG\r\n");
    gone.reset();
    EXPECT_EQ(pusher->call({"RPUSH", "q", "kept"}), integer(1));
    EXPECT_EQ(c().call({"LRANGE", "q", "0", "-1"}), arr({"kept"}));
}

TEST_F(Lists, TimeOutRepliesNullInEitherProtocol) {
    auto resp2 = connect();
    auto resp3 = connect();
    EXPECT_EQ(resp3->call({"HELLO", "3"}).substr(0, 1), "%");
    const auto start = std::chrono::steady_clock::now();
    resp2->send(cmd({"BLPOP", "k", "0.1"}));
    resp3->send(cmd({"BRPOP", "k", "0.1"}));
    EXPECT_EQ(resp2->read_reply(), "*-1\r\n");
    EXPECT_EQ(resp3->read_reply(), "_\r\n");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(90)) << "answered before the time-out";
    // The timed-out clients are no longer parked: a push stays in the list.
    EXPECT_EQ(c().call({"RPUSH", "k", "v"}), integer(1));
    EXPECT_EQ(c().call({"LLEN", "k"}), integer(1));
    EXPECT_EQ(resp2->read_available(100), "");
}

// The hand-over goes through the parked client's output buffer: a client that
// never reads cannot hold up the pusher or anybody else.
TEST_F(Lists, StalledParkedClientDoesNotStallThePusher) {
    auto stalled = connect();
    park(*stalled, {"BLPOP", "big", "0"});
    const std::string element(24 << 20, 'e');
    c().send(cmd({"RPUSH", "big", element}));
    EXPECT_EQ(c().read_reply(10000), integer(1));
    auto other = connect();
    EXPECT_EQ(other->call({"PING"}), "+PONG\r\n");
    const std::string reply = stalled->read_reply(20000);
    EXPECT_EQ(reply.size(), key_and("big", element).size());
    EXPECT_TRUE(reply == key_and("big", element));
}

TEST_F(Lists, StringAndKeyCommandsMeetingAList) {
    EXPECT_EQ(c().call({"RPUSH", "l", "a", "b"}), integer(2));
    EXPECT_EQ(c().call({"TYPE", "l"}), "+list\r\n");
    EXPECT_EQ(c().call({"GET", "l"}), kNil);
    EXPECT_EQ(c().call({"MGET", "x", "l"}), kWrongType);
    EXPECT_EQ(c().call({"INCR", "l"}), kWrongType);
    EXPECT_EQ(c().call({"DECR", "l"}), kWrongType);
    EXPECT_EQ(c().call({"INCRBY", "l", "2"}), kWrongType);
    EXPECT_EQ(c().call({"INCRBYFLOAT", "l", "1.5"}), kWrongType);
    EXPECT_EQ(c().call({"GETSET", "l", "v"}), kWrongType);
    EXPECT_EQ(c().call({"LRANGE", "l", "0", "-1"}), arr({"a", "b"})) << "a refused write changed the list";

    EXPECT_EQ(c().call({"COPY", "l", "copy"}), integer(1));
    EXPECT_EQ(c().call({"LPOP", "copy"}), bulk("a"));
    EXPECT_EQ(c().call({"RPUSH", "copy", "c"}), integer(2));
    EXPECT_EQ(c().call({"LRANGE", "l", "0", "-1"}), arr({"a", "b"}));
    EXPECT_EQ(c().call({"LRANGE", "copy", "0", "-1"}), arr({"b", "c"}));

    EXPECT_EQ(c().call({"SET", "l", "s", "GET"}), kNil);
    EXPECT_EQ(c().call({"TYPE", "l"}), "+string\r\n");
    EXPECT_EQ(c().call({"GET", "l"}), bulk("s"));
    EXPECT_EQ(c().call({"SET", "copy", "t"}), kOk);
    EXPECT_EQ(c().call({"GET", "copy"}), bulk("t"));
    EXPECT_EQ(c().call({"LLEN", "copy"}), kWrongType);
}

namespace {

class ListsLog : public ::testing::Test {
protected:
    void TearDown() override { std::remove(path.c_str()); }
    std::string read_file() {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string path = "vorel_lists_" + std::to_string(platform::process_id()) + "_" +
                       std::to_string(platform::current_time_ms()) + ".aof";
};

}  // namespace

// Every change is logged in a form whose replay removes exactly the elements
// that went: blocking pops, LMPOP and hand-overs to parked clients become LPOP or
// RPOP of the key; reads and refused requests add nothing.
TEST_F(ListsLog, ReplayRebuildsTheListsExactly) {
    std::vector<std::string> lists;
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        Conn waiter(server.port());
        EXPECT_EQ(c.call({"RPUSH", "k", "a", "b", "c", "d", "e", "f"}), integer(6));
        EXPECT_EQ(c.call({"LPOP", "k"}), bulk("a"));
        EXPECT_EQ(c.call({"RPOP", "k", "2"}), arr({"f", "e"}));
        EXPECT_EQ(c.call({"BLPOP", "k", "0"}), key_and("k", "b"));
        EXPECT_EQ(c.call({"RPUSH", "m", "1", "2", "3", ""}), integer(4));
        EXPECT_EQ(c.call({"LMPOP", "2", "none", "m", "RIGHT", "COUNT", "2"}), "*2\r\n" + bulk("m") + arr({"", "3"}));
        EXPECT_EQ(c.call({"LMPOP", "1", "m", "LEFT"}), "*2\r\n" + bulk("m") + arr({"1"}));
        EXPECT_EQ(c.call({"LSET", "k", "0", "C"}), kOk);
        EXPECT_EQ(c.call({"LINSERT", "k", "AFTER", "C", "x"}), integer(3));
        EXPECT_EQ(c.call({"LREM", "k", "0", "d"}), integer(1));
        EXPECT_EQ(c.call({"RPUSHX", "k", "", "y"}), integer(4));
        ASSERT_TRUE(vtest::send_and_park(waiter, c, {"BRPOP", "w", "0"}));
        EXPECT_EQ(c.call({"RPUSH", "w", "p", "q"}), integer(2));
        EXPECT_EQ(waiter.read_reply(), key_and("w", "q"));
        const std::string before = read_file();
        EXPECT_EQ(c.call({"LRANGE", "k", "0", "-1"}), arr({"C", "x", "", "y"}));
        EXPECT_EQ(c.call({"LPOP", "nothing"}), kNil);
        EXPECT_EQ(c.call({"LREM", "k", "0", "absent"}), integer(0));
        EXPECT_EQ(c.call({"LPUSHX", "nothing", "v"}), integer(0));
        EXPECT_EQ(c.call({"LPOP", "k", "0"}), kEmpty);
        EXPECT_EQ(read_file(), before) << "a read or a change of nothing was logged";
        for (const char* key : {"k", "m", "w"}) lists.push_back(c.call({"LRANGE", key, "0", "-1"}));
    }
    const std::string log = read_file();
    EXPECT_NE(log.find(cmd({"LPOP", "k"}) + cmd({"RPOP", "k", "2"}) + cmd({"LPOP", "k"})), std::string::npos);
    EXPECT_NE(log.find(cmd({"RPOP", "m", "2"}) + cmd({"LPOP", "m"})), std::string::npos);
    EXPECT_NE(log.find(cmd({"RPUSH", "w", "p", "q"}) + cmd({"RPOP", "w"})), std::string::npos);
    EXPECT_EQ(log.find("LMPOP"), std::string::npos);
    EXPECT_EQ(log.find("BLPOP"), std::string::npos);

    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"LRANGE", "k", "0", "-1"}), lists[0]);
    EXPECT_EQ(c.call({"LRANGE", "m", "0", "-1"}), lists[1]);
    EXPECT_EQ(c.call({"LRANGE", "w", "0", "-1"}), lists[2]);
    EXPECT_EQ(lists[2], arr({"p"}));
}
