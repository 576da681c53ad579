// zsets.cpp — the sorted-set commands: ZADD, ZINCRBY, ZREM, the score and rank
// reads, the rank and score ranges, ZCOUNT, ZSCAN, the pops, the range removals,
// ZRANGESTORE, ZRANDMEMBER and ZMSCORE. Scores go out through the float reply
// (integral scores as integers in RESP3); arrays with scores are flat.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "commands/command_util.h"
#include "server/aof.h"
#include "server/server.h"

namespace {

constexpr const char* kErrNotFloat = "value is not a valid float";
constexpr const char* kErrBound = "min or max is not a float";
constexpr const char* kErrNoBylex = "syntax error, BYLEX is not supported by this engine";

// ---- Arguments ----------------------------------------------------------------

// A score bound: an optional "(" (exclusive) or "[" (inclusive), then "-inf",
// "+inf" or a finite float.
bool parse_bound(std::string_view text, double* value, bool* exclusive) {
    *exclusive = false;
    if (!text.empty() && (text[0] == '(' || text[0] == '[')) {
        *exclusive = text[0] == '(';
        text.remove_prefix(1);
    }
    if (word_is(text, "-INF")) {
        *value = -INFINITY;
    } else if (word_is(text, "+INF")) {
        *value = INFINITY;
    } else {
        return parse_strict_float(text, value) == 1;
    }
    return true;
}

// The interval from a min and a max argument; replies the error when either fails.
bool parse_range(std::string_view min_text, std::string_view max_text, ZScoreRange* range) {
    if (!parse_bound(min_text, &range->min, &range->min_exclusive) ||
        !parse_bound(max_text, &range->max, &range->max_exclusive)) {
        rb_error(kErrBound);
        return false;
    }
    return true;
}

// Integers outside the signed 32-bit range are refused rather than cut.
bool parse_int32(std::string_view text, int64_t* out) {
    return parse_strict_ll(text, out) == 1 && *out >= INT32_MIN && *out <= INT32_MAX;
}

// Both integers, or the error replied.
bool parse_two_ints(std::string_view a, std::string_view b, int64_t* x, int64_t* y) {
    if (parse_strict_ll(a, x) && parse_strict_ll(b, y)) return true;
    rb_error(kErrNotInteger);
    return false;
}

std::vector<std::string_view> args_from(const Args& a, int first) {
    std::vector<std::string_view> out;
    out.reserve(static_cast<size_t>(a.argc - first));
    for (int i = first; i < a.argc; ++i) out.push_back(a[i]);
    return out;
}

// ---- Replies ------------------------------------------------------------------

// Members, each followed by its score when asked (one flat array).
template <class Item>
void reply_members(const std::vector<Item>& items, bool with_scores) {
    rb_arr_hdr(static_cast<long long>(items.size() * (with_scores ? 2 : 1)));
    for (const Item& m : items) {
        rb_bulk_sv(m.member);
        if (with_scores) send_float_reply(m.score);
    }
}

// Under the lock: replies WRONGTYPE and returns true when the key holds another type.
bool wrong_type(std::string_view key) {
    const uint32_t t = dict_key_type(s_dict, key);
    if (t == KEY_TYPE_NONE || t == KEY_TYPE_ZSET) return false;
    rb_error(kErrWrongType);
    return true;
}

// ---- ZADD, ZINCRBY, ZREM --------------------------------------------------------

uint32_t zadd_flag(std::string_view w) {
    static const std::pair<const char*, uint32_t> words[] = {{"NX", ZADD_NX}, {"XX", ZADD_XX},
                                                             {"GT", ZADD_GT}, {"LT", ZADD_LT},
                                                             {"CH", ZADD_CH}, {"INCR", ZADD_INCR}};
    for (const auto& [word, bit] : words) {
        if (word_is(w, word)) return bit;
    }
    return 0;
}

// Every score is checked before any pair is applied, so a bad score changes nothing.
void cmd_zadd(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("zadd");
    uint32_t flags = 0;
    int i = 2;
    for (; i < a.argc; ++i) {
        const uint32_t bit = zadd_flag(a[i]);
        if (bit == 0) break;
        flags |= bit;
    }
    const int rest = a.argc - i;
    if (rest == 0 && !(flags & ZADD_INCR)) return rb_int(0);
    if (rest == 0 || rest % 2 != 0 || ((flags & ZADD_INCR) && rest != 2)) return reply_arity("zadd");
    std::vector<double> scores(static_cast<size_t>(rest / 2));
    for (size_t p = 0; p < scores.size(); ++p) {
        if (!parse_strict_float(a[i + 2 * static_cast<int>(p)], &scores[p])) return rb_error(kErrNotFloat);
    }

    ServerLock lock(s_mutex());
    int64_t sum = 0;
    double new_score = 0;
    bool any_change = false;
    for (size_t p = 0; p < scores.size(); ++p) {
        bool changed = false;
        const int r = dict_zadd(s_dict, a[1], flags, scores[p], a[i + 2 * static_cast<int>(p) + 1], &new_score, &changed);
        if (r == -1) return rb_error(kErrWrongType);  // only the first pair can meet another type
        if (r == -2) {
            if (any_change) aof_log_request(a);
            return rb_error("out of memory");
        }
        sum += r;
        any_change |= changed;
    }
    if (any_change) aof_log_request(a);
    if (flags & ZADD_INCR) return send_float_reply(new_score);
    rb_int(sum);
}

void cmd_zincrby(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("zincrby");
    double increment = 0;
    if (!parse_strict_float(a[2], &increment)) return rb_error(kErrNotFloat);
    ServerLock lock(s_mutex());
    double score = 0;
    const int r = dict_zincrby(s_dict, a[1], increment, a[3], &score);
    if (r == -1) return rb_error(kErrWrongType);
    if (r < 0) return rb_error("out of memory");
    aof_log_request(a);
    send_float_reply(score);
}

// A key of another type removes nothing and replies 0.
void cmd_zrem(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("zrem");
    ServerLock lock(s_mutex());
    const int64_t removed = dict_zrem(s_dict, a[1], args_from(a, 2));
    if (removed > 0) aof_log_request(a);
    rb_int(removed);
}

// ---- Single reads -----------------------------------------------------------------

void cmd_zscore(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("zscore");
    ServerLock lock(s_mutex());
    if (wrong_type(a[1])) return;
    double score = 0;
    if (dict_zscore(s_dict, a[1], a[2], &score) != 1) return rb_null();
    send_float_reply(score);
}

void cmd_zcard(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("zcard");
    ServerLock lock(s_mutex());
    if (wrong_type(a[1])) return;
    rb_int(dict_zcard(s_dict, a[1]));
}

// ZRANK / ZREVRANK key member [WITHSCORE]; other trailing words are ignored.
void reply_rank(const Args& a, const char* lower_name, bool reverse) {
    if (a.argc < 3) return reply_arity(lower_name);
    bool with_score = false;
    for (int i = 3; i < a.argc; ++i) with_score |= word_is(a[i], "WITHSCORE");
    ServerLock lock(s_mutex());
    if (wrong_type(a[1])) return;
    int64_t rank = 0;
    double score = 0;
    if (dict_zrank(s_dict, a[1], a[2], reverse, &rank, &score) != 1) return rb_null();
    if (!with_score) return rb_int(rank);
    rb_arr_hdr(2);
    rb_int(rank);
    send_float_reply(score);
}

void cmd_zrank(Client*, const Args& a) { reply_rank(a, "zrank", false); }
void cmd_zrevrank(Client*, const Args& a) { reply_rank(a, "zrevrank", true); }

// Every member given is answered, however many there are.
void cmd_zmscore(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("zmscore");
    const std::vector<std::string_view> members = args_from(a, 2);
    std::vector<std::pair<bool, double>> scores;
    {
        ServerLock lock(s_mutex());
        if (wrong_type(a[1])) return;
        dict_zmscore(s_dict, a[1], members, &scores);
    }
    rb_arr_hdr(static_cast<long long>(scores.size()));
    for (const auto& [found, score] : scores) {
        if (found) {
            send_float_reply(score);
        } else {
            rb_null();
        }
    }
}

// ---- Ranges -----------------------------------------------------------------------

// ZRANGE / ZREVRANGE key start stop [WITHSCORES]; the ZRANGE-only words of other
// forms are refused, any other word is ignored.
void reply_rank_range(const Args& a, const char* lower_name, bool reverse) {
    if (a.argc < 4) return reply_arity(lower_name);
    int64_t start = 0, stop = 0;
    if (!parse_two_ints(a[2], a[3], &start, &stop)) return;
    bool with_scores = false;
    for (int i = 4; i < a.argc; ++i) {
        const std::string_view w = a[i];
        if (word_is(w, "BYSCORE") || word_is(w, "BYLEX") || word_is(w, "LIMIT") || word_is(w, "REV"))
            return rb_error(kErrSyntax);
        with_scores |= word_is(w, "WITHSCORES");
    }
    ServerLock lock(s_mutex());  // the members are borrowed: encode under the lock
    if (wrong_type(a[1])) return;
    std::vector<ZMember> items;
    dict_zrange(s_dict, a[1], start, stop, reverse, &items);
    reply_members(items, with_scores);
}

void cmd_zrange(Client*, const Args& a) { reply_rank_range(a, "zrange", false); }
void cmd_zrevrange(Client*, const Args& a) { reply_rank_range(a, "zrevrange", true); }

// ZRANGEBYSCORE key min max / ZREVRANGEBYSCORE key max min, then [WITHSCORES]
// [LIMIT offset count] in any order.
void reply_score_range(const Args& a, const char* lower_name, bool reverse) {
    if (a.argc < 4) return reply_arity(lower_name);
    ZScoreRange range{0, 0};
    if (!(reverse ? parse_range(a[3], a[2], &range) : parse_range(a[2], a[3], &range))) return;
    bool with_scores = false;
    int64_t offset = 0, limit = 0;
    for (int i = 4; i < a.argc; ++i) {
        if (word_is(a[i], "LIMIT") && i + 2 < a.argc) {
            if (!parse_two_ints(a[i + 1], a[i + 2], &offset, &limit)) return;
            i += 2;
        } else if (word_is(a[i], "WITHSCORES")) {
            with_scores = true;
        } else {
            return rb_error(kErrSyntax);
        }
    }
    ServerLock lock(s_mutex());
    if (wrong_type(a[1])) return;
    std::vector<ZMember> items;
    dict_zrangebyscore(s_dict, a[1], range, reverse, offset, limit, &items);
    reply_members(items, with_scores);
}

void cmd_zrangebyscore(Client*, const Args& a) { reply_score_range(a, "zrangebyscore", false); }
void cmd_zrevrangebyscore(Client*, const Args& a) { reply_score_range(a, "zrevrangebyscore", true); }

void cmd_zcount(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("zcount");
    ZScoreRange range{0, 0};
    if (!parse_range(a[2], a[3], &range)) return;
    ServerLock lock(s_mutex());
    if (wrong_type(a[1])) return;
    rb_int(dict_zcount(s_dict, a[1], range));
}

// ZSCAN key cursor [COUNT n]...: the cursor is a rank; only COUNT is accepted.
void cmd_zscan(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("zscan");
    int64_t signed_cursor = 0;
    if (!parse_strict_ll(a[2], &signed_cursor)) return rb_error("invalid cursor");
    int64_t count = 10;
    for (int i = 3; i < a.argc; i += 2) {
        if (i + 1 >= a.argc || !word_is(a[i], "COUNT")) return rb_error(kErrSyntax);
        int64_t n = 0;
        if (parse_strict_ll(a[i + 1], &n) && n > 0) count = n;
    }
    uint64_t cursor = static_cast<uint64_t>(signed_cursor);
    ServerLock lock(s_mutex());
    if (wrong_type(a[1])) return;
    std::vector<ZMember> items;
    if (dict_zscan(s_dict, a[1], &cursor, count, &items) != 0) return rb_error("out of memory");
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRIu64, cursor);
    rb_arr_hdr(2);
    rb_bulk(text);
    reply_members(items, true);
}

