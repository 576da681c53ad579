// zsets.cpp — the sorted-set commands: ZADD, ZINCRBY, ZREM, the score and rank
// reads, the rank, score and lexicographic ranges (ZRANGE with every form, and
// ZRANGESTORE), ZCOUNT, ZLEXCOUNT, ZSCAN, the pops (ZMPOP and the blocking
// forms included), the range removals, ZRANDMEMBER and ZMSCORE. The set algebra
// (ZUNION, ZINTER, ZDIFF, their STORE forms, ZINTERCARD) is in zset_algebra.cpp.
// Scores are doubles in RESP3; members with their scores are [member, score]
// pairs in RESP3 and flat in RESP2.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "commands/blocking.h"
#include "commands/command_util.h"
#include "commands/zset_common.h"
#include "commands/collection_util.h"

namespace {

using namespace zset_cmd;

constexpr const char* kErrNotFloat = "value is not a valid float";

// ---- Arguments ----------------------------------------------------------------

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

// ---- Replies ------------------------------------------------------------------

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
        const DictCount r = dict_zadd(call.ks, a[1], flags, scores[p], a[i + 2 * static_cast<int>(p) + 1], &new_score);
        // Only the first pair can meet another type; an empty key name is refused
        // with the same error.
        if (r.status == DictStatus::WrongType || r.status == DictStatus::Invalid) return out.error(kErrWrongType);
        if (!r.ok()) return out.error(kErrOutOfMemory);
        sum += r.value;
    }
    if (flags & ZADD_INCR) return out.number(new_score);
    out.integer(sum);
}

// Logged on every success, also when the score did not move (an increment of 0).
void cmd_zincrby(Call& call, const Args& a) {
    double increment = 0;
    if (!parse_strict_float(a[2], &increment)) return call.out.error(kErrNotFloat);
    double score = 0;
    const DictStatus r = dict_zincrby(call.ks, a[1], increment, a[3], &score);
    if (r == DictStatus::WrongType || r == DictStatus::Invalid) return call.out.error(kErrWrongType);
    if (r != DictStatus::Ok) return call.out.error(kErrOutOfMemory);
    call.log_request();
    call.out.number(score);
}

// A key of another type removes nothing and replies 0.
void cmd_zrem(Call& call, const Args& a) {
    call.out.integer(dict_zrem(call.ks, a[1], args_from(a, 2)).value);
}

// ---- Single reads -----------------------------------------------------------------

void cmd_zscore(Call& call, const Args& a) {
    if (wrong_type(call, a[1])) return;
    double score = 0;
    if (dict_zscore(call.ks, a[1], a[2], &score) != DictStatus::Ok) return call.out.null();
    call.out.number(score);
}

void cmd_zcard(Call& call, const Args& a) {
    if (wrong_type(call, a[1])) return;
    call.out.integer(dict_zcard(call.ks, a[1]).value);
}

