// hashes.cpp — the hash commands: HSET, HMSET, HGET, HMGET, HDEL, HLEN, HEXISTS,
// HGETALL, HKEYS, HVALS, HSTRLEN, HINCRBY, HINCRBYFLOAT and HSCAN. Replies that
// list stored bytes are encoded under the lock, since they borrow them.
#include <string>
#include <vector>

#include "commands/collection_util.h"
#include "server/aof.h"
#include "server/server.h"

using vorel::reply_dict_error;

namespace {

// HSET and HMSET: pairs from argv[2]. Returns the number of new fields, or the
// negative result that stopped it. Pairs stored before a failed allocation stay
// and are logged as a shorter request, so a replay rebuilds exactly them.
int64_t store_pairs(const Args& a) {
    int64_t created = 0;
    for (int i = 2; i + 1 < a.argc; i += 2) {
        const int r = dict_hset(s_dict, a[1], a[i], a[i + 1]);
        if (r < 0) {
            if (i > 2) aof_write_cmd(i, a.argv, a.lens);
            return r;
        }
        created += r;
    }
    aof_log_request(a);
    return created;
}

void cmd_hset(Client*, const Args& a) {
    if (a.argc < 4 || a.argc % 2 != 0) return reply_arity("hset");
    ServerLock lock(s_mutex());
    const int64_t r = store_pairs(a);
    vorel::reply_count(r);
}

void cmd_hmset(Client*, const Args& a) {
    if (a.argc < 4 || a.argc % 2 != 0) return reply_arity("hmset");
    ServerLock lock(s_mutex());
    const int64_t r = store_pairs(a);
    if (r < 0) return reply_dict_error(r);
    rb_simple("OK");
}

void cmd_hget(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("hget");
    ServerLock lock(s_mutex());
    std::string_view v;
    const int r = dict_hget(s_dict, a[1], a[2], &v);
    if (r < 0) return reply_dict_error(r);
    if (r == 0) return rb_null();
    rb_bulk_sv(v);
}

void cmd_hmget(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("hmget");
    ServerLock lock(s_mutex());
    if (dict_hlen(s_dict, a[1]) < 0) return rb_error(kErrWrongType);
    rb_arr_hdr(a.argc - 2);
    for (int i = 2; i < a.argc; ++i) {
        std::string_view v;
        if (dict_hget(s_dict, a[1], a[i], &v) == 1) {
            rb_bulk_sv(v);
        } else {
            rb_null();
        }
    }
}

void cmd_hdel(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("hdel");
    ServerLock lock(s_mutex());
    const int64_t r = dict_hdel(s_dict, a[1], vorel::arg_views(a, 2));
    if (r > 0) aof_log_request(a);
    vorel::reply_count(r);
}

void cmd_hlen(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("hlen");
    ServerLock lock(s_mutex());
    const int64_t r = dict_hlen(s_dict, a[1]);
    vorel::reply_count(r);
}

void cmd_hexists(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("hexists");
    ServerLock lock(s_mutex());
    rb_int(dict_hexists(s_dict, a[1], a[2]));
}

void cmd_hstrlen(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("hstrlen");
    ServerLock lock(s_mutex());
    const int64_t r = dict_hstrlen(s_dict, a[1], a[2]);
    vorel::reply_count(r);
}

void cmd_hgetall(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("hgetall");
    ServerLock lock(s_mutex());
    std::vector<std::string_view> records;
    const int64_t r = dict_hgetall(s_dict, a[1], &records);
    if (r < 0) return reply_dict_error(r);
    // A map of pairs in RESP3; a flat array of field, value, ... in RESP2.
    rb_map_hdr(r / 2);
    for (std::string_view v : records) rb_bulk_sv(v);
}

using HashList = int64_t (*)(Keyspace*, std::string_view, std::vector<std::string_view>*);

void reply_hash_list(const Args& a, const char* lower_name, HashList list) {
    if (a.argc < 2) return reply_arity(lower_name);
    ServerLock lock(s_mutex());
    std::vector<std::string_view> items;
    const int64_t r = list(s_dict, a[1], &items);
    if (r < 0) return reply_dict_error(r);
    vorel::reply_views(items);
}

void cmd_hkeys(Client*, const Args& a) { reply_hash_list(a, "hkeys", dict_hkeys); }
void cmd_hvals(Client*, const Args& a) { reply_hash_list(a, "hvals", dict_hvals); }

void cmd_hincrby(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("hincrby");
    int64_t increment = 0;
    if (!parse_strict_ll(a[3], &increment)) return rb_error(kErrNotInteger);
    int64_t sum = 0;
    int r;
    {
        ServerLock lock(s_mutex());
        r = dict_hincrby(s_dict, a[1], a[2], increment, &sum);
        if (r == 0) aof_log_request(a);
    }
    if (r == -3) return rb_error("increment or decrement would overflow");
    if (r < 0) return reply_dict_error(r);
    rb_int(sum);
}

void cmd_hincrbyfloat(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("hincrbyfloat");
    double increment = 0;
    if (!parse_strict_float(a[3], &increment)) return rb_error("value is not a valid float");
    double sum = 0;
    int r;
    {
        ServerLock lock(s_mutex());
        r = dict_hincrbyfloat(s_dict, a[1], a[2], increment, &sum);
        if (r == 0) aof_log_request(a);
    }
    if (r == -3) return rb_error("increment would produce NaN or Infinity");
    if (r < 0) return reply_dict_error(r);
    send_float_reply(sum);
}

void cmd_hscan(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("hscan");
    uint64_t cursor = 0;
    int64_t count = 0;
    if (!vorel::parse_scan_args(a, &cursor, &count)) return;
    ServerLock lock(s_mutex());
    std::vector<std::string_view> records;
    const int r = dict_hscan(s_dict, a[1], &cursor, count, &records);
    if (r < 0) return reply_dict_error(r);
    vorel::reply_scan(cursor, records);
}

const CommandRegistrar registrar({
    {"HSET", cmd_hset},
    {"HMSET", cmd_hmset},
    {"HGET", cmd_hget},
    {"HMGET", cmd_hmget},
    {"HDEL", cmd_hdel},
    {"HLEN", cmd_hlen},
    {"HEXISTS", cmd_hexists},
    {"HSTRLEN", cmd_hstrlen},
    {"HGETALL", cmd_hgetall},
    {"HKEYS", cmd_hkeys},
    {"HVALS", cmd_hvals},
    {"HINCRBY", cmd_hincrby},
    {"HINCRBYFLOAT", cmd_hincrbyfloat},
    {"HSCAN", cmd_hscan},
});

}  // namespace
