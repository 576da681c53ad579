// Integration tests of what the server tells an operator: INFO commandstats and
// latencystats, the live INFO counters, SLOWLOG and its CONFIG rows, and the
// /metrics, /slowlog and /dashboard routes.
// GCC 12 reports a false "may be used uninitialized" inside <regex> when it
// optimises with the sanitizers on; the patterns below are plain regex use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/resp_client.h"

using vtest::Conn;
using vtest::ServerGuard;

namespace {

// The body of a bulk reply.
std::string body(const std::string& reply) {
    const size_t at = reply.find("\r\n");
    return at == std::string::npos || reply.size() < at + 4 ? "" : reply.substr(at + 2, reply.size() - at - 4);
}

// The value after "<field>:" on its own line of an INFO text, or "" when absent.
std::string info_field(const std::string& info, const std::string& field) {
    const size_t at = info.find("\r\n" + field + ":");
    if (at == std::string::npos) return "";
    const size_t start = at + field.size() + 3;
    return info.substr(start, info.find("\r\n", start) - start);
}

// "calls=3,usec=..." as a map.
std::map<std::string, std::string> fields_of(const std::string& line) {
    std::map<std::string, std::string> out;
    const std::regex pair("([a-z0-9_.]+)=([^,]*)");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), pair); it != std::sregex_iterator(); ++it) {
        out[(*it)[1]] = (*it)[2];
    }
    return out;
}

std::map<std::string, std::string> cmdstat(Conn& c, const std::string& name) {
    const std::string info = body(c.call({"INFO", "commandstats"}));
    const std::string value = info_field(info, "cmdstat_" + name);
    return value.empty() ? std::map<std::string, std::string>{} : fields_of(value);
}

std::string http_get(int port, const std::string& target, const std::string& extra = "") {
    Conn c(port);
    c.send("GET " + target + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n");
    return c.read_available(3000);
}
std::string http_body(const std::string& raw) {
    const size_t end = raw.find("\r\n\r\n");
    return end == std::string::npos ? "" : raw.substr(end + 4);
}

}  // namespace

TEST(Observability, CommandstatsCountCallsRejectionsAndFailures) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    c.call({"SET", "n", "abc"});
    c.call({"SET", "n2", "1"});
    c.call({"INCR", "n"});           // ran, answered an error
    c.call({"INCR", "n2"});          // ran
    c.call({"INCR"});                // refused: arity
    c.call({"LPUSH", "n", "x"});     // ran, WRONGTYPE
    c.call({"MULTI"});
    c.call({"INCR", "n2"});          // queued: counted when EXEC runs it
    c.call({"EXEC"});
    c.call({"SUBSCRIBE", "ch"});
    c.call({"INCR", "n2"});          // refused: subscribed
    c.call({"UNSUBSCRIBE", "ch"});

    struct Row { const char* name; const char* calls; const char* rejected; const char* failed; };
    const Row rows[] = {{"set", "2", "0", "0"}, {"incr", "3", "2", "1"}, {"lpush", "1", "0", "1"},
                        {"exec", "1", "0", "0"}, {"multi", "1", "0", "0"}};
    for (const Row& r : rows) {
        auto f = cmdstat(c, r.name);
        ASSERT_FALSE(f.empty()) << r.name;
        EXPECT_EQ(f["calls"], r.calls) << r.name;
        EXPECT_EQ(f["rejected_calls"], r.rejected) << r.name;
        EXPECT_EQ(f["failed_calls"], r.failed) << r.name;
        EXPECT_TRUE(f.count("usec") && f.count("usec_per_call")) << r.name;
        EXPECT_GT(std::stod(f["usec_per_call"]), 0.0) << r.name;
    }
    EXPECT_TRUE(cmdstat(c, "get").empty()) << "a command never sent has no line";

    // The latency line of each command that ran: three ordered, positive percentiles.
    const std::string lat = body(c.call({"INFO", "latencystats"}));
    EXPECT_EQ(lat.rfind("# Latencystats\r\n", 0), 0u) << lat;
    EXPECT_EQ(lat.find("# Server"), std::string::npos) << "only the section asked for";
    for (const char* name : {"set", "incr", "lpush"}) {
        auto f = fields_of(info_field(lat, std::string("latency_percentiles_usec_") + name));
        ASSERT_EQ(f.size(), 3u) << name << "\n" << lat;
        const double p50 = std::stod(f["p50"]), p99 = std::stod(f["p99"]), p999 = std::stod(f["p99.9"]);
        EXPECT_GT(p50, 0.0);
        EXPECT_LE(p50, p99);
        EXPECT_LE(p99, p999);
    }
    // Without a section name INFO stays the general text; ALL adds both sections.
    const std::string plain = body(c.call({"INFO"}));
    EXPECT_EQ(plain.find("# Commandstats"), std::string::npos);
    const std::string all = body(c.call({"INFO", "all"}));
    EXPECT_NE(all.find("# Server"), std::string::npos);
    EXPECT_NE(all.find("\r\ncmdstat_set:calls=2,"), std::string::npos) << all;
    EXPECT_NE(all.find("\r\nlatency_percentiles_usec_set:p50="), std::string::npos) << all;

    EXPECT_EQ(c.call({"CONFIG", "RESETSTAT"}), "+OK\r\n");
    EXPECT_TRUE(cmdstat(c, "set").empty());
    EXPECT_TRUE(cmdstat(c, "incr").empty());
    EXPECT_EQ(cmdstat(c, "config")["calls"], "1") << "RESETSTAT itself counts after the reset";
}

