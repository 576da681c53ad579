// slowlog.cpp — the slow log: recording a command that ran for at least the
// configured time, and SLOWLOG GET [count] / LEN / RESET / HELP.
#include <cinttypes>
#include <cstdio>
#include <new>
#include <string>

#include "commands/command_util.h"

namespace {

// An argument as kept: at most kMaxArgBytes, then how many bytes were left out.
std::string kept_argument(std::string_view arg) {
    if (arg.size() <= SlowLog::kMaxArgBytes) return std::string(arg);
    std::string kept(arg.substr(0, SlowLog::kMaxArgBytes));
    char more[64];
    std::snprintf(more, sizeof(more), "... (%zu more bytes)", arg.size() - SlowLog::kMaxArgBytes);
    return kept + more;
}

void reply_entry(Reply& out, const SlowLogEntry& e) {
    out.array(6);
    out.integer(static_cast<long long>(e.id));
    out.integer(static_cast<long long>(e.unix_time_s));
    out.integer(static_cast<long long>(e.duration_us));
    out.array(static_cast<long long>(e.args.size()));
    for (const std::string& arg : e.args) out.bulk(arg);
    out.bulk(e.client_addr);
    out.bulk(e.client_name);
}

void cmd_slowlog(Call& call, const Args& a) {
    SlowLog& log = call.server.slowlog;
    Reply& out = call.out;
    const std::string_view sub = a[1];
    if (word_is(sub, "LEN") && a.argc == 2) return out.integer(static_cast<long long>(log.entries.size()));
    if (word_is(sub, "RESET") && a.argc == 2) {
        log.entries.clear();
        return out.simple("OK");
    }
    if (word_is(sub, "GET") && a.argc <= 3) {
        int64_t count = 10;
        if (a.argc == 3 && (!parse_strict_ll(a[2], &count) || count < -1)) {
            return out.error("count should be greater than or equal to -1");
        }
        size_t n = log.entries.size();
        if (count >= 0 && static_cast<uint64_t>(count) < n) n = static_cast<size_t>(count);
        out.array(static_cast<long long>(n));
        for (size_t i = 0; i < n; ++i) reply_entry(out, log.entries[i]);
        return;
    }
    if (word_is(sub, "HELP") && a.argc == 2) {
        static const char* const lines[] = {
            "SLOWLOG GET [<count>]", "    Return top <count> entries from the slowlog (default: 10, -1 means all).",
            "SLOWLOG LEN", "    Return the length of the slowlog.",
            "SLOWLOG RESET", "    Reset the slowlog."};
        out.array(static_cast<long long>(std::size(lines)));
        for (const char* l : lines) out.bulk(std::string_view(l));
        return;
    }
    char msg[160];
    std::snprintf(msg, sizeof(msg), "unknown subcommand or wrong number of arguments for '%.*s'. Try SLOWLOG HELP.",
                  static_cast<int>(sub.size() > 64 ? 64 : sub.size()), sub.data());
    out.error(msg);
}

const CommandRegistrar registrar({
    {"SLOWLOG", 2, -1, kCmdSubcommandName, cmd_slowlog},
});

}  // namespace

void slowlog_record(Server& srv, Client* c, const Args& a, uint64_t ticks) try {
    SlowLog& log = srv.slowlog;
    if (log.max_len == 0) return;
    SlowLogEntry e;
    e.id = log.next_id++;
    e.unix_time_s = platform::current_time_s();
    e.duration_us = platform::ticks_to_ns(ticks) / 1000;
    const size_t argc = static_cast<size_t>(a.argc);
    const size_t kept = argc > SlowLog::kMaxArgs ? SlowLog::kMaxArgs - 1 : argc;
    e.args.reserve(kept + 1);
    for (size_t i = 0; i < kept; ++i) e.args.push_back(kept_argument(a[static_cast<int>(i)]));
    if (kept < argc) e.args.push_back("... (" + std::to_string(argc - kept) + " more arguments)");
    char addr[64];
    client_peer_addr(c, addr);
    e.client_addr = addr;
    e.client_name = c->name;
    log.entries.push_front(std::move(e));
    log.trim();
} catch (const std::bad_alloc&) {
    // The command has run and replied; without memory it is just not logged.
}
