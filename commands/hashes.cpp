// hashes.cpp — the hash commands: HSET, HMSET, HSETNX, HGET, HMGET, HDEL, HLEN,
// HEXISTS, HGETALL, HKEYS, HVALS, HSTRLEN, HINCRBY, HINCRBYFLOAT, HRANDFIELD and HSCAN. Replies that
// list stored bytes borrow them, so they are encoded before anything changes
// the keyspace.
#include <string>
#include <vector>

#include "commands/collection_util.h"

using vorel::reply_dict_error;

namespace {

// HSET and HMSET: pairs from argv[2]. Returns the number of new fields, or the
// failed result that stopped it. Pairs stored before a failed allocation stay
// and are logged as a shorter request, so a replay rebuilds exactly them; a
// complete run logs the request, also when every value was already stored.
DictCount store_pairs(Call& call, const Args& a) {
    int64_t created = 0;
    for (int i = 2; i + 1 < a.argc; i += 2) {
        const DictCount r = dict_hset(call.ks, a[1], a[i], a[i + 1]);
        if (!r.ok()) {
            if (i > 2) call.log_request_prefix(i);
            return r;
        }
        created += r.value;
    }
    call.log_request();
    return {DictStatus::Ok, created};
}

// The table checks the minimum; an odd pair count is refused here.
void cmd_hset(Call& call, const Args& a) {
    if (a.argc % 2 != 0) return reply_arity(call.out, "hset");
    vorel::reply_count(call.out, store_pairs(call, a));
}

void cmd_hmset(Call& call, const Args& a) {
    if (a.argc % 2 != 0) return reply_arity(call.out, "hmset");
    const DictCount r = store_pairs(call, a);
    if (!r.ok()) return reply_dict_error(call.out, r.status);
    call.out.simple("OK");
}

void cmd_hget(Call& call, const Args& a) {
    Reply& out = call.out;
    std::string_view v;
    const DictStatus r = dict_hget(call.ks, a[1], a[2], &v);
    if (r == DictStatus::Missing) return out.null();
    if (r != DictStatus::Ok) return reply_dict_error(out, r);
    out.bulk(v);
}

void cmd_hmget(Call& call, const Args& a) {
    Reply& out = call.out;
    if (dict_hlen(call.ks, a[1]).status == DictStatus::WrongType) return out.error(kErrWrongType);
    out.array(a.argc - 2);
    for (int i = 2; i < a.argc; ++i) {
        std::string_view v;
        if (dict_hget(call.ks, a[1], a[i], &v) == DictStatus::Ok) {
            out.bulk(v);
        } else {
            out.null();
        }
    }
}

// Logged by the dispatcher as received when a field was removed.
void cmd_hdel(Call& call, const Args& a) {
    vorel::reply_count(call.out, dict_hdel(call.ks, a[1], vorel::arg_views(a, 2)));
}

void cmd_hlen(Call& call, const Args& a) {
    vorel::reply_count(call.out, dict_hlen(call.ks, a[1]));
}

// 0 for a key of another type as for a missing one.
void cmd_hexists(Call& call, const Args& a) {
    call.out.integer(dict_hexists(call.ks, a[1], a[2]) == DictStatus::Ok ? 1 : 0);
}

void cmd_hstrlen(Call& call, const Args& a) {
    vorel::reply_count(call.out, dict_hstrlen(call.ks, a[1], a[2]));
}

void cmd_hgetall(Call& call, const Args& a) {
    Reply& out = call.out;
    std::vector<std::string_view> records;
    const DictCount r = dict_hgetall(call.ks, a[1], &records);
    if (r.status == DictStatus::WrongType) return reply_dict_error(out, r.status);
    // A map of pairs in RESP3; a flat array of field, value, ... in RESP2.
    out.map(r.value / 2);
    for (std::string_view v : records) out.bulk(v);
}

using HashList = DictCount (*)(Keyspace*, std::string_view, std::vector<std::string_view>*);

void reply_hash_list(Call& call, const Args& a, HashList list) {
    std::vector<std::string_view> items;
    const DictStatus r = list(call.ks, a[1], &items).status;
    if (r == DictStatus::WrongType) return reply_dict_error(call.out, r);
    vorel::reply_views(call.out, items);
}

void cmd_hkeys(Call& call, const Args& a) { reply_hash_list(call, a, dict_hkeys); }
void cmd_hvals(Call& call, const Args& a) { reply_hash_list(call, a, dict_hvals); }

// HINCRBY and HINCRBYFLOAT log their request whenever the sum was stored (an
// increment of zero included).
void cmd_hincrby(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t increment = 0;
    if (!parse_strict_ll(a[3], &increment)) return out.error(kErrNotInteger);
    int64_t sum = 0;
    const DictStatus r = dict_hincrby(call.ks, a[1], a[2], increment, &sum);
    if (r == DictStatus::Ok) call.log_request();
    if (r == DictStatus::Overflow) return out.error("increment or decrement would overflow");
    if (r != DictStatus::Ok) return reply_dict_error(out, r);
    out.integer(sum);
}

void cmd_hincrbyfloat(Call& call, const Args& a) {
    Reply& out = call.out;
    double increment = 0;
    if (!parse_strict_float(a[3], &increment)) return out.error("value is not a valid float");
    double sum = 0;
    const DictStatus r = dict_hincrbyfloat(call.ks, a[1], a[2], increment, &sum);
    if (r == DictStatus::Ok) call.log_request();
    if (r == DictStatus::Overflow) return out.error("increment would produce NaN or Infinity");
    if (r != DictStatus::Ok) return reply_dict_error(out, r);
    out.double_bulk(sum);
}

// Stores the field only when the hash lacks it; logged by the dispatcher as
// received when it stored.
void cmd_hsetnx(Call& call, const Args& a) {
    const uint32_t type = dict_key_type(call.ks, a[1]);
    if (type != KEY_TYPE_NONE && type != KEY_TYPE_HASH) return call.out.error(kErrWrongType);
    if (dict_hexists(call.ks, a[1], a[2]) == DictStatus::Ok) return call.out.integer(0);
    const DictCount r = dict_hset(call.ks, a[1], a[2], a[3]);
    if (!r.ok()) return reply_dict_error(call.out, r.status);
    call.out.integer(1);
}

// HRANDFIELD key [count [WITHVALUES]]: one field (nil for a missing key) without
// a count; otherwise an array, a negative count allowing repeats. With values,
// RESP3 answers [field, value] pairs and RESP2 a flat array.
void cmd_hrandfield(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t count = 1;
    if (a.argc > 2 && !parse_strict_ll(a[2], &count)) return out.error(kErrNotInteger);
    const bool with_values = a.argc == 4 && word_is(a[3], "WITHVALUES");
    if (a.argc > 4 || (a.argc == 4 && !with_values)) return out.error(kErrSyntax);
    if (!vorel::random_picks_allowed(count) || count > (int64_t(1) << 32)) return out.error("value is out of range");
    std::vector<std::string_view> records;
    const DictCount picked = dict_hrandfield(call.ks, a[1], count, &records);
    if (picked.status == DictStatus::WrongType) return reply_dict_error(out, picked.status);
    const int64_t r = picked.value;
    if (a.argc == 2) return records.empty() ? out.null() : out.bulk(records[0]);
    if (!with_values || !out.resp3()) {
        out.array(with_values ? r * 2 : r);
        for (size_t i = 0; i < records.size(); i += 2) {
            out.bulk(records[i]);
            if (with_values) out.bulk(records[i + 1]);
        }
        return;
    }
    out.array(r);
    for (size_t i = 0; i < records.size(); i += 2) {
        out.array(2);
        out.bulk(records[i]);
        out.bulk(records[i + 1]);
    }
}

// HSCAN key cursor [MATCH pattern] [COUNT n]: MATCH filters the fields.
void cmd_hscan(Call& call, const Args& a) {
    Reply& out = call.out;
    vorel::ScanArgs s;
    if (!vorel::parse_scan_args(out, a, 2, false, &s)) return;
    std::vector<std::string_view> records;
    const DictStatus r = dict_hscan(call.ks, a[1], &s.cursor, s.count, &records);
    if (r != DictStatus::Ok) return reply_dict_error(out, r);
    if (!s.pattern.empty()) {
        size_t kept = 0;
        for (size_t i = 0; i + 1 < records.size(); i += 2) {
            if (!s.matches(records[i])) continue;
            records[kept++] = records[i];
            records[kept++] = records[i + 1];
        }
        records.resize(kept);
    }
    vorel::reply_scan(out, s.cursor, records);
}

const CommandRegistrar registrar({
    {"HSET", 4, -1, kCmdWrite, cmd_hset},
    {"HMSET", 4, -1, kCmdWrite, cmd_hmset},
    {"HGET", 3, -1, 0, cmd_hget},
    {"HMGET", 3, -1, 0, cmd_hmget},
    {"HDEL", 3, -1, kCmdWrite, cmd_hdel},
    {"HLEN", 2, -1, 0, cmd_hlen},
    {"HEXISTS", 3, -1, 0, cmd_hexists},
    {"HSTRLEN", 3, -1, 0, cmd_hstrlen},
    {"HGETALL", 2, -1, 0, cmd_hgetall},
    {"HKEYS", 2, -1, 0, cmd_hkeys},
    {"HVALS", 2, -1, 0, cmd_hvals},
    {"HINCRBY", 4, -1, kCmdWrite, cmd_hincrby},
    {"HINCRBYFLOAT", 4, -1, kCmdWrite, cmd_hincrbyfloat},
    {"HSCAN", 3, -1, 0, cmd_hscan},
    {"HSETNX", 4, 4, kCmdWrite, cmd_hsetnx},
    {"HRANDFIELD", 2, 4, 0, cmd_hrandfield},
});

}  // namespace
