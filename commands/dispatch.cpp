// dispatch.cpp — the command dispatcher: the common frame every request passes
// (statistics, name normalisation, authentication, last-command record, PING,
// subscribe-context and transaction gates, ECHO), the command table that each
// command family fills from its own file, and the strict argument parsers.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "server/aof.h"
#include "server/server.h"

namespace {

// Upper-cases ASCII letters only, whatever locale the host process has set.
constexpr unsigned char ascii_upper(unsigned char ch) { return ch >= 'a' && ch <= 'z' ? ch - ('a' - 'A') : ch; }
constexpr unsigned char ascii_lower(unsigned char ch) { return ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch; }

constexpr uint32_t kFnvBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;
constexpr uint32_t name_hash_step(uint32_t h, unsigned char upper) { return (h ^ upper) * kFnvPrime; }

// One registered command: its handler and what the frame needs to know about it
// without comparing names.
struct CommandInfo {
    static constexpr size_t kMaxName = 24;
    CommandHandler handler = nullptr;
    bool write = false;
    uint8_t len = 0;
    uint32_t hash = 0;
    char upper[kMaxName] = {};
    char lower[kMaxName] = {};
};

// Open addressing over the hash of the upper-cased name: a request's name is
// hashed once while it is upper-cased and found with one or two probes, with no
// allocation. Built during static initialisation by the families' registrars,
// read-only after.
struct CommandTable {
    static constexpr size_t kSlots = 512;  // a power of two, well above the command count
    CommandInfo slots[kSlots];
    size_t used = 0;

    CommandInfo* find(const char* upper, size_t len, uint32_t hash) {
        for (size_t i = hash & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
            CommandInfo& slot = slots[i];
            if (slot.handler == nullptr) return nullptr;
            if (slot.hash == hash && slot.len == len && std::memcmp(slot.upper, upper, len) == 0) return &slot;
        }
    }
};

CommandTable& command_table() {
    static CommandTable table;
    return table;
}

uint32_t name_hash(std::string_view upper) {
    uint32_t h = kFnvBasis;
    for (char ch : upper) h = name_hash_step(h, static_cast<unsigned char>(ch));
    return h;
}

bool is_client_subcommand(std::string_view sub) {
    static const char* const names[] = {"id",    "info",    "list",     "getname", "setname", "help",
                                        "no-touch", "notouch", "reply",  "unpause", "pause",   "kill",
                                        "tracking", "caching", "getredir", "setinfo"};
    for (const char* n : names) {
        size_t len = std::strlen(n);
        if (sub.size() != len) continue;
        bool same = true;
        for (size_t i = 0; i < len && same; ++i) {
            same = std::tolower(static_cast<unsigned char>(sub[i])) == n[i];
        }
        if (same) return true;
    }
    return false;
}

void record_last_command(Client* c, const CommandInfo* info, const char* name, const Args& args, int64_t now) {
    if (std::strcmp(name, "CLIENT") == 0 && args.argc > 1) {
        char sub[16];
        size_t n = 0;
        for (; n < 15 && n < args.lens[1] && args.argv[1][n] != '\0'; ++n) {
            sub[n] = static_cast<char>(std::tolower(static_cast<unsigned char>(args.argv[1][n])));
        }
        sub[n] = '\0';
        std::snprintf(c->last_cmd, sizeof(c->last_cmd), "client|%s", sub);
    } else if (info != nullptr) {
        static_assert(CommandInfo::kMaxName <= sizeof(c->last_cmd));
        std::memcpy(c->last_cmd, info->lower, sizeof(info->lower));
    } else {
        size_t n = 0;
        for (; n < sizeof(c->last_cmd) - 1 && name[n] != '\0'; ++n) {
            c->last_cmd[n] = static_cast<char>(ascii_lower(static_cast<unsigned char>(name[n])));
        }
        c->last_cmd[n] = '\0';
    }
    c->last_cmd_ms = now;
}

bool allowed_when_subscribed(std::string_view name) {
    return name == "PING" || name == "QUIT" || name == "SUBSCRIBE" || name == "PSUBSCRIBE" ||
           name == "UNSUBSCRIBE" || name == "PUNSUBSCRIBE" || name == "RESET";
}

void queue_command(Client* c, const Args& args, std::string_view name) {
    if (name == "CLIENT" && args.argc > 1 && !is_client_subcommand(args[1])) {
        char msg[160];
        std::snprintf(msg, sizeof(msg), "unknown subcommand '%s'. Try CLIENT HELP.", args.argv[1]);
        rb_error(msg);
        return;
    }
    if (name == "ZMSCORE" && args.argc <= 2) {
        rb_error("wrong number of arguments for 'zmscore' command");
        return;
    }
    QueuedCommand q;
    q.args.reserve(static_cast<size_t>(args.argc));
    for (int i = 0; i < args.argc; ++i) q.args.emplace_back(args[i]);
    c->queue.push_back(std::move(q));
    rb_simple("QUEUED");
}

// Runs a handler so that running out of memory answers an error instead of
// ending the host process: whatever the command had appended is taken back (EXEC
// keeps the replies before it) and the error stands as its one reply.
void run_handler(CommandHandler handler, Client* c, const Args& args) {
    const size_t reply_start = s_rb.data.size();
    const uint64_t log_failures = aof_failure_count();
    try {
        handler(c, args);
    } catch (const std::bad_alloc&) {
        s_rb.data.resize(reply_start);
        rb_error("out of memory");
        return;
    }
    // A change whose record did not reach the log is not reported as done.
    if (aof_failure_count() != log_failures) {
        s_rb.data.resize(reply_start);
        rb_error(kErrLogWriteFailed);
    }
}

}  // namespace

