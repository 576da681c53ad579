// collection_util.h — helpers shared by the hash and set commands: argument
// ranges as views, keyspace result codes as error replies, lists of borrowed
// views as replies, and the cursor and COUNT arguments of the scans.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <string_view>
#include <vector>

#include "commands/command_util.h"

namespace vorel {

constexpr const char* kErrOutOfMemory = "out of memory";

// Arguments first .. end-1 (by default to the last one) as views.
inline std::vector<std::string_view> arg_views(const Args& a, int first, int end = -1) {
    if (end < 0) end = a.argc;
    std::vector<std::string_view> out;
    if (first < end) out.reserve(static_cast<size_t>(end - first));
    for (int i = first; i < end; ++i) out.push_back(a[i]);
    return out;
}

// The reply of a negative keyspace result: -1 another type, anything else a
// failed allocation (never reported as a type error).
inline void reply_dict_error(Reply& out, int64_t r) { out.error(r == -1 ? kErrWrongType : kErrOutOfMemory); }

// A count, or the error of a negative keyspace result.
inline void reply_count(Reply& out, int64_t r) {
    if (r < 0) return reply_dict_error(out, r);
    out.integer(r);
}

// An array of bulks; an empty view is the empty bulk, never the null form.
inline void reply_views(Reply& out, const std::vector<std::string_view>& items) {
    out.array(static_cast<long long>(items.size()));
    for (std::string_view v : items) out.bulk(v);
}

// "key cursor [COUNT n ...]" from argv[2]: replies the error and returns false
// for a bad request. A COUNT value that is not a positive integer is ignored.
inline bool parse_scan_args(Reply& out, const Args& a, uint64_t* cursor, int64_t* count) {
    int64_t signed_cursor = 0;
    if (!parse_strict_ll(a[2], &signed_cursor)) {
        out.error("invalid cursor");
        return false;
    }
    // A negative cursor reads as a position past the end and ends the scan.
    *cursor = static_cast<uint64_t>(signed_cursor);
    *count = 10;
    for (int i = 3; i < a.argc; i += 2) {
        if (i + 1 >= a.argc || !word_is(a[i], "COUNT")) {
            out.error(kErrSyntax);
            return false;
        }
        int64_t n = 0;
        if (parse_strict_ll(a[i + 1], &n) && n > 0) *count = n;
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
