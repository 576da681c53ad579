// sets.cpp — the set commands: SADD, SREM, SCARD, SISMEMBER, SMISMEMBER, SMEMBERS, SMOVE,
// SRANDMEMBER, SDIFF, SINTER, SUNION and their STORE forms, SSCAN, SPOP and
// SINTERCARD. Replies that list stored bytes borrow them, so they are encoded
// before anything changes the keyspace.
#include <string>
#include <vector>

#include "commands/collection_util.h"

using vorel::reply_dict_error;

namespace {

// Logged by the dispatcher as received when a member was added.
void cmd_sadd(Call& call, const Args& a) {
    size_t processed = 0;
    const DictCount r = dict_sadd(call.ks, a[1], vorel::arg_views(a, 2), &processed);
    if (!r.ok()) {
        // Members handled before a failed allocation stay: log exactly those.
        if (r.status == DictStatus::NoMemory && processed > 0) call.log_request_prefix(2 + static_cast<int>(processed));
        return reply_dict_error(call.out, r.status);
    }
    call.out.integer(r.value);
}

// SREM and SMOVE are logged by the dispatcher as received when they changed a set.
void cmd_srem(Call& call, const Args& a) {
    vorel::reply_count(call.out, dict_srem(call.ks, a[1], vorel::arg_views(a, 2)));
}

void cmd_scard(Call& call, const Args& a) {
    vorel::reply_count(call.out, dict_scard(call.ks, a[1]));
}

void cmd_sismember(Call& call, const Args& a) {
    vorel::reply_found(call.out, dict_sismember(call.ks, a[1], a[2]));
}

// One 0/1 per member given; a missing key has none of them.
void cmd_smismember(Call& call, const Args& a) {
    const uint32_t type = dict_key_type(call.ks, a[1]);
    if (type != KEY_TYPE_NONE && type != KEY_TYPE_SET) return call.out.error(kErrWrongType);
    call.out.array(a.argc - 2);
    for (int i = 2; i < a.argc; ++i) call.out.integer(dict_sismember(call.ks, a[1], a[i]) == DictStatus::Ok ? 1 : 0);
}

void cmd_smembers(Call& call, const Args& a) {
    std::vector<std::string_view> members;
    const DictCount r = dict_smembers(call.ks, a[1], &members);
    if (r.status == DictStatus::WrongType) return reply_dict_error(call.out, r.status);
    vorel::reply_views(call.out, members);
}

void cmd_smove(Call& call, const Args& a) {
    vorel::reply_found(call.out, dict_smove(call.ks, a[1], a[2], a[3]));
}

void cmd_srandmember(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t count = 1;
    if (a.argc >= 3 && (!parse_strict_ll(a[2], &count) || !vorel::random_picks_allowed(count))) {
        return out.error(kErrNotInteger);
    }
    std::vector<std::string_view> members;
    const DictCount r = dict_srandmember(call.ks, a[1], count, &members);
    if (r.status == DictStatus::WrongType) return reply_dict_error(out, r.status);
    if (a.argc >= 3) return vorel::reply_views(out, members);
    if (members.empty()) return out.null();
    out.bulk(members[0]);
}

using SetAlgebra = DictCount (*)(Keyspace*, const std::vector<std::string_view>&, std::vector<std::string_view>*);

void reply_algebra(Call& call, const Args& a, SetAlgebra op) {
    std::vector<std::string_view> members;
    op(call.ks, vorel::arg_views(a, 1), &members);
    vorel::reply_views(call.out, members);
}

void cmd_sdiff(Call& call, const Args& a) { reply_algebra(call, a, dict_sdiff); }
void cmd_sinter(Call& call, const Args& a) { reply_algebra(call, a, dict_sinter); }
void cmd_sunion(Call& call, const Args& a) { reply_algebra(call, a, dict_sunion); }

void store_algebra(Call& call, const Args& a, SetOp op) {
    const DictCount r = dict_sstore(call.ks, a[1], op, vorel::arg_views(a, 2));
    if (!r.ok()) return reply_dict_error(call.out, r.status);
    // Logged also when the result was empty (the destination was deleted, or
    // there was none): stated, since an empty result over a missing destination
    // leaves the keyspace as it was.
    call.log_request();
    call.out.integer(r.value);
}

void cmd_sdiffstore(Call& call, const Args& a) { store_algebra(call, a, SET_OP_DIFF); }
void cmd_sinterstore(Call& call, const Args& a) { store_algebra(call, a, SET_OP_INTER); }
void cmd_sunionstore(Call& call, const Args& a) { store_algebra(call, a, SET_OP_UNION); }

// SSCAN key cursor [MATCH pattern] [COUNT n].
void cmd_sscan(Call& call, const Args& a) {
    Reply& out = call.out;
    vorel::ScanArgs s;
    if (!vorel::parse_scan_args(out, a, 2, false, &s)) return;
    std::vector<std::string_view> members;
    const DictStatus r = dict_sscan(call.ks, a[1], &s.cursor, s.count, &members);
    if (r != DictStatus::Ok) return reply_dict_error(out, r);
    std::erase_if(members, [&](std::string_view m) { return !s.matches(m); });
    vorel::reply_scan(out, s.cursor, members);
}

// The members a pop drew are logged as SREM of exactly those members, so a
// replay removes the same ones instead of drawing again. The record's length
// varies with the count, which Call::log's fixed list cannot carry, so it is
// staged on the log writer directly; the caller has already stated its records
// (log_nothing), so the dispatcher adds nothing.
void log_popped(Call& call, std::string_view key, std::vector<std::string>& popped) {
    if (!call.server.log.is_open()) return;
    std::string name = "SREM", key_copy(key);
    std::vector<char*> argv{name.data(), key_copy.data()};
    std::vector<uint64_t> lens{name.size(), key_copy.size()};
    for (std::string& m : popped) {
        argv.push_back(m.data());
        lens.push_back(m.size());
    }
    call.log(static_cast<int>(argv.size()), argv.data(), lens.data());
}

void cmd_spop(Call& call, const Args& a) {
    Reply& out = call.out;
    // Never logged in its own form: only the SREM stated below is written.
    call.log_nothing();
    int64_t count = 1;
    if (a.argc == 3 && (!parse_strict_ll(a[2], &count) || count < 0)) {
        return out.error("value is out of range, must be positive");
    }
    std::vector<std::string> popped;
    const DictCount r = dict_spop(call.ks, a[1], count, &popped);
    if (r.value > 0) log_popped(call, a[1], popped);
    if (r.status == DictStatus::WrongType || r.status == DictStatus::NoMemory) return reply_dict_error(out, r.status);
    if (a.argc == 3) {
        out.array(static_cast<long long>(popped.size()));
        for (const std::string& m : popped) out.bulk(m);
        return;
    }
    if (popped.empty()) return out.null();
    out.bulk(popped[0]);
}

// SINTERCARD numkeys key [key ...] [LIMIT n]: replies the error and returns false
// for a bad request. The numkeys-against-argc check stays here: the table's
// bounds cannot express it.
bool parse_sintercard(Reply& out, const Args& a, int64_t* numkeys, int64_t* limit) {
    if (!parse_strict_ll(a[1], numkeys)) {
        out.error(kErrNotInteger);
        return false;
    }
    if (*numkeys < 1) {
        out.error("numkeys should be greater than 0");
        return false;
    }
    if (*numkeys >= a.argc - 1) {
        reply_arity(out, "sintercard");
        return false;
    }
    *limit = 0;
    for (int i = 2 + static_cast<int>(*numkeys); i < a.argc; i += 2) {
        if (i + 1 >= a.argc || !word_is(a[i], "LIMIT")) {
            out.error(kErrSyntax);
            return false;
        }
        if (!parse_strict_ll(a[i + 1], limit)) {
            out.error(kErrNotInteger);
            return false;
        }
    }
    return true;
}

void cmd_sintercard(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t numkeys = 0, limit = 0;
    if (!parse_sintercard(out, a, &numkeys, &limit)) return;
    const std::vector<std::string_view> keys = vorel::arg_views(a, 2, 2 + static_cast<int>(numkeys));
    vorel::reply_count(out, dict_sintercard(call.ks, keys, limit));
}

const CommandRegistrar registrar({
    {"SADD", 3, -1, kCmdWrite, cmd_sadd},
    {"SREM", 3, -1, kCmdWrite, cmd_srem},
    {"SCARD", 2, -1, 0, cmd_scard},
    {"SISMEMBER", 3, -1, 0, cmd_sismember},
    {"SMEMBERS", 2, -1, 0, cmd_smembers},
    {"SMISMEMBER", 3, -1, 0, cmd_smismember},
    {"SMOVE", 4, -1, kCmdWrite, cmd_smove},
    {"SRANDMEMBER", 2, -1, 0, cmd_srandmember},
    {"SDIFF", 2, -1, 0, cmd_sdiff},
    {"SINTER", 2, -1, 0, cmd_sinter},
    {"SUNION", 2, -1, 0, cmd_sunion},
    {"SDIFFSTORE", 3, -1, kCmdWrite, cmd_sdiffstore},
    {"SINTERSTORE", 3, -1, kCmdWrite, cmd_sinterstore},
    {"SUNIONSTORE", 3, -1, kCmdWrite, cmd_sunionstore},
    {"SSCAN", 3, -1, 0, cmd_sscan},
    {"SPOP", 2, 3, kCmdWrite | kCmdNoReplay, cmd_spop},
    {"SINTERCARD", 3, -1, 0, cmd_sintercard},
});

}  // namespace