bool is_write_command(std::string_view upper) {
    static const std::unordered_set<std::string_view> names = {
        "SET",      "SETNX",       "SETEX",      "PSETEX",      "MSET",        "MSETNX",    "APPEND",
        "SETRANGE", "SETBIT",      "GETSET",     "GETDEL",      "GETEX",       "INCR",      "DECR",
        "INCRBY",   "DECRBY",      "INCRBYFLOAT", "DEL",        "EXPIRE",      "PEXPIRE",   "EXPIREAT",
        "PEXPIREAT", "PERSIST",    "RENAME",     "RENAMENX",    "COPY",        "FLUSHDB",   "FLUSHALL",
        "LPUSH",    "RPUSH",       "LPUSHX",     "RPUSHX",      "LPOP",        "RPOP",      "LSET",
        "LREM",     "LINSERT",     "LMPOP",      "BLPOP",       "BRPOP",       "HSET",      "HMSET",
        "HDEL",     "HINCRBY",     "HINCRBYFLOAT", "SADD",      "SREM",        "SMOVE",     "SPOP",
        "SDIFFSTORE", "SINTERSTORE", "SUNIONSTORE", "ZADD",     "ZREM",        "ZINCRBY",   "ZPOPMIN",
        "ZPOPMAX",  "ZREMRANGEBYSCORE", "ZREMRANGEBYRANK", "ZRANGESTORE",
    };
    return names.count(upper) != 0;
}

void register_commands(std::initializer_list<CommandDef> defs) {
    CommandTable& table = command_table();
    for (const CommandDef& d : defs) {
        const std::string_view name(d.name);
        const uint32_t hash = name_hash(name);
        CommandInfo* slot = table.find(d.name, name.size(), hash);
        if (slot == nullptr) {
            // Registration runs before main: a name or table that does not fit is
            // a build mistake, reported at once.
            if (name.size() >= CommandInfo::kMaxName || table.used * 2 >= CommandTable::kSlots) std::abort();
            size_t i = hash & (CommandTable::kSlots - 1);
            while (table.slots[i].handler != nullptr) i = (i + 1) & (CommandTable::kSlots - 1);
            slot = &table.slots[i];
            slot->len = static_cast<uint8_t>(name.size());
            slot->hash = hash;
            for (size_t k = 0; k < name.size(); ++k) {
                slot->upper[k] = name[k];
                slot->lower[k] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[k])));
            }
            slot->write = is_write_command(name);
            table.used += 1;
        }
        slot->handler = d.handler;
    }
}

void reply_arity_error(std::string_view name_lower) {
    char msg[128];
    std::snprintf(msg, sizeof(msg), "wrong number of arguments for '%.*s' command", static_cast<int>(name_lower.size()),
                  name_lower.data());
    rb_error(msg);
}

