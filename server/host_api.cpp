// host_api.cpp — the host's direct access to the keyspace: keys and statistics
// as JSON, and writing and deleting string values with their log records.
#include "server/host_api.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "commands/blocking.h"
#include "server/server.h"

namespace {

constexpr size_t kKeysJsonLimit = 524287;

void append_escaped(std::string& out, std::string_view key) {
    for (unsigned char ch : key) {
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (ch < 32) {
                    char esc[8];
                    std::snprintf(esc, sizeof(esc), "\\u%04x", ch);
                    out += esc;
                } else {
                    out += static_cast<char>(ch);
                }
        }
    }
}

}  // namespace

std::string host_keys_json(Server& srv, const char* pattern) {
    std::string json = "[";
    std::vector<std::string_view> keys;
    dict_keys(srv.keyspace, pattern ? pattern : "*", &keys);
    std::string escaped;
    bool first = true;
    for (std::string_view k : keys) {
        escaped.clear();
        append_escaped(escaped, k);
        // A key that does not fit is left out; a later, shorter one may still fit.
        if (json.size() + escaped.size() + 4 > kKeysJsonLimit) continue;
        if (!first) json += ',';
        json += '"';
        json += escaped;
        json += '"';
        first = false;
    }
    json += ']';
    return json;
}

std::string host_stats_json(Server& srv) {
    const Stats& st = srv.stats;
    const Keyspace* ks = srv.keyspace;
    const int64_t uptime = st.start_time_ms > 0 ? (platform::current_time_ms() - st.start_time_ms) / 1000 : 0;
    char buf[2048];
    std::snprintf(buf, sizeof(buf),
                  "{\"ops_per_sec\":%" PRIu64 ",\"total_keys\":%" PRIu64 ",\"memory_used_bytes\":%" PRIu64
                  ",\"hits\":%" PRIu64 ",\"misses\":%" PRIu64
                  ",\"uptime\":%lld,\"connected_clients\":%d,\"total_commands\":%" PRIu64 ",\"status\":\"running\"}",
                  st.ops_last_sec, ks ? ks->key_count : 0, ks ? ks->used_memory : 0, ks ? ks->keyspace_hits : 0,
                  ks ? ks->keyspace_misses : 0, static_cast<long long>(uptime), srv.clients.size(), st.total_commands);
    return buf;
}

int host_set_value(Server& srv, std::string_view key, std::string_view value, int64_t ttl_s) {
    if (srv.log.refusing_writes()) {
        srv.last_error.set(kErrLogNotWritable);
        return -1;
    }
    if (srv.keyspace == nullptr) srv.keyspace = dict_create(0);
    if (srv.keyspace == nullptr) {
        srv.last_error.set("out of memory");
        return -1;
    }
    int64_t deadline = ttl_s > 0 ? dict_now_ms(srv.keyspace) + ttl_s * 1000 : 0;
    if (dict_set_string(srv.keyspace, key, value, deadline) != DictStatus::Ok) {
        srv.last_error.set("out of memory");
        return -1;
    }
    watch_touch(srv, key);
    srv.log.stage({"SET", key, value});
    srv.log.stage_deadline(srv.keyspace, key);
    if (!srv.log.commit()) {
        srv.last_error.set(kErrLogWriteFailed);
        return -1;
    }
    return 0;
}

int host_del_key(Server& srv, std::string_view key) {
    if (srv.keyspace == nullptr) return 0;
    if (srv.log.refusing_writes()) {
        srv.last_error.set(kErrLogNotWritable);
        return -1;
    }
    const int removed = dict_del(srv.keyspace, key) == DictStatus::Ok ? 1 : 0;
    if (removed > 0) srv.log.stage({"DEL", key});
    if (!srv.log.commit()) {
        srv.last_error.set(kErrLogWriteFailed);
        return -1;
    }
    return removed;
}