// ---- Pops and removals --------------------------------------------------------------

// ZPOPMIN / ZPOPMAX key [count]; counts beyond the set take all of it.
void reply_pop(const Args& a, const char* lower_name, bool from_top) {
    if (a.argc < 2) return reply_arity(lower_name);
    int64_t count = 1;
    if (a.argc > 2 && (!parse_strict_ll(a[2], &count) || count < 0)) return rb_error(kErrNotInteger);
    std::vector<ZOwned> popped;
    {
        ServerLock lock(s_mutex());
        if (wrong_type(a[1])) return;
        if (dict_zpop(s_dict, a[1], count, from_top, &popped) > 0) aof_log_request(a);
    }
    reply_members(popped, true);
}

void cmd_zpopmin(Client*, const Args& a) { reply_pop(a, "zpopmin", false); }
void cmd_zpopmax(Client*, const Args& a) { reply_pop(a, "zpopmax", true); }

void cmd_zremrangebyscore(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("zremrangebyscore");
    ZScoreRange range{0, 0};
    if (!parse_range(a[2], a[3], &range)) return;
    ServerLock lock(s_mutex());
    if (wrong_type(a[1])) return;
    const int64_t removed = dict_zremrangebyscore(s_dict, a[1], range);
    if (removed > 0) aof_log_request(a);
    rb_int(removed);
}

