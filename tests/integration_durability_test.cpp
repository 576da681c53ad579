// Integration tests of what the append-only log keeps across restarts: records
// of any size, keys removed by expiry and eviction, transactions whole or not at
// all, the command name as sent, the file lock and the fsync policy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/resp_client.h"
#include "vorel.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }

std::string read_file(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// "" when both dumps agree, else the first line where they part (a whole-text
// comparison of large dumps would make the failure report itself too costly).
std::string first_difference(const std::string& got, const std::string& want) {
    if (got == want) return "";
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    const size_t line = want.rfind('\n', at == 0 ? 0 : at - 1);
    const size_t from = line == std::string::npos ? 0 : line + 1;
    return "got  " + got.substr(from, 160) + "\nwant " + want.substr(from, 160);
}

class Durability : public ::testing::Test {
protected:
    void TearDown() override {
        vorel_config_set("appendfsync", "everysec");
        vorel_config_set("auto-aof-rewrite-min-size", "64mb");
        vorel_config_set("auto-aof-rewrite-percentage", "100");
        std::remove(path.c_str());
        std::remove((path + ".rewrite").c_str());
        std::remove((path + ".corrupt").c_str());
    }
    void write_file(const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    // Every key with its type, value and whether it has a deadline, in key order.
    static std::string dump(Conn& c) {
        std::string keys = c.call({"KEYS", "*"});
        std::vector<std::string> names;
        for (size_t at = keys.find('$'); at != std::string::npos; at = keys.find('$', at)) {
            size_t nl = keys.find("\r\n", at);
            size_t len = std::stoul(keys.substr(at + 1, nl - at - 1));
            names.push_back(keys.substr(nl + 2, len));
            at = nl + 2 + len;
        }
        std::sort(names.begin(), names.end());
        std::string out;
        for (const std::string& k : names) {
            const std::string type = c.call({"TYPE", k});
            out += k + " " + type;
            if (type == "+string\r\n") out += c.call({"GET", k});
            if (type == "+list\r\n") out += c.call({"LRANGE", k, "0", "-1"});
            if (type == "+hash\r\n") out += c.call({"HGETALL", k});
            if (type == "+set\r\n") out += c.call({"SMEMBERS", k});
            if (type == "+zset\r\n") out += c.call({"ZRANGE", k, "0", "-1", "WITHSCORES"});
            // Whether a deadline is set; its moment is compared on its own.
            out += c.call({"TTL", k}) == ":-1\r\n" ? " no deadline\n" : " deadline\n";
        }
        return out;
    }
    std::string path = "vorel_durable_" + std::to_string(platform::process_id()) + "_" +
                       std::to_string(platform::current_time_ms()) + ".aof";
};

}  // namespace

// Requests past 100,000 arguments are accepted and logged; the replay must take
// their records back rather than set them aside as damage.
TEST_F(Durability, RecordsOfAnyArgumentCountReplay) {
    constexpr int kMany = 100001;
    std::string before;
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok()) << vorel_last_error();
        Conn c(server.port());
        std::vector<std::string> rpush{"RPUSH", "list"}, mset{"MSET"}, sadd{"SADD", "set"};
        for (int i = 0; i < kMany; ++i) rpush.push_back(std::to_string(i));
        for (int i = 0; i < kMany / 2 + 1; ++i) {
            mset.push_back("m" + std::to_string(i));
            mset.push_back(std::to_string(i));
        }
        for (int i = 0; i < kMany + 4; ++i) sadd.push_back("s" + std::to_string(i));
        c.send(cmd(rpush));
        EXPECT_EQ(c.read_reply(), ":" + std::to_string(kMany) + "\r\n");
        c.send(cmd(mset));
        EXPECT_EQ(c.read_reply(), "+OK\r\n");
        c.send(cmd(sadd));
        EXPECT_EQ(c.read_reply(), ":" + std::to_string(kMany + 4) + "\r\n");
        // Logged as one SREM of the 100,001 members drawn.
        EXPECT_EQ(c.call({"SPOP", "set", std::to_string(kMany)}).substr(0, 8), "*100001\r");
        EXPECT_EQ(c.call({"SET", "after", "1"}), "+OK\r\n");
        before = c.call({"SMEMBERS", "set"});
    }
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok()) << vorel_last_error();
    Conn c(server.port());
    EXPECT_EQ(c.call({"LLEN", "list"}), ":100001\r\n");
    EXPECT_EQ(c.call({"LINDEX", "list", "-1"}), bulk("100000"));
    EXPECT_EQ(c.call({"DBSIZE"}), ":50004\r\n");
    EXPECT_EQ(c.call({"GET", "m50000"}), bulk("50000"));
    EXPECT_EQ(c.call({"SMEMBERS", "set"}), before);
    EXPECT_EQ(c.call({"GET", "after"}), bulk("1"));
    EXPECT_FALSE(std::filesystem::exists(path + ".corrupt")) << "a record the server wrote was taken for damage";
}

