// Integration tests of the set commands over a real connection: exact reply
// bytes, the empty member, moves, random members, the algebra and storing into
// a source key, scans paging with COUNT, SPOP and what its log record rebuilds
// after a restart, SINTERCARD's arguments, and requests with thousands of members.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "collection_test_support.h"

using namespace ctest;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

class Sets : public ServerTest {};

}  // namespace

TEST_F(Sets, MembersRepliesAndTheEmptyMember) {
    EXPECT_EQ(c().call({"SADD", "s", "a", "b", "a"}), ":2\r\n");
    EXPECT_EQ(c().call({"SREM", "s", "a", "c"}), ":1\r\n");
    EXPECT_EQ(c().call({"SADD", "s", "c", "a"}), ":2\r\n");
    EXPECT_EQ(c().call({"SMEMBERS", "s"}), arr({"b", "c", "a"}));
    EXPECT_EQ(c().call({"SCARD", "s"}), ":3\r\n");
    EXPECT_EQ(c().call({"SADD", "s", "", ""}), ":1\r\n");
    EXPECT_EQ(c().call({"SISMEMBER", "s", ""}), ":1\r\n");
    EXPECT_EQ(c().call({"SMEMBERS", "s"}), "*4\r\n" + bulk("b") + bulk("c") + bulk("a") + kEmpty);
    EXPECT_EQ(c().call({"SSCAN", "s", "0"}), "*2\r\n" + bulk("0") + "*4\r\n" + bulk("b") + bulk("c") + bulk("a") + kEmpty)
        << "a small set is one page";
    EXPECT_EQ(c().call({"SMOVE", "s", "t", ""}), ":1\r\n");
    EXPECT_EQ(c().call({"SMEMBERS", "t"}), "*1\r\n" + kEmpty);
    EXPECT_EQ(c().call({"SREM", "t", ""}), ":1\r\n");
    EXPECT_EQ(c().call({"EXISTS", "t"}), ":0\r\n");
    EXPECT_EQ(c().call({"SMEMBERS", "missing"}), "*0\r\n");
    EXPECT_EQ(c().call({"SCARD", "missing"}), ":0\r\n");
}

TEST_F(Sets, ArityTypesAndErrorTexts) {
    EXPECT_EQ(c().call({"SADD", "s"}), "-ERR wrong number of arguments for 'sadd' command\r\n");
    EXPECT_EQ(c().call({"SMOVE", "a", "b"}), "-ERR wrong number of arguments for 'smove' command\r\n");
    EXPECT_EQ(c().call({"SSCAN", "s"}), "-ERR wrong number of arguments for 'sscan' command\r\n");
    EXPECT_EQ(c().call({"SET", "str", "v"}), "+OK\r\n");
    EXPECT_EQ(c().call({"SISMEMBER", "str", "v"}), kWrongType);
    EXPECT_EQ(c().call({"SADD", "str", "v"}), kWrongType);
    EXPECT_EQ(c().call({"SREM", "str", "v"}), kWrongType);
    EXPECT_EQ(c().call({"SCARD", "str"}), kWrongType);
    EXPECT_EQ(c().call({"SMEMBERS", "str"}), kWrongType);
    EXPECT_EQ(c().call({"SRANDMEMBER", "str"}), kWrongType);
    EXPECT_EQ(c().call({"SPOP", "str"}), kWrongType);
    EXPECT_EQ(c().call({"SSCAN", "str", "0"}), kWrongType);
    EXPECT_EQ(c().call({"SADD", "s", "m"}), ":1\r\n");
    EXPECT_EQ(c().call({"SMOVE", "s", "str", "m"}), kWrongType);
    EXPECT_EQ(c().call({"SMOVE", "s", "str", "absent"}), kWrongType);
    EXPECT_EQ(c().call({"SMOVE", "str", "s", "v"}), kWrongType);
    EXPECT_EQ(c().call({"SMEMBERS", "s"}), arr({"m"})) << "a refused move changed the source";
    EXPECT_EQ(c().call({"SUNION", "str", "s"}), arr({"m"})) << "keys of another type are skipped";
    EXPECT_EQ(c().call({"GET", "str"}), bulk("v"));
}

