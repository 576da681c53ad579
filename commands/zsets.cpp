// zsets.cpp — the sorted-set commands: ZADD, ZINCRBY, ZREM, the score and rank
// reads, the rank and score ranges, ZCOUNT, ZSCAN, the pops, the range removals,
// ZRANGESTORE, ZRANDMEMBER and ZMSCORE. Scores are doubles in RESP3; members with
// their scores are [member, score] pairs in RESP3 and flat in RESP2.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "commands/collection_util.h"

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
bool parse_range(Reply& out, std::string_view min_text, std::string_view max_text, ZScoreRange* range) {
    if (!parse_bound(min_text, &range->min, &range->min_exclusive) ||
        !parse_bound(max_text, &range->max, &range->max_exclusive)) {
        out.error(kErrBound);
        return false;
    }
    return true;
}

// Integers outside the signed 32-bit range are refused rather than cut.
bool parse_int32(std::string_view text, int64_t* out) {
    return parse_strict_ll(text, out) == 1 && *out >= INT32_MIN && *out <= INT32_MAX;
}

// Both integers, or the error replied.
bool parse_two_ints(Reply& out, std::string_view a, std::string_view b, int64_t* x, int64_t* y) {
    if (parse_strict_ll(a, x) && parse_strict_ll(b, y)) return true;
    out.error(kErrNotInteger);
    return false;
}

std::vector<std::string_view> args_from(const Args& a, int first) {
    std::vector<std::string_view> out;
    out.reserve(static_cast<size_t>(a.argc - first));
    for (int i = first; i < a.argc; ++i) out.push_back(a[i]);
    return out;
}

// ---- Replies ------------------------------------------------------------------

// Members, each with its score when asked: flat in RESP2, [member, score] pairs
// in RESP3.
template <class Item>
void reply_members(Reply& out, const std::vector<Item>& items, bool with_scores) {
    const bool pairs = with_scores && out.resp3();
    out.array(static_cast<long long>(items.size() * (with_scores && !pairs ? 2 : 1)));
    for (const Item& m : items) {
        if (pairs) out.array(2);
        out.bulk(m.member);
        if (with_scores) out.number(m.score);
    }
}

