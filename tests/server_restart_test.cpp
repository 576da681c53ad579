// Every writing command survives a restart: for each command the table marks as
// writing, a representative call runs with the log on, a fresh server replays
// the log, and the keyspace (type, contents, deadline of every key) must come
// back exactly. A command whose record is lost or wrong fails its case here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "commands/command.h"

namespace {

using Request = std::vector<std::string>;

struct WriteCase {
    const char* command;     // the writing command under test
    std::vector<Request> setup;
    Request call;
};

// One call per writing command, each changing the keyspace in a way that only
// its own record can rebuild (relative deadlines, random pops, pops served from
// blocking forms, partial option forms).
const WriteCase kCases[] = {
    {"SET", {}, {"SET", "s", "v", "EX", "100"}},
    {"SETNX", {}, {"SETNX", "s", "v"}},
    {"SETEX", {}, {"SETEX", "s", "100", "v"}},
    {"PSETEX", {}, {"PSETEX", "s", "100000", "v"}},
    {"MSET", {}, {"MSET", "a", "1", "b", "2"}},
    {"MSETNX", {}, {"MSETNX", "a", "1", "b", "2"}},
    {"APPEND", {{"SET", "s", "ab"}}, {"APPEND", "s", "cd"}},
    {"SETRANGE", {{"SET", "s", "abcdef"}}, {"SETRANGE", "s", "2", "XY"}},
    {"SETBIT", {}, {"SETBIT", "b", "13", "1"}},
    {"GETSET", {{"SET", "s", "old"}}, {"GETSET", "s", "new"}},
    {"GETDEL", {{"SET", "s", "v"}, {"SET", "t", "w"}}, {"GETDEL", "s"}},
    {"GETEX", {{"SET", "s", "v"}}, {"GETEX", "s", "EX", "100"}},
    {"INCR", {{"SET", "n", "41"}}, {"INCR", "n"}},
    {"DECR", {{"SET", "n", "41"}}, {"DECR", "n"}},
    {"INCRBY", {}, {"INCRBY", "n", "5"}},
    {"DECRBY", {}, {"DECRBY", "n", "5"}},
    {"INCRBYFLOAT", {{"SET", "f", "1.5"}}, {"INCRBYFLOAT", "f", "0.25"}},
    {"DEL", {{"SET", "a", "1"}, {"RPUSH", "l", "x"}}, {"DEL", "a", "l", "missing"}},
    {"EXPIRE", {{"SET", "s", "v"}}, {"EXPIRE", "s", "100"}},
    {"PEXPIRE", {{"SET", "s", "v"}}, {"PEXPIRE", "s", "100000"}},
    {"EXPIREAT", {{"SET", "s", "v"}}, {"EXPIREAT", "s", "4102444800"}},
    {"PEXPIREAT", {{"SET", "s", "v"}}, {"PEXPIREAT", "s", "4102444800000"}},
    {"PERSIST", {{"SET", "s", "v", "EX", "100"}}, {"PERSIST", "s"}},
    {"RENAME", {{"HSET", "h", "f", "v"}}, {"RENAME", "h", "g"}},
    {"RENAMENX", {{"SADD", "s", "m"}}, {"RENAMENX", "s", "t"}},
    {"COPY", {{"ZADD", "z", "1", "a"}}, {"COPY", "z", "y"}},
    {"FLUSHDB", {{"SET", "a", "1"}}, {"FLUSHDB"}},
    {"FLUSHALL", {{"SET", "a", "1"}}, {"FLUSHALL"}},
    {"LPUSH", {}, {"LPUSH", "l", "a", "b", "c"}},
    {"RPUSH", {}, {"RPUSH", "l", "a", "b", "c"}},
    {"LPUSHX", {{"RPUSH", "l", "a"}}, {"LPUSHX", "l", "b"}},
    {"RPUSHX", {{"RPUSH", "l", "a"}}, {"RPUSHX", "l", "b"}},
    {"LPOP", {{"RPUSH", "l", "a", "b", "c"}}, {"LPOP", "l", "2"}},
    {"RPOP", {{"RPUSH", "l", "a", "b", "c"}}, {"RPOP", "l"}},
    {"LSET", {{"RPUSH", "l", "a", "b"}}, {"LSET", "l", "-1", "z"}},
    {"LREM", {{"RPUSH", "l", "a", "b", "a"}}, {"LREM", "l", "0", "a"}},
    {"LINSERT", {{"RPUSH", "l", "a", "c"}}, {"LINSERT", "l", "BEFORE", "c", "b"}},
    {"LMPOP", {{"RPUSH", "l", "a", "b", "c"}}, {"LMPOP", "2", "missing", "l", "RIGHT", "COUNT", "2"}},
    {"BLPOP", {{"RPUSH", "l", "a", "b"}}, {"BLPOP", "missing", "l", "1"}},
    {"BRPOP", {{"RPUSH", "l", "a", "b"}}, {"BRPOP", "l", "1"}},
    {"HSET", {}, {"HSET", "h", "f", "1", "g", "2"}},
    {"HMSET", {}, {"HMSET", "h", "f", "1"}},
    {"HDEL", {{"HSET", "h", "f", "1", "g", "2"}}, {"HDEL", "h", "f"}},
    {"HINCRBY", {}, {"HINCRBY", "h", "n", "7"}},
    {"HINCRBYFLOAT", {}, {"HINCRBYFLOAT", "h", "n", "1.5"}},
    {"SADD", {}, {"SADD", "s", "a", "b"}},
    {"SREM", {{"SADD", "s", "a", "b"}}, {"SREM", "s", "a"}},
    {"SMOVE", {{"SADD", "s", "a", "b"}}, {"SMOVE", "s", "t", "a"}},
    {"SPOP", {{"SADD", "s", "a", "b", "c", "d", "e", "f"}}, {"SPOP", "s", "3"}},
    {"SDIFFSTORE", {{"SADD", "a", "1", "2"}, {"SADD", "b", "2"}}, {"SDIFFSTORE", "d", "a", "b"}},
    {"SINTERSTORE", {{"SADD", "a", "1", "2"}, {"SADD", "b", "2"}}, {"SINTERSTORE", "d", "a", "b"}},
    {"SUNIONSTORE", {{"SADD", "a", "1"}, {"SADD", "b", "2"}}, {"SUNIONSTORE", "d", "a", "b"}},
    {"ZADD", {}, {"ZADD", "z", "1", "a", "2.5", "b"}},
    {"ZREM", {{"ZADD", "z", "1", "a", "2", "b"}}, {"ZREM", "z", "a"}},
    {"ZINCRBY", {{"ZADD", "z", "1", "a"}}, {"ZINCRBY", "z", "2", "a"}},
    {"ZPOPMIN", {{"ZADD", "z", "1", "a", "2", "b"}}, {"ZPOPMIN", "z"}},
    {"ZPOPMAX", {{"ZADD", "z", "1", "a", "2", "b", "3", "c"}}, {"ZPOPMAX", "z", "2"}},
    {"ZREMRANGEBYSCORE", {{"ZADD", "z", "1", "a", "2", "b"}}, {"ZREMRANGEBYSCORE", "z", "-inf", "1"}},
    {"ZREMRANGEBYRANK", {{"ZADD", "z", "1", "a", "2", "b"}}, {"ZREMRANGEBYRANK", "z", "0", "0"}},
    {"ZRANGESTORE", {{"ZADD", "z", "1", "a", "2", "b"}}, {"ZRANGESTORE", "d", "z", "0", "0"}},
    {"HSETNX", {}, {"HSETNX", "h", "f", "v"}},
    {"UNLINK", {{"SET", "a", "1"}, {"SET", "b", "2"}}, {"UNLINK", "a"}},
    {"LTRIM", {{"RPUSH", "l", "a", "b", "c", "d"}}, {"LTRIM", "l", "1", "-2"}},
    {"LMOVE", {{"RPUSH", "l", "a", "b"}}, {"LMOVE", "l", "m", "LEFT", "RIGHT"}},
    {"RPOPLPUSH", {{"RPUSH", "l", "a", "b"}}, {"RPOPLPUSH", "l", "m"}},
    {"BLMOVE", {{"RPUSH", "l", "a", "b"}}, {"BLMOVE", "l", "m", "RIGHT", "LEFT", "1"}},
    {"BRPOPLPUSH", {{"RPUSH", "l", "a", "b"}}, {"BRPOPLPUSH", "l", "l", "1"}},
    {"BLMPOP", {{"RPUSH", "l", "a", "b", "c"}}, {"BLMPOP", "1", "2", "missing", "l", "LEFT", "COUNT", "2"}},
    {"BITOP", {{"SET", "a", "ab"}, {"SET", "b", "c"}}, {"BITOP", "XOR", "d", "a", "b"}},
    {"ZUNIONSTORE", {{"ZADD", "a", "1", "x"}, {"SADD", "b", "x", "y"}},
     {"ZUNIONSTORE", "d", "2", "a", "b", "WEIGHTS", "2", "3", "AGGREGATE", "MAX"}},
    {"ZINTERSTORE", {{"ZADD", "a", "1", "x", "2", "y"}, {"ZADD", "b", "5", "y"}}, {"ZINTERSTORE", "d", "2", "a", "b"}},
    {"ZDIFFSTORE", {{"ZADD", "a", "1", "x", "2", "y"}, {"ZADD", "b", "5", "y"}}, {"ZDIFFSTORE", "d", "2", "a", "b"}},
    {"ZREMRANGEBYLEX", {{"ZADD", "z", "0", "a", "0", "b", "0", "c"}}, {"ZREMRANGEBYLEX", "z", "[a", "(c"}},
    {"ZMPOP", {{"ZADD", "z", "1", "a", "2", "b"}}, {"ZMPOP", "1", "z", "MAX"}},
    {"BZMPOP", {{"ZADD", "z", "1", "a", "2", "b", "3", "c"}}, {"BZMPOP", "1", "1", "z", "MIN", "COUNT", "2"}},
    {"BZPOPMIN", {{"ZADD", "z", "1", "a", "2", "b"}}, {"BZPOPMIN", "missing", "z", "1"}},
    {"BZPOPMAX", {{"ZADD", "z", "1", "a", "2", "b"}}, {"BZPOPMAX", "z", "1"}},
};

void PrintTo(const WriteCase& w, std::ostream* os) { *os << w.command; }

// Splits a flat RESP2 array of bulk strings; elements that are not bulks make
// the whole reply its own single element (the comparison then still holds).
std::vector<std::string> flat_bulks(const std::string& reply) {
    std::vector<std::string> items;
    if (reply.empty() || reply[0] != '*') return {reply};
    size_t pos = reply.find("\r\n") + 2;
    while (pos < reply.size()) {
        if (reply[pos] != '$') return {reply};
        const size_t eol = reply.find("\r\n", pos);
        const size_t len = std::stoul(reply.substr(pos + 1, eol - pos - 1));
        items.push_back(reply.substr(eol + 2, len));
        pos = eol + 2 + len + 2;
    }
    return items;
}

// A server without a socket: requests run through the dispatcher as from a
// client, replies collect in that client's writer.
class Harness {
public:
    explicit Harness(const std::string& log_path) {
        server_.keyspace = dict_create(0);
        client_.authenticated = 1;
        client_.sock = -2;  // not a descriptor: replies stay in the writer
        server_.log.set_path(log_path);
    }
    ~Harness() {
        client_.sock = platform::kInvalidSocket;
        server_.log.close();
        dict_destroy(server_.keyspace);
    }