TEST_F(Sets, MoveRemovesFromTheSourceWhenTheDestinationHoldsTheMember) {
    EXPECT_EQ(c().call({"SADD", "src", "m", "n"}), ":2\r\n");
    EXPECT_EQ(c().call({"SADD", "dst", "m"}), ":1\r\n");
    EXPECT_EQ(c().call({"SMOVE", "src", "dst", "m"}), ":1\r\n");
    EXPECT_EQ(c().call({"SISMEMBER", "src", "m"}), ":0\r\n");
    EXPECT_EQ(c().call({"SMEMBERS", "dst"}), arr({"m"}));
    EXPECT_EQ(c().call({"SMOVE", "src", "src", "n"}), ":1\r\n") << "onto itself: the member is there";
    EXPECT_EQ(c().call({"SMOVE", "src", "src", "zz"}), ":0\r\n");
    EXPECT_EQ(c().call({"SMEMBERS", "src"}), arr({"n"}));
    EXPECT_EQ(c().call({"SMOVE", "src", "dst", "n"}), ":1\r\n");
    EXPECT_EQ(c().call({"SMEMBERS", "dst"}), arr({"m", "n"}));
    EXPECT_EQ(c().call({"EXISTS", "src"}), ":0\r\n");
    EXPECT_EQ(c().call({"SMOVE", "src", "dst", "m"}), ":0\r\n") << "a missing source";
}

