// Soak test: a bounded run of 100 clients sending mixed commands of every family
// (pipelined and not), host threads calling the host functions and a thread of
// HTTP requests, all at once under a memory limit that forces eviction. Nothing
// may crash, no reply may be an unexpected error, and the keyspace must be
// consistent and within its limit at the end. VOREL_SOAK_SECONDS sets the length.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/resp_client.h"
#include "vorel.h"

using vtest::Conn;
using vtest::ServerGuard;

namespace {

constexpr int kClients = 100;
constexpr int kClientThreads = 4;
constexpr int kLimitMb = 4;

int soak_seconds() {
    const char* env = std::getenv("VOREL_SOAK_SECONDS");
    int s = env ? std::atoi(env) : 20;
    return s > 0 ? s : 20;
}

// One random command of some family on a small key space; every family keeps to
// its own key prefix so no reply is a type error.
std::vector<std::string> random_command(std::mt19937_64& rng) {
    auto key = [&](const char* prefix) { return std::string(prefix) + std::to_string(rng() % 200); };
    std::string value(16 + rng() % 512, static_cast<char>('a' + rng() % 26));
    std::string n = std::to_string(rng() % 100);
    switch (rng() % 16) {
        case 0: return {"SET", key("s:"), value};
        case 1: return {"GET", key("s:")};
        case 2: return {"INCR", key("n:")};
        case 3: return {"SET", key("s:"), value, "PX", std::to_string(1 + rng() % 500)};
        case 4: return {"RPUSH", key("l:"), value, n};
        case 5: return {"LPOP", key("l:")};
        case 6: return {"LRANGE", key("l:"), "0", "10"};
        case 7: return {"HSET", key("h:"), "f" + n, value};
        case 8: return {"HGETALL", key("h:")};
        case 9: return {"SADD", key("t:"), n, value.substr(0, 8)};
        case 10: return {"SPOP", key("t:")};
        case 11: return {"ZADD", key("z:"), n, "m" + n};
        case 12: return {"ZRANGE", key("z:"), "0", "-1", "WITHSCORES"};
        case 13: return {"DEL", key("s:"), key("l:")};
        case 14: return {"SCAN", "0", "COUNT", "50"};
        default: return {"EXPIRE", key("h:"), "1"};
    }
}

std::string body_of(const std::string& bulk_reply) {
    size_t eol = bulk_reply.find("\r\n");
    return eol == std::string::npos ? std::string() : bulk_reply.substr(eol + 2, bulk_reply.size() - eol - 4);
}

}  // namespace

TEST(Soak, MixedLoadUnderEviction) {
    ServerGuard server(nullptr, kLimitMb);
    ASSERT_TRUE(server.ok());
    const int port = server.port();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(soak_seconds());
    std::atomic<uint64_t> replies{0}, bad{0}, host_calls{0}, http_calls{0};
    std::atomic<bool> printed{false};

    auto note_bad = [&](const std::string& what) {
        bad++;
        if (!printed.exchange(true)) ADD_FAILURE() << "unexpected reply: " << what;
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kClientThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(1000 + t);
            std::vector<std::unique_ptr<Conn>> conns;
            for (int i = 0; i < kClients / kClientThreads; ++i) conns.push_back(std::make_unique<Conn>(port));
            while (std::chrono::steady_clock::now() < deadline) {
                for (auto& c : conns) {
                    const int depth = rng() % 10 == 0 ? 8 : 1;  // some pipelined batches
                    std::string batch;
                    for (int d = 0; d < depth; ++d) batch += vtest::cmd(random_command(rng));
                    c->send(batch);
                    for (int d = 0; d < depth; ++d) {
                        std::string r = c->read_reply();
                        if (r.empty() || r[0] == '-') note_bad(r.empty() ? "no reply" : r);
                        replies++;
                    }
                }
            }
        });
    }
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(77 + t);
            while (std::chrono::steady_clock::now() < deadline) {
                std::string key = "host:" + std::to_string(rng() % 100);
                if (vorel_set_value(key.c_str(), "value", static_cast<int>(rng() % 3)) != 0) note_bad("host set");
                vorel_get_value(key.c_str());
                vorel_key_info(key.c_str());
                if (rng() % 4 == 0) vorel_del_key(key.c_str());
                if (rng() % 50 == 0) vorel_get_keys_json("host:*");
                vorel_get_stats_json();
                host_calls++;
            }
        });
    }
    threads.emplace_back([&] {
        std::mt19937_64 rng(5);
        while (std::chrono::steady_clock::now() < deadline) {
            Conn c(port);
            std::string k = std::to_string(rng() % 50);
            c.send(rng() % 2 ? "GET /set?key=web" + k + "&val=v" + k + " HTTP/1.1\r\n\r\n" : "GET /stats HTTP/1.1\r\n\r\n");
            std::string raw = c.read_available(2000);
            if (raw.compare(0, 15, "HTTP/1.1 200 OK") != 0) note_bad("http: " + raw.substr(0, 40));
            http_calls++;
        }
    });
    for (auto& t : threads) t.join();

    Conn check(port);
    EXPECT_EQ(check.call({"PING"}), "+PONG\r\n");
    std::string info = body_of(check.call({"INFO"}));
    auto field = [&](const std::string& name) {
        size_t at = info.find("\r\n" + name + ":");
        return at == std::string::npos ? -1LL : std::atoll(info.c_str() + at + name.size() + 3);
    };
    const long long used = field("used_memory");
    // KEYS sweeps dead keys first, so DBSIZE right after it must count the same
    // keys. Both go in one transaction: keys set with a time to live near the end
    // of the load may expire after KEYS, and the expiry purge between two separate
    // requests would then take them away before DBSIZE.
    ASSERT_EQ(check.call({"MULTI"}), vtest::kOk);
    ASSERT_EQ(check.call({"KEYS", "*"}), "+QUEUED\r\n");
    ASSERT_EQ(check.call({"DBSIZE"}), "+QUEUED\r\n");
    const std::string both = check.call({"EXEC"});
    ASSERT_EQ(both.compare(0, 5, "*2\r\n*"), 0) << both.substr(0, 40);
    const long long listed = std::atoll(both.c_str() + 5);
    const size_t last_line = both.rfind("\r\n:");
    ASSERT_NE(last_line, std::string::npos);
    EXPECT_EQ(both.substr(last_line + 2), ":" + std::to_string(listed) + "\r\n");
    EXPECT_GT(used, 0);
    EXPECT_LE(used, static_cast<long long>(kLimitMb) << 20) << "used_memory above the limit after eviction";
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_GT(replies.load(), 1000u);
    EXPECT_GT(host_calls.load(), 100u);
    EXPECT_GT(http_calls.load(), 10u);

    long long peak_kb = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) peak_kb = std::atoll(line.c_str() + 6);
    }
    std::printf("soak: %llu replies, %llu host calls, %llu HTTP requests, %lld keys, used_memory %lld, peak RSS %lld KiB\n",
                static_cast<unsigned long long>(replies.load()), static_cast<unsigned long long>(host_calls.load()),
                static_cast<unsigned long long>(http_calls.load()), listed, used, peak_kb);
}
