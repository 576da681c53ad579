// sets.cpp — the set commands: SADD, SREM, SCARD, SISMEMBER, SMEMBERS, SMOVE,
// SRANDMEMBER, SDIFF, SINTER, SUNION and their STORE forms, SSCAN, SPOP and
// SINTERCARD. Replies that list stored bytes are encoded under the lock.
#include <climits>
#include <string>
#include <vector>

#include "commands/collection_util.h"
#include "server/aof.h"
#include "server/server.h"

using vorel::reply_dict_error;

namespace {

void cmd_sadd(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("sadd");
    ServerLock lock(s_mutex());
    size_t processed = 0;
    const int64_t r = dict_sadd(s_dict, a[1], vorel::arg_views(a, 2), &processed);
    if (r < 0) {
        // Members handled before a failed allocation stay: log exactly those.
        if (r == -2 && processed > 0) aof_write_cmd(2 + static_cast<int>(processed), a.argv, a.lens);
        return reply_dict_error(r);
    }
    if (r > 0) aof_log_request(a);
    rb_int(r);
}

void cmd_srem(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("srem");
    ServerLock lock(s_mutex());
    const int64_t r = dict_srem(s_dict, a[1], vorel::arg_views(a, 2));
    if (r > 0) aof_log_request(a);
    vorel::reply_count(r);
}

void cmd_scard(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("scard");
    ServerLock lock(s_mutex());
    const int64_t r = dict_scard(s_dict, a[1]);
    vorel::reply_count(r);
}

void cmd_sismember(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("sismember");
    ServerLock lock(s_mutex());
    const int r = dict_sismember(s_dict, a[1], a[2]);
    vorel::reply_count(r);
}

void cmd_smembers(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("smembers");
    ServerLock lock(s_mutex());
    std::vector<std::string_view> members;
    const int64_t r = dict_smembers(s_dict, a[1], &members);
    if (r < 0) return reply_dict_error(r);
    vorel::reply_views(members);
}

void cmd_smove(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("smove");
    ServerLock lock(s_mutex());
    const int r = dict_smove(s_dict, a[1], a[2], a[3]);
    if (r == 1) aof_log_request(a);
    vorel::reply_count(r);
}

void cmd_srandmember(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("srandmember");
    int64_t count = 1;
    // Each pick is one reply element: counts below the 32-bit range are refused.
    if (a.argc >= 3 && (!parse_strict_ll(a[2], &count) || count < INT32_MIN)) return rb_error(kErrNotInteger);
    ServerLock lock(s_mutex());
    std::vector<std::string_view> members;
    const int64_t r = dict_srandmember(s_dict, a[1], count, &members);
    if (r < 0) return reply_dict_error(r);
    if (a.argc >= 3) return vorel::reply_views(members);
    if (members.empty()) return rb_null();
    rb_bulk_sv(members[0]);
}

using SetAlgebra = int64_t (*)(Keyspace*, const std::vector<std::string_view>&, std::vector<std::string_view>*);

void reply_algebra(const Args& a, const char* lower_name, SetAlgebra op) {
    if (a.argc < 2) return reply_arity(lower_name);
    ServerLock lock(s_mutex());
    std::vector<std::string_view> members;
    op(s_dict, vorel::arg_views(a, 1), &members);
    vorel::reply_views(members);
}

void cmd_sdiff(Client*, const Args& a) { reply_algebra(a, "sdiff", dict_sdiff); }
void cmd_sinter(Client*, const Args& a) { reply_algebra(a, "sinter", dict_sinter); }
void cmd_sunion(Client*, const Args& a) { reply_algebra(a, "sunion", dict_sunion); }

void store_algebra(const Args& a, const char* lower_name, int op) {
    if (a.argc < 3) return reply_arity(lower_name);
    ServerLock lock(s_mutex());
    const int64_t r = dict_sstore(s_dict, a[1], op, vorel::arg_views(a, 2));
    if (r < 0) return reply_dict_error(r);
    // Logged also when the result was empty: the destination was deleted.
    aof_log_request(a);
    rb_int(r);
}

void cmd_sdiffstore(Client*, const Args& a) { store_algebra(a, "sdiffstore", SET_OP_DIFF); }
void cmd_sinterstore(Client*, const Args& a) { store_algebra(a, "sinterstore", SET_OP_INTER); }
void cmd_sunionstore(Client*, const Args& a) { store_algebra(a, "sunionstore", SET_OP_UNION); }

void cmd_sscan(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("sscan");
    uint64_t cursor = 0;
    int64_t count = 0;
    if (!vorel::parse_scan_args(a, &cursor, &count)) return;
    ServerLock lock(s_mutex());
    std::vector<std::string_view> members;
    const int r = dict_sscan(s_dict, a[1], &cursor, count, &members);
    if (r < 0) return reply_dict_error(r);
    vorel::reply_scan(cursor, members);
}

// The members a pop drew are logged as SREM of exactly those members, so a
// replay removes the same ones instead of drawing again.
void log_popped(std::string_view key, std::vector<std::string>& popped) {
    if (s_aof_fp == nullptr) return;
    std::string name = "SREM", key_copy(key);
    std::vector<char*> argv{name.data(), key_copy.data()};
    std::vector<uint64_t> lens{name.size(), key_copy.size()};
    for (std::string& m : popped) {
        argv.push_back(m.data());
        lens.push_back(m.size());
    }
    aof_write_cmd(static_cast<int>(argv.size()), argv.data(), lens.data());
}

void cmd_spop(Client*, const Args& a) {
    if (a.argc != 2 && a.argc != 3) return reply_arity("spop");
    int64_t count = 1;
    if (a.argc == 3 && (!parse_strict_ll(a[2], &count) || count < 0)) {
        return rb_error("value is out of range, must be positive");
    }
    std::vector<std::string> popped;
    int64_t r;
    {
        ServerLock lock(s_mutex());
        r = dict_spop(s_dict, a[1], count, &popped);
        if (r > 0) log_popped(a[1], popped);
    }
    if (r < 0) return reply_dict_error(r);
    if (a.argc == 3) {
        rb_arr_hdr(static_cast<long long>(popped.size()));
        for (const std::string& m : popped) rb_bulk_sv(m);
        return;
    }
    if (popped.empty()) return rb_null();
    rb_bulk_sv(popped[0]);
}

// SINTERCARD numkeys key [key ...] [LIMIT n]: replies the error and returns false
// for a bad request.
bool parse_sintercard(const Args& a, int64_t* numkeys, int64_t* limit) {
    if (!parse_strict_ll(a[1], numkeys)) {
        rb_error(kErrNotInteger);
        return false;
    }
    if (*numkeys < 1) {
        rb_error("numkeys should be greater than 0");
        return false;
    }
    if (*numkeys >= a.argc - 1) {
        reply_arity("sintercard");
        return false;
    }
    *limit = 0;
    for (int i = 2 + static_cast<int>(*numkeys); i < a.argc; i += 2) {
        if (i + 1 >= a.argc || !word_is(a[i], "LIMIT")) {
            rb_error(kErrSyntax);
            return false;
        }
        if (!parse_strict_ll(a[i + 1], limit)) {
            rb_error(kErrNotInteger);
            return false;
        }
    }
    return true;
}

void cmd_sintercard(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("sintercard");
    int64_t numkeys = 0, limit = 0;
    if (!parse_sintercard(a, &numkeys, &limit)) return;
    const std::vector<std::string_view> keys = vorel::arg_views(a, 2, 2 + static_cast<int>(numkeys));
    ServerLock lock(s_mutex());
    bool wrong_type = false;
    const int64_t r = dict_sintercard(s_dict, keys, limit, &wrong_type);
    if (wrong_type) return rb_error(kErrWrongType);
    rb_int(r);
}

const CommandRegistrar registrar({
    {"SADD", cmd_sadd},
    {"SREM", cmd_srem},
    {"SCARD", cmd_scard},
    {"SISMEMBER", cmd_sismember},
    {"SMEMBERS", cmd_smembers},
    {"SMOVE", cmd_smove},
    {"SRANDMEMBER", cmd_srandmember},
    {"SDIFF", cmd_sdiff},
    {"SINTER", cmd_sinter},
    {"SUNION", cmd_sunion},
    {"SDIFFSTORE", cmd_sdiffstore},
    {"SINTERSTORE", cmd_sinterstore},
    {"SUNIONSTORE", cmd_sunionstore},
    {"SSCAN", cmd_sscan},
    {"SPOP", cmd_spop},
    {"SINTERCARD", cmd_sintercard},
});

}  // namespace