// Replies WRONGTYPE and returns true when the key holds another type.
bool wrong_type(Call& call, std::string_view key) {
    const uint32_t t = dict_key_type(call.ks, key);
    if (t == KEY_TYPE_NONE || t == KEY_TYPE_ZSET) return false;
    call.out.error(kErrWrongType);
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
// The count of pairs is checked here: the table's minimum cannot express it.
void cmd_zadd(Call& call, const Args& a) {
    Reply& out = call.out;
    uint32_t flags = 0;
    int i = 2;
    for (; i < a.argc; ++i) {
        const uint32_t bit = zadd_flag(a[i]);
        if (bit == 0) break;
        flags |= bit;
    }
    const int rest = a.argc - i;
    if (rest == 0 && !(flags & ZADD_INCR)) return out.integer(0);
    if (rest == 0 || rest % 2 != 0 || ((flags & ZADD_INCR) && rest != 2)) return reply_arity(out, "zadd");
    std::vector<double> scores(static_cast<size_t>(rest / 2));
    for (size_t p = 0; p < scores.size(); ++p) {
        if (!parse_strict_float(a[i + 2 * static_cast<int>(p)], &scores[p])) return out.error(kErrNotFloat);
    }

    // The request is logged by the dispatcher whenever a pair changed the
    // keyspace, also when a later pair failed for memory.
    int64_t sum = 0;
    double new_score = 0;
    for (size_t p = 0; p < scores.size(); ++p) {
        const int r = dict_zadd(call.ks, a[1], flags, scores[p], a[i + 2 * static_cast<int>(p) + 1], &new_score);
        if (r == -1) return out.error(kErrWrongType);  // only the first pair can meet another type
        if (r == -2) return out.error("out of memory");
        sum += r;
    }
    if (flags & ZADD_INCR) return out.number(new_score);
    out.integer(sum);
}

// Logged on every success, also when the score did not move (an increment of 0).
void cmd_zincrby(Call& call, const Args& a) {
    double increment = 0;
    if (!parse_strict_float(a[2], &increment)) return call.out.error(kErrNotFloat);
    double score = 0;
    const int r = dict_zincrby(call.ks, a[1], increment, a[3], &score);
    if (r == -1) return call.out.error(kErrWrongType);
    if (r < 0) return call.out.error("out of memory");
    call.log_request();
    call.out.number(score);
}

// A key of another type removes nothing and replies 0.
void cmd_zrem(Call& call, const Args& a) {
    call.out.integer(dict_zrem(call.ks, a[1], args_from(a, 2)));
}

// ---- Single reads -----------------------------------------------------------------

void cmd_zscore(Call& call, const Args& a) {
    if (wrong_type(call, a[1])) return;
    double score = 0;
    if (dict_zscore(call.ks, a[1], a[2], &score) != 1) return call.out.null();
    call.out.number(score);
}

void cmd_zcard(Call& call, const Args& a) {
    if (wrong_type(call, a[1])) return;
    call.out.integer(dict_zcard(call.ks, a[1]));
}

// ZRANK / ZREVRANK key member [WITHSCORE]; other trailing words are ignored.
void reply_rank(Call& call, const Args& a, bool reverse) {
    Reply& out = call.out;
    bool with_score = false;
    for (int i = 3; i < a.argc; ++i) with_score |= word_is(a[i], "WITHSCORE");
    if (wrong_type(call, a[1])) return;
    int64_t rank = 0;
    double score = 0;
    if (dict_zrank(call.ks, a[1], a[2], reverse, &rank, &score) != 1) return out.null();
    if (!with_score) return out.integer(rank);
    out.array(2);
    out.integer(rank);
    out.number(score);
}

void cmd_zrank(Call& call, const Args& a) { reply_rank(call, a, false); }
void cmd_zrevrank(Call& call, const Args& a) { reply_rank(call, a, true); }

// Every member given is answered, however many there are.
void cmd_zmscore(Call& call, const Args& a) {
    Reply& out = call.out;
    const std::vector<std::string_view> members = args_from(a, 2);
    std::vector<std::pair<bool, double>> scores;
    if (wrong_type(call, a[1])) return;
    dict_zmscore(call.ks, a[1], members, &scores);
    out.array(static_cast<long long>(scores.size()));
    for (const auto& [found, score] : scores) {
        if (found) {
            out.number(score);
        } else {
            out.null();
        }
    }
}

// ---- Ranges -----------------------------------------------------------------------

// ZRANGE / ZREVRANGE key start stop [WITHSCORES]; the ZRANGE-only words of other
// forms are refused, any other word is ignored.
void reply_rank_range(Call& call, const Args& a, bool reverse) {
    int64_t start = 0, stop = 0;
    if (!parse_two_ints(call.out, a[2], a[3], &start, &stop)) return;
    bool with_scores = false;
    for (int i = 4; i < a.argc; ++i) {
        const std::string_view w = a[i];
        if (word_is(w, "BYSCORE") || word_is(w, "BYLEX") || word_is(w, "LIMIT") || word_is(w, "REV"))
            return call.out.error(kErrSyntax);
        with_scores |= word_is(w, "WITHSCORES");
    }
    if (wrong_type(call, a[1])) return;
    std::vector<ZMember> items;  // borrowed: encoded before anything else changes the keyspace
    dict_zrange(call.ks, a[1], start, stop, reverse, &items);
    reply_members(call.out, items, with_scores);
}

void cmd_zrange(Call& call, const Args& a) { reply_rank_range(call, a, false); }
void cmd_zrevrange(Call& call, const Args& a) { reply_rank_range(call, a, true); }

// ZRANGEBYSCORE key min max / ZREVRANGEBYSCORE key max min, then [WITHSCORES]
// [LIMIT offset count] in any order.
void reply_score_range(Call& call, const Args& a, bool reverse) {
    Reply& out = call.out;
    ZScoreRange range{0, 0};
    if (!(reverse ? parse_range(out, a[3], a[2], &range) : parse_range(out, a[2], a[3], &range))) return;
    bool with_scores = false;
    int64_t offset = 0, limit = 0;
    for (int i = 4; i < a.argc; ++i) {
        if (word_is(a[i], "LIMIT") && i + 2 < a.argc) {
            if (!parse_two_ints(out, a[i + 1], a[i + 2], &offset, &limit)) return;
            i += 2;
        } else if (word_is(a[i], "WITHSCORES")) {
            with_scores = true;
        } else {
            return out.error(kErrSyntax);
        }
    }
    if (wrong_type(call, a[1])) return;
    std::vector<ZMember> items;
    dict_zrangebyscore(call.ks, a[1], range, reverse, offset, limit, &items);
    reply_members(out, items, with_scores);
}

void cmd_zrangebyscore(Call& call, const Args& a) { reply_score_range(call, a, false); }
void cmd_zrevrangebyscore(Call& call, const Args& a) { reply_score_range(call, a, true); }

void cmd_zcount(Call& call, const Args& a) {
    ZScoreRange range{0, 0};
    if (!parse_range(call.out, a[2], a[3], &range)) return;
    if (wrong_type(call, a[1])) return;
    call.out.integer(dict_zcount(call.ks, a[1], range));
}

// ZSCAN key cursor [MATCH pattern] [COUNT n]: members and scores, flat, with the
// scores as bulk strings in both protocols.
void cmd_zscan(Call& call, const Args& a) {
    Reply& out = call.out;
    vorel::ScanArgs s;
    if (!vorel::parse_scan_args(out, a, 2, false, &s)) return;
    if (wrong_type(call, a[1])) return;
    std::vector<ZMember> items;
    if (dict_zscan(call.ks, a[1], &s.cursor, s.count, &items) != 0) return out.error("out of memory");
    std::erase_if(items, [&](const ZMember& m) { return !s.matches(m.member); });
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRIu64, s.cursor);
    out.array(2);
    out.bulk(std::string_view(text));
    out.array(2 * static_cast<long long>(items.size()));
    for (const ZMember& m : items) {
        out.bulk(m.member);
        out.double_bulk(m.score);
    }
}

