// host_api.cpp — the host's direct access to the keyspace: keys and statistics
// as JSON, key information, and reading, writing and deleting string values.
// Each function holds the global lock for its whole work and returns text in a
// static buffer that its next call overwrites.
#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

#include "server/aof.h"
#include "server/host_api.h"
#include "server/server.h"
#include "vorel.h"

namespace {

constexpr size_t kKeysJsonLimit = 524287;

std::string s_keys_json_buf = "[]";
char s_stats_buf[2048] = "{}";
char s_keyinfo_buf[256] = "";
std::string s_val_buf;

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

std::string host_keys_json(const char* pattern) {
    std::string json = "[";
    std::vector<std::string_view> keys;
    dict_keys(s_dict, pattern ? pattern : "*", &keys);
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

std::string host_stats_json() {
    const int64_t uptime = s_start_time_ms > 0 ? (platform::current_time_ms() - s_start_time_ms) / 1000 : 0;
    char buf[2048];
    std::snprintf(buf, sizeof(buf),
                  "{\"ops_per_sec\":%" PRIu64 ",\"total_keys\":%" PRIu64 ",\"memory_used_bytes\":%" PRIu64
                  ",\"hits\":%" PRIu64 ",\"misses\":%" PRIu64
                  ",\"uptime\":%lld,\"connected_clients\":%d,\"total_commands\":%" PRIu64 ",\"status\":\"running\"}",
                  s_ops_last_sec, s_dict ? s_dict->key_count : 0, s_dict ? s_dict->used_memory : 0,
                  s_dict ? s_dict->keyspace_hits : 0, s_dict ? s_dict->keyspace_misses : 0,
                  static_cast<long long>(uptime), s_client_count, s_total_commands);
    return buf;
}

int host_set_value(std::string_view key, std::string_view value, int64_t ttl_s) {
    if (aof_refusing_writes()) {
        std::snprintf(s_last_error, sizeof(s_last_error), "%s", kErrLogNotWritable);
        return -1;
    }
    if (s_dict == nullptr) s_dict = dict_create(0);
    if (s_dict == nullptr) return -1;
    int64_t deadline = ttl_s > 0 ? dict_now_ms() + ttl_s * 1000 : 0;
    if (dict_set_string(s_dict, key, value, deadline) != 0) return -1;
    if (s_aof_fp != nullptr && !(aof_write_args({"SET", key, value}) && aof_log_deadline(key))) {
        std::snprintf(s_last_error, sizeof(s_last_error), "%s", kErrLogWriteFailed);
        return -1;
    }
    return 0;
}

extern "C" VOREL_API const char* vorel_get_keys_json(const char* pattern) {
    ServerLock lock(s_mutex());
    if (s_dict == nullptr) return "[]";
    s_keys_json_buf = host_keys_json(pattern);
    return s_keys_json_buf.c_str();
}

extern "C" VOREL_API const char* vorel_key_info(const char* key) {
    if (key == nullptr) return "";
    ServerLock lock(s_mutex());
    if (s_dict == nullptr) return "none 0";
    const char* type = dict_type_name(s_dict, key);
    std::snprintf(s_keyinfo_buf, sizeof(s_keyinfo_buf), "%s %d", type,
                  static_cast<int>(dict_key_count(s_dict, key)));
    return s_keyinfo_buf;
}

extern "C" VOREL_API const char* vorel_get_value(const char* key) {
    if (key == nullptr) return nullptr;
    ServerLock lock(s_mutex());
    if (s_dict == nullptr) return nullptr;
    std::string_view v;
    if (dict_get_string(s_dict, key, &v) != 1) return nullptr;
    s_val_buf.assign(v);
    return s_val_buf.c_str();
}

extern "C" VOREL_API int vorel_set_value(const char* key, const char* value, int ttl_seconds) {
    if (key == nullptr || value == nullptr) {
        std::snprintf(s_last_error, sizeof(s_last_error), "%s", "Invalid key or value parameter");
        return -1;
    }
    ServerLock lock(s_mutex());
    return host_set_value(key, value, ttl_seconds);
}

extern "C" VOREL_API int vorel_del_key(const char* key) {
    if (key == nullptr) return 0;
    ServerLock lock(s_mutex());
    if (s_dict == nullptr) return 0;
    if (aof_refusing_writes()) {
        std::snprintf(s_last_error, sizeof(s_last_error), "%s", kErrLogNotWritable);
        return -1;
    }
    int removed = dict_del(s_dict, key);
    if (removed > 0 && s_aof_fp != nullptr && !aof_write_args({"DEL", key})) {
        std::snprintf(s_last_error, sizeof(s_last_error), "%s", kErrLogWriteFailed);
        return -1;
    }
    return removed;
}

extern "C" VOREL_API const char* vorel_get_stats_json(void) {
    ServerLock lock(s_mutex());
    std::snprintf(s_stats_buf, sizeof(s_stats_buf), "%s", host_stats_json().c_str());
    return s_stats_buf;
}
