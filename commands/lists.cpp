// lists.cpp — the list commands: pushes, pops single, counted, multi-key and
// blocking, moves (LMOVE, RPOPLPUSH and their blocking forms), reads, in-place
// edits, trimming, removal, insertion and search.
//
// Numeric arguments are parsed as 64-bit and clamped to the signed 32-bit range,
// which changes no result since no list comes near 2^31 elements. Pops and moves
// that are not a request's own form (blocking forms, LMPOP, RPOPLPUSH, hand-overs
// to parked clients) are logged as LPOP/RPOP or LMOVE of the key, so a replay
// removes the same elements.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/blocking.h"
#include "commands/command_util.h"

namespace {

int64_t clamp32(int64_t v) { return v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v; }

// A strict integer argument, clamped; false (error replied) when it does not parse.
bool parse_int_arg(Reply& out, std::string_view text, int64_t* value) {
    if (!parse_strict_ll(text, value)) {
        out.error(kErrNotInteger);
        return false;
    }
    *value = clamp32(*value);
    return true;
}

void reply_elements(Reply& out, const PoppedElements& p) {
    out.array(static_cast<long long>(p.size()));
    for (size_t i = 0; i < p.size(); ++i) out.bulk(p[i]);
}

// States the record of a pop that is not the request's own form; count_text is
// empty for one element.
void log_pop(Call& call, bool from_head, std::string_view key, std::string_view count_text = {}) {
    const char* name = from_head ? "LPOP" : "RPOP";
    if (count_text.empty()) {
        call.log({name, key});
    } else {
        call.log({name, key, count_text});
    }
}

DictStatus pop_one(Keyspace* ks, bool from_head, std::string_view key, PoppedElements* got) {
    return from_head ? dict_lpop(ks, key, got) : dict_rpop(ks, key, got);
}

// ---- Pushes -----------------------------------------------------------------

void push_common(Call& call, const Args& a, bool at_head, bool only_existing) {
    Reply& out = call.out;
    // Every record is stated below (nothing when no element went in), whatever
    // else the keyspace saw while the command ran.
    call.log_nothing();
    int64_t length = 0;
    DictCount result;
    int pushed = 0;
    for (int i = 2; i < a.argc; ++i) {
        if (only_existing) {
            result = at_head ? dict_lpushx(call.ks, a[1], a[i]) : dict_rpushx(call.ks, a[1], a[i]);
        } else {
            result = at_head ? dict_lpush(call.ks, a[1], a[i]) : dict_rpush(call.ks, a[1], a[i]);
        }
        // Missing: the x form found no list, and none can appear within this command.
        if (!result.ok()) break;
        length = result.value;
        pushed++;
    }
    // After a failure part way, only the elements that went in are logged; the
    // dispatcher then serves parked clients, whose pops follow the push record.
    if (pushed > 0) call.log_request_prefix(2 + pushed);
    if (result.status == DictStatus::WrongType) return out.error(kErrWrongType);
    if (result.status == DictStatus::Invalid) return out.error(kErrEmptyKey);
    if (result.status == DictStatus::NoMemory) return out.error(kErrOutOfMemory);
    out.integer(length);
}

void cmd_lpush(Call& call, const Args& a) { push_common(call, a, true, false); }
void cmd_rpush(Call& call, const Args& a) { push_common(call, a, false, false); }
void cmd_lpushx(Call& call, const Args& a) { push_common(call, a, true, true); }
void cmd_rpushx(Call& call, const Args& a) { push_common(call, a, false, true); }

// ---- Pops -------------------------------------------------------------------

// Logged by the dispatcher as received when an element was popped.
void pop_single(Call& call, const Args& a, bool from_head) {
    Reply& out = call.out;
    PoppedElements got;
    const DictStatus r = pop_one(call.ks, from_head, a[1], &got);
    if (r == DictStatus::WrongType) return out.error(kErrWrongType);
    if (r == DictStatus::NoMemory) return out.error(kErrOutOfMemory);
    if (r == DictStatus::Missing) return out.null();
    out.bulk(got[0]);
}

// LPOP/RPOP key count: 1 answers like the single form, 0 pops nothing, a
// negative count pops everything. Logged by the dispatcher as received when
// elements were popped.
void pop_counted(Call& call, const Args& a, bool from_head) {
    Reply& out = call.out;
    int64_t count = 0;
    if (!parse_int_arg(out, a[2], &count)) return;
    if (count == 1) return pop_single(call, a, from_head);
    PoppedElements got;
    DictCount n;
    if (count == 0) {
        n = {dict_llen(call.ks, a[1]).status, 0};
    } else {
        n = from_head ? dict_lpop_count(call.ks, a[1], count < 0 ? INT32_MAX : count, &got)
                      : dict_rpop_count(call.ks, a[1], count < 0 ? INT32_MAX : count, &got);
    }
    if (n.status == DictStatus::WrongType) return out.error(kErrWrongType);
    if (n.status == DictStatus::NoMemory) return out.error(kErrOutOfMemory);
    reply_elements(out, got);
}

void pop_common(Call& call, const Args& a, bool from_head) {
    if (a.argc == 2) return pop_single(call, a, from_head);
    pop_counted(call, a, from_head);
}

void cmd_lpop(Call& call, const Args& a) { pop_common(call, a, true); }
void cmd_rpop(Call& call, const Args& a) { pop_common(call, a, false); }

// ---- Reads ------------------------------------------------------------------

void cmd_llen(Call& call, const Args& a) {
    const DictCount n = dict_llen(call.ks, a[1]);
    if (n.status == DictStatus::WrongType) return call.out.error(kErrWrongType);
    call.out.integer(n.value);
}

// The views point into the keyspace, so the reply is encoded before anything changes it.
void cmd_lrange(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t start = 0, stop = 0;
    if (!parse_int_arg(out, a[2], &start) || !parse_int_arg(out, a[3], &stop)) return;
    std::vector<std::string_view> items;
    if (dict_lrange(call.ks, a[1], start, stop, &items).status == DictStatus::WrongType) {
        return out.error(kErrWrongType);
    }
    out.array(static_cast<long long>(items.size()));
    for (std::string_view item : items) out.bulk(item);
}

void cmd_lindex(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t index = 0;
    if (!parse_int_arg(out, a[2], &index)) return;
    std::string_view item;
    const DictStatus r = dict_lindex(call.ks, a[1], index, &item);
    if (r == DictStatus::WrongType) return out.error(kErrWrongType);
    if (r != DictStatus::Ok) return out.null();
    out.bulk(item);
}

// Reads LPOS's option pairs; false (error replied) on a bad request.
bool parse_lpos_options(Reply& out, const Args& a, LposQuery* q) {
    for (int i = 3; i < a.argc; i += 2) {
        std::string_view word = a[i];
        bool rank = word_is(word, "RANK"), count = word_is(word, "COUNT"), maxlen = word_is(word, "MAXLEN");
        int64_t v = 0;
        if ((!rank && !count && !maxlen) || i + 1 >= a.argc) {
            out.error(kErrSyntax);
            return false;
        }
        if (!parse_int_arg(out, a[i + 1], &v)) return false;
        if (rank && v == 0) {
            out.error("RANK can't be zero: use 1 to start from the first match, 2 from the second ... or use "
                      "negative to start from the end of the list");
            return false;
        }
        if ((count || maxlen) && v < 0) {
            out.error(count ? "COUNT can't be negative" : "MAXLEN can't be negative");
            return false;
        }
        if (rank) q->rank = v;
        if (count) q->count_given = true, q->count = v;
        if (maxlen) q->maxlen = v;
    }
    return true;
}

void cmd_lpos(Call& call, const Args& a) {
    Reply& out = call.out;
    LposQuery q;
    if (!parse_lpos_options(out, a, &q)) return;
    std::vector<int64_t> positions;
    if (dict_lpos(call.ks, a[1], a[2], q, &positions) == DictStatus::WrongType) return out.error(kErrWrongType);
    if (positions.empty()) return out.null();
    if (!q.count_given) return out.integer(positions[0]);
    out.array(static_cast<long long>(positions.size()));
    for (int64_t p : positions) out.integer(p);
}

// ---- In-place edits ---------------------------------------------------------
// LREM and LINSERT are logged by the dispatcher as received when they changed
// the list; LSET states its request whenever it stored the element, identical
// bytes included.

void cmd_lset(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t index = 0;
    if (!parse_int_arg(out, a[2], &index)) return;
    const DictStatus r = dict_lset(call.ks, a[1], index, a[3]);
    if (r == DictStatus::Ok) {
        call.log_request();
        return out.simple("OK");
    }
    if (r == DictStatus::Missing) return out.error("no such key");
    if (r == DictStatus::OutOfRange) return out.error("index out of range");
    if (r == DictStatus::WrongType) return out.error(kErrWrongType);
    out.error(kErrOutOfMemory);
}

void cmd_lrem(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t count = 0;
    if (!parse_int_arg(out, a[2], &count)) return;
    const DictCount n = dict_lrem(call.ks, a[1], count, a[3]);
    if (n.status == DictStatus::WrongType) return out.error(kErrWrongType);
    out.integer(n.value);
}

void cmd_linsert(Call& call, const Args& a) {
    Reply& out = call.out;
    const bool before = word_is(a[2], "BEFORE");
    if (!before && !word_is(a[2], "AFTER")) return out.error(kErrSyntax);
    const DictCount r = dict_linsert(call.ks, a[1], before, a[3], a[4]);
    if (r.status == DictStatus::WrongType) return out.error(kErrWrongType);
    if (r.status == DictStatus::NoMemory) return out.error(kErrOutOfMemory);
    out.integer(r.status == DictStatus::NotFound ? -1 : r.value);
}

// ---- LMPOP ------------------------------------------------------------------

struct LmpopRequest {
    int64_t numkeys = 0;
    bool from_head = true;
    int64_t count = 1;
    bool count_given = false;
};

// Reads numkeys (at a[first]) and the options after the keys; false (error
// replied) on a bad request. The numkeys-against-argc check stays here: the
// table's bounds cannot express it.
bool parse_lmpop(Reply& out, const Args& a, int first, const char* lower_name, LmpopRequest* r) {
    if (!parse_int_arg(out, a[first], &r->numkeys)) return false;
    if (r->numkeys < 1) {
        out.error("numkeys should be greater than 0");
        return false;
    }
    if (r->numkeys >= a.argc - first) {
        reply_arity(out, lower_name);
        return false;
    }
    bool direction = false;
    for (int i = static_cast<int>(r->numkeys) + first + 1; i < a.argc; ++i) {
        std::string_view w = a[i];
        if (word_is(w, "LEFT") || word_is(w, "RIGHT")) {
            r->from_head = word_is(w, "LEFT");
            direction = true;
        } else if (word_is(w, "COUNT") && i + 1 < a.argc) {
            if (!parse_int_arg(out, a[++i], &r->count)) return false;
            if (r->count < 1) {
                out.error("numkeys should be greater than 0");
                return false;
            }
            r->count_given = true;
        } else {
            out.error(kErrSyntax);
            return false;
        }
    }
    if (!direction) out.error(kErrSyntax);
    return direction;
}

void cmd_lmpop(Call& call, const Args& a) {
    Reply& out = call.out;
    // Never logged in its own form: only the pop stated below is written.
    call.log_nothing();
    LmpopRequest r;
    if (!parse_lmpop(out, a, 1, "lmpop", &r)) return;
    std::vector<std::string_view> keys;
    for (int i = 2; i < 2 + r.numkeys; ++i) keys.push_back(a[i]);
    PoppedElements got;
    const DictCount popped = dict_lmpop(call.ks, keys.data(), keys.size(), r.from_head, r.count, &got);
    if (popped.status == DictStatus::Missing) return out.null_array();
    if (popped.status == DictStatus::NoMemory) return out.error(kErrOutOfMemory);
    // Logged as a pop of the key that gave the elements: the replay needs
    // no knowledge of which keys were empty at the time.
    const size_t index = static_cast<size_t>(popped.value);
    log_pop(call, r.from_head, keys[index], r.count >= 2 ? std::to_string(r.count) : "");
    out.array(2);
    out.bulk(keys[index]);
    reply_elements(out, got);
}

// ---- LTRIM ------------------------------------------------------------------

// Keeps positions start..stop (negative counts from the tail); a range that
// holds nothing deletes the key. Costs O(removed). Logged by the dispatcher as
// received when it removed anything.
void cmd_ltrim(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t start = 0, stop = 0;
    if (!parse_int_arg(out, a[2], &start) || !parse_int_arg(out, a[3], &stop)) return;
    const DictCount length = dict_llen(call.ks, a[1]);
    if (length.status == DictStatus::WrongType) return out.error(kErrWrongType);
    const int64_t len = length.value;
    if (start < 0) start = std::max<int64_t>(len + start, 0);
    if (stop < 0) stop += len;
    if (stop >= len) stop = len - 1;
    PoppedElements dropped_head, dropped_tail;
    if (start > stop || start >= len) {
        if (len > 0) dict_lpop_count(call.ks, a[1], len, &dropped_head);
    } else {
        if (start > 0) dict_lpop_count(call.ks, a[1], start, &dropped_head);
        if (stop < len - 1) dict_rpop_count(call.ks, a[1], len - 1 - stop, &dropped_tail);
    }
    out.simple("OK");
}

// ---- Moves ------------------------------------------------------------------

// LEFT / RIGHT into *head; false (syntax error replied) for another word.
bool parse_side(Reply& out, std::string_view word, bool* head) {
    if (word_is(word, "LEFT") || word_is(word, "RIGHT")) {
        *head = word_is(word, "LEFT");
        return true;
    }
    out.error(kErrSyntax);
    return false;
}

BlockWait move_wait(const Args& a, bool from_head, bool dest_head) {
    BlockWait w;
    w.kind = WaitKind::ListMove;
    w.keys.emplace_back(a[1]);
    w.dest.assign(a[2]);
    w.from_head = from_head;
    w.dest_head = dest_head;
    return w;
}

// LMOVE / RPOPLPUSH: the element, or nil when the source is empty. Logged as
// the LMOVE it performed.
void move_now(Call& call, const Args& a, bool from_head, bool dest_head) {
    call.log_nothing();
    const TryResult r = try_wait_on_key(call, call.out, move_wait(a, from_head, dest_head), a[1]);
    if (r == TryResult::WrongType) return call.out.error(kErrWrongType);
    if (r == TryResult::Nothing) return call.out.null();
}

void cmd_lmove(Call& call, const Args& a) {
    bool from_head = true, dest_head = true;
    if (!parse_side(call.out, a[3], &from_head) || !parse_side(call.out, a[4], &dest_head)) return;
    move_now(call, a, from_head, dest_head);
}

void cmd_rpoplpush(Call& call, const Args& a) { move_now(call, a, false, true); }

// ---- Blocking forms -----------------------------------------------------------
// Never logged in their own form: what they did now is logged as LPOP/RPOP or
// LMOVE; a hand-over later is logged after the write that brought the data.

void cmd_blpop(Call& call, const Args& a) { block_on_keys_then_timeout(call, a, WaitKind::ListPop, true); }
void cmd_brpop(Call& call, const Args& a) { block_on_keys_then_timeout(call, a, WaitKind::ListPop, false); }

// BLMOVE source destination LEFT|RIGHT LEFT|RIGHT timeout
void cmd_blmove(Call& call, const Args& a) {
    bool from_head = true, dest_head = true;
    if (!parse_side(call.out, a[3], &from_head) || !parse_side(call.out, a[4], &dest_head)) return;
    double timeout_s = 0;
    if (!parse_block_timeout(call.out, a[5], &timeout_s)) return;
    block_or_answer(call, move_wait(a, from_head, dest_head), timeout_s, false);
}

// BRPOPLPUSH source destination timeout
void cmd_brpoplpush(Call& call, const Args& a) {
    double timeout_s = 0;
    if (!parse_block_timeout(call.out, a[3], &timeout_s)) return;
    block_or_answer(call, move_wait(a, false, true), timeout_s, false);
}

// BLMPOP timeout numkeys key ... LEFT|RIGHT [COUNT n]: keys of another type are
// passed over, as LMPOP does.
void cmd_blmpop(Call& call, const Args& a) {
    double timeout_s = 0;
    if (!parse_block_timeout(call.out, a[1], &timeout_s)) return;
    LmpopRequest r;
    if (!parse_lmpop(call.out, a, 2, "blmpop", &r)) return;
    BlockWait w;
    w.kind = WaitKind::ListMultiPop;
    w.from_head = r.from_head;
    w.count = r.count;
    for (int i = 3; i < 3 + r.numkeys; ++i) w.keys.emplace_back(a[i]);
    block_or_answer(call, std::move(w), timeout_s, true);
}

// The pushes answer a wrong argument count with the plain text, without their name.
constexpr const char* kPushArity = "wrong number of arguments";

const CommandRegistrar registrar({
    {"LPUSH", 3, -1, kCmdWrite, cmd_lpush, kPushArity},
    {"RPUSH", 3, -1, kCmdWrite, cmd_rpush, kPushArity},
    {"LPUSHX", 3, -1, kCmdWrite, cmd_lpushx, kPushArity},
    {"RPUSHX", 3, -1, kCmdWrite, cmd_rpushx, kPushArity},
    {"LLEN", 2, -1, 0, cmd_llen},
    {"LPOP", 2, -1, kCmdWrite, cmd_lpop},
    {"RPOP", 2, -1, kCmdWrite, cmd_rpop},
    {"LRANGE", 4, -1, 0, cmd_lrange},
    {"LINDEX", 3, -1, 0, cmd_lindex},
    {"LSET", 4, -1, kCmdWrite, cmd_lset},
    {"LREM", 4, -1, kCmdWrite, cmd_lrem},
    {"LPOS", 3, -1, 0, cmd_lpos},
    {"LMPOP", 3, -1, kCmdWrite, cmd_lmpop},
    {"BLPOP", 3, -1, kCmdWrite | kCmdNoReplay | kCmdMayBlock, cmd_blpop},
    {"BRPOP", 3, -1, kCmdWrite | kCmdNoReplay | kCmdMayBlock, cmd_brpop},
    {"LINSERT", 5, -1, kCmdWrite, cmd_linsert},
    {"LTRIM", 4, 4, kCmdWrite, cmd_ltrim},
    {"LMOVE", 5, 5, kCmdWrite, cmd_lmove},
    {"RPOPLPUSH", 3, 3, kCmdWrite, cmd_rpoplpush},
    {"BLMOVE", 6, 6, kCmdWrite | kCmdNoReplay | kCmdMayBlock, cmd_blmove},
    {"BRPOPLPUSH", 4, 4, kCmdWrite | kCmdNoReplay | kCmdMayBlock, cmd_brpoplpush},
    {"BLMPOP", 5, -1, kCmdWrite | kCmdNoReplay | kCmdMayBlock, cmd_blmpop},
});

}  // namespace
