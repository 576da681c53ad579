// strings.cpp — the string commands: SET and its relatives, reads, ranges, bits,
// read-and-write commands and the counters.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/command_util.h"
#include "server/aof.h"
#include "server/server.h"

void reply_invalid_expire(const char* lower_name) {
    char msg[128];
    std::snprintf(msg, sizeof(msg), "invalid expire time in '%s' command", lower_name);
    rb_error(msg);
}

namespace {

// Logs a whole-value write as SET key value followed by its absolute deadline.
void log_string_write(std::string_view key, std::string_view value) {
    if (s_aof_fp == nullptr) return;
    aof_write_args({"SET", key, value});
    aof_log_deadline(key);
}

struct SetOptions {
    bool nx = false, xx = false, keepttl = false, get = false;
    bool has_expire = false;
    int64_t deadline_ms = 0;  // absolute, when has_expire
};

// Parses SET's options; replies the error and returns false on a bad request.
bool parse_set_options(const Args& a, SetOptions* o) {
    const int64_t now = dict_now_ms();
    int64_t expire_ms = 0;
    for (int i = 3; i < a.argc; ++i) {
        std::string_view w = a[i];
        bool ex = word_is(w, "EX"), px = word_is(w, "PX"), exat = word_is(w, "EXAT");
        if (ex || px || exat) {
            if (i + 1 >= a.argc) {
                rb_error(kErrSyntax);
                return false;
            }
            int64_t v = 0;
            // A value that does not parse is skipped without error.
            if (parse_strict_ll(a[++i], &v)) {
                o->has_expire = true;
                int64_t ms = 0;
                bool fits = px ? (ms = v, true) : checked_mul(v, 1000, &ms);
                if (!fits) {
                    reply_invalid_expire("set");
                    return false;
                }
                if (exat) {
                    o->deadline_ms = ms;
                    expire_ms = ms - now;
                } else {
                    expire_ms = ms;
                    if (!checked_add(now, ms, &o->deadline_ms)) o->deadline_ms = INT64_MAX;
                }
            }
        } else if (word_is(w, "NX") || word_is(w, "XX") || word_is(w, "KEEPTTL") || word_is(w, "PXTL")) {
            continue;
        } else if (word_is(w, "GET")) {
            o->get = true;
        } else {
            rb_error(kErrSyntax);
            return false;
        }
    }
    if (o->has_expire && expire_ms <= 0) {
        reply_invalid_expire("set");
        return false;
    }
    for (int i = 3; i < a.argc; ++i) {
        std::string_view w = a[i];
        if (word_is(w, "NX")) o->nx = true;
        if (word_is(w, "XX")) o->xx = true;
        if (word_is(w, "KEEPTTL")) o->keepttl = true;
    }
    if (o->nx && o->xx) {
        rb_error(kErrSyntax);
        return false;
    }
    return true;
}

void cmd_set(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("set");
    SetOptions o;
    if (a.argc > 3 && !parse_set_options(a, &o)) return;
    const std::string_view key = a[1], value = a[2];

    std::string old;
    bool have_old = false;
    bool written = false;
    {
        ServerLock lock(s_mutex());
        if (o.get) {
            std::string_view v;
            if (dict_get_string(s_dict, key, &v) == 1) {
                old.assign(v);
                have_old = true;
            }
        }
        int64_t deadline = o.has_expire ? o.deadline_ms : 0;
        if (!o.has_expire && o.keepttl) {
            Entry* e = dict_find_entry(s_dict, key);
            deadline = e ? e->expire_at_ms : 0;
        }
        if (o.nx) {
            written = dict_set_string_ifabsent(s_dict, key, value, deadline) == 1;
        } else if (o.xx) {
            written = dict_set_string_ifexists(s_dict, key, value, deadline) == 1;
        } else {
            written = dict_set_string(s_dict, key, value, deadline) == 0;
        }
        if (written) log_string_write(key, value);
    }
    if (o.get) {
        if (have_old) {
            rb_bulk_sv(old);
        } else {
            rb_null();
        }
    } else if (written) {
        rb_simple("OK");
    } else {
        rb_null();
    }
}

void cmd_setnx(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("setnx");
    ServerLock lock(s_mutex());
    int r = dict_set_string_ifabsent(s_dict, a[1], a[2], 0);
    if (r == 1) aof_log_request(a);
    rb_int(r == 1 ? 1 : 0);
}

// SETEX (seconds) and PSETEX (milliseconds).
void set_with_expiry(const Args& a, const char* lower_name, int64_t unit_ms) {
    if (a.argc < 4) return reply_arity(lower_name);
    int64_t n = 0, ms = 0, deadline = 0;
    if (!parse_strict_ll(a[2], &n) || n <= 0 || !checked_mul(n, unit_ms, &ms) ||
        !checked_add(dict_now_ms(), ms, &deadline)) {
        return reply_invalid_expire(lower_name);
    }
    bool ok;
    {
        ServerLock lock(s_mutex());
        ok = dict_set_string(s_dict, a[1], a[3], deadline) == 0;
        if (ok) log_string_write(a[1], a[3]);
    }
    if (ok) {
        rb_simple("OK");
    } else {
        rb_error("out of memory");
    }
}

void cmd_setex(Client*, const Args& a) { set_with_expiry(a, "setex", 1000); }
void cmd_psetex(Client*, const Args& a) { set_with_expiry(a, "psetex", 1); }

void cmd_mset(Client*, const Args& a) {
    if (a.argc < 3 || a.argc % 2 == 0) return reply_arity("mset");
    ServerLock lock(s_mutex());
    for (int i = 1; i + 1 < a.argc; i += 2) dict_set_string(s_dict, a[i], a[i + 1], 0);
    aof_log_request(a);
    rb_simple("OK");
}

void cmd_msetnx(Client*, const Args& a) {
    if (a.argc < 3 || a.argc % 2 == 0) return reply_arity("msetnx");
    ServerLock lock(s_mutex());
    for (int i = 1; i + 1 < a.argc; i += 2) {
        if (dict_exists(s_dict, a[i])) return rb_int(0);
    }
    for (int i = 1; i + 1 < a.argc; i += 2) dict_set_string(s_dict, a[i], a[i + 1], 0);
    aof_log_request(a);
    rb_int(1);
}

void cmd_append(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("append");
    ServerLock lock(s_mutex());
    int64_t n = dict_append_string(s_dict, a[1], a[2]);
    if (n == -1) return rb_error(kErrWrongType);
    if (n < 0) return rb_error("out of memory");
    aof_log_request(a);
    rb_int(n);
}

void cmd_setrange(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("setrange");
    int64_t offset = 0;
    if (!parse_strict_ll(a[2], &offset) || offset < 0) return rb_error("offset is out of range");
    if (offset > INT32_MAX) return rb_error("string exceeds maximum allowed size (proto-max-bulk-len)");
    ServerLock lock(s_mutex());
    int64_t n = dict_setrange(s_dict, a[1], offset, a[3]);
    if (n == -1) return rb_error(kErrWrongType);
    if (n == -3) return rb_error("offset is out of range");
    if (n < 0) return rb_error("string exceeds maximum allowed size (proto-max-bulk-len)");
    if (n > 0) aof_log_request(a);
    rb_int(n);
}

constexpr const char* kErrBitOffset = "bit offset is not an integer or out of range";
constexpr const char* kErrBitValue = "bit is not an integer or out of range";

bool parse_bit_offset(std::string_view text, int64_t* offset) {
    return parse_strict_ll(text, offset) && *offset >= 0 && *offset <= INT32_MAX;
}

void cmd_setbit(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("setbit");
    int64_t offset = 0;
    if (!parse_bit_offset(a[2], &offset)) return rb_error(kErrBitOffset);
    if (a[3] != "0" && a[3] != "1") return rb_error(kErrBitValue);
    ServerLock lock(s_mutex());
    int old = 0;
    int r = dict_setbit(s_dict, a[1], offset, a[3] == "1", &old);
    if (r == -1) return rb_error(kErrWrongType);
    if (r != 0) return rb_error(kErrBitOffset);
    aof_log_request(a);
    rb_int(old);
}

// Replies the string stored at key, or nil. The view points into the keyspace,
// so the caller holds the lock while this encodes it.
void reply_stored_string(std::string_view key) {
    std::string_view v;
    if (dict_get_string(s_dict, key, &v) == 1) {
        rb_bulk_sv(v);
    } else {
        rb_null();
    }
}

void cmd_get(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("get");
    ServerLock lock(s_mutex());
    reply_stored_string(a[1]);
}

void cmd_mget(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("mget");
    ServerLock lock(s_mutex());
    for (int i = 1; i < a.argc; ++i) {
        uint32_t t = dict_key_type(s_dict, a[i]);
        if (t != KEY_TYPE_NONE && t != KEY_TYPE_STRING) return rb_error(kErrWrongType);
    }
    rb_arr_hdr(a.argc - 1);
    for (int i = 1; i < a.argc; ++i) reply_stored_string(a[i]);
}

void cmd_strlen(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("strlen");
    ServerLock lock(s_mutex());
    int64_t n = dict_strlen(s_dict, a[1]);
    if (n == -2) return rb_error(kErrWrongType);
    rb_int(n < 0 ? 0 : n);
}

void getrange_common(const Args& a, const char* lower_name) {
    if (a.argc < 4) return reply_arity(lower_name);
    int64_t start = 0, end = 0;
    if (!parse_strict_ll(a[2], &start) || !parse_strict_ll(a[3], &end)) return rb_error(kErrNotInteger);
    std::string out;
    {
        ServerLock lock(s_mutex());
        if (dict_getrange(s_dict, a[1], start, end, &out) == -1) return rb_error(kErrWrongType);
    }
    rb_bulk_sv(out);
}

void cmd_getrange(Client*, const Args& a) { getrange_common(a, "getrange"); }
void cmd_substr(Client*, const Args& a) { getrange_common(a, "substr"); }

void cmd_getbit(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("getbit");
    int64_t offset = 0;
    if (!parse_bit_offset(a[2], &offset)) return rb_error(kErrBitOffset);
    ServerLock lock(s_mutex());
    int bit = 0;
    int r = dict_getbit(s_dict, a[1], offset, &bit);
    if (r == -1) return rb_error(kErrWrongType);
    if (r != 0) return rb_error(kErrBitOffset);
    rb_int(bit);
}

// BIT or BYTE at argv[i]; false (syntax error replied) for any other word.
bool parse_bit_units(const Args& a, int i, bool* bit_units) {
    if (word_is(a[i], "BIT")) {
        *bit_units = true;
    } else if (word_is(a[i], "BYTE")) {
        *bit_units = false;
    } else {
        rb_error(kErrSyntax);
        return false;
    }
    return true;
}

void cmd_bitcount(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("bitcount");
    int64_t start = 0, end = -1;
    bool range = a.argc >= 4, bit_units = false;
    if (range && (!parse_strict_ll(a[2], &start) || !parse_strict_ll(a[3], &end))) return rb_error(kErrNotInteger);
    if (a.argc >= 5 && !parse_bit_units(a, 4, &bit_units)) return;
    ServerLock lock(s_mutex());
    int64_t n = dict_bitcount(s_dict, a[1], start, end, range, bit_units);
    if (n < 0) return rb_error(kErrWrongType);
    rb_int(n);
}

void cmd_bitpos(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("bitpos");
    if (a[2] != "0" && a[2] != "1") return rb_error(kErrBitValue);
    int64_t start = 0, end = -1;
    bool bit_units = false;
    if (a.argc >= 4 && !parse_strict_ll(a[3], &start)) return rb_error(kErrNotInteger);
    if (a.argc >= 5 && !parse_strict_ll(a[4], &end)) return rb_error(kErrNotInteger);
    if (a.argc >= 6 && !parse_bit_units(a, 5, &bit_units)) return;
    ServerLock lock(s_mutex());
    int64_t n = dict_bitpos(s_dict, a[1], a[2] == "1", start, end, a.argc >= 4, bit_units);
    if (n == -2) return rb_error(kErrWrongType);
    rb_int(n);
}

void cmd_getset(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("getset");
    std::string old;
    int r;
    {
        ServerLock lock(s_mutex());
        r = dict_get_string_replace(s_dict, a[1], a[2], &old);
        if (r == 0 || r == 1) aof_log_request(a);
    }
    if (r == -1) return rb_error(kErrWrongType);
    if (r < 0) return rb_error("out of memory");
    if (r == 1) {
        rb_bulk_sv(old);
    } else {
        rb_null();
    }
}

void cmd_getdel(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("getdel");
    std::string old;
    int r;
    {
        ServerLock lock(s_mutex());
        r = dict_set_getdel(s_dict, a[1], &old);
        if (r == 1) aof_log_request(a);
    }
    if (r == 1) {
        rb_bulk_sv(old);
    } else {
        rb_null();
    }
}

void cmd_getex(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("getex");
    enum { Keep, SetExpiry, Persist } mode = Keep;
    int64_t ms = 0;
    for (int i = 2; i < a.argc; ++i) {
        std::string_view w = a[i];
        bool ex = word_is(w, "EX"), px = word_is(w, "PX");
        if (ex || px) {
            if (i + 1 >= a.argc) return rb_error(kErrSyntax);
            int64_t v = 0;
            if (parse_strict_ll(a[++i], &v)) {
                mode = SetExpiry;
                if (px) {
                    ms = v;
                } else if (!checked_mul(v, 1000, &ms)) {
                    return reply_invalid_expire("getex");
                }
            }
        } else if (word_is(w, "PERSIST")) {
            mode = Persist;
        } else {
            return rb_error(kErrSyntax);
        }
    }
    int64_t deadline = 0;
    if (mode == SetExpiry && (ms <= 0 || !checked_add(dict_now_ms(), ms, &deadline))) {
        return reply_invalid_expire("getex");
    }
    std::string value;
    bool found = false;
    {
        ServerLock lock(s_mutex());
        std::string_view v;
        if (dict_get_string(s_dict, a[1], &v) == 1) {
            found = true;
            value.assign(v);
            if (mode == SetExpiry) {
                dict_expire_at_ms(s_dict, a[1], deadline);
                aof_log_deadline(a[1]);
            } else if (mode == Persist && dict_persist(s_dict, a[1]) == 1) {
                aof_write_args({"PERSIST", a[1]});
            }
        }
    }
    if (found) {
        rb_bulk_sv(value);
    } else {
        rb_null();
    }
}

// Reads a stored counter the way the C library's base-10 conversion does:
// leading blanks and a sign, digits to the end, saturating at the 64-bit range.
bool parse_stored_integer(std::string_view text, int64_t* out) {
    if (text.empty()) {
        *out = 0;
        return true;
    }
    std::string copy(text);
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(copy.c_str(), &end, 10);
    if (end == copy.c_str() || end != copy.c_str() + copy.size()) return false;
    *out = v;
    return true;
}

void cmd_incr_family(Client*, const Args& a) {
    char upper[64];
    size_t n = strnlen(a.argv[0], sizeof(upper) - 1);
    for (size_t i = 0; i < n; ++i) upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(a.argv[0][i])));
    upper[n] = '\0';
    if (a.argc != 2 && a.argc != 3) {
        char msg[128];
        std::snprintf(msg, sizeof(msg), "wrong number of arguments for '%s' command", upper);
        return rb_error(msg);
    }
    int64_t delta = 1;
    if (a.argc == 3 && !parse_strict_ll(a[2], &delta)) return rb_error(kErrNotInteger);
    if (upper[0] != 'I') {
        if (delta == INT64_MIN) return rb_error("increment or decrement would overflow");
        delta = -delta;
    }
    ServerLock lock(s_mutex());
    std::string_view v;
    int found = dict_get_string(s_dict, a[1], &v);
    if (found == -1) return rb_error(kErrWrongType);
    int64_t current = 0, sum = 0;
    if (found == 1 && !parse_stored_integer(v, &current)) return rb_error(kErrNotInteger);
    if (!checked_add(current, delta, &sum)) return rb_error("increment or decrement would overflow");
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRId64, sum);
    if (dict_set_string(s_dict, a[1], text, 0) != 0) return rb_error("out of memory");
    aof_log_request(a);
    rb_int(sum);
}