// Keys removed by eviction and by expiry (found dead or swept) are logged, so
// a restart under the same limit rebuilds exactly the keyspace the server had.
TEST_F(Durability, EvictionAndExpiryReplayToTheSameKeyspace) {
    std::string before;
    {
        ServerGuard server(nullptr, 1, path.c_str());
        ASSERT_TRUE(server.ok()) << vorel_last_error();
        Conn c(server.port());
        const std::string value(9000, 'v');
        for (int i = 0; i < 300; ++i) {
            const std::string k = "k" + std::to_string(i);
            if (i % 7 == 0) {
                EXPECT_EQ(c.call({"SET", k, value, "PX", "150"}), "+OK\r\n");
            } else {
                EXPECT_EQ(c.call({"SET", k, value}), "+OK\r\n");
            }
            // Touch an older key now and then so eviction does not just follow write order.
            if (i % 10 == 9) c.call({"GET", "k" + std::to_string(i - 5)});
        }
        c.call({"RPUSH", "list", "a", "b"});
        platform::sleep_ms(300);
        c.call({"GET", "k294"});  // found dead
        platform::sleep_ms(200);  // the rest are swept
        before = dump(c);
        EXPECT_LT(std::atoi(c.call({"DBSIZE"}).c_str() + 1), 200) << "the limit evicted nothing";
    }
    const std::string log = read_file(path);
    EXPECT_NE(log.find(cmd({"DEL", "k0"})), std::string::npos) << "an eviction was not logged";
    EXPECT_NE(log.find(cmd({"DEL", "k294"})), std::string::npos) << "an expiry was not logged";
    ServerGuard server(nullptr, 1, path.c_str());
    ASSERT_TRUE(server.ok()) << vorel_last_error();
    Conn c(server.port());
    EXPECT_EQ(first_difference(dump(c), before), "");
}

// During replay eviction waits for the whole log: records that delete keys
// later in the log must not find the keys before them evicted already.
TEST_F(Durability, EvictionWaitsUntilTheWholeLogIsApplied) {
    const std::string value(150000, 'x');
    std::string log;
    for (int i = 1; i <= 10; ++i) log += cmd({"SET", "k" + std::to_string(i), value});
    for (int i = 6; i <= 10; ++i) log += cmd({"DEL", "k" + std::to_string(i)});
    write_file(log);
    ServerGuard server(nullptr, 1, path.c_str());
    ASSERT_TRUE(server.ok()) << vorel_last_error();
    Conn c(server.port());
    EXPECT_EQ(c.call({"EXISTS", "k1", "k2", "k3", "k4", "k5"}), ":5\r\n");
    EXPECT_EQ(c.call({"DBSIZE"}), ":5\r\n");
}

// After the replay, keys past a lower limit are evicted once, and logged, so
// the next start needs no eviction to agree.
TEST_F(Durability, EvictionAfterReplayIsLogged) {
    const std::string value(300000, 'x');
    std::string log;
    for (int i = 1; i <= 6; ++i) log += cmd({"SET", "k" + std::to_string(i), value});
    write_file(log);
    {
        ServerGuard server(nullptr, 1, path.c_str());
        ASSERT_TRUE(server.ok()) << vorel_last_error();
        Conn c(server.port());
        EXPECT_EQ(c.call({"EXISTS", "k1", "k2", "k3"}), ":0\r\n");
        EXPECT_EQ(c.call({"EXISTS", "k4", "k5", "k6"}), ":3\r\n");
    }
    EXPECT_NE(read_file(path).find(cmd({"DEL", "k1"})), std::string::npos);
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"DBSIZE"}), ":3\r\n") << "an eviction after replay was not logged";
}

