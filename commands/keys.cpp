// keys.cpp — the key-level commands: DEL, UNLINK, EXISTS, TOUCH, the expiry
// commands (with EXPIRETIME/PEXPIRETIME), TYPE, KEYS, SCAN, RENAME, RENAMENX,
// COPY, RANDOMKEY, MEMORY USAGE and TIME.
//
// Logging: the dispatcher logs a writing command as its request when the
// keyspace changed while it ran. The expiry commands state rewritten records
// (an absolute PEXPIREAT, or DEL for a deadline already past); RENAME states its
// request because a rename onto itself changes nothing yet is logged; and every
// path that logs nothing says so, because a key found expired on the way
// (removed there and then) counts as a change.
#include <chrono>
#include <cinttypes>
#include <string>
#include <vector>

#include "commands/collection_util.h"
#include "commands/command_util.h"
#include "server/server.h"

namespace {

// Logged as its request (by the dispatcher) when a key was removed.
void cmd_del(Call& call, const Args& a) {
    int64_t removed = 0;
    for (int i = 1; i < a.argc; ++i) removed += dict_del(call.ks, a[i]) == DictStatus::Ok ? 1 : 0;
    if (removed == 0) call.log_nothing();
    call.out.integer(removed);
}

void cmd_exists(Call& call, const Args& a) {
    int64_t count = 0;
    for (int i = 1; i < a.argc; ++i) count += dict_exists(call.ks, a[i]) == DictStatus::Ok ? 1 : 0;
    call.out.integer(count);
}

// The time left; -1 for a key without a deadline, -2 for a missing key.
void reply_time_left(Reply& out, DictCount left) {
    if (left.status == DictStatus::NotFound) return out.integer(-1);
    out.integer(left.ok() ? left.value : -2);
}

void cmd_ttl(Call& call, const Args& a) { reply_time_left(call.out, dict_ttl(call.ks, a[1])); }

void cmd_pttl(Call& call, const Args& a) { reply_time_left(call.out, dict_pttl(call.ks, a[1])); }

// Applies an absolute deadline to a key: a deadline now or in the past deletes
// the key. Replies 1 when the key existed, 0 otherwise, and logs the change with
// its absolute time so a replay kills the key at the same moment.
void apply_deadline(Call& call, std::string_view key, int64_t deadline_ms) {
    if (dict_exists(call.ks, key) != DictStatus::Ok) {
        call.log_nothing();
        return call.out.integer(0);
    }
    if (deadline_ms <= dict_now_ms(call.ks)) {
        dict_del(call.ks, key);
        call.log({"DEL", key});
    } else {
        dict_expire_at_ms(call.ks, key, deadline_ms);
        call.log_deadline(key);
    }
    call.out.integer(1);
}

// EXPIRE / PEXPIRE: a positive time relative to now.
void expire_relative(Call& call, const Args& a, const char* lower_name, int64_t unit_ms) {
    int64_t n = 0, ms = 0, deadline = 0;
    if (!parse_strict_ll(a[2], &n) || n <= 0 || !checked_mul(n, unit_ms, &ms) ||
        !checked_add(dict_now_ms(call.ks), ms, &deadline)) {
        return reply_invalid_expire(call.out, lower_name);
    }
    apply_deadline(call, a[1], deadline);
}

// EXPIREAT / PEXPIREAT: an absolute time.
void expire_absolute(Call& call, const Args& a, const char* lower_name, int64_t unit_ms) {
    int64_t n = 0, deadline = 0;
    if (!parse_strict_ll(a[2], &n)) return reply_invalid_expire(call.out, lower_name);
    if (!checked_mul(n, unit_ms, &deadline)) {
        if (n < 0) {
            deadline = INT64_MIN;
        } else {
            return reply_invalid_expire(call.out, lower_name);
        }
    }
    apply_deadline(call, a[1], deadline);
}

void cmd_expire(Call& call, const Args& a) { expire_relative(call, a, "expire", 1000); }
void cmd_pexpire(Call& call, const Args& a) { expire_relative(call, a, "pexpire", 1); }
void cmd_expireat(Call& call, const Args& a) { expire_absolute(call, a, "expireat", 1000); }
void cmd_pexpireat(Call& call, const Args& a) { expire_absolute(call, a, "pexpireat", 1); }

// Logged as its request (by the dispatcher) when a deadline was removed.
void cmd_persist(Call& call, const Args& a) {
    const bool removed = dict_persist(call.ks, a[1]) == DictStatus::Ok;
    if (!removed) call.log_nothing();
    call.out.integer(removed ? 1 : 0);
}

void cmd_type(Call& call, const Args& a) { call.out.simple(dict_type_name(call.ks, a[1])); }

void cmd_keys(Call& call, const Args& a) {
    std::string_view pattern = a.argc > 1 ? a[1] : std::string_view("*");
    std::vector<std::string_view> keys;
    // The views point into the keyspace: encoded before anything changes it.
    dict_keys(call.ks, pattern, &keys);
    vorel::reply_views(call.out, keys);
}

// SCAN cursor [MATCH pattern] [COUNT n] [TYPE name].
void cmd_scan(Call& call, const Args& a) {
    Reply& out = call.out;
    vorel::ScanArgs s;
    if (!vorel::parse_scan_args(out, a, 1, true, &s)) return;
    std::vector<std::string_view> keys;
    if (dict_scan(call.ks, &s.cursor, s.pattern, s.count, &keys, s.type) != DictStatus::Ok) {
        return out.error(kErrOutOfMemory);
    }
    vorel::reply_scan(out, s.cursor, keys);
}

// Logged as its request whenever the rename is reported done, a rename of a
// key onto itself (which changes nothing) included.
void rename_common(Call& call, const Args& a, bool only_if_new) {
    const DictStatus r = dict_rename(call.ks, a[1], a[2], only_if_new);
    if (r == DictStatus::Ok) {
        call.log_request();
    } else {
        call.log_nothing();
    }
    if (r == DictStatus::NoMemory) return call.out.error(kErrOutOfMemory);
    // A missing source, or an empty new name.
    if (r != DictStatus::Ok && r != DictStatus::Exists) return call.out.error("no such key");
    if (only_if_new) {
        call.out.integer(r == DictStatus::Ok ? 1 : 0);
    } else {
        call.out.simple("OK");
    }
}

void cmd_rename(Call& call, const Args& a) { rename_common(call, a, false); }
void cmd_renamenx(Call& call, const Args& a) { rename_common(call, a, true); }

// Logged as its request (by the dispatcher) when the copy was made.
void cmd_copy(Call& call, const Args& a) {
    bool replace = false;
    for (int i = 3; i < a.argc; ++i) {
        if (word_is(a[i], "REPLACE")) {
            replace = true;
        } else if (word_is(a[i], "DB") && i + 1 < a.argc) {
            int64_t db = 0;
            if (!parse_strict_ll(a[++i], &db) || db != 0) return call.out.error("DB index is out of range");
        } else {
            return call.out.error(kErrSyntax);
        }
    }
    const DictStatus r = dict_copy(call.ks, a[1], a[2], replace);
    if (r != DictStatus::Ok) call.log_nothing();
    switch (r) {
        case DictStatus::Ok: return call.out.integer(1);
        case DictStatus::Exists:
        case DictStatus::Missing: return call.out.integer(0);
        case DictStatus::NoMemory: return call.out.error(kErrOutOfMemory);
        default: return call.out.integer(-1);  // an empty destination name
    }
}

void cmd_randomkey(Call& call, const Args&) {
    std::string key;
    if (dict_randomkey(call.ks, &key) == DictStatus::Ok) {
        call.out.bulk(key);
    } else {
        call.out.null();
    }
}

// Counts the existing keys, stamping each as used for the eviction order.
void cmd_touch(Call& call, const Args& a) {
    int64_t n = 0;
    for (int i = 1; i < a.argc; ++i) n += dict_exists(call.ks, a[i]) == DictStatus::Ok ? 1 : 0;
    call.out.integer(n);
}

// The absolute deadline in the given unit; -1 without one, -2 for a missing key.
void expire_time(Call& call, const Args& a, int64_t unit_ms) {
    const Entry* e = dict_find_entry(call.ks, a[1]);
    if (e == nullptr) return call.out.integer(-2);
    const int64_t deadline = entry_deadline(call.ks, e);
    if (deadline <= 0) return call.out.integer(-1);
    call.out.integer(deadline / unit_ms);
}

void cmd_expiretime(Call& call, const Args& a) { expire_time(call, a, 1000); }
void cmd_pexpiretime(Call& call, const Args& a) { expire_time(call, a, 1); }

// Seconds and microseconds of the wall clock, as two bulk strings.
void cmd_time(Call& call, const Args&) {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
    call.out.array(2);
    call.out.bulk(std::to_string(us / 1000000));
    call.out.bulk(std::to_string(us % 1000000));
}

// MEMORY USAGE key [SAMPLES n]: the bytes the memory accounting charges for the
// key (nil when missing); MEMORY HELP lists the subcommands.
void cmd_memory(Call& call, const Args& a) {
    Reply& out = call.out;
    if (word_is(a[1], "USAGE")) {
        if (a.argc < 3) return out.error("wrong number of arguments for 'memory|usage' command");
        if (a.argc != 3 && !(a.argc == 5 && word_is(a[3], "SAMPLES"))) return out.error(kErrSyntax);
        const uint64_t bytes = dict_memory_usage(call.ks, a[2]);
        if (bytes == 0) return out.null();
        return out.integer(static_cast<long long>(bytes));
    }
    if (word_is(a[1], "HELP")) {
        out.array(2);
        out.bulk(std::string_view("MEMORY USAGE <key> [SAMPLES <count>]"));
        out.bulk(std::string_view("MEMORY HELP"));
        return;
    }
    std::string msg = "unknown subcommand '" + std::string(a[1].substr(0, 64)) + "'. Try MEMORY HELP.";
    out.error(msg.c_str());
}

const CommandRegistrar registrar({
    {"UNLINK", 2, -1, kCmdWrite, cmd_del},
    {"TOUCH", 2, -1, 0, cmd_touch},
    {"EXPIRETIME", 2, 2, 0, cmd_expiretime},
    {"PEXPIRETIME", 2, 2, 0, cmd_pexpiretime},
    {"TIME", 1, 1, 0, cmd_time},
    {"MEMORY", 2, -1, kCmdSubcommandName, cmd_memory},
    {"DEL", 2, -1, kCmdWrite, cmd_del},
    {"EXISTS", 2, -1, 0, cmd_exists},
    {"TTL", 2, -1, 0, cmd_ttl},
    {"PTTL", 2, -1, 0, cmd_pttl},
    {"EXPIRE", 3, -1, kCmdWrite, cmd_expire},
    {"PEXPIRE", 3, -1, kCmdWrite, cmd_pexpire},
    {"EXPIREAT", 3, -1, kCmdWrite, cmd_expireat},
    {"PEXPIREAT", 3, -1, kCmdWrite, cmd_pexpireat},
    {"PERSIST", 2, -1, kCmdWrite, cmd_persist},
    {"TYPE", 2, -1, 0, cmd_type},
    {"KEYS", 1, -1, 0, cmd_keys},
    {"SCAN", 2, -1, 0, cmd_scan},
    {"RENAME", 3, -1, kCmdWrite, cmd_rename},
    {"RENAMENX", 3, -1, kCmdWrite, cmd_renamenx},
    {"COPY", 3, -1, kCmdWrite, cmd_copy},
    {"RANDOMKEY", 1, -1, 0, cmd_randomkey},
});

}  // namespace