void cmd_zremrangebyrank(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("zremrangebyrank");
    int64_t start = 0, stop = 0;
    if (!parse_two_ints(a[2], a[3], &start, &stop)) return;
    ServerLock lock(s_mutex());
    if (wrong_type(a[1])) return;
    const int64_t removed = dict_zremrangebyrank(s_dict, a[1], start, stop);
    if (removed > 0) aof_log_request(a);
    rb_int(removed);
}

// ---- ZRANGESTORE ----------------------------------------------------------------------

// A word that may stand where the options begin in BYSCORE mode.
bool looks_like_bound(std::string_view w) {
    double ignored = 0;
    return (!w.empty() && (w[0] == '(' || w[0] == '[')) || word_is(w, "-INF") || word_is(w, "+INF") ||
           parse_strict_float(w, &ignored);
}

// Reads the options from argv[5]; replies the error and returns false on a bad one.
bool parse_store_options(const Args& a, bool by_score, ZRangeSelection* sel) {
    for (int i = 5; i < a.argc; ++i) {
        const std::string_view w = a[i];
        if (word_is(w, "REV")) {
            sel->reverse = true;
        } else if (word_is(w, "BYSCORE") || word_is(w, "BYLEX")) {
            continue;
        } else if (word_is(w, "LIMIT") && i + 2 < a.argc) {
            if (!parse_two_ints(a[i + 1], a[i + 2], &sel->offset, &sel->limit)) return false;
            i += 2;
        } else if (i == 5 && by_score && looks_like_bound(w)) {
            break;
        } else {
            rb_error(kErrSyntax);
            return false;
        }
    }
    return true;
}