TEST_F(Sets, RandomMembers) {
    EXPECT_EQ(c().call({"SRANDMEMBER", "missing"}), kNil);
    EXPECT_EQ(c().call({"SRANDMEMBER", "missing", "3"}), "*0\r\n");
    EXPECT_EQ(c().call({"SADD", "one", "x"}), ":1\r\n");
    EXPECT_EQ(c().call({"SRANDMEMBER", "one"}), bulk("x"));
    EXPECT_EQ(c().call({"SRANDMEMBER", "one", "-3"}), arr({"x", "x", "x"}));
    EXPECT_EQ(c().call({"SRANDMEMBER", "one", "1"}), arr({"x"}));
    EXPECT_EQ(c().call({"SRANDMEMBER", "one", "0"}), "*0\r\n");
    EXPECT_EQ(c().call({"SRANDMEMBER", "one", "x"}), "-ERR value is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SRANDMEMBER", "one", "-9999999999"}), "-ERR value is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SADD", "five", "a", "b", "c", "d", "e"}), ":5\r\n");
    const std::vector<std::string> picks = bulks_of(c().call({"SRANDMEMBER", "five", "9999999999"}));
    EXPECT_EQ(std::set<std::string>(picks.begin(), picks.end()), (std::set<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(picks.size(), 5u);
    EXPECT_EQ(c().call({"HELLO", "3"}).substr(0, 1), "%");
    EXPECT_EQ(c().call({"SRANDMEMBER", "missing"}), "_\r\n");
    EXPECT_EQ(c().call({"SPOP", "missing"}), "_\r\n");
}

// Picks with repeats are one reply element each, however small the collection:
// a huge negative count is refused before anything is picked, for every command
// that picks at random, and the server stays responsive.
TEST_F(Sets, HugeRepeatedPickCountsAreRefused) {
    EXPECT_EQ(c().call({"SADD", "s", "a"}), ":1\r\n");
    EXPECT_EQ(c().call({"HSET", "h", "f", "v"}), ":1\r\n");
    EXPECT_EQ(c().call({"ZADD", "z", "1", "m"}), ":1\r\n");
    const std::string not_integer = "-ERR value is not an integer or out of range\r\n";
    const struct {
        const char* command;
        const char* key;
        std::string refusal;
    } cases[] = {
        {"SRANDMEMBER", "s", not_integer},
        {"HRANDFIELD", "h", "-ERR value is out of range\r\n"},
        {"ZRANDMEMBER", "z", not_integer},
    };
    for (const auto& k : cases) {
        for (const char* count : {"-2147483648", "-4194305"}) {
            EXPECT_EQ(c().call({k.command, k.key, count}), k.refusal) << k.command << " " << count;
        }
        EXPECT_EQ(c().call({k.command, k.key, "-3"}).substr(0, 4), "*3\r\n") << k.command;
    }
    EXPECT_EQ(c().call({"PING"}), "+PONG\r\n");
}

TEST_F(Sets, AlgebraAndStoringIntoASource) {
    EXPECT_EQ(c().call({"SADD", "s1", "a", "b", "c"}), ":3\r\n");
    EXPECT_EQ(c().call({"SADD", "s2", "b", "c", "d"}), ":3\r\n");
    EXPECT_EQ(c().call({"SDIFF", "s1", "s2", "missing"}), arr({"a"}));
    EXPECT_EQ(c().call({"SINTER", "s1", "s2"}), arr({"b", "c"}));
    EXPECT_EQ(c().call({"SINTER", "s1", "missing"}), "*0\r\n");
    EXPECT_EQ(c().call({"SUNION", "s1", "s2"}), arr({"a", "b", "c", "d"}));
    EXPECT_EQ(c().call({"SUNIONSTORE", "s1", "s1", "s2"}), ":4\r\n");
    EXPECT_EQ(c().call({"SMEMBERS", "s1"}), arr({"a", "b", "c", "d"}));
    EXPECT_EQ(c().call({"SINTERSTORE", "s2", "s2", "s1"}), ":3\r\n");
    EXPECT_EQ(c().call({"SDIFFSTORE", "s1", "s1", "s2"}), ":1\r\n");
    EXPECT_EQ(c().call({"SMEMBERS", "s1"}), arr({"a"}));
    EXPECT_EQ(c().call({"SET", "d", "text"}), "+OK\r\n");
    EXPECT_EQ(c().call({"EXPIRE", "d", "100"}), ":1\r\n");
    EXPECT_EQ(c().call({"SUNIONSTORE", "d", "s1", "s2"}), ":4\r\n");
    EXPECT_EQ(c().call({"TYPE", "d"}), "+set\r\n");
    EXPECT_EQ(c().call({"TTL", "d"}), ":-1\r\n");
    EXPECT_EQ(c().call({"SUNIONSTORE", "d", "nothing", "none"}), ":0\r\n");
    EXPECT_EQ(c().call({"EXISTS", "d"}), ":0\r\n");
    EXPECT_EQ(c().call({"SDIFFSTORE", "x"}), "-ERR wrong number of arguments for 'sdiffstore' command\r\n");
}

TEST_F(Sets, PopRepliesAndArguments) {
    EXPECT_EQ(c().call({"SPOP", "s", "1", "2"}), "-ERR wrong number of arguments for 'spop' command\r\n");
    EXPECT_EQ(c().call({"SPOP", "s", "-1"}), "-ERR value is out of range, must be positive\r\n");
    EXPECT_EQ(c().call({"SPOP", "s", "x"}), "-ERR value is out of range, must be positive\r\n");
    EXPECT_EQ(c().call({"SPOP", "s"}), kNil);
    EXPECT_EQ(c().call({"SPOP", "s", "3"}), "*0\r\n");
    EXPECT_EQ(c().call({"SADD", "s", "a", "b", "c"}), ":3\r\n");
    EXPECT_EQ(c().call({"SPOP", "s", "0"}), "*0\r\n");
    EXPECT_EQ(c().call({"SCARD", "s"}), ":3\r\n");
    const std::string one = c().call({"SPOP", "s"});
    EXPECT_TRUE(one == bulk("a") || one == bulk("b") || one == bulk("c")) << one;
    std::vector<std::string> rest = bulks_of(c().call({"SPOP", "s", "10"}));
    rest.push_back(one.substr(4, 1));
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(rest, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(c().call({"EXISTS", "s"}), ":0\r\n");
}

TEST_F(Sets, IntersectionCardinality) {
    EXPECT_EQ(c().call({"SADD", "a", "1", "2", "3"}), ":3\r\n");
    EXPECT_EQ(c().call({"SADD", "b", "2", "3", "4"}), ":3\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "2", "a", "b"}), ":2\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "2", "a", "b", "LIMIT", "1"}), ":1\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "2", "a", "b", "limit", "5", "LIMIT", "0"}), ":2\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "1", "a"}), ":3\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "2", "a", "missing"}), ":0\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "0", "a"}), "-ERR numkeys should be greater than 0\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "2", "a"}), "-ERR wrong number of arguments for 'sintercard' command\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "x", "a"}), "-ERR value is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "99999999999", "a"}),
              "-ERR wrong number of arguments for 'sintercard' command\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "1", "a", "LIMIT"}), "-ERR syntax error\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "1", "a", "COUNT", "1"}), "-ERR syntax error\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "1", "a", "LIMIT", "x"}), "-ERR value is not an integer or out of range\r\n");
    EXPECT_EQ(c().call({"SET", "str", "v"}), "+OK\r\n");
    EXPECT_EQ(c().call({"SINTERCARD", "2", "missing", "str"}), kWrongType);
}