// ---- Pops and removals --------------------------------------------------------------

// ZPOPMIN / ZPOPMAX key [count]; counts beyond the set take all of it. Without a
// count the reply is the flat [member, score] (empty when nothing was popped).
void reply_pop(Call& call, const Args& a, bool from_top) {
    int64_t count = 1;
    if (a.argc > 2 && (!parse_strict_ll(a[2], &count) || count < 0)) return call.out.error(kErrNotInteger);
    if (wrong_type(call, a[1])) return;
    std::vector<ZOwned> popped;
    dict_zpop(call.ks, a[1], count, from_top, &popped);
    if (a.argc > 2) return reply_members(call.out, popped, true);
    call.out.array(2 * static_cast<long long>(popped.size()));
    for (const ZOwned& m : popped) {
        call.out.bulk(m.member);
        call.out.number(m.score);
    }
}

void cmd_zpopmin(Call& call, const Args& a) { reply_pop(call, a, false); }
void cmd_zpopmax(Call& call, const Args& a) { reply_pop(call, a, true); }

void cmd_zremrangebyscore(Call& call, const Args& a) {
    ZScoreRange range{0, 0};
    if (!parse_range(call.out, a[2], a[3], &range)) return;
    if (wrong_type(call, a[1])) return;
    call.out.integer(dict_zremrangebyscore(call.ks, a[1], range));
}

void cmd_zremrangebyrank(Call& call, const Args& a) {
    int64_t start = 0, stop = 0;
    if (!parse_two_ints(call.out, a[2], a[3], &start, &stop)) return;
    if (wrong_type(call, a[1])) return;
    call.out.integer(dict_zremrangebyrank(call.ks, a[1], start, stop));
}

// ---- ZRANGESTORE ----------------------------------------------------------------------

// A word that may stand where the options begin in BYSCORE mode.
bool looks_like_bound(std::string_view w) {
    double ignored = 0;
    return (!w.empty() && (w[0] == '(' || w[0] == '[')) || word_is(w, "-INF") || word_is(w, "+INF") ||
           parse_strict_float(w, &ignored);
}

// Reads the options from argv[5]; replies the error and returns false on a bad one.
bool parse_store_options(Reply& out, const Args& a, bool by_score, ZRangeSelection* sel) {
    for (int i = 5; i < a.argc; ++i) {
        const std::string_view w = a[i];
        if (word_is(w, "REV")) {
            sel->reverse = true;
        } else if (word_is(w, "BYSCORE") || word_is(w, "BYLEX")) {
            continue;
        } else if (word_is(w, "LIMIT") && i + 2 < a.argc) {
            if (!parse_two_ints(out, a[i + 1], a[i + 2], &sel->offset, &sel->limit)) return false;
            i += 2;
        } else if (i == 5 && by_score && looks_like_bound(w)) {
            break;
        } else {
            out.error(kErrSyntax);
            return false;
        }
    }
    return true;
}

