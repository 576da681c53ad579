// metrics.cpp — the scrape text of GET /metrics, the slow log as JSON, the live
// client counts shared with INFO, and the latency histogram's percentiles.
#include "server/metrics.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "commands/command.h"
#include "server/server.h"

uint64_t LatencyHistogram::count() const {
    uint64_t total = 0;
    for (uint64_t n : counts_) total += n;
    return total;
}

uint64_t LatencyHistogram::percentile(double p) const {
    const uint64_t total = count();
    if (total == 0) return 0;
    // The rank of the sample at the percentile, counted from 1;
    // the small slack keeps 99 % of 1000 at 990 despite rounding in p / 100.
    uint64_t rank = static_cast<uint64_t>(std::ceil(p / 100.0 * static_cast<double>(total) - 1e-6));
    if (rank == 0) rank = 1;
    uint64_t seen = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
        seen += counts_[b];
        if (seen >= rank) return bucket_upper(b);
    }
    return bucket_upper(kBuckets - 1);
}

int blocked_client_count(const Server& srv) { return srv.parked_clients; }

uint64_t client_buffer_bytes(const Server& srv) {
    uint64_t n = 0;
    for (int i = 0; i < srv.clients.size(); ++i) {
        const Client* c = srv.clients.at(i);
        if (!c->closed()) n += c->inbuf_cap + c->out.pending();
    }
    return n;
}

namespace {

class Exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += ' ';
        text_ += type;
        text_ += '\n';
    }
    void sample(const char* name, uint64_t value, const char* label = nullptr, std::string_view label_value = {}) {
        text_ += name;
        if (label != nullptr) {
            text_ += '{';
            text_ += label;
            text_ += "=\"";
            text_ += label_value;  // command names: lower-case letters and '-'
            text_ += "\"}";
        }
        char digits[32];
        std::snprintf(digits, sizeof(digits), " %" PRIu64 "\n", value);
        text_ += digits;
    }
    void sample(const char* name, double value, const char* label, std::string_view label_value) {
        text_ += name;
        text_ += '{';
        text_ += label;
        text_ += "=\"";
        text_ += label_value;
        char digits[48];
        std::snprintf(digits, sizeof(digits), "\"} %.9f\n", value);
        text_ += digits;
    }
    void one(const char* name, const char* type, const char* help, uint64_t value) {
        family(name, type, help);
        sample(name, value);
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

std::string lower_name(const char* upper) {
    std::string s(upper);
    for (char& ch : s) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return s;
}

// A JSON string of arbitrary bytes: bytes past ASCII are given as \u00XX.
void json_string(std::string& out, std::string_view s) {
    out += '"';
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20 || ch >= 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\u%04x", ch);
            out += esc;
        } else {
            out += static_cast<char>(ch);
        }
    }
    out += '"';
}

// One labelled family over the commands that have figures.
template <typename Value>
void per_command(Exposition& x, const Server& srv, const char* name, const char* help, Value value) {
    x.family(name, "counter", help);
    const auto& defs = all_commands();
    for (size_t i = 0; i < srv.command_stats.size() && i < defs.size(); ++i) {
        const CommandStats& st = srv.command_stats[i];
        if (st.rejected_calls == 0 && st.calls() == 0) continue;
        x.sample(name, value(st), "cmd", lower_name(defs[i]->name));
    }
}

}  // namespace