// A second server on a log another one holds fails at once and leaves the file
// as it was, even a tail the replay would otherwise cut off.
TEST_F(Durability, LogHeldByAnotherServerIsRefusedUntouched) {
    const std::string bytes = cmd({"SET", "a", "1"}) + "*2\r\n$3\r\nSET";
    write_file(bytes);
    bool busy = false;
    platform::FileLock held = platform::file_lock(path.c_str(), &busy);
    ASSERT_NE(held, platform::kNoFileLock);
    {
        ServerGuard server(nullptr, 0, path.c_str());
        EXPECT_FALSE(server.ok());
        EXPECT_STREQ(vorel_last_error(), "append-only file is in use");
    }
    EXPECT_EQ(read_file(path), bytes);
    EXPECT_FALSE(std::filesystem::exists(path + ".corrupt"));
    platform::file_unlock(held);
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok()) << vorel_last_error();
    Conn c(server.port());
    EXPECT_EQ(c.call({"GET", "a"}), bulk("1"));
    // The running server holds the lock itself.
    EXPECT_EQ(platform::file_lock(path.c_str(), &busy), platform::kNoFileLock);
    EXPECT_TRUE(busy);
}

// A transaction's records sit between MULTI and EXEC records; a log that ends
// inside one is cut back to before its MULTI, and nothing of it is applied.
TEST_F(Durability, TransactionsReplayWholeOrNotAtAll) {
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"SET", "a", "0"}), "+OK\r\n");
        EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
        EXPECT_EQ(c.call({"INCR", "a"}), "+QUEUED\r\n");
        EXPECT_EQ(c.call({"GET", "a"}), "+QUEUED\r\n");
        EXPECT_EQ(c.call({"SET", "b", "2"}), "+QUEUED\r\n");
        EXPECT_EQ(c.call({"EXEC"}), "*3\r\n:1\r\n$1\r\n1\r\n+OK\r\n");
        EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
        EXPECT_EQ(c.call({"GET", "a"}), "+QUEUED\r\n");
        EXPECT_EQ(c.call({"EXEC"}), "*1\r\n$1\r\n1\r\n");
    }
    const std::string whole = cmd({"SET", "a", "0"}) + cmd({"MULTI"}) + cmd({"INCR", "a"}) + cmd({"SET", "b", "2"}) +
                              cmd({"EXEC"});
    EXPECT_EQ(read_file(path), whole) << "a read-only transaction must log nothing";

    for (const std::string& tail : {cmd({"MULTI"}) + cmd({"SET", "c", "3"}),
                                    cmd({"MULTI"}) + cmd({"SET", "c", "3"}) + cmd({"SET", "d", "4"}).substr(0, 9),
                                    cmd({"MULTI"}) + cmd({"SET", "c", "3"}) + cmd({"EXEC"}).substr(0, 7)}) {
        write_file(whole + tail);
        {
            ServerGuard server(nullptr, 0, path.c_str());
            ASSERT_TRUE(server.ok());
            Conn c(server.port());
            EXPECT_EQ(c.call({"MGET", "a", "b", "c"}), "*3\r\n" + bulk("1") + bulk("2") + "$-1\r\n");
        }
        EXPECT_EQ(read_file(path), whole) << "an unfinished transaction was not cut back";
        EXPECT_FALSE(std::filesystem::exists(path + ".corrupt"));
    }
}

// The log records the command name byte for byte as the client sent it.
TEST_F(Durability, CommandNameIsLoggedAsSent) {
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"sEt", "k", "v"}), "+OK\r\n");
        EXPECT_EQ(c.call({"rpush", "l", "x"}), ":1\r\n");
        EXPECT_EQ(c.call({"multi"}), "+OK\r\n");
        EXPECT_EQ(c.call({"Incr", "n"}), "+QUEUED\r\n");
        EXPECT_EQ(c.call({"exec"}), "*1\r\n:1\r\n");
    }
    EXPECT_EQ(read_file(path), cmd({"sEt", "k", "v"}) + cmd({"rpush", "l", "x"}) + cmd({"MULTI"}) +
                                   cmd({"Incr", "n"}) + cmd({"EXEC"}));
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"MGET", "k", "n"}), "*2\r\n" + bulk("v") + bulk("1"));
}

