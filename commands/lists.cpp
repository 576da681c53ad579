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
#include "server/aof.h"
#include "server/server.h"

namespace {

int64_t clamp32(int64_t v) { return v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v; }

// A strict integer argument, clamped; false (error replied) when it does not parse.
bool parse_int_arg(std::string_view text, int64_t* out) {
    if (!parse_strict_ll(text, out)) {
        rb_error(kErrNotInteger);
        return false;
    }
    *out = clamp32(*out);
    return true;
}

void reply_null_array() {
    const char* text = rb_resp3() ? "_\r\n" : "*-1\r\n";
    rb_write(&s_rb, text, std::strlen(text));
}

void reply_elements(const PoppedElements& p) {
    rb_arr_hdr(static_cast<long long>(p.size()));
    for (size_t i = 0; i < p.size(); ++i) rb_bulk_sv(p[i]);
}

// "*2" of the key and the element, as blocking pops answer.
void reply_key_and_element(std::string_view key, std::string_view element) {
    rb_arr_hdr(2);
    rb_bulk_sv(key);
    rb_bulk_sv(element);
}

// Logs a pop that is not the request's own form; count_text is empty for one element.
void log_pop(bool from_head, std::string_view key, std::string_view count_text = {}) {
    const char* name = from_head ? "LPOP" : "RPOP";
    if (count_text.empty()) {
        aof_write_args({name, key});
    } else {
        aof_write_args({name, key, count_text});
    }
}

int pop_one(bool from_head, std::string_view key, PoppedElements* out) {
    return from_head ? dict_lpop(s_dict, key, out) : dict_rpop(s_dict, key, out);
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

// Hands one element of the key to the first parked client (in slot order) that
// waits on it; the reply goes through that client's output buffer. False when
// nobody could be served (no element, or nobody waits on the key).
bool serve_one_parked_client(std::string_view key) {
    if (dict_llen(s_dict, key) <= 0) return false;
    for (int i = 0; i < s_client_count; ++i) {
        Client* c = s_clients[i];
        if (c == nullptr || !c->blocked || c->closed() || !waits_on(c, key)) continue;
        const bool from_head = c->block_right == 0;
        PoppedElements got;
        if (pop_one(from_head, key, &got) != 1) return false;
        log_pop(from_head, key);
        std::string reply = "*2\r\n$" + std::to_string(key.size()) + "\r\n";
        reply.append(key).append("\r\n$").append(std::to_string(got[0].size())).append("\r\n");
        reply.append(got[0]).append("\r\n");
        unpark(c);
        client_send(c, reply.data(), reply.size());
        return true;
    }
    return false;
}

// One turn per pushed element; a turn that serves nobody ends the hand-over.
void serve_parked_clients(std::string_view key, int64_t pushed) {
    for (int64_t turn = 0; turn < pushed; ++turn) {
        if (!serve_one_parked_client(key)) break;
    }
}

// ---- Pushes -----------------------------------------------------------------

void push_common(const Args& a, bool at_head, bool only_existing) {
    if (a.argc < 3) return rb_error("wrong number of arguments");
    int64_t length = 0, result = 0;
    int pushed = 0;
    ServerLock lock(s_mutex());
    for (int i = 2; i < a.argc; ++i) {
        if (only_existing) {
            result = at_head ? dict_lpushx(s_dict, a[1], a[i]) : dict_rpushx(s_dict, a[1], a[i]);
        } else {
            result = at_head ? dict_lpush(s_dict, a[1], a[i]) : dict_rpush(s_dict, a[1], a[i]);
        }
        // 0: the x form found no list, and none can appear within this command.
        if (result <= 0) break;
        length = result;
        pushed++;
    }
    // After a failure part way, only the elements that went in are logged.
    if (pushed > 0) aof_write_cmd(2 + pushed, a.argv, a.lens);
    if (!only_existing && pushed > 0) serve_parked_clients(a[1], pushed);
    if (result == -1) return rb_error(kErrWrongType);
    if (result == -3) return rb_error("empty keys are not supported");
    if (result < 0) return rb_error("out of memory");
    rb_int(length);
}

void cmd_lpush(Client*, const Args& a) { push_common(a, true, false); }
void cmd_rpush(Client*, const Args& a) { push_common(a, false, false); }
void cmd_lpushx(Client*, const Args& a) { push_common(a, true, true); }
void cmd_rpushx(Client*, const Args& a) { push_common(a, false, true); }

// ---- Pops -------------------------------------------------------------------

void pop_single(const Args& a, bool from_head) {
    PoppedElements got;
    int r;
    {
        ServerLock lock(s_mutex());
        r = pop_one(from_head, a[1], &got);
        if (r == 1) aof_log_request(a);
    }
    if (r == -1) return rb_error(kErrWrongType);
    if (r < 0) return rb_error("out of memory");
    if (r == 0) return rb_null();
    rb_bulk_sv(got[0]);
}

// LPOP/RPOP key count: 1 answers like the single form, 0 pops nothing, a
// negative count pops everything.
void pop_counted(const Args& a, bool from_head) {
    int64_t count = 0;
    if (!parse_int_arg(a[2], &count)) return;
    if (count == 1) return pop_single(a, from_head);
    PoppedElements got;
    int64_t n = 0;
    {
        ServerLock lock(s_mutex());
        if (count == 0) {
            n = dict_llen(s_dict, a[1]) < 0 ? -1 : 0;
        } else {
            n = from_head ? dict_lpop_count(s_dict, a[1], count < 0 ? INT32_MAX : count, &got)
                          : dict_rpop_count(s_dict, a[1], count < 0 ? INT32_MAX : count, &got);
            if (n > 0) aof_log_request(a);
        }
    }
    if (n == -1) return rb_error(kErrWrongType);
    if (n < 0) return rb_error("out of memory");
    reply_elements(got);
}

void pop_common(const Args& a, bool from_head) {
    if (a.argc < 2) return reply_arity(from_head ? "lpop" : "rpop");
    if (a.argc == 2) return pop_single(a, from_head);
    pop_counted(a, from_head);
}

void cmd_lpop(Client*, const Args& a) { pop_common(a, true); }
void cmd_rpop(Client*, const Args& a) { pop_common(a, false); }

// ---- Reads ------------------------------------------------------------------

void cmd_llen(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("llen");
    ServerLock lock(s_mutex());
    int64_t n = dict_llen(s_dict, a[1]);
    if (n < 0) return rb_error(kErrWrongType);
    rb_int(n);
}

// The views point into the keyspace, so the reply is encoded under the lock.
void cmd_lrange(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("lrange");
    int64_t start = 0, stop = 0;
    if (!parse_int_arg(a[2], &start) || !parse_int_arg(a[3], &stop)) return;
    std::vector<std::string_view> items;
    ServerLock lock(s_mutex());
    if (dict_lrange(s_dict, a[1], start, stop, &items) < 0) return rb_error(kErrWrongType);
    rb_arr_hdr(static_cast<long long>(items.size()));
    for (std::string_view item : items) rb_bulk_sv(item);
}

void cmd_lindex(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("lindex");
    int64_t index = 0;
    if (!parse_int_arg(a[2], &index)) return;
    std::string_view item;
    ServerLock lock(s_mutex());
    int r = dict_lindex(s_dict, a[1], index, &item);
    if (r < 0) return rb_error(kErrWrongType);
    if (r == 0) return rb_null();
    rb_bulk_sv(item);
}

// Reads LPOS's option pairs; false (error replied) on a bad request.
bool parse_lpos_options(const Args& a, LposQuery* q) {
    for (int i = 3; i < a.argc; i += 2) {
        std::string_view word = a[i];
        bool rank = word_is(word, "RANK"), count = word_is(word, "COUNT"), maxlen = word_is(word, "MAXLEN");
        int64_t v = 0;
        if ((!rank && !count && !maxlen) || i + 1 >= a.argc) {
            rb_error(kErrSyntax);
            return false;
        }
        if (!parse_int_arg(a[i + 1], &v)) return false;
        if (rank && v == 0) {
            rb_error("RANK can't be zero: use 1 to start from the first match, 2 from the second ... or use "
                     "negative to start from the end of the list");
            return false;
        }
        if ((count || maxlen) && v < 0) {
            rb_error(count ? "COUNT can't be negative" : "MAXLEN can't be negative");
            return false;
        }
        if (rank) q->rank = v;
        if (count) q->count_given = true, q->count = v;
        if (maxlen) q->maxlen = v;
    }
    return true;
}

void cmd_lpos(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("lpos");
    LposQuery q;
    if (!parse_lpos_options(a, &q)) return;
    std::vector<int64_t> positions;
    {
        ServerLock lock(s_mutex());
        if (dict_lpos(s_dict, a[1], a[2], q, &positions) < 0) return rb_error(kErrWrongType);
    }
    if (positions.empty()) return rb_null();
    if (!q.count_given) return rb_int(positions[0]);
    rb_arr_hdr(static_cast<long long>(positions.size()));
    for (int64_t p : positions) rb_int(p);
}

// ---- In-place edits ---------------------------------------------------------

void cmd_lset(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("lset");
    int64_t index = 0;
    if (!parse_int_arg(a[2], &index)) return;
    int r;
    {
        ServerLock lock(s_mutex());
        r = dict_lset(s_dict, a[1], index, a[3]);
        if (r == 1) aof_log_request(a);
    }
    if (r == 1) return rb_simple("OK");
    if (r == 0) return rb_error("no such key");
    if (r == -1) return rb_error("index out of range");
    if (r == -2) return rb_error(kErrWrongType);
    rb_error("out of memory");
}

void cmd_lrem(Client*, const Args& a) {
    if (a.argc < 4) return reply_arity("lrem");
    int64_t count = 0;
    if (!parse_int_arg(a[2], &count)) return;
    ServerLock lock(s_mutex());
    int64_t n = dict_lrem(s_dict, a[1], count, a[3]);
    if (n < 0) return rb_error(kErrWrongType);
    if (n > 0) aof_log_request(a);
    rb_int(n);
}

void cmd_linsert(Client*, const Args& a) {
    if (a.argc < 5) return reply_arity("linsert");
    const bool before = word_is(a[2], "BEFORE");
    if (!before && !word_is(a[2], "AFTER")) return rb_error(kErrSyntax);
    ServerLock lock(s_mutex());
    int64_t r = dict_linsert(s_dict, a[1], before, a[3], a[4]);
    if (r == -2) return rb_error(kErrWrongType);
    if (r < -2) return rb_error("out of memory");
    if (r > 0) aof_log_request(a);
    rb_int(r);
}

// ---- LMPOP ------------------------------------------------------------------

struct LmpopRequest {
    int64_t numkeys = 0;
    bool from_head = true;
    int64_t count = 1;
    bool count_given = false;
};

// Reads numkeys and the options after the keys; false (error replied) on a bad request.
bool parse_lmpop(const Args& a, LmpopRequest* r) {
    if (!parse_int_arg(a[1], &r->numkeys)) return false;
    if (r->numkeys < 1) {
        rb_error("numkeys should be greater than 0");
        return false;
    }
    if (r->numkeys >= a.argc - 1) {
        reply_arity("lmpop");
        return false;
    }
    bool direction = false;
    for (int i = static_cast<int>(r->numkeys) + 2; i < a.argc; ++i) {
        std::string_view w = a[i];
        if (word_is(w, "LEFT") || word_is(w, "RIGHT")) {
            r->from_head = word_is(w, "LEFT");
            direction = true;
        } else if (word_is(w, "COUNT") && i + 1 < a.argc) {
            if (!parse_int_arg(a[++i], &r->count)) return false;
            if (r->count < 1) {
                rb_error("numkeys should be greater than 0");
                return false;
            }
            r->count_given = true;
        } else {
            rb_error(kErrSyntax);
            return false;
        }
    }
    if (!direction) rb_error(kErrSyntax);
    return direction;
}

void cmd_lmpop(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("lmpop");
    LmpopRequest r;
    if (!parse_lmpop(a, &r)) return;
    std::vector<std::string_view> keys;
    for (int i = 2; i < 2 + r.numkeys; ++i) keys.push_back(a[i]);
    PoppedElements got;
    int64_t index;
    {
        ServerLock lock(s_mutex());
        index = dict_lmpop(s_dict, keys.data(), keys.size(), r.from_head, r.count, &got);
        // Logged as a pop of the key that gave the elements: the replay needs
        // no knowledge of which keys were empty at the time.
        if (index >= 0) log_pop(r.from_head, keys[index], r.count >= 2 ? std::to_string(r.count) : "");
    }
    if (index == -1) return reply_null_array();
    if (index < 0) return rb_error("out of memory");
    rb_arr_hdr(2);
    rb_bulk_sv(keys[index]);
    reply_elements(got);
}

// ---- BLPOP / BRPOP ----------------------------------------------------------

// The time-out in seconds; false (error replied) when it is not acceptable.
bool parse_block_timeout(std::string_view text, double* out) {
    const std::string copy(text);
    char* end = nullptr;
    const double v = std::strtod(copy.c_str(), &end);
    if (end == copy.c_str() || end != copy.c_str() + copy.size()) {
        rb_error("timeout is not a float or out of range");
        return false;
    }
    if (v < 0) {
        rb_error("timeout is negative");
        return false;
    }
    if (v > 1e9) {
        rb_error("timeout is out of range");
        return false;
    }
    *out = v;
    return true;
}

void park(Client* c, const Args& a, bool from_head, double timeout_s) {
    c->block_keys.clear();
    for (int i = 1; i < a.argc - 1; ++i) c->block_keys.emplace_back(a[i]);
    // A time-out that reads as not-a-number fails "> 0" and waits without limit.
    c->block_deadline_ms = timeout_s > 0 ? platform::current_time_ms() + static_cast<int64_t>(timeout_s * 1000) : 0;
    c->block_right = from_head ? 0 : 1;
    c->blocked = 1;
}

void blocking_pop(Client* c, const Args& a, bool from_head) {
    if (a.argc < 3) return reply_arity(from_head ? "blpop" : "brpop");
    double timeout_s = 0;
    if (!parse_block_timeout(a[a.argc - 1], &timeout_s)) return;
    // Inside EXEC a command must answer now, so a pop that finds nothing answers
    // as a time-out would.
    const bool inside_exec = c->running_queue;
    ServerLock lock(s_mutex());
    for (int i = 1; i < a.argc - 1; ++i) {
        PoppedElements got;
        int r = pop_one(from_head, a[i], &got);
        if (r == -1) return rb_error(kErrWrongType);
        if (r < 0) return rb_error("out of memory");
        if (r == 0) continue;
        log_pop(from_head, a[i]);
        return reply_key_and_element(a[i], got[0]);
    }
    if (inside_exec) return reply_null_array();
    park(c, a, from_head, timeout_s);
}

void cmd_blpop(Client* c, const Args& a) { blocking_pop(c, a, true); }
void cmd_brpop(Client* c, const Args& a) { blocking_pop(c, a, false); }

const CommandRegistrar registrar({
    {"LPUSH", cmd_lpush},
    {"RPUSH", cmd_rpush},
    {"LPUSHX", cmd_lpushx},
    {"RPUSHX", cmd_rpushx},
    {"LLEN", cmd_llen},
    {"LPOP", cmd_lpop},
    {"RPOP", cmd_rpop},
    {"LRANGE", cmd_lrange},
    {"LINDEX", cmd_lindex},
    {"LSET", cmd_lset},
    {"LREM", cmd_lrem},
    {"LPOS", cmd_lpos},
    {"LMPOP", cmd_lmpop},
    {"BLPOP", cmd_blpop},
    {"BRPOP", cmd_brpop},
    {"LINSERT", cmd_linsert},
});

}  // namespace
