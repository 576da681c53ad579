// strings.cpp — the string commands: SET and its relatives, reads, ranges, bits
// (with BITOP), read-and-write commands and the counters.
//
// Logging: the dispatcher logs a writing command as its request when the
// keyspace changed while it ran. The handlers here state their records where
// that rule would log something else: SET, SETEX, PSETEX and GETEX log rewritten
// records (SET plus an absolute deadline, PERSIST); MSET, MSETNX, APPEND,
// SETRANGE and SETBIT log their request on success even when nothing changed;
// and every path that logs nothing says so, because a key found expired on the
// way (removed there and then) or a failed allocation counts as a change.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/command_util.h"
#include "server/server.h"

void reply_invalid_expire(Reply& out, const char* lower_name) {
    char msg[128];
    std::snprintf(msg, sizeof(msg), "invalid expire time in '%s' command", lower_name);
    out.error(msg);
}

namespace {

// Logs a whole-value write as SET key value followed by its absolute deadline;
// a SET request keeps its name as the client sent it.
void log_string_write(Call& call, std::string_view key, std::string_view value) {
    const std::string_view name = call.args[0];
    const bool is_set = name.size() == 3 && (name[0] | 0x20) == 's' && (name[1] | 0x20) == 'e' && (name[2] | 0x20) == 't';
    call.log({is_set ? name : std::string_view("SET"), key, value});
    call.log_deadline(key);
}

struct SetOptions {
    bool nx = false, xx = false, keepttl = false, get = false;
    bool has_expire = false;
    int64_t deadline_ms = 0;  // absolute, when has_expire
};

// Parses SET's options (relative times count from now); replies the error and
// returns false on a bad request.
bool parse_set_options(Reply& out, const Args& a, int64_t now, SetOptions* o) {
    int64_t expire_ms = 0;
    for (int i = 3; i < a.argc; ++i) {
        std::string_view w = a[i];
        bool ex = word_is(w, "EX"), px = word_is(w, "PX"), exat = word_is(w, "EXAT");
        if (ex || px || exat) {
            if (i + 1 >= a.argc) {
                out.error(kErrSyntax);
                return false;
            }
            int64_t v = 0;
            // A value that does not parse is skipped without error.
            if (parse_strict_ll(a[++i], &v)) {
                o->has_expire = true;
                int64_t ms = 0;
                bool fits = px ? (ms = v, true) : checked_mul(v, 1000, &ms);
                if (!fits) {
                    reply_invalid_expire(out, "set");
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
            out.error(kErrSyntax);
            return false;
        }
    }
    if (o->has_expire && expire_ms <= 0) {
        reply_invalid_expire(out, "set");
        return false;
    }
    for (int i = 3; i < a.argc; ++i) {
        std::string_view w = a[i];
        if (word_is(w, "NX")) o->nx = true;
        if (word_is(w, "XX")) o->xx = true;
        if (word_is(w, "KEEPTTL")) o->keepttl = true;
    }
    if (o->nx && o->xx) {
        out.error(kErrSyntax);
        return false;
    }
    return true;
}

void cmd_set(Call& call, const Args& a) {
    Reply& out = call.out;
    SetOptions o;
    if (a.argc > 3 && !parse_set_options(out, a, dict_now_ms(call.ks), &o)) return;
    const std::string_view key = a[1], value = a[2];

    // The old value is copied: the write below invalidates the keyspace's view.
    std::string old;
    bool have_old = false;
    if (key.empty()) return out.error(kErrEmptyKey);
    if (o.get) {
        // A whole-value write replaces a key of any type; the old value of a key
        // of another type reads as none.
        std::string_view v;
        if (dict_get_string(call.ks, key, &v) == DictStatus::Ok) {
            old.assign(v);
            have_old = true;
        }
    }
    int64_t deadline = o.has_expire ? o.deadline_ms : 0;
    if (!o.has_expire && o.keepttl) {
        Entry* e = dict_find_entry(call.ks, key);
        deadline = e ? entry_deadline(call.ks, e) : 0;
    }
    // NX and XX leave an existing or a missing key alone; any other failure is
    // a failed allocation, never a quiet "not set".
    DictStatus r;
    if (o.nx) {
        r = dict_set_string_ifabsent(call.ks, key, value, deadline);
    } else if (o.xx) {
        r = dict_set_string_ifexists(call.ks, key, value, deadline);
    } else {
        r = dict_set_string(call.ks, key, value, deadline);
    }
    if (r != DictStatus::Ok && r != DictStatus::Exists && r != DictStatus::Missing) {
        call.log_nothing();
        return out.error(kErrOutOfMemory);
    }
    const bool written = r == DictStatus::Ok;
    if (written) {
        log_string_write(call, key, value);
    } else {
        call.log_nothing();
    }
    if (o.get) {
        if (have_old) {
            out.bulk(old);
        } else {
            out.null();
        }
    } else if (written) {
        out.simple("OK");
    } else {
        out.null();
    }
}

// Logged as its request (by the dispatcher) when the key was created.
void cmd_setnx(Call& call, const Args& a) {
    const bool set = dict_set_string_ifabsent(call.ks, a[1], a[2], 0) == DictStatus::Ok;
    if (!set) call.log_nothing();
    call.out.integer(set ? 1 : 0);
}

// SETEX (seconds) and PSETEX (milliseconds).
void set_with_expiry(Call& call, const Args& a, const char* lower_name, int64_t unit_ms) {
    int64_t n = 0, ms = 0, deadline = 0;
    if (!parse_strict_ll(a[2], &n) || n <= 0 || !checked_mul(n, unit_ms, &ms) ||
        !checked_add(dict_now_ms(call.ks), ms, &deadline)) {
        return reply_invalid_expire(call.out, lower_name);
    }
    if (dict_set_string(call.ks, a[1], a[3], deadline) == DictStatus::Ok) {
        log_string_write(call, a[1], a[3]);
        call.out.simple("OK");
    } else {
        call.log_nothing();
        call.out.error(kErrOutOfMemory);
    }
}

void cmd_setex(Call& call, const Args& a) { set_with_expiry(call, a, "setex", 1000); }
void cmd_psetex(Call& call, const Args& a) { set_with_expiry(call, a, "psetex", 1); }

// The table checks argc >= 3; an even count (a key without a value) is refused here.
// True when some key of the pairs a[1], a[3], ... is empty; nothing is written then.
bool any_empty_key(const Args& a) {
    for (int i = 1; i + 1 < a.argc; i += 2) {
        if (a[i].empty()) return true;
    }
    return false;
}

// A failed allocation stops the writes: the pairs written before it stay and are
// logged as an MSET of just those pairs, and the client is told of the failure.
void cmd_mset(Call& call, const Args& a) {
    if (a.argc % 2 == 0) return reply_arity(call.out, "mset");
    if (any_empty_key(a)) return call.out.error(kErrEmptyKey);
    for (int i = 1; i + 1 < a.argc; i += 2) {
        if (dict_set_string(call.ks, a[i], a[i + 1], 0) != DictStatus::Ok) {
            if (i > 1) {
                call.log_request_prefix(i);
            } else {
                call.log_nothing();
            }
            return call.out.error(kErrOutOfMemory);
        }
    }
    call.log_request();
    call.out.simple("OK");
}

// The table checks argc >= 3; an even count (a key without a value) is refused here.
void cmd_msetnx(Call& call, const Args& a) {
    if (a.argc % 2 == 0) return reply_arity(call.out, "msetnx");
    for (int i = 1; i + 1 < a.argc; i += 2) {
        if (dict_exists(call.ks, a[i]) == DictStatus::Ok) {
            call.log_nothing();
            return call.out.integer(0);
        }
    }
    if (any_empty_key(a)) return call.out.error(kErrEmptyKey);
    for (int i = 1; i + 1 < a.argc; i += 2) {
        if (dict_set_string(call.ks, a[i], a[i + 1], 0) != DictStatus::Ok) {
            // All or nothing: the keys this call made (all were missing) go again.
            for (int j = 1; j < i; j += 2) dict_del(call.ks, a[j]);
            call.log_nothing();
            return call.out.error(kErrOutOfMemory);
        }
    }
    call.log_request();
    call.out.integer(1);
}

void cmd_append(Call& call, const Args& a) {
    const DictCount n = dict_append_string(call.ks, a[1], a[2]);
    if (!n.ok()) {
        call.log_nothing();
        return call.out.error(n.status == DictStatus::WrongType ? kErrWrongType : kErrOutOfMemory);
    }
    call.log_request();
    call.out.integer(n.value);
}

void cmd_setrange(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t offset = 0;
    if (!parse_strict_ll(a[2], &offset) || offset < 0) return out.error("offset is out of range");
    if (offset > INT32_MAX) return out.error("string exceeds maximum allowed size (proto-max-bulk-len)");
    const DictCount n = dict_setrange(call.ks, a[1], offset, a[3]);
    // Logged as the request whenever the new length is positive, even when the
    // bytes written equal the ones they replace.
    if (n.ok() && n.value > 0) {
        call.log_request();
    } else {
        call.log_nothing();
    }
    if (n.status == DictStatus::WrongType) return out.error(kErrWrongType);
    if (n.status == DictStatus::OutOfRange) return out.error("offset is out of range");
    if (n.status == DictStatus::NoMemory) return out.error(kErrOutOfMemory);
    if (!n.ok()) return out.error("string exceeds maximum allowed size (proto-max-bulk-len)");
    out.integer(n.value);
}

constexpr const char* kErrBitOffset = "bit offset is not an integer or out of range";
constexpr const char* kErrBitValue = "bit is not an integer or out of range";

bool parse_bit_offset(std::string_view text, int64_t* offset) {
    return parse_strict_ll(text, offset) && *offset >= 0 && *offset <= INT32_MAX;
}

void cmd_setbit(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t offset = 0;
    if (!parse_bit_offset(a[2], &offset)) return out.error(kErrBitOffset);
    if (a[3] != "0" && a[3] != "1") return out.error(kErrBitValue);
    int old = 0;
    const DictStatus r = dict_setbit(call.ks, a[1], offset, a[3] == "1", &old);
    if (r != DictStatus::Ok) {
        call.log_nothing();
        if (r == DictStatus::WrongType) return out.error(kErrWrongType);
        return out.error(r == DictStatus::NoMemory ? kErrOutOfMemory : kErrBitOffset);
    }
    call.log_request();
    out.integer(old);
}

// Replies the string stored at key, or nil. The view points into the keyspace
// and is encoded at once.
void reply_stored_string(Call& call, std::string_view key) {
    std::string_view v;
    if (dict_get_string(call.ks, key, &v) == DictStatus::Ok) {
        call.out.bulk(v);
    } else {
        call.out.null();
    }
}

void cmd_get(Call& call, const Args& a) { reply_stored_string(call, a[1]); }

void cmd_mget(Call& call, const Args& a) {
    for (int i = 1; i < a.argc; ++i) {
        uint32_t t = dict_key_type(call.ks, a[i]);
        if (t != KEY_TYPE_NONE && t != KEY_TYPE_STRING) return call.out.error(kErrWrongType);
    }
    call.out.array(a.argc - 1);
    for (int i = 1; i < a.argc; ++i) reply_stored_string(call, a[i]);
}

void cmd_strlen(Call& call, const Args& a) {
    const DictCount n = dict_strlen(call.ks, a[1]);
    if (n.status == DictStatus::WrongType) return call.out.error(kErrWrongType);
    call.out.integer(n.ok() ? n.value : 0);
}

// GETRANGE and its older name SUBSTR.
void cmd_getrange(Call& call, const Args& a) {
    int64_t start = 0, end = 0;
    if (!parse_strict_ll(a[2], &start) || !parse_strict_ll(a[3], &end)) return call.out.error(kErrNotInteger);
    std::string range;
    if (dict_getrange(call.ks, a[1], start, end, &range) == DictStatus::WrongType) return call.out.error(kErrWrongType);
    call.out.bulk(range);
}

void cmd_getbit(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t offset = 0;
    if (!parse_bit_offset(a[2], &offset)) return out.error(kErrBitOffset);
    int bit = 0;
    const DictStatus r = dict_getbit(call.ks, a[1], offset, &bit);
    if (r == DictStatus::WrongType) return out.error(kErrWrongType);
    if (r != DictStatus::Ok) return out.error(kErrBitOffset);
    out.integer(bit);
}

// BIT or BYTE at argv[i]; false (syntax error replied) for any other word.
bool parse_bit_units(Reply& out, const Args& a, int i, bool* bit_units) {
    if (word_is(a[i], "BIT")) {
        *bit_units = true;
    } else if (word_is(a[i], "BYTE")) {
        *bit_units = false;
    } else {
        out.error(kErrSyntax);
        return false;
    }
    return true;
}

void cmd_bitcount(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t start = 0, end = -1;
    bool range = a.argc >= 4, bit_units = false;
    if (range && (!parse_strict_ll(a[2], &start) || !parse_strict_ll(a[3], &end))) return out.error(kErrNotInteger);
    if (a.argc >= 5 && !parse_bit_units(out, a, 4, &bit_units)) return;
    const DictCount n = dict_bitcount(call.ks, a[1], start, end, range, bit_units);
    if (!n.ok()) return out.error(kErrWrongType);
    out.integer(n.value);
}

void cmd_bitpos(Call& call, const Args& a) {
    Reply& out = call.out;
    if (a[2] != "0" && a[2] != "1") return out.error(kErrBitValue);
    int64_t start = 0, end = -1;
    bool bit_units = false;
    if (a.argc >= 4 && !parse_strict_ll(a[3], &start)) return out.error(kErrNotInteger);
    if (a.argc >= 5 && !parse_strict_ll(a[4], &end)) return out.error(kErrNotInteger);
    if (a.argc >= 6 && !parse_bit_units(out, a, 5, &bit_units)) return;
    const DictCount n = dict_bitpos(call.ks, a[1], a[2] == "1", start, end, a.argc >= 4, bit_units);
    if (!n.ok()) return out.error(kErrWrongType);
    out.integer(n.value);
}

// Logged as its request (by the dispatcher) when the value was replaced or created.
void cmd_getset(Call& call, const Args& a) {
    Reply& out = call.out;
    std::string old;
    const DictStatus r = dict_get_string_replace(call.ks, a[1], a[2], &old);
    if (r != DictStatus::Ok && r != DictStatus::Missing) call.log_nothing();
    if (r == DictStatus::WrongType) return out.error(kErrWrongType);
    if (r == DictStatus::NoMemory) return out.error(kErrOutOfMemory);
    if (r == DictStatus::Ok) {
        out.bulk(old);
    } else {
        out.null();
    }
}

// Logged as its request (by the dispatcher) when the key was deleted.
void cmd_getdel(Call& call, const Args& a) {
    std::string old;
    if (dict_set_getdel(call.ks, a[1], &old) == DictStatus::Ok) {
        call.out.bulk(old);
    } else {
        call.log_nothing();
        call.out.null();
    }
}

void cmd_getex(Call& call, const Args& a) {
    Reply& out = call.out;
    enum { Keep, SetExpiry, Persist } mode = Keep;
    int64_t ms = 0;
    for (int i = 2; i < a.argc; ++i) {
        std::string_view w = a[i];
        bool ex = word_is(w, "EX"), px = word_is(w, "PX");
        if (ex || px) {
            if (i + 1 >= a.argc) return out.error(kErrSyntax);
            int64_t v = 0;
            if (parse_strict_ll(a[++i], &v)) {
                mode = SetExpiry;
                if (px) {
                    ms = v;
                } else if (!checked_mul(v, 1000, &ms)) {
                    return reply_invalid_expire(out, "getex");
                }
            }
        } else if (word_is(w, "PERSIST")) {
            mode = Persist;
        } else {
            return out.error(kErrSyntax);
        }
    }
    int64_t deadline = 0;
    if (mode == SetExpiry && (ms <= 0 || !checked_add(dict_now_ms(call.ks), ms, &deadline))) {
        return reply_invalid_expire(out, "getex");
    }
    // A new deadline is logged as an absolute PEXPIREAT, a removed one as
    // PERSIST key; anything else logs nothing.
    std::string value;
    bool found = false;
    bool logged = false;
    std::string_view v;
    if (dict_get_string(call.ks, a[1], &v) == DictStatus::Ok) {
        found = true;
        value.assign(v);
        if (mode == SetExpiry) {
            dict_expire_at_ms(call.ks, a[1], deadline);
            call.log_deadline(a[1]);
            logged = true;
        } else if (mode == Persist && dict_persist(call.ks, a[1]) == DictStatus::Ok) {
            call.log({"PERSIST", a[1]});
            logged = true;
        }
    }
    if (!logged) call.log_nothing();
    if (found) {
        out.bulk(value);
    } else {
        out.null();
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

// INCR, INCRBY, DECR, DECRBY: each takes an optional delta (argc 2 or 3, checked
// by the table). Logged as the request (by the dispatcher) once the sum is stored.
void incr_by(Call& call, const Args& a, bool decrement) {
    Reply& out = call.out;
    int64_t delta = 1;
    if (a.argc == 3 && !parse_strict_ll(a[2], &delta)) return out.error(kErrNotInteger);
    if (decrement) {
        if (delta == INT64_MIN) return out.error("increment or decrement would overflow");
        delta = -delta;
    }
    // Every failure below logs nothing, even after a lookup removed an expired key.
    std::string_view v;
    const DictStatus found = dict_get_string(call.ks, a[1], &v);
    if (found == DictStatus::WrongType) {
        call.log_nothing();
        return out.error(kErrWrongType);
    }
    int64_t current = 0, sum = 0;
    if (found == DictStatus::Ok && !parse_stored_integer(v, &current)) {
        call.log_nothing();
        return out.error(kErrNotInteger);
    }
    if (!checked_add(current, delta, &sum)) {
        call.log_nothing();
        return out.error("increment or decrement would overflow");
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRId64, sum);
    if (dict_set_string(call.ks, a[1], text, 0) != DictStatus::Ok) {
        call.log_nothing();
        return out.error(kErrOutOfMemory);
    }
    out.integer(sum);
}

void cmd_incr(Call& call, const Args& a) { incr_by(call, a, false); }
void cmd_decr(Call& call, const Args& a) { incr_by(call, a, true); }

// Logged as the request (by the dispatcher) once the sum is stored.
void cmd_incrbyfloat(Call& call, const Args& a) {
    Reply& out = call.out;
    double inc = 0;
    if (!parse_strict_float(a[2], &inc)) return out.error("value is not a valid float");
    // Every failure below logs nothing, even after a lookup removed an expired key.
    std::string_view v;
    const DictStatus found = dict_get_string(call.ks, a[1], &v);
    if (found == DictStatus::WrongType) {
        call.log_nothing();
        return out.error(kErrWrongType);
    }
    double current = 0;
    if (found == DictStatus::Ok && !v.empty()) {
        // Like the C conversion without a check for trailing text: "abc" reads as 0.
        current = std::strtod(std::string(v).c_str(), nullptr);
        if (!std::isfinite(current)) {
            call.log_nothing();
            return out.error("value is not a valid float");
        }
    }
    double sum = current + inc;
    if (!std::isfinite(sum)) {
        call.log_nothing();
        return out.error("increment would produce NaN or Infinity");
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.17g", sum);
    if (dict_set_string(call.ks, a[1], text, 0) != DictStatus::Ok) {
        call.log_nothing();
        return out.error(kErrOutOfMemory);
    }
    // The stored text, as a bulk string in both protocols.
    out.bulk(std::string_view(text));
}

// The counters' arity errors name the command in upper case.
constexpr const char* kIncrArity = "wrong number of arguments for 'INCR' command";
constexpr const char* kDecrArity = "wrong number of arguments for 'DECR' command";
constexpr const char* kIncrByArity = "wrong number of arguments for 'INCRBY' command";
constexpr const char* kDecrByArity = "wrong number of arguments for 'DECRBY' command";

// BITOP AND|OR|XOR|NOT destkey key ...: the result is as long as the longest
// source (missing keys and short sources read as zero bytes); an empty result
// deletes destkey. Linear in the sources. The request replays to the same value,
// so the dispatcher logs it as received when the keyspace changed.
void cmd_bitop(Call& call, const Args& a) {
    Reply& out = call.out;
    const std::string_view op = a[1];
    const bool is_and = word_is(op, "AND"), is_or = word_is(op, "OR"), is_xor = word_is(op, "XOR");
    const bool is_not = word_is(op, "NOT");
    if (!is_and && !is_or && !is_xor && !is_not) return out.error(kErrSyntax);
    if (is_not && a.argc != 4) return out.error("BITOP NOT must be called with a single source key.");
    std::vector<std::string> sources;
    size_t longest = 0;
    for (int i = 3; i < a.argc; ++i) {
        std::string_view v;
        const DictStatus r = dict_get_string(call.ks, a[i], &v);
        if (r == DictStatus::WrongType) return out.error(kErrWrongType);
        sources.emplace_back(r == DictStatus::Ok ? v : std::string_view());
        longest = std::max(longest, sources.back().size());
    }
    std::string result(longest, '\0');
    for (size_t pos = 0; pos < longest; ++pos) {
        auto byte = [&](const std::string& s) { return pos < s.size() ? static_cast<unsigned char>(s[pos]) : 0u; };
        unsigned acc = byte(sources[0]);
        if (is_not) acc = ~acc;
        for (size_t k = 1; k < sources.size(); ++k) {
            const unsigned b = byte(sources[k]);
            acc = is_and ? (acc & b) : is_or ? (acc | b) : (acc ^ b);
        }
        result[pos] = static_cast<char>(acc & 0xffu);
    }
    if (longest == 0) {
        dict_del(call.ks, a[2]);
    } else if (dict_set_string(call.ks, a[2], result, 0) != DictStatus::Ok) {
        return out.error(kErrOutOfMemory);
    }
    out.integer(static_cast<long long>(longest));
}

const CommandRegistrar registrar({
    {"BITOP", 4, -1, kCmdWrite, cmd_bitop},
    {"SET", 3, -1, kCmdWrite, cmd_set},
    {"SETNX", 3, -1, kCmdWrite, cmd_setnx},
    {"SETEX", 4, -1, kCmdWrite, cmd_setex},
    {"PSETEX", 4, -1, kCmdWrite, cmd_psetex},
    {"MSET", 3, -1, kCmdWrite, cmd_mset},
    {"MSETNX", 3, -1, kCmdWrite, cmd_msetnx},
    {"APPEND", 3, -1, kCmdWrite, cmd_append},
    {"SETRANGE", 4, -1, kCmdWrite, cmd_setrange},
    {"SETBIT", 4, -1, kCmdWrite, cmd_setbit},
    {"GET", 2, -1, 0, cmd_get},
    {"MGET", 2, -1, 0, cmd_mget},
    {"STRLEN", 2, -1, 0, cmd_strlen},
    {"GETRANGE", 4, -1, 0, cmd_getrange},
    {"SUBSTR", 4, -1, 0, cmd_getrange},
    {"GETBIT", 3, -1, 0, cmd_getbit},
    {"BITCOUNT", 2, -1, 0, cmd_bitcount},
    {"BITPOS", 3, -1, 0, cmd_bitpos},
    {"GETSET", 3, -1, kCmdWrite, cmd_getset},
    {"GETDEL", 2, -1, kCmdWrite, cmd_getdel},
    {"GETEX", 2, -1, kCmdWrite, cmd_getex},
    {"INCR", 2, 3, kCmdWrite, cmd_incr, kIncrArity},
    {"DECR", 2, 3, kCmdWrite, cmd_decr, kDecrArity},
    {"INCRBY", 2, 3, kCmdWrite, cmd_incr, kIncrByArity},
    {"DECRBY", 2, 3, kCmdWrite, cmd_decr, kDecrByArity},
    {"INCRBYFLOAT", 3, -1, kCmdWrite, cmd_incrbyfloat},
});

}  // namespace