// ZRANK / ZREVRANK key member [WITHSCORE]; other trailing words are ignored.
void reply_rank(Call& call, const Args& a, bool reverse) {
    Reply& out = call.out;
    bool with_score = false;
    for (int i = 3; i < a.argc; ++i) with_score |= word_is(a[i], "WITHSCORE");
    if (wrong_type(call, a[1])) return;
    int64_t rank = 0;
    double score = 0;
    if (dict_zrank(call.ks, a[1], a[2], reverse, &rank, &score) != DictStatus::Ok) return out.null();
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

// ZREVRANGE key start stop [WITHSCORES]; the words of ZRANGE's other forms are
// refused, any other word is ignored.
void cmd_zrevrange(Call& call, const Args& a) {
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
    dict_zrange(call.ks, a[1], start, stop, true, &items);
    reply_members(call.out, items, with_scores);
}

// What a ZRANGE-form request selects: ranks, a score interval or a
// lexicographic interval, optionally from the highest member, with LIMIT.
struct RangeRequest {
    enum By { kRank, kScore, kLex } by = kRank;
    bool rev = false;
    bool with_scores = false;
    bool limit_given = false;
    int64_t start = 0, stop = -1;
    int64_t offset = 0, count = -1;
    ZScoreRange score{0, 0};
    ZLexBound lex_min, lex_max;
};

// min max [BYSCORE|BYLEX] [REV] [LIMIT offset count] [WITHSCORES] from a[first];
// with REV the score and lexicographic bounds come highest first, as ranks
// count from the highest member. false (error replied) on a bad request.
bool parse_range_request(Reply& out, const Args& a, int first, bool store, RangeRequest* r) {
    for (int i = first + 2; i < a.argc; ++i) {
        const std::string_view w = a[i];
        if (word_is(w, "BYSCORE")) {
            r->by = RangeRequest::kScore;
        } else if (word_is(w, "BYLEX")) {
            r->by = RangeRequest::kLex;
        } else if (word_is(w, "REV")) {
            r->rev = true;
        } else if (word_is(w, "WITHSCORES") && !store) {
            r->with_scores = true;
        } else if (word_is(w, "LIMIT") && i + 2 < a.argc) {
            if (!parse_two_ints(out, a[i + 1], a[i + 2], &r->offset, &r->count)) return false;
            r->limit_given = true;
            i += 2;
        } else {
            out.error(kErrSyntax);
            return false;
        }
    }
    if (r->limit_given && r->by == RangeRequest::kRank) {
        out.error("syntax error, LIMIT is only supported in combination with either BYSCORE or BYLEX");
        return false;
    }
    if (r->with_scores && r->by == RangeRequest::kLex) {
        out.error("syntax error, WITHSCORES not supported in combination with BYLEX");
        return false;
    }
    const bool swapped = r->rev && r->by != RangeRequest::kRank;
    const std::string_view min_text = a[first + (swapped ? 1 : 0)], max_text = a[first + (swapped ? 0 : 1)];
    switch (r->by) {
        case RangeRequest::kRank: return parse_two_ints(out, a[first], a[first + 1], &r->start, &r->stop);
        case RangeRequest::kScore: return parse_range(out, min_text, max_text, &r->score);
        case RangeRequest::kLex: return parse_lex_range(out, min_text, max_text, &r->lex_min, &r->lex_max);
    }
    return false;
}

// The members a request selects, borrowed, in reply order.
void select_range(Keyspace* ks, std::string_view key, const RangeRequest& r, std::vector<ZMember>* items) {
    items->clear();
    if (r.limit_given && (r.offset < 0 || r.count == 0)) return;
    switch (r.by) {
        case RangeRequest::kRank:
            dict_zrange(ks, key, r.start, r.stop, r.rev, items);
            return;
        case RangeRequest::kScore:
            dict_zrangebyscore(ks, key, r.score, r.rev, r.offset, r.count < 0 ? 0 : r.count, items);
            return;
        case RangeRequest::kLex: {
            int64_t lo = 0, hi = 0;
            dict_zlexranks(ks, key, r.lex_min, r.lex_max, &lo, &hi);
            const int64_t available = std::max<int64_t>(hi - lo - r.offset, 0);
            const int64_t take = r.count < 0 ? available : std::min(available, r.count);
            if (take == 0) return;
            const int64_t first = r.rev ? hi - r.offset - take : lo + r.offset;
            dict_zrange(ks, key, first, first + take - 1, false, items);
            if (r.rev) std::reverse(items->begin(), items->end());
            return;
        }
    }
}

// ZRANGE key min max [BYSCORE|BYLEX] [REV] [LIMIT offset count] [WITHSCORES]
void cmd_zrange(Call& call, const Args& a) {
    RangeRequest r;
    if (!parse_range_request(call.out, a, 2, false, &r)) return;
    if (wrong_type(call, a[1])) return;
    std::vector<ZMember> items;
    select_range(call.ks, a[1], r, &items);
    reply_members(call.out, items, r.with_scores);
}

// ZRANGEBYLEX key min max / ZREVRANGEBYLEX key max min, then [LIMIT offset count].
void reply_lex_range(Call& call, const Args& a, bool reverse) {
    RangeRequest r;
    r.by = RangeRequest::kLex;
    r.rev = reverse;
    if (a.argc != 4 && !(a.argc == 7 && word_is(a[4], "LIMIT"))) return call.out.error(kErrSyntax);
    if (a.argc == 7) {
        if (!parse_two_ints(call.out, a[5], a[6], &r.offset, &r.count)) return;
        r.limit_given = true;
    }
    const std::string_view min_text = reverse ? a[3] : a[2], max_text = reverse ? a[2] : a[3];
    if (!parse_lex_range(call.out, min_text, max_text, &r.lex_min, &r.lex_max)) return;
    if (wrong_type(call, a[1])) return;
    std::vector<ZMember> items;
    select_range(call.ks, a[1], r, &items);
    reply_members(call.out, items, false);
}

void cmd_zrangebylex(Call& call, const Args& a) { reply_lex_range(call, a, false); }
void cmd_zrevrangebylex(Call& call, const Args& a) { reply_lex_range(call, a, true); }

void cmd_zlexcount(Call& call, const Args& a) {
    ZLexBound min, max;
    if (!parse_lex_range(call.out, a[2], a[3], &min, &max)) return;
    if (wrong_type(call, a[1])) return;
    int64_t lo = 0, hi = 0;
    dict_zlexranks(call.ks, a[1], min, max, &lo, &hi);
    call.out.integer(hi - lo);
}

// Logged by the dispatcher as received when it removed members.
void cmd_zremrangebylex(Call& call, const Args& a) {
    ZLexBound min, max;
    if (!parse_lex_range(call.out, a[2], a[3], &min, &max)) return;
    if (wrong_type(call, a[1])) return;
    int64_t lo = 0, hi = 0;
    dict_zlexranks(call.ks, a[1], min, max, &lo, &hi);
    call.out.integer(hi > lo ? dict_zremrangebyrank(call.ks, a[1], lo, hi - 1).value : 0);
}

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
    call.out.integer(dict_zcount(call.ks, a[1], range).value);
}