std::string metrics_text(Server& srv) {
    const Keyspace* ks = srv.keyspace;
    const Stats& st = srv.stats;
    const int64_t now = platform::current_time_ms();
    Exposition x;
    x.one("vorel_uptime_seconds", "gauge", "Seconds since the server started.",
          st.start_time_ms > 0 ? static_cast<uint64_t>((now - st.start_time_ms) / 1000) : 0);
    x.one("vorel_connected_clients", "gauge", "Client connections open now.", static_cast<uint64_t>(srv.clients.size()));
    x.one("vorel_blocked_clients", "gauge", "Clients parked by a blocking command.",
          static_cast<uint64_t>(blocked_client_count(srv)));
    x.one("vorel_connections_received_total", "counter", "Connections accepted.", st.total_connections);
    x.one("vorel_commands_processed_total", "counter", "Requests served (RESP and HTTP).", st.total_commands);
    x.one("vorel_instantaneous_ops_per_second", "gauge", "Requests served in the last full second.", st.ops_last_sec);
    per_command(x, srv, "vorel_commands_total", "Handler runs by command.",
                [](const CommandStats& c) { return c.calls(); });
    per_command(x, srv, "vorel_command_duration_seconds_total", "Time spent in handlers by command.",
                [](const CommandStats& c) { return static_cast<double>(c.ns()) / 1e9; });
    per_command(x, srv, "vorel_command_rejected_total", "Requests refused before their handler ran, by command.",
                [](const CommandStats& c) { return c.rejected_calls; });
    per_command(x, srv, "vorel_command_failed_total", "Handler runs that answered an error, by command.",
                [](const CommandStats& c) { return c.failed_calls; });
    x.one("vorel_keyspace_hits_total", "counter", "Key lookups that found the key.", ks ? ks->keyspace_hits : 0);
    x.one("vorel_keyspace_misses_total", "counter", "Key lookups that did not find the key.", ks ? ks->keyspace_misses : 0);
    x.one("vorel_keys", "gauge", "Keys held.", ks ? ks->key_count : 0);
    x.one("vorel_expiring_keys", "gauge", "Keys with a deadline.", ks ? static_cast<uint64_t>(ks->expiry_index.size()) : 0);
    x.one("vorel_expired_keys_total", "counter", "Keys removed at their deadline.", ks ? ks->expired_keys : 0);
    x.one("vorel_evicted_keys_total", "counter", "Keys removed to stay under the memory limit.", ks ? ks->evicted_keys : 0);
    x.one("vorel_memory_used_bytes", "gauge", "Memory charged to the keyspace.", ks ? ks->used_memory : 0);
    x.one("vorel_memory_max_bytes", "gauge", "The memory limit; 0 means none.",
          static_cast<uint64_t>(dict_maxmemory_mb(ks)) << 20);
    x.one("vorel_client_buffer_bytes", "gauge", "Client input buffers plus replies not yet sent.",
          client_buffer_bytes(srv));
    x.one("vorel_log_enabled", "gauge", "1 while the append-only log is open.", srv.log.is_open() ? 1 : 0);
    x.one("vorel_log_last_write_ok", "gauge", "1 unless the last log write failed.", srv.log.last_write_ok() ? 1 : 0);
    x.one("vorel_log_size_bytes", "gauge", "Bytes in the append-only log.", srv.log.size());
    x.one("vorel_log_base_size_bytes", "gauge", "Log size after the last rewrite, or at start before any.",
          srv.rewrite.base_size());
    x.one("vorel_log_rewrite_in_progress", "gauge", "1 while a log rewrite runs or waits to start.",
          srv.rewrite.in_progress() ? 1 : 0);
    x.one("vorel_log_rewrites_total", "counter", "Log rewrites completed since start.", srv.rewrite.rewrites());
    x.one("vorel_log_last_rewrite_ok", "gauge", "1 unless the last log rewrite failed.", srv.rewrite.last_ok() ? 1 : 0);
    x.one("vorel_net_input_bytes_total", "counter", "Bytes received from clients.", st.net_input_bytes);
    x.one("vorel_net_output_bytes_total", "counter", "Bytes sent to clients.", st.net_output_bytes);
    x.one("vorel_slowlog_length", "gauge", "Entries in the slow log.", static_cast<uint64_t>(srv.slowlog.entries.size()));
    return x.take();
}

std::string slowlog_json(const Server& srv, size_t max) {
    std::string out = "[";
    size_t n = 0;
    for (const SlowLogEntry& e : srv.slowlog.entries) {
        if (n++ == max) break;
        if (n > 1) out += ',';
        char head[160];
        std::snprintf(head, sizeof(head), "{\"id\":%" PRIu64 ",\"time\":%lld,\"duration_us\":%" PRIu64 ",\"args\":[",
                      e.id, static_cast<long long>(e.unix_time_s), e.duration_us);
        out += head;
        for (size_t i = 0; i < e.args.size(); ++i) {
            if (i > 0) out += ',';
            json_string(out, e.args[i]);
        }
        out += "],\"addr\":";
        json_string(out, e.client_addr);
        out += ",\"name\":";
        json_string(out, e.client_name);
        out += '}';
    }
    out += ']';
    return out;
}