    void open_log() { server_.log.open(true); }
    bool replay() { return replay_log(server_); }

    std::string run(const Request& request) {
        std::vector<std::string> args(request);
        std::vector<char*> argv;
        std::vector<uint64_t> lens;
        for (std::string& a : args) {
            argv.push_back(a.data());
            lens.push_back(a.size());
        }
        dispatch_command(server_, &client_, static_cast<int>(argv.size()), argv.data(), lens.data(),
                         Origin::Network);
        // As the connection loop does after a batch: its records go to the log.
        commit_batch(server_);
        std::string reply(client_.out.unsent(), client_.out.pending());
        client_.out.clear();
        return reply;
    }

    // Every key with its type, deadline and contents; sets and hashes sorted,
    // since their iteration order is not part of what a replay must keep.
    std::map<std::string, std::string> snapshot() {
        std::vector<std::string_view> views;
        dict_keys(server_.keyspace, "*", &views);
        std::vector<std::string> keys(views.begin(), views.end());
        std::map<std::string, std::string> out;
        for (const std::string& key : keys) {
            const std::string type = dict_type_name(server_.keyspace, key);
            Entry* e = dict_find_entry(server_.keyspace, key);
            std::string state = type + " deadline=" + std::to_string(e != nullptr ? entry_deadline(server_.keyspace, e) : -1) + " ";
            std::vector<std::string> items;
            if (type == "string") items = {run({"GET", key})};
            if (type == "list") items = flat_bulks(run({"LRANGE", key, "0", "-1"}));
            if (type == "zset") items = flat_bulks(run({"ZRANGE", key, "0", "-1", "WITHSCORES"}));
            if (type == "set") {
                items = flat_bulks(run({"SMEMBERS", key}));
                std::sort(items.begin(), items.end());
            }
            if (type == "hash") {
                std::vector<std::string> flat = flat_bulks(run({"HGETALL", key}));
                for (size_t i = 0; i + 1 < flat.size(); i += 2) items.push_back(flat[i] + "=" + flat[i + 1]);
                std::sort(items.begin(), items.end());
            }
            for (const std::string& item : items) state += "[" + item + "]";
            out[key] = state;
        }
        return out;
    }

private:
    Server server_;
    Client client_;
};

std::string log_path() { return "vorel_restart_" + std::to_string(platform::process_id()) + ".aof"; }

}  // namespace