// ZSCAN key cursor [MATCH pattern] [COUNT n]: members and scores, flat, with the
// scores as bulk strings in both protocols.
void cmd_zscan(Call& call, const Args& a) {
    Reply& out = call.out;
    vorel::ScanArgs s;
    if (!vorel::parse_scan_args(out, a, 2, false, &s)) return;
    if (wrong_type(call, a[1])) return;
    std::vector<ZMember> items;
    if (dict_zscan(call.ks, a[1], &s.cursor, s.count, &items) != DictStatus::Ok) return out.error(kErrOutOfMemory);
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
    call.out.integer(dict_zremrangebyscore(call.ks, a[1], range).value);
}

void cmd_zremrangebyrank(Call& call, const Args& a) {
    int64_t start = 0, stop = 0;
    if (!parse_two_ints(call.out, a[2], a[3], &start, &stop)) return;
    if (wrong_type(call, a[1])) return;
    call.out.integer(dict_zremrangebyrank(call.ks, a[1], start, stop).value);
}

// ---- ZRANGESTORE ----------------------------------------------------------------------

// ZRANGESTORE dst src min max [BYSCORE|BYLEX] [REV] [LIMIT offset count]: what
// ZRANGE would answer, stored (an empty selection deletes dst). The request
// replays to the same set, so the dispatcher logs it as received when it changed
// the keyspace.
void cmd_zrangestore(Call& call, const Args& a) {
    RangeRequest r;
    if (!parse_range_request(call.out, a, 3, true, &r)) return;
    if (wrong_type(call, a[2])) return;
    std::vector<ZMember> items;
    select_range(call.ks, a[2], r, &items);
    std::vector<ZOwned> owned;
    owned.reserve(items.size());
    for (const ZMember& m : items) owned.push_back(ZOwned{std::string(m.member), m.score});
    const DictCount stored = dict_zstore_members(call.ks, a[1], owned);
    if (!stored.ok()) return call.out.error(kErrOutOfMemory);
    call.out.integer(stored.value);
}

