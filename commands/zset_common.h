// zset_common.h — argument parsers and replies shared by the sorted-set command
// files: score bounds, lexicographic bounds, member lists and the type check.
#pragma once

#include <cmath>
#include <string_view>
#include <vector>

#include "commands/command_util.h"

namespace zset_cmd {

constexpr const char* kErrBound = "min or max is not a float";
constexpr const char* kErrLexBound = "min or max not valid string range item";

// A score bound: an optional "(" (exclusive) or "[" (inclusive), then "-inf",
// "+inf" or a finite float.
inline bool parse_bound(std::string_view text, double* value, bool* exclusive) {
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
inline bool parse_range(Reply& out, std::string_view min_text, std::string_view max_text, ZScoreRange* range) {
    if (!parse_bound(min_text, &range->min, &range->min_exclusive) ||
        !parse_bound(max_text, &range->max, &range->max_exclusive)) {
        out.error(kErrBound);
        return false;
    }
    return true;
}

// A lexicographic bound: "-" (below everything), "+" (above everything), or
// "[" / "(" and the member bytes (inclusive / exclusive).
struct LexBound {
    enum Kind { kMinusInf, kPlusInf, kValue } kind = kMinusInf;
    std::string_view value;
    bool exclusive = false;
};

inline bool parse_lex_bound(std::string_view text, LexBound* b) {
    if (text == "-") return b->kind = LexBound::kMinusInf, true;
    if (text == "+") return b->kind = LexBound::kPlusInf, true;
    if (text.empty() || (text[0] != '[' && text[0] != '(')) return false;
    b->kind = LexBound::kValue;
    b->exclusive = text[0] == '(';
    b->value = text.substr(1);
    return true;
}

inline bool parse_lex_range(Reply& out, std::string_view min_text, std::string_view max_text, LexBound* min,
                            LexBound* max) {
    if (parse_lex_bound(min_text, min) && parse_lex_bound(max_text, max)) return true;
    out.error(kErrLexBound);
    return false;
}

// The member is at or above min / at or below max.
inline bool lex_above_min(std::string_view m, const LexBound& min) {
    if (min.kind != LexBound::kValue) return min.kind == LexBound::kMinusInf;
    return min.exclusive ? m > min.value : m >= min.value;
}
inline bool lex_below_max(std::string_view m, const LexBound& max) {
    if (max.kind != LexBound::kValue) return max.kind == LexBound::kPlusInf;
    return max.exclusive ? m < max.value : m <= max.value;
}

inline std::vector<std::string_view> args_from(const Args& a, int first) {
    std::vector<std::string_view> out;
    out.reserve(static_cast<size_t>(a.argc - first));
    for (int i = first; i < a.argc; ++i) out.push_back(a[i]);
    return out;
}

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
inline bool wrong_type(Call& call, std::string_view key) {
    const uint32_t t = dict_key_type(call.ks, key);
    if (t == KEY_TYPE_NONE || t == KEY_TYPE_ZSET) return false;
    call.out.error(kErrWrongType);
    return true;
}

// numkeys at a[at], then that many keys; false (error replied) when numkeys is
// not a positive integer or more keys are announced than given.
inline bool parse_numkeys(Reply& out, const Args& a, int at, int64_t* numkeys) {
    if (!parse_strict_ll(a[at], numkeys)) {
        out.error(kErrNotInteger);
        return false;
    }
    if (*numkeys < 1) {
        out.error("numkeys should be greater than 0");
        return false;
    }
    if (*numkeys > a.argc - at - 1) {
        out.error(kErrSyntax);
        return false;
    }
    return true;
}

}  // namespace zset_cmd

namespace zset_cmd {

// Replaces dst by the members (deletes it when there are none). Ok with the
// count stored; the failed add's status when one fails part way (NoMemory, or
// Invalid for an empty destination name).
inline DictCount store_members(Keyspace* ks, std::string_view dst, const std::vector<ZOwned>& members) {
    dict_del(ks, dst);
    for (const ZOwned& m : members) {
        const DictCount r = dict_zadd(ks, dst, 0, m.score, m.member);
        if (!r.ok()) return {r.status, 0};
    }
    return {DictStatus::Ok, static_cast<int64_t>(members.size())};
}

}  // namespace zset_cmd
