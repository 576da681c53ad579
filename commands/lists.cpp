// lists.cpp — the list commands: pushes (which also hand elements to clients
// parked in a blocking pop), pops single, counted, multi-key and blocking, reads,
// in-place edits, removal, insertion and search.
//
// Numeric arguments are parsed as 64-bit and clamped to the signed 32-bit range,
// which changes no result since no list comes near 2^31 elements. Pops that are
// not a request's own form (blocking pops, LMPOP, pops made for parked clients)
// are logged as LPOP/RPOP of the key, so a replay removes the same elements.
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// "*2" of the key and the element, as blocking pops answer.
void reply_key_and_element(Reply& out, std::string_view key, std::string_view element) {
    out.array(2);
    out.bulk(key);
    out.bulk(element);
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

int pop_one(Keyspace* ks, bool from_head, std::string_view key, PoppedElements* got) {
    return from_head ? dict_lpop(ks, key, got) : dict_rpop(ks, key, got);
}

// ---- Parked clients ---------------------------------------------------------

bool waits_on(const Client* c, std::string_view key) {
    for (const std::string& k : c->block_keys) {
        if (k == key) return true;
    }
    return false;
}

void unpark(Client* c) {
    c->block_keys.clear();
    c->blocked = 0;
}

// Hands one element of the key to the first parked client (in table order) that
// waits on it; the reply goes to that client's reply writer and the pop is
// logged after the push. False when nobody could be served (no element, or
// nobody waits on the key).
bool serve_one_parked_client(Call& call, std::string_view key) {
    if (dict_llen(call.ks, key) <= 0) return false;
    ClientTable& clients = call.server.clients;
    for (int i = 0; i < clients.size(); ++i) {
        Client* c = clients.at(i);
        if (c == nullptr || !c->blocked || c->closed() || !waits_on(c, key)) continue;
        const bool from_head = c->block_right == 0;
        PoppedElements got;
        if (pop_one(call.ks, from_head, key, &got) != 1) return false;
        log_pop(call, from_head, key);
        unpark(c);
        send_to(c, [&](Reply& o) { reply_key_and_element(o, key, got[0]); });
        return true;
    }
    return false;
}

// One turn per pushed element; a turn that serves nobody ends the hand-over.
void serve_parked_clients(Call& call, std::string_view key, int64_t pushed) {
    for (int64_t turn = 0; turn < pushed; ++turn) {
        if (!serve_one_parked_client(call, key)) break;
    }
}

// ---- Pushes -----------------------------------------------------------------

void push_common(Call& call, const Args& a, bool at_head, bool only_existing) {
    Reply& out = call.out;
    // Every record is stated below (nothing when no element went in), whatever
    // else the keyspace saw while the command ran.
    call.log_nothing();
    int64_t length = 0, result = 0;
    int pushed = 0;
    for (int i = 2; i < a.argc; ++i) {
        if (only_existing) {
            result = at_head ? dict_lpushx(call.ks, a[1], a[i]) : dict_rpushx(call.ks, a[1], a[i]);
        } else {
            result = at_head ? dict_lpush(call.ks, a[1], a[i]) : dict_rpush(call.ks, a[1], a[i]);
        }
        // 0: the x form found no list, and none can appear within this command.
        if (result <= 0) break;
        length = result;
        pushed++;
    }
    // After a failure part way, only the elements that went in are logged; the
    // pops made for parked clients follow the push record.
    if (pushed > 0) call.log_request_prefix(2 + pushed);
    if (!only_existing && pushed > 0) serve_parked_clients(call, a[1], pushed);
    if (result == -1) return out.error(kErrWrongType);
    if (result == -3) return out.error("empty keys are not supported");
    if (result < 0) return out.error("out of memory");
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
    const int r = pop_one(call.ks, from_head, a[1], &got);
    if (r == -1) return out.error(kErrWrongType);
    if (r < 0) return out.error("out of memory");
    if (r == 0) return out.null();
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
    int64_t n = 0;
    if (count == 0) {
        n = dict_llen(call.ks, a[1]) < 0 ? -1 : 0;
    } else {
        n = from_head ? dict_lpop_count(call.ks, a[1], count < 0 ? INT32_MAX : count, &got)
                      : dict_rpop_count(call.ks, a[1], count < 0 ? INT32_MAX : count, &got);
    }
    if (n == -1) return out.error(kErrWrongType);
    if (n < 0) return out.error("out of memory");
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
    int64_t n = dict_llen(call.ks, a[1]);
    if (n < 0) return call.out.error(kErrWrongType);
    call.out.integer(n);
}

// The views point into the keyspace, so the reply is encoded before anything changes it.
void cmd_lrange(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t start = 0, stop = 0;
    if (!parse_int_arg(out, a[2], &start) || !parse_int_arg(out, a[3], &stop)) return;
    std::vector<std::string_view> items;
    if (dict_lrange(call.ks, a[1], start, stop, &items) < 0) return out.error(kErrWrongType);
    out.array(static_cast<long long>(items.size()));
    for (std::string_view item : items) out.bulk(item);
}

void cmd_lindex(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t index = 0;
    if (!parse_int_arg(out, a[2], &index)) return;
    std::string_view item;
    int r = dict_lindex(call.ks, a[1], index, &item);
    if (r < 0) return out.error(kErrWrongType);
    if (r == 0) return out.null();
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
    if (dict_lpos(call.ks, a[1], a[2], q, &positions) < 0) return out.error(kErrWrongType);
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
    const int r = dict_lset(call.ks, a[1], index, a[3]);
    if (r == 1) {
        call.log_request();
        return out.simple("OK");
    }
    if (r == 0) return out.error("no such key");
    if (r == -1) return out.error("index out of range");
    if (r == -2) return out.error(kErrWrongType);
    out.error("out of memory");
}

void cmd_lrem(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t count = 0;
    if (!parse_int_arg(out, a[2], &count)) return;
    int64_t n = dict_lrem(call.ks, a[1], count, a[3]);
    if (n < 0) return out.error(kErrWrongType);
    out.integer(n);
}

void cmd_linsert(Call& call, const Args& a) {
    Reply& out = call.out;
    const bool before = word_is(a[2], "BEFORE");
    if (!before && !word_is(a[2], "AFTER")) return out.error(kErrSyntax);
    int64_t r = dict_linsert(call.ks, a[1], before, a[3], a[4]);
    if (r == -2) return out.error(kErrWrongType);
    if (r < -2) return out.error("out of memory");
    out.integer(r);
}

// ---- LMPOP ------------------------------------------------------------------

struct LmpopRequest {
    int64_t numkeys = 0;
    bool from_head = true;
    int64_t count = 1;
    bool count_given = false;
};

// Reads numkeys and the options after the keys; false (error replied) on a bad
// request. The numkeys-against-argc check stays here: the table's bounds cannot
// express it.
bool parse_lmpop(Reply& out, const Args& a, LmpopRequest* r) {
    if (!parse_int_arg(out, a[1], &r->numkeys)) return false;
    if (r->numkeys < 1) {
        out.error("numkeys should be greater than 0");
        return false;
    }
    if (r->numkeys >= a.argc - 1) {
        reply_arity(out, "lmpop");
        return false;
    }
    bool direction = false;
    for (int i = static_cast<int>(r->numkeys) + 2; i < a.argc; ++i) {
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
    if (!parse_lmpop(out, a, &r)) return;
    std::vector<std::string_view> keys;
    for (int i = 2; i < 2 + r.numkeys; ++i) keys.push_back(a[i]);
    PoppedElements got;
    const int64_t index = dict_lmpop(call.ks, keys.data(), keys.size(), r.from_head, r.count, &got);
    // Logged as a pop of the key that gave the elements: the replay needs
    // no knowledge of which keys were empty at the time.
    if (index >= 0) log_pop(call, r.from_head, keys[index], r.count >= 2 ? std::to_string(r.count) : "");
    if (index == -1) return out.null_array();
    if (index < 0) return out.error("out of memory");
    out.array(2);
    out.bulk(keys[index]);
    reply_elements(out, got);
}

// ---- BLPOP / BRPOP ----------------------------------------------------------

// The time-out in seconds; false (error replied) when it is not acceptable.
bool parse_block_timeout(Reply& out, std::string_view text, double* seconds) {
    const std::string copy(text);
    char* end = nullptr;
    const double v = std::strtod(copy.c_str(), &end);
    if (end == copy.c_str() || end != copy.c_str() + copy.size()) {
        out.error("timeout is not a float or out of range");
        return false;
    }
    if (v < 0) {
        out.error("timeout is negative");
        return false;
    }
    if (v > 1e9) {
        out.error("timeout is out of range");
        return false;
    }
    *seconds = v;
    return true;
}

// Parks the client on the keys; the connection loop times it out and pushes
// serve it.
void park(Client* c, const Args& a, bool from_head, double timeout_s) {
    c->block_keys.clear();
    for (int i = 1; i < a.argc - 1; ++i) c->block_keys.emplace_back(a[i]);
    // A time-out that reads as not-a-number fails "> 0" and waits without limit.
    c->block_deadline_ms = timeout_s > 0 ? platform::current_time_ms() + static_cast<int64_t>(timeout_s * 1000) : 0;
    c->block_right = from_head ? 0 : 1;
    c->blocked = 1;
}

// Never logged in its own form: an element popped now is logged as LPOP/RPOP of
// its key; one handed over later is logged by the push that brought it.
void blocking_pop(Call& call, const Args& a, bool from_head) {
    Reply& out = call.out;
    call.log_nothing();
    double timeout_s = 0;
    if (!parse_block_timeout(out, a[a.argc - 1], &timeout_s)) return;
    // Inside EXEC a command must answer now, so a pop that finds nothing answers
    // as a time-out would.
    const bool inside_exec = call.client->running_queue;
    for (int i = 1; i < a.argc - 1; ++i) {
        PoppedElements got;
        int r = pop_one(call.ks, from_head, a[i], &got);
        if (r == -1) return out.error(kErrWrongType);
        if (r < 0) return out.error("out of memory");
        if (r == 0) continue;
        log_pop(call, from_head, a[i]);
        return reply_key_and_element(out, a[i], got[0]);
    }
    if (inside_exec) return out.null_array();
    park(call.client, a, from_head, timeout_s);
}

void cmd_blpop(Call& call, const Args& a) { blocking_pop(call, a, true); }
void cmd_brpop(Call& call, const Args& a) { blocking_pop(call, a, false); }

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
});

}  // namespace