// Each fsync policy is accepted from CONFIG SET and from the host, reported by
// INFO and CONFIG GET, and writes survive a restart under each.
TEST_F(Durability, EachFsyncPolicyIsAcceptedAndReported) {
    EXPECT_EQ(vorel_config_set("appendfsync", "sometimes"), -1);
    EXPECT_EQ(vorel_config_set("no-such-row", "1"), -1);
    for (const char* policy : {"always", "no", "everysec"}) {
        ASSERT_EQ(vorel_config_set("appendfsync", policy), 0);
        {
            ServerGuard server(nullptr, 0, path.c_str());
            ASSERT_TRUE(server.ok());
            Conn c(server.port());
            EXPECT_NE(c.call({"INFO"}).find(std::string("\r\naof_fsync:") + policy + "\r\n"), std::string::npos);
            EXPECT_EQ(c.call({"CONFIG", "GET", "appendfsync"}), "*2\r\n" + bulk("appendfsync") + bulk(policy));
            EXPECT_EQ(c.call({"INCR", "n"}).substr(0, 1), ":");
        }
    }
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"GET", "n"}), bulk("3"));
    EXPECT_EQ(c.call({"CONFIG", "SET", "appendfsync", "sometimes"}).substr(0, 4), "-ERR");
    EXPECT_EQ(c.call({"CONFIG", "SET", "appendfsync", "always"}), "+OK\r\n");
    EXPECT_NE(c.call({"INFO"}).find("\r\naof_fsync:always\r\n"), std::string::npos);
    EXPECT_EQ(c.call({"INCR", "n"}), ":4\r\n");
}

namespace {

std::string info_field(Conn& c, const std::string& name) {
    const std::string info = c.call({"INFO"});
    const size_t at = info.find("\r\n" + name + ":");
    if (at == std::string::npos) return "";
    const size_t from = at + name.size() + 3;
    return info.substr(from, info.find("\r\n", from) - from);
}

bool wait_rewrite_done(Conn& c, const std::string& count) {
    for (int i = 0; i < 600; ++i) {
        if (info_field(c, "aof_rewrite_in_progress") == "0" && info_field(c, "aof_rewrites") == count) return true;
        platform::sleep_ms(10);
    }
    return false;
}

// Remaining milliseconds of every key with a deadline, with the moment read.
std::vector<std::pair<std::string, long long>> deadlines(Conn& c, std::vector<std::string> keys) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<std::pair<std::string, long long>> out;
    for (const std::string& k : keys) {
        const long long ms = std::atoll(c.call({"PTTL", k}).c_str() + 1);
        if (ms > 0) out.emplace_back(k, ms + platform::current_time_ms());
    }
    return out;
}

// A seeded workload over every family: writes that read other keys, overwrites
// and deletions, and keys with deadlines.
void random_writes(Conn& c, uint64_t& seed, int count, std::vector<std::string>* keys) {
    auto next = [&seed](uint64_t bound) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return (seed >> 33) % bound;
    };
    std::string batch;
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(next(400));
        const std::string m = std::to_string(next(50));
        switch (next(16)) {
            case 0: batch += cmd({"SET", "s" + n, "v" + m}); break;
            case 1: batch += cmd({"INCRBY", "c" + n, m}); break;
            case 2: batch += cmd({"APPEND", "s" + n, m}); break;
            case 3: batch += cmd({"RPUSH", "l" + n, m, "x" + m}); break;
            case 4: batch += cmd({"RPOPLPUSH", "l" + n, "l" + m}); break;
            case 5: batch += cmd({"HSET", "h" + n, "f" + m, m}); break;
            case 6: batch += cmd({"HINCRBY", "h" + n, "n", m}); break;
            case 7: batch += cmd({"SADD", "t" + n, m}); break;
            case 8: batch += cmd({"SUNIONSTORE", "t" + m, "t" + n, "t" + m}); break;
            case 9: batch += cmd({"ZADD", "z" + n, m + ".25", "e" + m}); break;
            case 10: batch += cmd({"ZINCRBY", "z" + n, "1.5", "e" + m}); break;
            case 11: batch += cmd({"DEL", "s" + n, "l" + n}); break;
            case 12: batch += cmd({"EXPIRE", "h" + n, std::to_string(1000 + next(1000))}); break;
            case 13: batch += cmd({"RENAME", "t" + n, "t" + m}); break;
            case 14: batch += cmd({"SREM", "t" + n, m}); break;
            default: batch += cmd({"PEXPIRE", "z" + n, std::to_string(2000000 + next(1000))}); break;
        }
        if (keys != nullptr) {
            for (const char* p : {"s", "c", "l", "h", "t", "z"}) keys->push_back(p + n);
        }
    }
    c.send(batch);
    for (int i = 0; i < count; ++i) ASSERT_FALSE(c.read_reply().empty());
}

}  // namespace

