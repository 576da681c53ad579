// keys.cpp — the key-level commands: DEL, EXISTS, the expiry commands, TYPE,
// KEYS, SCAN, RENAME, RENAMENX, COPY and RANDOMKEY.
#include <cinttypes>
#include <string>
#include <vector>

#include "commands/command_util.h"
#include "server/aof.h"
#include "server/server.h"

namespace {

void cmd_del(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("del");
    ServerLock lock(s_mutex());
    int64_t removed = 0;
    for (int i = 1; i < a.argc; ++i) removed += dict_del(s_dict, a[i]);
    if (removed > 0) aof_log_request(a);
    rb_int(removed);
}

void cmd_exists(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("exists");
    ServerLock lock(s_mutex());
    int64_t count = 0;
    for (int i = 1; i < a.argc; ++i) count += dict_exists(s_dict, a[i]);
    rb_int(count);
}

void cmd_ttl(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("ttl");
    ServerLock lock(s_mutex());
    rb_int(dict_ttl(s_dict, a[1]));
}

void cmd_pttl(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("pttl");
    ServerLock lock(s_mutex());
    rb_int(dict_pttl(s_dict, a[1]));
}

// Applies an absolute deadline to a key: a deadline now or in the past deletes
// the key. Replies 1 when the key existed, 0 otherwise, and logs the change with
// its absolute time so a replay kills the key at the same moment.
void apply_deadline(std::string_view key, int64_t deadline_ms) {
    ServerLock lock(s_mutex());
    if (!dict_exists(s_dict, key)) return rb_int(0);
    if (deadline_ms <= dict_now_ms()) {
        dict_del(s_dict, key);
        aof_write_args({"DEL", key});
    } else {
        dict_expire_at_ms(s_dict, key, deadline_ms);
        aof_log_deadline(key);
    }
    rb_int(1);
}

// EXPIRE / PEXPIRE: a positive time relative to now.
void expire_relative(const Args& a, const char* lower_name, int64_t unit_ms) {
    if (a.argc < 3) return reply_arity(lower_name);
    int64_t n = 0, ms = 0, deadline = 0;
    if (!parse_strict_ll(a[2], &n) || n <= 0 || !checked_mul(n, unit_ms, &ms) ||
        !checked_add(dict_now_ms(), ms, &deadline)) {
        return reply_invalid_expire(lower_name);
    }
    apply_deadline(a[1], deadline);
}

// EXPIREAT / PEXPIREAT: an absolute time.
void expire_absolute(const Args& a, const char* lower_name, int64_t unit_ms) {
    if (a.argc < 3) return reply_arity(lower_name);
    int64_t n = 0, deadline = 0;
    if (!parse_strict_ll(a[2], &n)) return reply_invalid_expire(lower_name);
    if (!checked_mul(n, unit_ms, &deadline)) {
        if (n < 0) {
            deadline = INT64_MIN;
        } else {
            return reply_invalid_expire(lower_name);
        }
    }
    apply_deadline(a[1], deadline);
}

void cmd_expire(Client*, const Args& a) { expire_relative(a, "expire", 1000); }
void cmd_pexpire(Client*, const Args& a) { expire_relative(a, "pexpire", 1); }
void cmd_expireat(Client*, const Args& a) { expire_absolute(a, "expireat", 1000); }
void cmd_pexpireat(Client*, const Args& a) { expire_absolute(a, "pexpireat", 1); }

void cmd_persist(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("persist");
    ServerLock lock(s_mutex());
    int r = dict_persist(s_dict, a[1]);
    if (r == 1) aof_log_request(a);
    rb_int(r);
}

void cmd_type(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("type");
    ServerLock lock(s_mutex());
    rb_simple(dict_type_name(s_dict, a[1]));
}

void reply_key_list(const std::vector<std::string_view>& keys) {
    rb_arr_hdr(static_cast<long long>(keys.size()));
    for (std::string_view k : keys) rb_bulk_sv(k);
}

void cmd_keys(Client*, const Args& a) {
    std::string_view pattern = a.argc > 1 ? a[1] : std::string_view("*");
    std::vector<std::string_view> keys;
    // The views point into the keyspace: encode before the lock is released.
    ServerLock lock(s_mutex());
    dict_keys(s_dict, pattern, &keys);
    reply_key_list(keys);
}

void cmd_scan(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("scan");
    int64_t signed_cursor = 0;
    if (!parse_strict_ll(a[1], &signed_cursor)) return rb_error("invalid cursor");
    uint64_t cursor = static_cast<uint64_t>(signed_cursor);
    std::string_view pattern = "*";
    int64_t count = 10;
    for (int i = 2; i < a.argc; i += 2) {
        if (i + 1 >= a.argc) return rb_error(kErrSyntax);
        if (word_is(a[i], "MATCH")) {
            pattern = a[i + 1];
        } else if (word_is(a[i], "COUNT")) {
            int64_t n = 0;
            if (parse_strict_ll(a[i + 1], &n) && n >= 1) count = n;
        } else {
            return rb_error(kErrSyntax);
        }
    }
    std::vector<std::string_view> keys;
    ServerLock lock(s_mutex());
    if (dict_scan(s_dict, &cursor, pattern, count, &keys) != 0) return rb_error("out of memory");
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRIu64, cursor);
    rb_arr_hdr(2);
    rb_bulk(text);
    reply_key_list(keys);
}

void rename_common(const Args& a, bool only_if_new) {
    if (a.argc < 3) return reply_arity(only_if_new ? "renamenx" : "rename");
    ServerLock lock(s_mutex());
    int r = dict_rename(s_dict, a[1], a[2], only_if_new);
    if (r < 0) return rb_error("no such key");
    if (r == 1) aof_log_request(a);
    if (only_if_new) {
        rb_int(r);
    } else {
        rb_simple("OK");
    }
}

void cmd_rename(Client*, const Args& a) { rename_common(a, false); }
void cmd_renamenx(Client*, const Args& a) { rename_common(a, true); }

void cmd_copy(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("copy");
    bool replace = false;
    for (int i = 3; i < a.argc; ++i) {
        if (word_is(a[i], "REPLACE")) {
            replace = true;
        } else if (word_is(a[i], "DB") && i + 1 < a.argc) {
            int64_t db = 0;
            if (!parse_strict_ll(a[++i], &db) || db != 0) return rb_error("DB index is out of range");
        } else {
            return rb_error(kErrSyntax);
        }
    }
    ServerLock lock(s_mutex());
    int r = dict_copy(s_dict, a[1], a[2], replace);
    if (r == 1) aof_log_request(a);
    rb_int(r);
}

void cmd_randomkey(Client*, const Args&) {
    std::string key;
    int r;
    {
        ServerLock lock(s_mutex());
        r = dict_randomkey(s_dict, &key);
    }
    if (r == 1) {
        rb_bulk_sv(key);
    } else {
        rb_null();
    }
}

const CommandRegistrar registrar({
    {"DEL", cmd_del},
    {"EXISTS", cmd_exists},
    {"TTL", cmd_ttl},
    {"PTTL", cmd_pttl},
    {"EXPIRE", cmd_expire},
    {"PEXPIRE", cmd_pexpire},
    {"EXPIREAT", cmd_expireat},
    {"PEXPIREAT", cmd_pexpireat},
    {"PERSIST", cmd_persist},
    {"TYPE", cmd_type},
    {"KEYS", cmd_keys},
    {"SCAN", cmd_scan},
    {"RENAME", cmd_rename},
    {"RENAMENX", cmd_renamenx},
    {"COPY", cmd_copy},
    {"RANDOMKEY", cmd_randomkey},
});

}  // namespace