TEST_F(Sets, ThousandsOfMembersInOneRequest) {
    std::vector<std::string> add{"SADD", "wide"}, rem{"SREM", "wide"};
    for (int i = 0; i < 5000; i++) {
        add.push_back("member" + std::to_string(i));
        if (i % 2) rem.push_back("member" + std::to_string(i));
    }
    EXPECT_EQ(send(add), ":5000\r\n");
    EXPECT_EQ(c().call({"SISMEMBER", "wide", "member4999"}), ":1\r\n");
    EXPECT_EQ(send(rem), ":2500\r\n");
    EXPECT_EQ(c().call({"SCARD", "wide"}), ":2500\r\n");
    EXPECT_EQ(c().call({"SISMEMBER", "wide", "member4999"}), ":0\r\n");
    const std::vector<std::string> members = bulks_of(c().call({"SMEMBERS", "wide"}));
    ASSERT_EQ(members.size(), 2500u);
    EXPECT_EQ(members.front(), "member0");
    EXPECT_EQ(members.back(), "member4998");
}

TEST(SetLog, PopIsLoggedAsTheRemovalOfWhatItPopped) {
    const LogFile log("vorel_sets_");
    const std::string& path = log.path;
    std::vector<std::string> popped;
    std::string logged;
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"SADD", "s", "a", "b", "c", "d", "e", ""}), ":6\r\n");
        const size_t before = read_file(path).size();
        popped = bulks_of(c.call({"SPOP", "s", "2"}));
        ASSERT_EQ(popped.size(), 2u);
        const std::string single = c.call({"SPOP", "s"});
        popped.push_back(single.substr(single.find("\r\n") + 2, single.size() - single.find("\r\n") - 4));
        EXPECT_EQ(c.call({"SPOP", "s", "0"}), "*0\r\n");
        EXPECT_EQ(c.call({"SPOP", "nothing"}), kNil);
        EXPECT_EQ(c.call({"SMOVE", "s", "t", "zz"}), ":0\r\n");
        EXPECT_EQ(c.call({"SUNIONSTORE", "u", "nothing"}), ":0\r\n");
        logged = read_file(path).substr(before);
    }
    EXPECT_EQ(logged, vtest::cmd({"SREM", "s", popped[0], popped[1]}) + vtest::cmd({"SREM", "s", popped[2]}) +
                          vtest::cmd({"SUNIONSTORE", "u", "nothing"}))
        << "pops must be logged as removals of exactly the members drawn";
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    std::vector<std::string> left = bulks_of(c.call({"SMEMBERS", "s"}));
    std::set<std::string> expected{"a", "b", "c", "d", "e", ""};
    for (const std::string& p : popped) expected.erase(p);
    EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), expected);
    EXPECT_EQ(left.size(), 3u);
}