// A rewrite while writes keep coming, then more writes and a restart: every key,
// type, value and deadline comes back, from a log smaller than before.
TEST_F(Durability, RewriteWhileServingRebuildsTheSameKeyspace) {
    std::string before;
    std::vector<std::string> keys;
    std::vector<std::pair<std::string, long long>> due;
    uint64_t seed = 19;
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        // Enough keys that the walk takes many slices. Under Wine each of the
        // test's round trips costs about a millisecond, so it loads a tenth.
#ifdef _WIN32
        constexpr int kFill = 6000;
#else
        constexpr int kFill = 60000;
#endif
        std::string fill;
        for (int i = 0; i < kFill; ++i) fill += cmd({"SET", "fill" + std::to_string(i), std::to_string(i)});
        c.send(fill);
        for (int i = 0; i < kFill; ++i) ASSERT_EQ(c.read_reply(), "+OK\r\n");
        random_writes(c, seed, kFill / 3, &keys);
        const uint64_t grown = std::filesystem::file_size(path);
        EXPECT_EQ(c.call({"BGREWRITEAOF"}), "+Background append only file rewriting started\r\n");
        EXPECT_EQ(c.call({"BGREWRITEAOF"}).substr(0, 4), "-ERR");
        for (int round = 0; round < 10; ++round) random_writes(c, seed, kFill / 200, &keys);
        ASSERT_TRUE(wait_rewrite_done(c, "1"));
        EXPECT_EQ(info_field(c, "aof_last_bgrewrite_status"), "ok");
        EXPECT_LT(std::filesystem::file_size(path), grown);
        // The base is the new file's size at the switch; writes of the rounds
        // above that came after it (the rewrite may end first) grow the log past it.
        const uint64_t base = std::stoull(info_field(c, "aof_base_size"));
        EXPECT_GT(base, 0u);
        EXPECT_LE(base, std::filesystem::file_size(path));
        random_writes(c, seed, kFill / 30, &keys);
        before = dump(c);
        due = deadlines(c, keys);
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".rewrite"));
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(first_difference(dump(c), before), "");
    const auto after = deadlines(c, keys);
    ASSERT_EQ(after.size(), due.size());
    for (size_t i = 0; i < due.size(); ++i) {
        EXPECT_EQ(after[i].first, due[i].first);
        EXPECT_NEAR(static_cast<double>(after[i].second), static_cast<double>(due[i].second), 100.0) << due[i].first;
    }
}

// The automatic rewrite runs once the log has grown by the percentage over its
// size after the last rewrite and passed the minimum size; 0 turns it off.
TEST_F(Durability, AutomaticRewriteFollowsGrowth) {
    ASSERT_EQ(vorel_config_set("auto-aof-rewrite-min-size", "64kb"), 0);
    ASSERT_EQ(vorel_config_set("auto-aof-rewrite-percentage", "0"), 0);
    {
        ServerGuard server(nullptr, 0, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        const std::string value(1000, 'v');
        for (int i = 0; i < 200; ++i) c.call({"SET", "k", value + std::to_string(i)});
        platform::sleep_ms(200);
        EXPECT_EQ(info_field(c, "aof_rewrites"), "0") << "percentage 0 must turn the automatic rewrite off";
        EXPECT_EQ(c.call({"CONFIG", "SET", "auto-aof-rewrite-percentage", "100"}), "+OK\r\n");
        c.call({"SET", "k", "last"});
        ASSERT_TRUE(wait_rewrite_done(c, "1"));
        EXPECT_LT(std::filesystem::file_size(path), 4000u) << "the log of 200 overwrites was not compacted";
    }
    vorel_config_set("auto-aof-rewrite-min-size", "64mb");
    vorel_config_set("auto-aof-rewrite-percentage", "100");
    ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"GET", "k"}), bulk("last"));
}
