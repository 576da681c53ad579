// collection_util.h — helpers shared by the key and collection commands:
// argument ranges as views, keyspace result codes as error replies, lists of
// borrowed views as replies, and the arguments and reply of the scans.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/command_util.h"

namespace vorel {

// A negative count asks for that many independent picks, each one reply
// element however small the collection is. Past this bound the request is
// refused before anything is picked, so one request cannot make the server build
// a reply of billions of elements under the lock.
constexpr int64_t kMaxRandomPicks = int64_t(1) << 22;
inline bool random_picks_allowed(int64_t count) { return count >= -kMaxRandomPicks; }

// Arguments first .. end-1 (by default to the last one) as views.
inline std::vector<std::string_view> arg_views(const Args& a, int first, int end = -1) {
    if (end < 0) end = a.argc;
    std::vector<std::string_view> out;
    if (first < end) out.reserve(static_cast<size_t>(end - first));
    for (int i = first; i < end; ++i) out.push_back(a[i]);
    return out;
}

// The reply of a failed keyspace operation: WrongType as the type error,
// anything else as a failed allocation (never reported as a type error).
inline void reply_dict_error(Reply& out, DictStatus status) {
    out.error(status == DictStatus::WrongType ? kErrWrongType : kErrOutOfMemory);
}

// A count (0 for a missing key), or the error of a failed keyspace operation.
inline void reply_count(Reply& out, DictCount r) {
    if (r.status != DictStatus::Ok && r.status != DictStatus::Missing) return reply_dict_error(out, r.status);
    out.integer(r.value);
}

// 1 for Ok, 0 for Missing, or the error of a failed keyspace operation.
inline void reply_found(Reply& out, DictStatus status) {
    if (status != DictStatus::Ok && status != DictStatus::Missing) return reply_dict_error(out, status);
    out.integer(status == DictStatus::Ok ? 1 : 0);
}

// An array of bulks; an empty view is the empty bulk, never the null form.
inline void reply_views(Reply& out, const std::vector<std::string_view>& items) {
    out.array(static_cast<long long>(items.size()));
    for (std::string_view v : items) out.bulk(v);
}

// The arguments of SCAN, HSCAN, SSCAN and ZSCAN.
struct ScanArgs {
    uint64_t cursor = 0;
    int64_t count = 10;
    std::string_view pattern;        // MATCH; empty = every element
    uint32_t type = KEY_TYPE_NONE;   // SCAN's TYPE; KEY_TYPE_NONE = any
    bool matches(std::string_view name) const { return pattern.empty() || dict_glob_match(pattern, name); }
};

// The type a TYPE word names, or KEY_TYPE_NONE.
inline uint32_t key_type_named(std::string_view word) {
    static constexpr std::pair<const char*, uint32_t> kTypes[] = {
        {"STRING", KEY_TYPE_STRING}, {"LIST", KEY_TYPE_LIST}, {"HASH", KEY_TYPE_HASH},
        {"SET", KEY_TYPE_SET},       {"ZSET", KEY_TYPE_ZSET}};
    for (const auto& [name, type] : kTypes) {
        if (word_is(word, name)) return type;
    }
    return KEY_TYPE_NONE;
}

// "cursor [MATCH pattern] [COUNT n]" from argv[first], in any order, and with
// allow_type also [TYPE name]: replies the error and returns false for a bad
// request. A COUNT value that is not a positive integer is ignored.
inline bool parse_scan_args(Reply& out, const Args& a, int first, bool allow_type, ScanArgs* s) {
    int64_t signed_cursor = 0;
    if (!parse_strict_ll(a[first], &signed_cursor)) {
        out.error("invalid cursor");
        return false;
    }
    // Cursors are opaque: any number names a place in the table.
    s->cursor = static_cast<uint64_t>(signed_cursor);
    for (int i = first + 1; i < a.argc; i += 2) {
        if (i + 1 >= a.argc) {
            out.error(kErrSyntax);
            return false;
        }
        const std::string_view value = a[i + 1];
        if (word_is(a[i], "COUNT")) {
            int64_t n = 0;
            if (parse_strict_ll(value, &n) && n > 0) s->count = n;
        } else if (word_is(a[i], "MATCH")) {
            s->pattern = value;
        } else if (allow_type && word_is(a[i], "TYPE")) {
            s->type = key_type_named(value);
            if (s->type == KEY_TYPE_NONE) {
                const std::string name(value.substr(0, 64));
                char msg[128];
                std::snprintf(msg, sizeof(msg), "unknown type name '%s'", name.c_str());
                out.error(msg);
                return false;
            }
        } else {
            out.error(kErrSyntax);
            return false;
        }
    }
    return true;
}

// [next cursor as a bulk, [items ...]].
inline void reply_scan(Reply& out, uint64_t next, const std::vector<std::string_view>& items) {
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRIu64, next);
    out.array(2);
    out.bulk(std::string_view(text));
    reply_views(out, items);
}

}  // namespace vorel
