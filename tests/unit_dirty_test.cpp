// unit_dirty_test.cpp — the change counter: for every operation in a table over
// every value type and the key-level operations, a canonical dump of the whole
// keyspace (every key, its type, deadline and value or elements in order) is
// taken before and after, and the counter must move exactly when the dump does.
// The dump walks the table directly, so taking it changes nothing (no lookup, no
// stamp, no lazy expiry).
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "keyspace/keyspace.h"
#include "unit_keyspace_dump.h"
#include "unit_keyspace_support.h"

namespace {

using ks_test::counted;
using ks_test::dump;
using ks_test::FakeClock;

enum class Expect {
    Change,     // the contents change, and so must the counter
    NoChange,   // nothing changes, the counter included
    SameWrite,  // a whole-value write of the value already held: counted by choice
};

using Op = std::function<void(Keyspace*)>;

struct DirtyCase {
    const char* name;
    Op op;
    Expect expect;
    Op prepare = nullptr;  // runs after the common contents, before the first dump
};

// gtest names the failing case by this instead of dumping its bytes.
void PrintTo(const DirtyCase& c, std::ostream* os) { *os << c.name; }

constexpr int64_t kStart = 1'700'000'000'000;
constexpr int64_t kTtl = 10'000;

// The contents every case starts from: one or more keys of every type, one
// string with a deadline.
void seed(Keyspace* ks) {
    ASSERT_EQ(dict_set_string(ks, "s", "hello", 0), DictStatus::Ok);
    ASSERT_EQ(dict_set_string(ks, "n", "10", 0), DictStatus::Ok);
    ASSERT_EQ(dict_set_string(ks, "big", std::string(100, 'x'), 0), DictStatus::Ok);
    ASSERT_EQ(dict_set_string(ks, "t", "mortal", kStart + kTtl), DictStatus::Ok);
    for (const char* v : {"a", "b", "c", "b"}) ASSERT_TRUE(dict_rpush(ks, "l", v).ok());
    ASSERT_EQ(dict_hset(ks, "h", "f1", "v1"), counted(1));
    ASSERT_EQ(dict_hset(ks, "h", "f2", "v2"), counted(1));
    ASSERT_EQ(dict_hset(ks, "h", "num", "5"), counted(1));
    ASSERT_EQ(dict_sadd(ks, "set", {"m1", "m2", "m3"}), counted(3));
    ASSERT_EQ(dict_sadd(ks, "other", {"m3", "m4"}), counted(2));
    ASSERT_EQ(dict_zadd(ks, "z", 0, 1, "a"), counted(1));
    ASSERT_EQ(dict_zadd(ks, "z", 0, 2, "b"), counted(1));
    ASSERT_EQ(dict_zadd(ks, "z", 0, 3, "c"), counted(1));
}

void pass_deadline(Keyspace*) { FakeClock::now = kStart + kTtl + 1; }

// Strings well over a 1 MiB limit, written while no limit is set.
void fill_past_one_mib(Keyspace* ks) {
    for (int i = 0; i < 12; i++) ASSERT_EQ(dict_set_string(ks, "bulk" + std::to_string(i), std::string(100'000, 'b'), 0), DictStatus::Ok);
}

using SV = std::vector<std::string_view>;

const std::vector<DirtyCase>& cases() {
    static const std::vector<DirtyCase> all = {
        // ---- strings
        {"set_new", [](Keyspace* ks) { dict_set_string(ks, "new", "v", 0); }, Expect::Change},
        {"set_other_value", [](Keyspace* ks) { dict_set_string(ks, "s", "world", 0); }, Expect::Change},
        {"set_same_value", [](Keyspace* ks) { dict_set_string(ks, "s", "hello", 0); }, Expect::SameWrite},
        {"set_over_list", [](Keyspace* ks) { dict_set_string(ks, "l", "flat", 0); }, Expect::Change},
        {"set_drops_deadline", [](Keyspace* ks) { dict_set_string(ks, "t", "mortal", 0); }, Expect::Change},
        {"set_with_deadline", [](Keyspace* ks) { dict_set_string(ks, "s", "hello", kStart + 5); }, Expect::Change},
        {"setnx_existing", [](Keyspace* ks) { dict_set_string_ifabsent(ks, "s", "x", 0); }, Expect::NoChange},
        {"setnx_missing", [](Keyspace* ks) { dict_set_string_ifabsent(ks, "new", "x", 0); }, Expect::Change},
        {"setxx_missing", [](Keyspace* ks) { dict_set_string_ifexists(ks, "new", "x", 0); }, Expect::NoChange},
        {"setxx_existing", [](Keyspace* ks) { dict_set_string_ifexists(ks, "s", "x", 0); }, Expect::Change},
        {"getset_existing",
         [](Keyspace* ks) {
             std::string old;
             dict_get_string_replace(ks, "s", "jello", &old);
         },
         Expect::Change},
        {"getset_missing",
         [](Keyspace* ks) {
             std::string old;
             dict_get_string_replace(ks, "new", "v", &old);
         },
         Expect::Change},
        {"getset_wrong_type",
         [](Keyspace* ks) {
             std::string old;
             dict_get_string_replace(ks, "l", "v", &old);
         },
         Expect::NoChange},
        {"getdel_existing",
         [](Keyspace* ks) {
             std::string out;
             dict_set_getdel(ks, "s", &out);
         },
         Expect::Change},
        {"getdel_missing",
         [](Keyspace* ks) {
             std::string out;
             dict_set_getdel(ks, "new", &out);
         },
         Expect::NoChange},
        {"getdel_wrong_type",
         [](Keyspace* ks) {
             std::string out;
             dict_set_getdel(ks, "h", &out);
         },
         Expect::NoChange},
        {"append", [](Keyspace* ks) { dict_append_string(ks, "s", "!"); }, Expect::Change},
        {"append_to_external", [](Keyspace* ks) { dict_append_string(ks, "big", "!"); }, Expect::Change},
        {"append_nothing", [](Keyspace* ks) { dict_append_string(ks, "s", ""); }, Expect::NoChange},
        {"append_missing", [](Keyspace* ks) { dict_append_string(ks, "new", "v"); }, Expect::Change},
        {"append_wrong_type", [](Keyspace* ks) { dict_append_string(ks, "set", "v"); }, Expect::NoChange},
        {"setrange_in_place", [](Keyspace* ks) { dict_setrange(ks, "s", 1, "a"); }, Expect::Change},
        {"setrange_in_place_external", [](Keyspace* ks) { dict_setrange(ks, "big", 50, "yy"); }, Expect::Change},
        {"setrange_same_bytes", [](Keyspace* ks) { dict_setrange(ks, "s", 1, "ell"); }, Expect::NoChange},
        {"setrange_grows", [](Keyspace* ks) { dict_setrange(ks, "s", 10, "z"); }, Expect::Change},
        {"setrange_missing_empty", [](Keyspace* ks) { dict_setrange(ks, "new", 3, ""); }, Expect::NoChange},
        {"setrange_missing", [](Keyspace* ks) { dict_setrange(ks, "new", 3, "v"); }, Expect::Change},
        {"setrange_wrong_type", [](Keyspace* ks) { dict_setrange(ks, "z", 0, "v"); }, Expect::NoChange},
        {"setbit_flips",
         [](Keyspace* ks) {
             int old = 0;
             dict_setbit(ks, "s", 0, 1, &old);  // 'h' = 0x68: the top bit is clear
         },
         Expect::Change},
        {"setbit_clears",
         [](Keyspace* ks) {
             int old = 0;
             dict_setbit(ks, "s", 1, 0, &old);  // 0x68: bit 1 is set
         },
         Expect::Change},
        {"setbit_same_bit",
         [](Keyspace* ks) {
             int old = 0;
             dict_setbit(ks, "s", 1, 1, &old);
         },
         Expect::NoChange},
        {"setbit_zero_grows",
         [](Keyspace* ks) {
             int old = 0;
             dict_setbit(ks, "s", 100, 0, &old);
         },
         Expect::Change},
        {"setbit_missing",
         [](Keyspace* ks) {
             int old = 0;
             dict_setbit(ks, "new", 3, 0, &old);
         },
         Expect::Change},
        {"setbit_wrong_type",
         [](Keyspace* ks) {
             int old = 0;
             dict_setbit(ks, "l", 3, 1, &old);
         },
         Expect::NoChange},
        {"string_reads",
         [](Keyspace* ks) {
             std::string_view v;
             std::string r;
             int bit = 0;
             dict_get_string(ks, "s", &v);
             dict_get_string(ks, "missing", &v);
             dict_strlen(ks, "s");
             dict_getrange(ks, "s", 0, 2, &r);
             dict_getbit(ks, "s", 3, &bit);
             dict_bitcount(ks, "s", 0, -1, false, false);
             dict_bitpos(ks, "s", 1, 0, -1, false, false);
         },
         Expect::NoChange},
        // ---- lists
        {"lpush", [](Keyspace* ks) { dict_lpush(ks, "l", "x"); }, Expect::Change},
        {"rpush_new_key", [](Keyspace* ks) { dict_rpush(ks, "new", "x"); }, Expect::Change},
        {"rpush_empty_element", [](Keyspace* ks) { dict_rpush(ks, "l", ""); }, Expect::Change},
        {"lpush_wrong_type", [](Keyspace* ks) { dict_lpush(ks, "s", "x"); }, Expect::NoChange},
        {"lpushx_missing", [](Keyspace* ks) { dict_lpushx(ks, "new", "x"); }, Expect::NoChange},
        {"rpushx_existing", [](Keyspace* ks) { dict_rpushx(ks, "l", "x"); }, Expect::Change},
        {"lpop",
         [](Keyspace* ks) {
             PoppedElements out;
             dict_lpop(ks, "l", &out);
         },
         Expect::Change},
        {"rpop_count",
         [](Keyspace* ks) {
             PoppedElements out;
             dict_rpop_count(ks, "l", 2, &out);
         },
         Expect::Change},
        {"pop_all_deletes_key",
         [](Keyspace* ks) {
             PoppedElements out;
             dict_lpop_count(ks, "l", 10, &out);
         },
         Expect::Change},
        {"pop_count_zero",
         [](Keyspace* ks) {
             PoppedElements out;
             dict_lpop_count(ks, "l", 0, &out);
         },
         Expect::NoChange},
        {"pop_missing",
         [](Keyspace* ks) {
             PoppedElements out;
             dict_rpop(ks, "new", &out);
         },
         Expect::NoChange},
        {"lset_other_length", [](Keyspace* ks) { dict_lset(ks, "l", 0, "longer"); }, Expect::Change},
        {"lset_same_length", [](Keyspace* ks) { dict_lset(ks, "l", 1, "q"); }, Expect::Change},
        {"lset_same_element", [](Keyspace* ks) { dict_lset(ks, "l", 1, "b"); }, Expect::SameWrite},
        {"lset_out_of_range", [](Keyspace* ks) { dict_lset(ks, "l", 9, "q"); }, Expect::NoChange},
        {"lrem", [](Keyspace* ks) { dict_lrem(ks, "l", 0, "b"); }, Expect::Change},
        {"lrem_from_tail", [](Keyspace* ks) { dict_lrem(ks, "l", -1, "b"); }, Expect::Change},
        {"lrem_absent", [](Keyspace* ks) { dict_lrem(ks, "l", 0, "zz"); }, Expect::NoChange},
        {"linsert", [](Keyspace* ks) { dict_linsert(ks, "l", true, "c", "x"); }, Expect::Change},
        {"linsert_no_pivot", [](Keyspace* ks) { dict_linsert(ks, "l", true, "zz", "x"); }, Expect::NoChange},
        {"lmpop",
         [](Keyspace* ks) {
             PoppedElements out;
             const std::string_view keys[] = {"new", "s", "l"};
             dict_lmpop(ks, keys, 3, false, 1, &out);
         },
         Expect::Change},
        {"lmpop_nothing",
         [](Keyspace* ks) {
             PoppedElements out;
             const std::string_view keys[] = {"new", "s"};
             dict_lmpop(ks, keys, 2, true, 1, &out);
         },
         Expect::NoChange},
        {"list_reads",
         [](Keyspace* ks) {
             std::vector<std::string_view> v;
             std::vector<int64_t> pos;
             std::string_view one;
             dict_llen(ks, "l");
             dict_lrange(ks, "l", 0, -1, &v);
             dict_lindex(ks, "l", 1, &one);
             dict_lpos(ks, "l", "b", LposQuery{}, &pos);
         },
         Expect::NoChange},
        // ---- hashes
        {"hset_new_field", [](Keyspace* ks) { dict_hset(ks, "h", "f3", "v3"); }, Expect::Change},
        {"hset_new_key", [](Keyspace* ks) { dict_hset(ks, "new", "f", "v"); }, Expect::Change},
        {"hset_other_length", [](Keyspace* ks) { dict_hset(ks, "h", "f1", "longer"); }, Expect::Change},
        {"hset_same_length", [](Keyspace* ks) { dict_hset(ks, "h", "f1", "V1"); }, Expect::Change},
        {"hset_same_value", [](Keyspace* ks) { dict_hset(ks, "h", "f1", "v1"); }, Expect::SameWrite},
        {"hset_wrong_type", [](Keyspace* ks) { dict_hset(ks, "s", "f", "v"); }, Expect::NoChange},
        {"hdel", [](Keyspace* ks) { dict_hdel(ks, "h", SV{"f1", "nope"}); }, Expect::Change},
        {"hdel_absent", [](Keyspace* ks) { dict_hdel(ks, "h", SV{"nope"}); }, Expect::NoChange},
        {"hdel_all_deletes_key", [](Keyspace* ks) { dict_hdel(ks, "h", SV{"f1", "f2", "num"}); }, Expect::Change},
        {"hincrby",
         [](Keyspace* ks) {
             int64_t out = 0;
             dict_hincrby(ks, "h", "num", 1, &out);  // "5" -> "6": same length
         },
         Expect::Change},
        {"hincrby_new_field",
         [](Keyspace* ks) {
             int64_t out = 0;
             dict_hincrby(ks, "h", "fresh", 0, &out);
         },
         Expect::Change},
        {"hincrby_zero",
         [](Keyspace* ks) {
             int64_t out = 0;
             dict_hincrby(ks, "h", "num", 0, &out);
         },
         Expect::SameWrite},
        {"hincrby_overflow",
         [](Keyspace* ks) {
             int64_t out = 0;
             dict_hincrby(ks, "h", "num", INT64_MAX, &out);
         },
         Expect::NoChange},
        {"hincrbyfloat",
         [](Keyspace* ks) {
             double out = 0;
             dict_hincrbyfloat(ks, "h", "num", 0.5, &out);
         },
         Expect::Change},
        {"hash_reads",
         [](Keyspace* ks) {
             std::vector<std::string_view> v;
             std::string_view one;
             uint64_t cursor = 0;
             dict_hget(ks, "h", "f1", &one);
             dict_hgetall(ks, "h", &v);
             dict_hkeys(ks, "h", &v);
             dict_hvals(ks, "h", &v);
             dict_hlen(ks, "h");
             dict_hexists(ks, "h", "f2");
             dict_hstrlen(ks, "h", "f2");
             dict_hscan(ks, "h", &cursor, 1, &v);
         },
         Expect::NoChange},
        // ---- sets
        {"sadd_new_member", [](Keyspace* ks) { dict_sadd(ks, "set", SV{"m1", "m9"}); }, Expect::Change},
        {"sadd_present_member", [](Keyspace* ks) { dict_sadd(ks, "set", SV{"m1", "m2"}); }, Expect::NoChange},
        {"sadd_new_key", [](Keyspace* ks) { dict_sadd(ks, "new", SV{""}); }, Expect::Change},
        {"sadd_wrong_type", [](Keyspace* ks) { dict_sadd(ks, "h", SV{"m"}); }, Expect::NoChange},
        {"srem", [](Keyspace* ks) { dict_srem(ks, "set", SV{"m2"}); }, Expect::Change},
        {"srem_absent", [](Keyspace* ks) { dict_srem(ks, "set", SV{"m9"}); }, Expect::NoChange},
        {"srem_all_deletes_key", [](Keyspace* ks) { dict_srem(ks, "other", SV{"m3", "m4"}); }, Expect::Change},
        {"smove", [](Keyspace* ks) { dict_smove(ks, "set", "other", "m1"); }, Expect::Change},
        {"smove_to_new_key", [](Keyspace* ks) { dict_smove(ks, "set", "new", "m1"); }, Expect::Change},
        {"smove_absent", [](Keyspace* ks) { dict_smove(ks, "set", "other", "m9"); }, Expect::NoChange},
        {"smove_already_there", [](Keyspace* ks) { dict_smove(ks, "set", "other", "m3"); }, Expect::Change},
        {"sstore_union", [](Keyspace* ks) { dict_sstore(ks, "dst", SET_OP_UNION, SV{"set", "other"}); }, Expect::Change},
        {"sstore_over_string", [](Keyspace* ks) { dict_sstore(ks, "s", SET_OP_INTER, SV{"set", "other"}); },
         Expect::Change},
        {"sstore_empty_deletes", [](Keyspace* ks) { dict_sstore(ks, "s", SET_OP_DIFF, SV{"missing"}); },
         Expect::Change},
        {"sstore_empty_missing_dst", [](Keyspace* ks) { dict_sstore(ks, "new", SET_OP_INTER, SV{"set", "nope"}); },
         Expect::NoChange},
        {"spop",
         [](Keyspace* ks) {
             std::vector<std::string> out;
             dict_spop(ks, "set", 2, &out);
         },
         Expect::Change},
        {"spop_zero",
         [](Keyspace* ks) {
             std::vector<std::string> out;
             dict_spop(ks, "set", 0, &out);
         },
         Expect::NoChange},
        {"set_reads",
         [](Keyspace* ks) {
             std::vector<std::string_view> v;
             uint64_t cursor = 0;
             dict_scard(ks, "set");
             dict_sismember(ks, "set", "m1");
             dict_smembers(ks, "set", &v);
             dict_srandmember(ks, "set", -5, &v);
             dict_srandmember(ks, "set", 2, &v);
             dict_sdiff(ks, SV{"set", "other"}, &v);
             dict_sinter(ks, SV{"set", "other"}, &v);
             dict_sunion(ks, SV{"set", "other"}, &v);
             dict_sintercard(ks, SV{"set", "other"}, 0);
             dict_sscan(ks, "set", &cursor, 2, &v);
         },
         Expect::NoChange},
        // ---- sorted sets
        {"zadd_new_member", [](Keyspace* ks) { dict_zadd(ks, "z", 0, 4, "d"); }, Expect::Change},
        {"zadd_new_key", [](Keyspace* ks) { dict_zadd(ks, "new", 0, 1, ""); }, Expect::Change},
        {"zadd_new_score", [](Keyspace* ks) { dict_zadd(ks, "z", 0, 7, "a"); }, Expect::Change},
        {"zadd_new_score_same_rank", [](Keyspace* ks) { dict_zadd(ks, "z", 0, 1.5, "a"); }, Expect::Change},
        {"zadd_same_score", [](Keyspace* ks) { dict_zadd(ks, "z", 0, 2, "b"); }, Expect::NoChange},
        {"zadd_ch_same_score", [](Keyspace* ks) { dict_zadd(ks, "z", ZADD_CH, 2, "b"); }, Expect::NoChange},
        {"zadd_nx_present", [](Keyspace* ks) { dict_zadd(ks, "z", ZADD_NX, 9, "b"); }, Expect::NoChange},
        {"zadd_xx_absent", [](Keyspace* ks) { dict_zadd(ks, "z", ZADD_XX, 9, "q"); }, Expect::NoChange},
        {"zadd_gt_lower", [](Keyspace* ks) { dict_zadd(ks, "z", ZADD_GT, 0, "b"); }, Expect::NoChange},
        {"zadd_lt_lower", [](Keyspace* ks) { dict_zadd(ks, "z", ZADD_LT, 0, "b"); }, Expect::Change},
        {"zadd_wrong_type", [](Keyspace* ks) { dict_zadd(ks, "s", 0, 1, "a"); }, Expect::NoChange},
        {"zincrby",
         [](Keyspace* ks) {
             double out = 0;
             dict_zincrby(ks, "z", 0.25, "c", &out);
         },
         Expect::Change},
        {"zincrby_zero",
         [](Keyspace* ks) {
             double out = 0;
             dict_zincrby(ks, "z", 0, "c", &out);
         },
         Expect::NoChange},
        {"zincrby_new_member",
         [](Keyspace* ks) {
             double out = 0;
             dict_zincrby(ks, "z", 0, "fresh", &out);
         },
         Expect::Change},
        {"zrem", [](Keyspace* ks) { dict_zrem(ks, "z", SV{"b", "nope"}); }, Expect::Change},
        {"zrem_absent", [](Keyspace* ks) { dict_zrem(ks, "z", SV{"nope"}); }, Expect::NoChange},
        {"zrem_all_deletes_key", [](Keyspace* ks) { dict_zrem(ks, "z", SV{"a", "b", "c"}); }, Expect::Change},
        {"zpop",
         [](Keyspace* ks) {
             std::vector<ZOwned> out;
             dict_zpop(ks, "z", 1, true, &out);
         },
         Expect::Change},
        {"zpop_zero",
         [](Keyspace* ks) {
             std::vector<ZOwned> out;
             dict_zpop(ks, "z", 0, false, &out);
         },
         Expect::NoChange},
        {"zremrangebyscore", [](Keyspace* ks) { dict_zremrangebyscore(ks, "z", ZScoreRange{1, 2}); }, Expect::Change},
        {"zremrangebyscore_empty", [](Keyspace* ks) { dict_zremrangebyscore(ks, "z", ZScoreRange{5, 6}); },
         Expect::NoChange},
        {"zremrangebyrank", [](Keyspace* ks) { dict_zremrangebyrank(ks, "z", -1, -1); }, Expect::Change},
        {"zset_reads",
         [](Keyspace* ks) {
             std::vector<ZMember> m;
             std::vector<ZOwned> owned;
             std::vector<std::pair<bool, double>> scores;
             double score = 0;
             int64_t rank = 0;
             uint64_t cursor = 0;
             dict_zscore(ks, "z", "a", &score);
             dict_zcard(ks, "z");
             dict_zrank(ks, "z", "b", true, &rank, &score);
             dict_zrange(ks, "z", 0, -1, false, &m);
             dict_zrangebyscore(ks, "z", ZScoreRange{0, 9}, true, 0, 0, &m);
             dict_zcount(ks, "z", ZScoreRange{0, 9});
             dict_zscan(ks, "z", &cursor, 1, &m);
             dict_zrandmember(ks, "z", -4, &owned);
             dict_zmscore(ks, "z", SV{"a", "q"}, &scores);
         },
         Expect::NoChange},
        // ---- keys
        {"del", [](Keyspace* ks) { dict_del(ks, "h"); }, Expect::Change},
        {"del_missing", [](Keyspace* ks) { dict_del(ks, "new"); }, Expect::NoChange},
        {"expire", [](Keyspace* ks) { dict_expire(ks, "s", 100); }, Expect::Change},
        {"expire_ms_other_deadline", [](Keyspace* ks) { dict_expire_ms(ks, "t", 5); }, Expect::Change},
        {"expire_missing", [](Keyspace* ks) { dict_expire(ks, "new", 100); }, Expect::NoChange},
        {"expire_at_same_deadline", [](Keyspace* ks) { dict_expire_at_ms(ks, "t", kStart + kTtl); },
         Expect::NoChange},
        {"persist", [](Keyspace* ks) { dict_persist(ks, "t"); }, Expect::Change},
        {"persist_no_deadline", [](Keyspace* ks) { dict_persist(ks, "s"); }, Expect::NoChange},
        {"rename", [](Keyspace* ks) { dict_rename(ks, "z", "z2", false); }, Expect::Change},
        {"rename_with_deadline", [](Keyspace* ks) { dict_rename(ks, "t", "t2", false); }, Expect::Change},
        {"rename_over_existing", [](Keyspace* ks) { dict_rename(ks, "s", "n", false); }, Expect::Change},
        {"rename_onto_itself", [](Keyspace* ks) { dict_rename(ks, "s", "s", false); }, Expect::NoChange},
        {"renamenx_existing", [](Keyspace* ks) { dict_rename(ks, "s", "n", true); }, Expect::NoChange},
        {"rename_missing", [](Keyspace* ks) { dict_rename(ks, "new", "x", false); }, Expect::NoChange},
        {"copy_string", [](Keyspace* ks) { dict_copy(ks, "t", "t2", false); }, Expect::Change},
        {"copy_hash", [](Keyspace* ks) { dict_copy(ks, "h", "h2", false); }, Expect::Change},
        {"copy_list", [](Keyspace* ks) { dict_copy(ks, "l", "l2", false); }, Expect::Change},
        {"copy_zset", [](Keyspace* ks) { dict_copy(ks, "z", "z2", false); }, Expect::Change},
        {"copy_over_existing", [](Keyspace* ks) { dict_copy(ks, "set", "n", true); }, Expect::Change},
        {"copy_no_replace", [](Keyspace* ks) { dict_copy(ks, "set", "n", false); }, Expect::NoChange},
        {"copy_onto_itself", [](Keyspace* ks) { dict_copy(ks, "set", "set", true); }, Expect::NoChange},
        {"flush", [](Keyspace* ks) { dict_flush(ks); }, Expect::Change},
        {"flush_empty", [](Keyspace* ks) { dict_flush(ks); }, Expect::NoChange, [](Keyspace* ks) { dict_flush(ks); }},
        {"key_reads",
         [](Keyspace* ks) {
             std::vector<std::string_view> v;
             std::string key;
             uint64_t cursor = 0;
             dict_exists(ks, "s");
             dict_key_type(ks, "l");
             dict_type_name(ks, "h");
             dict_key_count(ks, "z");
             dict_ttl(ks, "t");
             dict_pttl(ks, "t");
             dict_last_accessed_ms(ks, "s");
             dict_keys(ks, "*", &v);
             dict_scan(ks, &cursor, "s*", 3, &v);
             dict_randomkey(ks, &key);
         },
         Expect::NoChange},
        {"stamps_only",
         [](Keyspace* ks) {
             FakeClock::now += 5;
             dict_exists(ks, "s");
             dict_exists(ks, "l");
         },
         Expect::NoChange, [](Keyspace* ks) { dict_set_max_memory(ks, 64); }},
        // ---- expiry and eviction
        {"lazy_expiry_on_read", [](Keyspace* ks) { dict_exists(ks, "t"); }, Expect::Change, pass_deadline},
        {"lazy_expiry_on_write_elsewhere", [](Keyspace* ks) { dict_set_string_ifabsent(ks, "t", "again", 0); },
         Expect::Change, pass_deadline},
        {"sweep", [](Keyspace* ks) { dict_cleanup_expired(ks); }, Expect::Change, pass_deadline},
        {"sweep_nothing_due", [](Keyspace* ks) { dict_cleanup_expired(ks); }, Expect::NoChange},
        {"keys_sweeps",
         [](Keyspace* ks) {
             std::vector<std::string_view> v;
             dict_keys(ks, "", &v);
         },
         Expect::Change, pass_deadline},
        {"read_beside_dead_key", [](Keyspace* ks) { dict_exists(ks, "s"); }, Expect::NoChange, pass_deadline},
        {"evict_under_new_limit",
         [](Keyspace* ks) {
             dict_set_max_memory(ks, 1);
             dict_evict_lru(ks);
         },
         Expect::Change, fill_past_one_mib},
        {"limit_without_excess",
         [](Keyspace* ks) {
             dict_set_max_memory(ks, 1);
             dict_evict_lru(ks);
         },
         Expect::NoChange},
        {"write_evicts",
         [](Keyspace* ks) { dict_set_string(ks, "huge", std::string(600'000, 'h'), 0); },
         Expect::Change,
         [](Keyspace* ks) {
             dict_set_max_memory(ks, 1);
             for (int i = 0; i < 4; i++) dict_set_string(ks, "bulk" + std::to_string(i), std::string(200'000, 'b'), 0);
         }},
    };
    return all;
}

// The fixture's clock starts at kStart.
class DirtyTest : public ks_test::KeyspaceTest, public ::testing::WithParamInterface<DirtyCase> {};
class DirtyCounter : public ks_test::KeyspaceTest {};

TEST_P(DirtyTest, CounterMovesExactlyWhenTheContentsDo) {
    ASSERT_EQ(FakeClock::now, kStart);
    const DirtyCase& c = GetParam();
    seed(ks);
    if (c.prepare) c.prepare(ks);
    const std::string before = dump(ks);
    const uint64_t dirty_before = ks->dirty;
    c.op(ks);
    const bool contents_changed = dump(ks) != before;
    const bool dirty_changed = ks->dirty != dirty_before;
    switch (c.expect) {
        case Expect::Change:
            EXPECT_TRUE(contents_changed) << "the case is meant to change the contents";
            EXPECT_EQ(dirty_changed, contents_changed);
            break;
        case Expect::NoChange:
            EXPECT_FALSE(contents_changed) << "the case is meant to change nothing";
            EXPECT_EQ(dirty_changed, contents_changed);
            break;
        case Expect::SameWrite:
            EXPECT_FALSE(contents_changed) << "the case rewrites the value already held";
            EXPECT_TRUE(dirty_changed) << "a whole-value write counts even when the value is the same";
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, DirtyTest, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<DirtyCase>& info) { return std::string(info.param.name); });

// A long pseudo-random run of mixed writes over a few keys of every type, with
// deadlines falling due on the way: after each step the counter has moved if
// the dump did, and (except for a field write, which may rewrite the value
// already held) only then.
TEST_F(DirtyCounter, CountsEveryChangeOfARandomRun) {
    ASSERT_EQ(FakeClock::now, kStart);
    uint64_t changes_seen = 0;
    uint64_t state = 12345;
    auto next = [&state](uint64_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (state >> 33) % bound;
    };
    for (int step = 0; step < 3000; step++) {
        const std::string key = "k" + std::to_string(next(6));
        const std::string val = std::to_string(next(4));
        const std::string before = dump(ks);
        const uint64_t dirty_before = ks->dirty;
        const uint64_t op = next(10);
        switch (op) {
            case 0: dict_set_string_ifabsent(ks, key, val, 0); break;
            case 1: dict_rpush(ks, key, val); break;
            case 2: dict_hset(ks, key, "f" + val, val); break;
            case 3: dict_sadd(ks, key, SV{val}); break;
            case 4: dict_zadd(ks, key, 0, static_cast<double>(next(3)), val); break;
            case 5: dict_del(ks, key); break;
            case 6: dict_srem(ks, key, SV{val}); break;
            case 7: dict_zrem(ks, key, SV{val}); break;
            case 8: dict_expire_at_ms(ks, key, next(2) ? kStart + 1 + static_cast<int64_t>(next(3)) : 0); break;
            default: FakeClock::now += static_cast<int64_t>(next(2)); dict_exists(ks, key); break;
        }
        const bool contents_changed = dump(ks) != before;
        const bool dirty_changed = ks->dirty != dirty_before;
        if (contents_changed) {
            ASSERT_TRUE(dirty_changed) << "step " << step << " op " << op;
        }
        if (op != 2) {
            ASSERT_EQ(dirty_changed, contents_changed) << "step " << step << " op " << op;
        }
        changes_seen += contents_changed ? 1 : 0;
    }
    EXPECT_GE(ks->dirty, changes_seen);
    EXPECT_GT(changes_seen, 500u);
}

}  // namespace
