// dispatch.cpp — the command table and the dispatcher: the frame every request
// passes (statistics, name lookup, authentication, last-command record, the
// subscribe and transaction gates, the log gate, arity), the handler call, and
// the logging of what a writing command changed. Also the strict argument parsers.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "commands/blocking.h"
#include "commands/command.h"

// One registered command with what the frame needs to find it without
// comparing names.
struct CommandInfo {
    static constexpr size_t kMaxName = 24;
    CommandDef def{};
    bool used = false;
    uint8_t len = 0;
    uint16_t id = 0;  // place in registration order: indexes the server's per-command figures
    uint32_t hash = 0;
    char upper[kMaxName] = {};
    char lower[kMaxName] = {};
};

namespace {

// Upper-cases ASCII letters only, whatever locale the host process has set.
constexpr unsigned char ascii_upper(unsigned char ch) { return ch >= 'a' && ch <= 'z' ? ch - ('a' - 'A') : ch; }
constexpr unsigned char ascii_lower(unsigned char ch) { return ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch; }

constexpr uint32_t kFnvBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;
constexpr uint32_t name_hash_step(uint32_t h, unsigned char upper) { return (h ^ upper) * kFnvPrime; }

// Names are a few bytes long: a plain loop beats a library call.
inline bool same_name(const char* a, const char* b, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// Open addressing over the hash of the upper-cased name: a request's name is
// hashed once while it is upper-cased and found with one or two probes, with no
// allocation. Filled during static initialisation by the families' registrars,
// read-only after.
struct CommandTable {
    static constexpr size_t kSlots = 512;  // a power of two, well above the command count
    CommandInfo slots[kSlots];
    size_t used = 0;
    std::vector<const CommandDef*> in_order;

    CommandInfo* find(const char* upper, size_t len, uint32_t hash) {
        for (size_t i = hash & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
            CommandInfo& slot = slots[i];
            if (!slot.used) return nullptr;
            if (slot.hash == hash && slot.len == len && same_name(slot.upper, upper, len)) return &slot;
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

void record_last_command(Client* c, const CommandInfo* info, const char* name, const Args& args, int64_t now) {
    if (info != nullptr && (info->def.flags & kCmdSubcommandName) != 0 && args.argc > 1) {
        char sub[16];
        size_t n = 0;
        for (; n < 15 && n < args.lens[1] && args.argv[1][n] != '\0'; ++n) {
            sub[n] = static_cast<char>(ascii_lower(static_cast<unsigned char>(args.argv[1][n])));
        }
        sub[n] = '\0';
        char both[CommandInfo::kMaxName + sizeof(sub) + 1];
        std::snprintf(both, sizeof(both), "%s|%s", info->lower, sub);
        std::snprintf(c->last_cmd, sizeof(c->last_cmd), "%.*s", static_cast<int>(sizeof(c->last_cmd) - 1), both);
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

// Replies the arity error and returns false when argc is outside the command's bounds.
bool arity_ok(const CommandInfo& info, Call& call, int argc) {
    if (argc >= info.def.min_args && (info.def.max_args < 0 || argc <= info.def.max_args)) return true;
    if (info.def.arity_error != nullptr) {
        call.out.error(info.def.arity_error);
    } else {
        reply_arity_error(call.out, info.lower);
    }
    return false;
}

// The server's figures of a command; the array is sized to the table at start,
// or on first use by a server that was never started. The bound is checked in
// bytes: the element's offset is needed anyway, while an element count would
// cost a division by the element's size.
CommandStats& stats_of(Server& srv, const CommandInfo& info) {
    std::vector<CommandStats>& all = srv.command_stats;
    const auto bytes = static_cast<size_t>(reinterpret_cast<const char*>(std::to_address(all.end())) -
                                           reinterpret_cast<const char*>(all.data()));
    if (info.id * sizeof(CommandStats) >= bytes) [[unlikely]] all.resize(command_table().in_order.size());
    return all[info.id];
}

// Counts a refusal of a known command that reached the frame from a client.
void count_rejected(Server& srv, const CommandInfo* info, Origin origin) {
    if (info != nullptr && origin != Origin::Replay) stats_of(srv, *info).rejected_calls += 1;
}

void reply_unknown_command(Reply& out, const char* name) {
    char msg[128];
    std::snprintf(msg, sizeof(msg), "unknown command '%s'", name);
    out.error(msg);
}

// Queues a command inside MULTI. What the table can tell now is checked now: an
// unknown name, a wrong argument count, the log gate and the command's own queue
// check. A command refused here is answered with its error at once and marks the
// transaction, which EXEC then discards.
void queue_command(Call& call, const CommandInfo* info, const char* name, const Args& args) {
    Client* c = call.client;
    bool queued = false;
    if (info == nullptr) {
        reply_unknown_command(call.out, name);
    } else if ((info->def.flags & kCmdWrite) != 0 && call.server.log.refusing_writes()) {
        call.out.error(kErrLogNotWritable);
    } else if (arity_ok(*info, call, args.argc)) {
        queued = info->def.queue_check == nullptr || info->def.queue_check(call, args);
    }
    if (!queued) {
        c->multi_failed = true;
        return;
    }
    QueuedCommand q;
    q.args.reserve(static_cast<size_t>(args.argc));
    for (int i = 0; i < args.argc; ++i) q.args.emplace_back(args[i]);
    c->queue.push_back(std::move(q));
    call.out.simple("QUEUED");
}

// Runs the handler and stages what it changed. Running out of memory answers
// an error instead of ending the host process: whatever the command had replied
// is taken back and the error stands as its one reply (inside EXEC, as its slot).
// A writing command that changed the keyspace is logged as its request unless
// its handler stated other records; the DELs of keys its growth evicted follow.
// A network request's records are committed with its batch, which marks its
// reply so a failed commit turns it into the log error; a command inside EXEC
// is committed with the transaction; any other is committed here.
void run_handler(const CommandInfo& info, Call& call, Origin origin) {
    Server& srv = call.server;
    const size_t reply_start = call.out.mark();
    const uint64_t dirty_before = call.ks->dirty;
    const size_t staged_before = srv.log.staged_size();
    const size_t marks_before = srv.framing.log_marks.size();
    const bool writes = (info.def.flags & kCmdWrite) != 0;
    bool out_of_memory = false;
    try {
        if (writes && srv.rewrite.active()) srv.rewrite.before_write(srv, call.args.argc, call.args.argv, call.args.lens);
        info.def.handler(call, call.args);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    const bool changed = writes && !out_of_memory && call.ks->dirty != dirty_before;
    try {
        if (changed && srv.log.is_open() && !call.stated_log) call.log_request();
        // Parked clients served by this write log their hand-overs after it.
        if (changed) note_keys_written(call);
        if (srv.log.is_open()) srv.log.stage_evictions();
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    if (out_of_memory) {
        call.out.rollback(reply_start);
        call.out.error(kErrOutOfMemory);
    }
    if (!srv.log.is_open()) return;
    const bool staged = srv.log.staged_size() != staged_before;
    if (origin == Origin::Network || origin == Origin::Exec) {
        // The batch's records are committed together after it; should that fail,
        // the replies marked here turn into the log error. Inside EXEC each
        // command marks its own slot, so the transaction's other replies stay.
        const bool inner_marks = srv.framing.log_marks.size() != marks_before;
        if (staged && !inner_marks && call.client != nullptr) {
            srv.framing.log_marks.push_back({call.client, reply_start, call.out.mark()});
        }
        return;
    }
    if (!srv.log.commit() && staged) {
        call.out.rollback(reply_start);
        call.out.error(kErrLogWriteFailed);
    }
}

}  // namespace

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
            while (table.slots[i].used) i = (i + 1) & (CommandTable::kSlots - 1);
            slot = &table.slots[i];
            slot->used = true;
            slot->len = static_cast<uint8_t>(name.size());
            slot->hash = hash;
            for (size_t k = 0; k < name.size(); ++k) {
                slot->upper[k] = name[k];
                slot->lower[k] = static_cast<char>(ascii_lower(static_cast<unsigned char>(name[k])));
            }
            slot->id = static_cast<uint16_t>(table.in_order.size());
            table.used += 1;
            table.in_order.push_back(&slot->def);
        }
        slot->def = d;
    }
}

const CommandDef* command_lookup(std::string_view upper_name) {
    if (upper_name.size() >= CommandInfo::kMaxName) return nullptr;
    CommandInfo* info = command_table().find(upper_name.data(), upper_name.size(), name_hash(upper_name));
    return info != nullptr ? &info->def : nullptr;
}

const std::vector<const CommandDef*>& all_commands() { return command_table().in_order; }

void reply_arity_error(Reply& out, std::string_view name_lower) {
    char msg[128];
    std::snprintf(msg, sizeof(msg), "wrong number of arguments for '%.*s' command", static_cast<int>(name_lower.size()),
                  name_lower.data());
    out.error(msg);
}

void dispatch_command(Server& srv, Client* c, int argc, char** argv, const uint64_t* lens, Origin origin) {
    if (argc <= 0) return;
    const bool network = origin == Origin::Network;
    const int64_t now = network ? srv.request_clock_ms() : 0;
    if (network) srv.stats.count_command(now);

    std::vector<uint64_t> measured;
    if (lens == nullptr) {
        measured.resize(static_cast<size_t>(argc));
        for (int i = 0; i < argc; ++i) measured[static_cast<size_t>(i)] = std::strlen(argv[i]);
        lens = measured.data();
    }
    const Args args{argc, argv, lens};
    Call call{srv, c, c->out, srv.keyspace, args};

    // The name ends at its first NUL and at 63 bytes; it is upper-cased and
    // hashed in the same pass, then looked up once. The same bytes as one of the
    // last two names found are that name again, with no lookup.
    FramingScratch::NameCache* cache = srv.framing.last_names;
    char name[64];
    name[0] = '\0';
    const CommandInfo* info = nullptr;
    for (const FramingScratch::NameCache& known : srv.framing.last_names) {
        if (known.info != nullptr && lens[0] == known.len && same_name(argv[0], known.bytes, known.len)) {
            info = known.info;
            break;
        }
    }
    if (info == nullptr) {
        size_t name_len = 0;
        uint32_t hash = kFnvBasis;
        for (; name_len < 63 && name_len < lens[0]; ++name_len) {
            const unsigned char ch = ascii_upper(static_cast<unsigned char>(argv[0][name_len]));
            if (ch == 0) break;
            name[name_len] = static_cast<char>(ch);
            hash = name_hash_step(hash, ch);
        }
        name[name_len] = '\0';
        info = name_len < CommandInfo::kMaxName ? command_table().find(name, name_len, hash) : nullptr;
        if (info != nullptr && lens[0] <= FramingScratch::NameCache::kMaxName) {
            cache[1] = cache[0];
            std::memcpy(cache[0].bytes, argv[0], lens[0]);
            cache[0].len = lens[0];
            cache[0].info = info;
        }
    }
    const uint32_t flags = info != nullptr ? info->def.flags : 0;

    if (!srv.password.empty() && !c->authenticated && (flags & kCmdNoAuth) == 0) {
        count_rejected(srv, info, origin);
        c->out.error("NOAUTH Authentication required.");
        return;
    }
    if (network) record_last_command(c, info, name, args, now);

    // A subscribed RESP2 connection carries only push frames and the few commands
    // that keep them apart; RESP3 tells pushes from replies, so it may run anything.
    if (c->subscribed() && !c->resp3() && (flags & kCmdSubscribed) == 0) {
        count_rejected(srv, info, origin);
        c->out.error("only (P)SUBSCRIBE / (P)UNSUBSCRIBE / PING / QUIT allowed in this context");
        return;
    }
    if (c->in_multi && (flags & kCmdNoQueue) == 0) {
        const size_t queue_reply = c->out.mark();
        queue_command(call, info, name, args);
        if (c->out.byte_at(queue_reply) == '-') count_rejected(srv, info, origin);
        return;
    }
    if ((flags & kCmdWrite) != 0 && srv.log.refusing_writes()) {
        count_rejected(srv, info, origin);
        c->out.error(kErrLogNotWritable);
        return;
    }
    if (info == nullptr) {
        reply_unknown_command(c->out, name);
        return;
    }
    if (!arity_ok(*info, call, argc)) {
        count_rejected(srv, info, origin);
        return;
    }
    if (origin == Origin::Replay) return run_handler(*info, call, origin);

    // Commands of one batch are timed back to back: the reading that ends one
    // starts the next, so each costs one tick read (the first of a batch two).
    // Inside EXEC each queued command is timed on its own. The figures stay in
    // ticks; INFO and /metrics turn them into time when they are read.
    const uint64_t start = network && srv.framing.command_tick != 0 ? srv.framing.command_tick : platform::ticks();
    const size_t reply_start = c->out.mark();
    run_handler(*info, call, origin);
    const uint64_t end = platform::ticks();
    if (network) srv.framing.command_tick = end;
    const uint64_t ticks = end > start ? end - start : 0;
    CommandStats& st = stats_of(srv, *info);
    st.ticks += ticks;
    st.latency.add(ticks);
    const char first = c->out.byte_at(reply_start);
    if (first == '-' || first == '!') st.failed_calls += 1;
    if (srv.slowlog.wants(ticks)) [[unlikely]] slowlog_record(srv, c, args, ticks);
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