// ZRANGESTORE dst src min max [BYSCORE] [REV] [LIMIT offset count]: ranks, or
// with BYSCORE score bounds; REV swaps the two.
bool parse_zrangestore(Reply& out, const Args& a, ZRangeSelection* sel) {
    bool by_lex = false;
    for (int i = 5; i < a.argc; ++i) {
        sel->by_score |= word_is(a[i], "BYSCORE");
        by_lex |= word_is(a[i], "BYLEX");
    }
    if (!sel->by_score && !by_lex && !parse_two_ints(out, a[3], a[4], &sel->start, &sel->stop)) return false;
    if (!parse_store_options(out, a, sel->by_score, sel)) return false;
    if (by_lex) {
        out.error(kErrNoBylex);
        return false;
    }
    if (!sel->by_score) {
        if (sel->reverse) std::swap(sel->start, sel->stop);
        return true;
    }
    if (!parse_range(out, a[3], a[4], &sel->range)) return false;
    if (sel->reverse) {
        std::swap(sel->range.min, sel->range.max);
        std::swap(sel->range.min_exclusive, sel->range.max_exclusive);
    }
    return true;
}

// Logged by the dispatcher whenever the destination changed, also when only the
// old destination was deleted.
void cmd_zrangestore(Call& call, const Args& a) {
    ZRangeSelection sel;
    if (!parse_zrangestore(call.out, a, &sel)) return;
    if (wrong_type(call, a[2])) return;
    bool changed = false;
    const int64_t stored = dict_zrangestore(call.ks, a[1], a[2], sel, &changed);
    if (stored < 0) return call.out.error("out of memory");
    call.out.integer(stored);
}

// ---- ZRANDMEMBER ------------------------------------------------------------------------

// ZRANDMEMBER key [count [WITHSCORES]]: without a count one member or nil; with
// any count an array (a negative count picks with repeats, scores allowed).
void cmd_zrandmember(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t count = 1;
    if (a.argc > 2 && !parse_int32(a[2], &count)) return out.error(kErrNotInteger);
    bool with_scores = false;
    for (int i = 3; i < a.argc; ++i) {
        if (!word_is(a[i], "WITHSCORES")) return out.error(kErrSyntax);
        with_scores = true;
    }
    if (wrong_type(call, a[1])) return;
    std::vector<ZOwned> picked;
    dict_zrandmember(call.ks, a[1], count, &picked);
    if (a.argc > 2) return reply_members(out, picked, with_scores);
    if (picked.empty()) return out.null();
    out.bulk(picked[0].member);
}

const CommandRegistrar kZsetCommands({
    {"ZADD", 4, -1, kCmdWrite, cmd_zadd},
    {"ZINCRBY", 4, -1, kCmdWrite, cmd_zincrby},
    {"ZREM", 3, -1, kCmdWrite, cmd_zrem},
    {"ZSCORE", 3, -1, 0, cmd_zscore},
    {"ZCARD", 2, -1, 0, cmd_zcard},
    {"ZRANK", 3, -1, 0, cmd_zrank},
    {"ZREVRANK", 3, -1, 0, cmd_zrevrank},
    {"ZMSCORE", 3, -1, 0, cmd_zmscore},
    {"ZRANGE", 4, -1, 0, cmd_zrange},
    {"ZREVRANGE", 4, -1, 0, cmd_zrevrange},
    {"ZRANGEBYSCORE", 4, -1, 0, cmd_zrangebyscore},
    {"ZREVRANGEBYSCORE", 4, -1, 0, cmd_zrevrangebyscore},
    {"ZCOUNT", 4, -1, 0, cmd_zcount},
    {"ZSCAN", 3, -1, 0, cmd_zscan},
    {"ZPOPMIN", 2, -1, kCmdWrite, cmd_zpopmin},
    {"ZPOPMAX", 2, -1, kCmdWrite, cmd_zpopmax},
    {"ZREMRANGEBYSCORE", 4, -1, kCmdWrite, cmd_zremrangebyscore},
    {"ZREMRANGEBYRANK", 4, -1, kCmdWrite, cmd_zremrangebyrank},
    {"ZRANGESTORE", 5, -1, kCmdWrite, cmd_zrangestore},
    {"ZRANDMEMBER", 2, -1, 0, cmd_zrandmember},
});

}  // namespace