TEST(Restart, EveryWritingCommandHasACase) {
    std::set<std::string> covered;
    for (const WriteCase& w : kCases) {
        const CommandDef* def = command_lookup(w.command);
        ASSERT_NE(def, nullptr) << w.command;
        EXPECT_NE(def->flags & kCmdWrite, 0u) << w.command << " is not a writing command";
        EXPECT_EQ(w.call.front(), w.command);
        covered.insert(w.command);
    }
    for (const CommandDef* def : all_commands()) {
        if ((def->flags & kCmdWrite) == 0) continue;
        EXPECT_EQ(covered.count(def->name), 1u) << def->name << " has no restart case";
    }
}

class RestartCase : public ::testing::TestWithParam<WriteCase> {};

TEST_P(RestartCase, ReplayRebuildsTheSameKeyspace) {
    const WriteCase& w = GetParam();
    const std::string path = log_path();
    std::remove(path.c_str());
    std::map<std::string, std::string> before, after;
    {
        Harness live(path);
        live.open_log();
        for (const Request& r : w.setup) ASSERT_NE(live.run(r)[0], '-') << r[0];
        before = live.snapshot();
        const std::string reply = live.run(w.call);
        ASSERT_NE(reply[0], '-') << reply;
        after = live.snapshot();
    }
    ASSERT_NE(before, after) << "the call changed nothing, so it proves nothing";
    Harness restarted(path);
    ASSERT_TRUE(restarted.replay());
    EXPECT_EQ(restarted.snapshot(), after);
    std::remove(path.c_str());
    std::remove((path + ".corrupt").c_str());
}

INSTANTIATE_TEST_SUITE_P(WritingCommands, RestartCase, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.command); });
