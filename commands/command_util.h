// command_util.h — small helpers shared by the command families: option words,
// integer arguments with range checks, and expiry arithmetic.
#pragma once

#include <cctype>
#include <cstdint>
#include <string_view>

#include "commands/command.h"

// Case-insensitive comparison of an option word with an upper-case keyword.
inline bool word_is(std::string_view arg, std::string_view upper) {
    if (arg.size() != upper.size()) return false;
    for (size_t i = 0; i < arg.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(arg[i])) != upper[i]) return false;
    }
    return true;
}

// a * b for a deadline or duration, refusing overflow.
inline bool checked_mul(int64_t a, int64_t b, int64_t* out) { return !__builtin_mul_overflow(a, b, out); }
inline bool checked_add(int64_t a, int64_t b, int64_t* out) { return !__builtin_add_overflow(a, b, out); }

// Replies the arity error for the command named by argv[0] in lower case.
inline void reply_arity(Reply& out, const char* lower_name) { reply_arity_error(out, lower_name); }

// "invalid expire time in '<cmd>' command"
void reply_invalid_expire(Reply& out, const char* lower_name);