TEST(Observability, CommandstatsCountAuthenticationRefusals) {
    ServerGuard server("pw");
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"GET", "k"}), "-NOAUTH Authentication required.\r\n");
    EXPECT_EQ(c.call({"AUTH", "pw"}), "+OK\r\n");
    auto f = cmdstat(c, "get");
    EXPECT_EQ(f["calls"], "0");
    EXPECT_EQ(f["rejected_calls"], "1");
}

TEST(Observability, InfoLiveCounters) {
    ServerGuard server(nullptr, 1);
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    auto info = [&] { return body(c.call({"INFO"})); };
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    const std::string before = info();
    const uint64_t in0 = std::stoull(info_field(before, "total_net_input_bytes"));
    const uint64_t out0 = std::stoull(info_field(before, "total_net_output_bytes"));
    EXPECT_GT(in0, 0u);
    EXPECT_GE(out0, 7u) << "the PING's reply was sent before this INFO";
    const std::string value(100000, 'v');
    c.call({"SET", "big", value});
    const std::string after = info();
    EXPECT_GE(std::stoull(info_field(after, "total_net_input_bytes")), in0 + value.size());
    EXPECT_GE(std::stoull(info_field(after, "total_net_output_bytes")), out0 + before.size());

    // Expiry, on access and by the sweep.
    c.call({"SET", "short1", "x", "PX", "1"});
    c.call({"SET", "short2", "x", "PX", "1"});
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    c.call({"GET", "short1"});
    EXPECT_EQ(info_field(info(), "expired_keys"), "2");

    // Eviction under the 1 MB limit.
    EXPECT_EQ(info_field(info(), "evicted_keys"), "0");
    for (int i = 0; i < 30; ++i) c.call({"SET", "fill" + std::to_string(i), value});
    EXPECT_GT(std::stoull(info_field(info(), "evicted_keys")), 0u);

    // A parked client counts while it waits.
    EXPECT_EQ(info_field(info(), "blocked_clients"), "0");
    Conn waiter(server.port());
    waiter.send(vtest::cmd({"BLPOP", "nothing", "5"}));
    std::string blocked;
    for (int i = 0; i < 50 && blocked != "1"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        blocked = info_field(info(), "blocked_clients");
    }
    EXPECT_EQ(blocked, "1");
    c.call({"RPUSH", "nothing", "x"});
    EXPECT_NE(waiter.read_reply(), "");
    EXPECT_EQ(info_field(info(), "blocked_clients"), "0");
}