void dispatch_command(Client* c, int argc, char** argv, const uint64_t* lens, int internal) {
    if (argc <= 0) return;
    const int64_t now = internal == 0 ? request_stats_clock_ms() : 0;
    if (internal == 0) update_ops_stats(now);
    s_rb.client = c;

    std::vector<uint64_t> measured;
    if (lens == nullptr) {
        measured.resize(static_cast<size_t>(argc));
        for (int i = 0; i < argc; ++i) measured[static_cast<size_t>(i)] = std::strlen(argv[i]);
        lens = measured.data();
    }
    const Args args{argc, argv, lens};

    // The name ends at its first NUL and at 63 bytes; it is upper-cased and
    // hashed in the same pass, then looked up once.
    char name[64];
    size_t name_len = 0;
    uint32_t hash = kFnvBasis;
    for (; name_len < 63 && name_len < lens[0]; ++name_len) {
        const unsigned char ch = ascii_upper(static_cast<unsigned char>(argv[0][name_len]));
        if (ch == 0) break;
        name[name_len] = static_cast<char>(ch);
        hash = name_hash_step(hash, ch);
    }
    name[name_len] = '\0';
    const std::string_view uname(name, name_len);
    const CommandInfo* info = command_table().find(name, name_len, hash);

    if (!s_password.empty() && !c->authenticated && uname != "AUTH" && uname != "QUIT" && uname != "HELLO") {
        rb_error("NOAUTH Authentication required.");
        return;
    }
    if (internal == 0) record_last_command(c, info, name, args, now);

    const bool subscribed = !c->channels.empty() || !c->patterns.empty();
    if (uname == "PING" && !c->in_multi) {
        if (argc > 1) {
            rb_bulk_sv(args[1]);
        } else {
            rb_simple("PONG");
        }
        return;
    }
    if (subscribed && !allowed_when_subscribed(uname)) {
        rb_error("only (P)SUBSCRIBE / (P)UNSUBSCRIBE / PING / QUIT allowed in this context");
        return;
    }
    if (c->in_multi && uname != "MULTI" && uname != "EXEC" && uname != "DISCARD" && uname != "RESET") {
        queue_command(c, args, uname);
        return;
    }
    if (uname == "ECHO") {
        if (argc > 1) {
            rb_bulk_sv(args[1]);
        } else {
            rb_error("wrong number of arguments for 'echo' command");
        }
        return;
    }
    const bool write = info != nullptr ? info->write : is_write_command(uname);
    if (write && aof_refusing_writes()) {
        rb_error(kErrLogNotWritable);
        return;
    }
    if (info == nullptr) {
        char msg[128];
        std::snprintf(msg, sizeof(msg), "unknown command '%s'", name);
        rb_error(msg);
        return;
    }
    CommandHandler handler = info->handler;
    run_handler(handler, c, args);
}

int parse_strict_ll(std::string_view text, int64_t* out) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = (text[i++] == '-');
    if (i == text.size()) return 0;
    const uint64_t limit = negative ? (uint64_t(1) << 63) : uint64_t(INT64_MAX);
    uint64_t mag = 0;
    for (; i < text.size(); ++i) {
        char ch = text[i];
        if (ch < '0' || ch > '9') return 0;
        uint64_t digit = static_cast<uint64_t>(ch - '0');
        if (mag > (limit - digit) / 10) return 0;
        mag = mag * 10 + digit;
    }
    *out = negative ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
    return 1;
}

int parse_strict_float(std::string_view text, double* out) {
    if (text.empty()) return 0;
    // strtod needs a terminated text; short ones (every ordinary number) are
    // copied to the stack so the hot path allocates nothing. An embedded NUL
    // stops the conversion early and fails the check below.
    char small[64];
    std::string large;
    const char* start = small;
    if (text.size() < sizeof(small)) {
        std::memcpy(small, text.data(), text.size());
        small[text.size()] = '\0';
    } else {
        large.assign(text);
        start = large.c_str();
    }
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(start, &end);
    if (end != start + text.size()) return 0;
    if (!std::isfinite(v)) return 0;
    *out = v;
    return 1;
}