void cmd_incrbyfloat(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("incrbyfloat");
    double inc = 0;
    if (!parse_strict_float(a[2], &inc)) return rb_error("value is not a valid float");
    double sum = 0;
    {
        ServerLock lock(s_mutex());
        std::string_view v;
        int found = dict_get_string(s_dict, a[1], &v);
        if (found == -1) return rb_error(kErrWrongType);
        double current = 0;
        if (found == 1 && !v.empty()) {
            // Like the C conversion without a check for trailing text: "abc" reads as 0.
            current = std::strtod(std::string(v).c_str(), nullptr);
            if (!std::isfinite(current)) return rb_error("value is not a valid float");
        }
        sum = current + inc;
        if (!std::isfinite(sum)) return rb_error("increment would produce NaN or Infinity");
        char text[64];
        std::snprintf(text, sizeof(text), "%.17g", sum);
        if (dict_set_string(s_dict, a[1], text, 0) != 0) return rb_error("out of memory");
        aof_log_request(a);
    }
    send_float_reply(sum);
}

const CommandRegistrar registrar({
    {"SET", cmd_set},
    {"SETNX", cmd_setnx},
    {"SETEX", cmd_setex},
    {"PSETEX", cmd_psetex},
    {"MSET", cmd_mset},
    {"MSETNX", cmd_msetnx},
    {"APPEND", cmd_append},
    {"SETRANGE", cmd_setrange},
    {"SETBIT", cmd_setbit},
    {"GET", cmd_get},
    {"MGET", cmd_mget},
    {"STRLEN", cmd_strlen},
    {"GETRANGE", cmd_getrange},
    {"SUBSTR", cmd_substr},
    {"GETBIT", cmd_getbit},
    {"BITCOUNT", cmd_bitcount},
    {"BITPOS", cmd_bitpos},
    {"GETSET", cmd_getset},
    {"GETDEL", cmd_getdel},
    {"GETEX", cmd_getex},
    {"INCR", cmd_incr_family},
    {"DECR", cmd_incr_family},
    {"INCRBY", cmd_incr_family},
    {"DECRBY", cmd_incr_family},
    {"INCRBYFLOAT", cmd_incrbyfloat},
});

}  // namespace