TEST(Observability, SlowlogRecordsASlowCommand) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"CONFIG", "GET", "slowlog-log-slower-than"}),
              "*2\r\n$23\r\nslowlog-log-slower-than\r\n$5\r\n10000\r\n");
    EXPECT_EQ(c.call({"CONFIG", "GET", "slowlog-max-len"}), "*2\r\n$15\r\nslowlog-max-len\r\n$3\r\n128\r\n");
    // Two sets of 60,000 members: their union takes milliseconds, far above 1 ms.
    for (int set = 0; set < 2; ++set) {
        for (int batch = 0; batch < 60; ++batch) {
            std::vector<std::string> args = {"SADD", "s" + std::to_string(set)};
            for (int i = 0; i < 1000; ++i) args.push_back(std::to_string(set * 30000 + batch * 1000 + i));
            c.send(vtest::cmd(args));
            ASSERT_EQ(c.read_reply()[0], ':');
        }
    }
    EXPECT_EQ(c.call({"CONFIG", "SET", "slowlog-log-slower-than", "1000"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SLOWLOG", "RESET"}), "+OK\r\n");
    EXPECT_EQ(c.call({"CLIENT", "SETNAME", "loader"}), "+OK\r\n");
    EXPECT_EQ(c.call({"GET", "fast"}), "$-1\r\n");
    EXPECT_EQ(c.call({"SUNIONSTORE", "dest", "s0", "s1"}), ":90000\r\n");
    const std::string log = c.call({"SLOWLOG", "GET"});
    EXPECT_EQ(log.rfind("*1\r\n*6\r\n:", 0), 0u) << "one entry: the union, not the GET\n" << log;
    EXPECT_NE(log.find("*4\r\n$11\r\nSUNIONSTORE\r\n$4\r\ndest\r\n$2\r\ns0\r\n$2\r\ns1\r\n$15\r\n127.0.0.1:"),
              std::string::npos) << log;
    EXPECT_NE(log.find("\r\n$6\r\nloader\r\n"), std::string::npos) << log;
    EXPECT_EQ(c.call({"SLOWLOG", "LEN"}), ":1\r\n");
    // The duration field is at least the threshold.
    const std::regex entry("^\\*1\r\n\\*6\r\n:\\d+\r\n:\\d+\r\n:(\\d+)\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, entry)) << log;
    EXPECT_GE(std::stoll(m[1]), 1000);
    // The JSON route for the dashboard carries the same entry.
    const std::string json = http_body(http_get(server.port(), "/slowlog"));
    EXPECT_NE(json.find("\"args\":[\"SUNIONSTORE\",\"dest\",\"s0\",\"s1\"]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"name\":\"loader\""), std::string::npos) << json;
    EXPECT_EQ(c.call({"SLOWLOG", "RESET"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SLOWLOG", "LEN"}), ":0\r\n");
    EXPECT_EQ(c.call({"SLOWLOG", "GET"}), "*0\r\n");
}

TEST(Observability, SlowlogLengthArgumentsAndSettings) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"CONFIG", "SET", "slowlog-log-slower-than", "ten"}),
              "-ERR Invalid argument 'ten' for CONFIG SET 'slowlog-log-slower-than'\r\n");
    EXPECT_EQ(c.call({"CONFIG", "SET", "slowlog-max-len", "-1"}),
              "-ERR Invalid argument '-1' for CONFIG SET 'slowlog-max-len'\r\n");
    EXPECT_EQ(c.call({"CONFIG", "SET", "slowlog-max-len", "3", "slowlog-log-slower-than", "0"}), "+OK\r\n");
    for (int i = 0; i < 10; ++i) c.call({"SET", "k" + std::to_string(i), "v"});
    EXPECT_EQ(c.call({"SLOWLOG", "LEN"}), ":3\r\n");
    // Newest first: the three latest commands, the two before this GET counted.
    const std::string two = c.call({"SLOWLOG", "GET", "2"});
    EXPECT_EQ(two.rfind("*2\r\n", 0), 0u) << two;
    EXPECT_NE(two.find("$7\r\nSLOWLOG\r\n$3\r\nLEN\r\n"), std::string::npos) << two;
    EXPECT_NE(two.find("$2\r\nk9\r\n"), std::string::npos) << two;
    EXPECT_EQ(c.call({"SLOWLOG", "GET", "-2"}), "-ERR count should be greater than or equal to -1\r\n");

    // Long arguments and long argument lists are shortened.
    EXPECT_EQ(c.call({"CONFIG", "SET", "slowlog-max-len", "128"}), "+OK\r\n");
    c.call({"SET", "long", std::string(300, 'a')});
    const std::string one = c.call({"SLOWLOG", "GET", "1"});
    EXPECT_NE(one.find(std::string(128, 'a') + "... (172 more bytes)\r\n"), std::string::npos) << one;
    std::vector<std::string> many = {"SADD", "set"};
    for (int i = 0; i < 40; ++i) many.push_back("m" + std::to_string(i));
    c.send(vtest::cmd(many));
    EXPECT_EQ(c.read_reply(), ":40\r\n");
    const std::string listed = c.call({"SLOWLOG", "GET", "1"});
    EXPECT_NE(listed.find("*32\r\n$4\r\nSADD\r\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("$3\r\nm28\r\n$23\r\n... (11 more arguments)\r\n"), std::string::npos) << listed;

    // A negative threshold turns the log off.
    EXPECT_EQ(c.call({"CONFIG", "SET", "slowlog-log-slower-than", "-1"}), "+OK\r\n");
    EXPECT_EQ(c.call({"SLOWLOG", "RESET"}), "+OK\r\n");
    c.call({"SET", "x", "y"});
    EXPECT_EQ(c.call({"SLOWLOG", "LEN"}), ":0\r\n");
    EXPECT_EQ(c.call({"SLOWLOG", "NOPE"}).rfind("-ERR unknown subcommand", 0), 0u);
}

namespace {

// Checks the scrape format and returns the samples by "name{labels}". Every line
// is a comment ("# HELP name text" / "# TYPE name type") or one sample, and each
// sample belongs to a family declared by a TYPE line before it.
std::map<std::string, double> parse_metrics(const std::string& text, std::string* problem) {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
    const std::regex help("^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+$");
    const std::regex type("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge)$");
    const std::regex sample("^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{[a-zA-Z_][a-zA-Z0-9_]*=\"[^\"\\\\]*\"\\})? (-?[0-9.e+]+)$");
    size_t at = 0;
    if (text.empty() || text.back() != '\n') *problem = "the text does not end with a newline";
    while (at < text.size()) {
        size_t eol = text.find('\n', at);
        if (eol == std::string::npos) eol = text.size();
        const std::string line = text.substr(at, eol - at);
        at = eol + 1;
        std::smatch m;
        if (std::regex_match(line, m, help)) continue;
        if (std::regex_match(line, m, type)) {
            types[m[1]] = m[2];
            continue;
        }
        if (!std::regex_match(line, m, sample)) {
            *problem = "bad line: " + line;
            return samples;
        }
        if (!types.count(m[1])) *problem = "sample without a TYPE: " + line;
        if (types[m[1]] == "counter" && std::string(m[1]).find("_total") == std::string::npos) {
            *problem = "counter not named _total: " + line;
        }
        samples[std::string(m[1]) + std::string(m[2])] = std::stod(m[3]);
    }
    return samples;
}

}  // namespace

TEST(Observability, MetricsScrape) {
    ServerGuard server("pw", 64);
    ASSERT_TRUE(server.ok());
    const int port = server.port();
    const std::string denied = http_get(port, "/metrics");
    EXPECT_EQ(denied.rfind("HTTP/1.1 401 ", 0), 0u) << denied;
    for (const char* route : {"/slowlog", "/dashboard"}) {
        EXPECT_EQ(http_get(port, route).rfind("HTTP/1.1 401 ", 0), 0u) << route;
    }
    const std::string auth = "Authorization: Bearer pw\r\n";
    auto scrape = [&] {
        const std::string raw = http_get(port, "/metrics", auth);
        EXPECT_EQ(raw.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4", 0), 0u) << raw;
        std::string problem;
        auto samples = parse_metrics(http_body(raw), &problem);
        EXPECT_EQ(problem, "");
        return samples;
    };

    Conn c(port);
    EXPECT_EQ(c.call({"AUTH", "pw"}), "+OK\r\n");
    c.call({"SET", "a", "1"});
    c.call({"GET", "a"});
    auto first = scrape();
    for (const char* name :
         {"vorel_uptime_seconds", "vorel_connected_clients", "vorel_blocked_clients", "vorel_keyspace_hits_total",
          "vorel_keyspace_misses_total", "vorel_keys", "vorel_expiring_keys", "vorel_evicted_keys_total",
          "vorel_expired_keys_total", "vorel_memory_used_bytes", "vorel_memory_max_bytes", "vorel_client_buffer_bytes",
          "vorel_log_enabled", "vorel_log_last_write_ok", "vorel_net_input_bytes_total",
          "vorel_net_output_bytes_total", "vorel_commands_processed_total"}) {
        EXPECT_TRUE(first.count(name)) << name;
    }
    EXPECT_EQ(first["vorel_memory_max_bytes"], 64.0 * 1048576);
    EXPECT_EQ(first["vorel_keys"], 1);
    EXPECT_EQ(first["vorel_commands_total{cmd=\"get\"}"], 1);
    EXPECT_EQ(first["vorel_keyspace_hits_total"], 1);

    c.call({"SET", "b", "2", "EX", "100"});
    c.call({"GET", "a"});
    c.call({"GET", "missing"});
    auto second = scrape();
    EXPECT_EQ(second["vorel_commands_total{cmd=\"get\"}"], 3);
    EXPECT_EQ(second["vorel_commands_total{cmd=\"set\"}"], 2);
    EXPECT_EQ(second["vorel_keyspace_misses_total"], first["vorel_keyspace_misses_total"] + 1);
    EXPECT_EQ(second["vorel_expiring_keys"], 1);
    for (const char* counter : {"vorel_net_input_bytes_total", "vorel_net_output_bytes_total",
                                "vorel_commands_processed_total", "vorel_command_duration_seconds_total{cmd=\"get\"}"}) {
        EXPECT_GT(second[counter], first[counter]) << counter;
    }

    const std::string page = http_get(port, "/dashboard", auth);
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/html", 0), 0u);
    // Self-contained: nothing is loaded from anywhere but this server.
    for (const char* external : {"http://", "https://", "src=", "@import", "<link"}) {
        EXPECT_EQ(http_body(page).find(external), std::string::npos) << external;
    }
}