// ZRANGESTORE dst src min max [BYSCORE] [REV] [LIMIT offset count]: ranks, or
// with BYSCORE score bounds; REV swaps the two.
bool parse_zrangestore(const Args& a, ZRangeSelection* sel) {
    bool by_lex = false;
    for (int i = 5; i < a.argc; ++i) {
        sel->by_score |= word_is(a[i], "BYSCORE");
        by_lex |= word_is(a[i], "BYLEX");
    }
    if (!sel->by_score && !by_lex && !parse_two_ints(a[3], a[4], &sel->start, &sel->stop)) return false;
    if (!parse_store_options(a, sel->by_score, sel)) return false;
    if (by_lex) {
        rb_error(kErrNoBylex);
        return false;
    }
    if (!sel->by_score) {
        if (sel->reverse) std::swap(sel->start, sel->stop);
        return true;
    }
    if (!parse_range(a[3], a[4], &sel->range)) return false;
    if (sel->reverse) {
        std::swap(sel->range.min, sel->range.max);
        std::swap(sel->range.min_exclusive, sel->range.max_exclusive);
    }
    return true;
}

void cmd_zrangestore(Client*, const Args& a) {
    if (a.argc < 5) return reply_arity("zrangestore");
    ZRangeSelection sel;
    if (!parse_zrangestore(a, &sel)) return;
    ServerLock lock(s_mutex());
    if (wrong_type(a[2])) return;
    bool changed = false;
    const int64_t stored = dict_zrangestore(s_dict, a[1], a[2], sel, &changed);
    if (changed) aof_log_request(a);  // also when only the old destination was deleted
    if (stored < 0) return rb_error("out of memory");
    rb_int(stored);
}

// ---- ZRANDMEMBER ------------------------------------------------------------------------

// ZRANDMEMBER key [count [WITHSCORES]]: without a count (or with -1) one member
// or nil; otherwise an array.
void cmd_zrandmember(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("zrandmember");
    int64_t count = -1;
    if (a.argc > 2 && !parse_int32(a[2], &count)) return rb_error(kErrNotInteger);
    bool with_scores = false;
    for (int i = 3; i < a.argc; ++i) {
        if (!word_is(a[i], "WITHSCORES")) return rb_error(kErrSyntax);
        with_scores = true;
    }
    if (with_scores && count < 0) return rb_error(kErrSyntax);
    std::vector<ZOwned> picked;
    {
        ServerLock lock(s_mutex());
        if (wrong_type(a[1])) return;
        dict_zrandmember(s_dict, a[1], count, &picked);
    }
    if (count != -1) return reply_members(picked, with_scores);
    if (picked.empty()) return rb_null();
    rb_bulk_sv(picked[0].member);
}

const CommandRegistrar kZsetCommands({
    {"ZADD", cmd_zadd},
    {"ZINCRBY", cmd_zincrby},
    {"ZREM", cmd_zrem},
    {"ZSCORE", cmd_zscore},
    {"ZCARD", cmd_zcard},
    {"ZRANK", cmd_zrank},
    {"ZREVRANK", cmd_zrevrank},
    {"ZMSCORE", cmd_zmscore},
    {"ZRANGE", cmd_zrange},
    {"ZREVRANGE", cmd_zrevrange},
    {"ZRANGEBYSCORE", cmd_zrangebyscore},
    {"ZREVRANGEBYSCORE", cmd_zrevrangebyscore},
    {"ZCOUNT", cmd_zcount},
    {"ZSCAN", cmd_zscan},
    {"ZPOPMIN", cmd_zpopmin},
    {"ZPOPMAX", cmd_zpopmax},
    {"ZREMRANGEBYSCORE", cmd_zremrangebyscore},
    {"ZREMRANGEBYRANK", cmd_zremrangebyrank},
    {"ZRANGESTORE", cmd_zrangestore},
    {"ZRANDMEMBER", cmd_zrandmember},
});

}  // namespace