// ---- ZMPOP and the blocking pops -------------------------------------------------------

// numkeys (at a[first]) key ... MIN|MAX [COUNT n] into a wait; false (error
// replied) on a bad request.
bool parse_zmpop(Reply& out, const Args& a, int first, BlockWait* w) {
    int64_t numkeys = 0;
    if (!parse_numkeys(out, a, first, &numkeys)) return false;
    w->kind = WaitKind::ZsetMultiPop;
    for (int i = first + 1; i <= first + numkeys; ++i) w->keys.emplace_back(a[i]);
    int i = first + 1 + static_cast<int>(numkeys);
    if (i >= a.argc || (!word_is(a[i], "MIN") && !word_is(a[i], "MAX"))) {
        out.error(kErrSyntax);
        return false;
    }
    w->from_head = word_is(a[i], "MIN");
    for (++i; i < a.argc; i += 2) {
        if (!word_is(a[i], "COUNT") || i + 1 >= a.argc || w->count_given) {
            out.error(kErrSyntax);
            return false;
        }
        if (!parse_strict_ll(a[i + 1], &w->count) || w->count < 1) {
            out.error("count should be greater than 0");
            return false;
        }
        w->count_given = true;
    }
    return true;
}

// ZMPOP numkeys key ... MIN|MAX [COUNT n]: pops from the first non-empty set;
// logged as the ZPOPMIN/ZPOPMAX it performed.
void cmd_zmpop(Call& call, const Args& a) {
    call.log_nothing();
    BlockWait w;
    if (!parse_zmpop(call.out, a, 1, &w)) return;
    for (const std::string& key : w.keys) {
        const TryResult r = try_wait_on_key(call, call.out, w, key);
        if (r == TryResult::Served || r == TryResult::Answered) return;
        if (r == TryResult::WrongType) return call.out.error(kErrWrongType);
    }
    call.out.null_array();
}

// BZMPOP timeout numkeys key ... MIN|MAX [COUNT n]
void cmd_bzmpop(Call& call, const Args& a) {
    double timeout_s = 0;
    if (!parse_block_timeout(call.out, a[1], &timeout_s)) return;
    BlockWait w;
    if (!parse_zmpop(call.out, a, 2, &w)) return;
    block_or_answer(call, std::move(w), timeout_s, false);
}

// BZPOPMIN / BZPOPMAX key ... timeout
void cmd_bzpopmin(Call& call, const Args& a) { block_on_keys_then_timeout(call, a, WaitKind::ZsetPop, true); }
void cmd_bzpopmax(Call& call, const Args& a) { block_on_keys_then_timeout(call, a, WaitKind::ZsetPop, false); }

// ---- ZRANDMEMBER ------------------------------------------------------------------------

// ZRANDMEMBER key [count [WITHSCORES]]: without a count one member or nil; with
// any count an array (a negative count picks with repeats, scores allowed).
void cmd_zrandmember(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t count = 1;
    if (a.argc > 2 && (!parse_int32(a[2], &count) || !vorel::random_picks_allowed(count))) {
        return out.error(kErrNotInteger);
    }
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
    {"ZRANGEBYLEX", 4, -1, 0, cmd_zrangebylex},
    {"ZREVRANGEBYLEX", 4, -1, 0, cmd_zrevrangebylex},
    {"ZLEXCOUNT", 4, 4, 0, cmd_zlexcount},
    {"ZREMRANGEBYLEX", 4, 4, kCmdWrite, cmd_zremrangebylex},
    {"ZMPOP", 4, -1, kCmdWrite, cmd_zmpop},
    {"BZMPOP", 5, -1, kCmdWrite | kCmdNoReplay | kCmdMayBlock, cmd_bzmpop},
    {"BZPOPMIN", 3, -1, kCmdWrite | kCmdNoReplay | kCmdMayBlock, cmd_bzpopmin},
    {"BZPOPMAX", 3, -1, kCmdWrite | kCmdNoReplay | kCmdMayBlock, cmd_bzpopmax},
});

}  // namespace
