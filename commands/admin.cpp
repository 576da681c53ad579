// admin.cpp — connection and server administration: RESET, CLIENT, COMMAND,
// INFO, CONFIG, OBJECT, DBSIZE, FLUSHDB/FLUSHALL, SAVE, BGSAVE, LASTSAVE,
// SHUTDOWN and WAIT.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

#include "commands/blocking.h"
#include "commands/command_util.h"
#include "server/metrics.h"

namespace {

constexpr size_t kMaxCommandName = 32;

std::string lower(std::string_view s, size_t max) {
    std::string out(s.substr(0, max));
    for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return out;
}

// The argument is printed up to its first NUL, cut to fit the message.
void reply_unknown_client_subcommand(Reply& out, const Args& a) {
    char msg[160];
    std::snprintf(msg, sizeof(msg), "unknown subcommand '%s'. Try CLIENT HELP.", a.argc > 1 ? a.argv[1] : "");
    out.error(msg);
}

void cmd_reset(Call& call, const Args&) {
    Client* c = call.client;
    c->queue.clear();
    c->in_multi = 0;
    c->multi_failed = false;
    c->channels.clear();
    c->patterns.clear();
    unwatch_all(call.server, c);
    call.out.simple("OK");
}

// One line of CLIENT INFO / CLIENT LIST, without a line end.
std::string client_info_line(Client* c, const char* cmd) {
    char peer[64], local[64];
    client_peer_addr(c, peer);
    client_local_addr(c, local);
    const int64_t now = platform::current_time_ms();
    const int64_t last = c->last_cmd_ms != 0 ? c->last_cmd_ms : c->created_ms;
    char head[512];
    std::snprintf(head, sizeof(head), "id=%" PRIu64 " addr=%s laddr=%s fd=%d name=", c->id, peer, local,
                  static_cast<int>(c->sock));
    char tail[640];
    std::snprintf(tail, sizeof(tail),
                  " age=%lld idle=%lld flags=N db=0 sub=%d psub=%d ssub=0 multi=%d qbuf=26 qbuf-free=16360 "
                  "argv-mem=10 multi-mem=0 rbs=1032 rbp=0 obl=0 oll=0 omem=0 tot-mem=18226 events=r cmd=%s "
                  "user=default redir=-1 resp=%d lib-name=",
                  static_cast<long long>((now - c->created_ms) / 1000), static_cast<long long>((now - last) / 1000),
                  static_cast<int>(c->channels.size()), static_cast<int>(c->patterns.size()), c->in_multi ? 0 : -1,
                  cmd, c->resp3() ? 3 : 2);
    return head + c->name + tail + c->lib_name + " lib-ver=" + c->lib_ver;
}

// The subcommands CLIENT accepts into a MULTI queue (ASCII, lower case).
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

// Inside MULTI an unknown subcommand is refused instead of queued (CLIENT
// without one fails its arity check before this is asked).
bool client_queue_check(Call& call, const Args& a) {
    if (a.argc <= 1 || is_client_subcommand(a[1])) return true;
    reply_unknown_client_subcommand(call.out, a);
    return false;
}

// Connection names and library attributes may not hold spaces or line breaks.
bool valid_client_text(std::string_view text) { return text.find_first_of(" \n") == std::string_view::npos; }

// CLIENT SETINFO LIB-NAME name / LIB-VER version: what the client library
// reports about itself, shown by CLIENT INFO and CLIENT LIST.
void client_setinfo(Call& call, const Args& a) {
    Reply& out = call.out;
    if (a.argc != 4) return out.error("wrong number of arguments for 'client|setinfo' command");
    std::string* field = nullptr;
    if (word_is(a[2], "LIB-NAME")) {
        field = &call.client->lib_name;
    } else if (word_is(a[2], "LIB-VER")) {
        field = &call.client->lib_ver;
    } else {
        const std::string attr(a[2].substr(0, 64));
        char msg[128];
        std::snprintf(msg, sizeof(msg), "Unrecognized option '%s'", attr.c_str());
        return out.error(msg);
    }
    if (!valid_client_text(a[3])) {
        const std::string attr = lower(a[2], 16);
        char msg[128];
        std::snprintf(msg, sizeof(msg), "%s cannot contain spaces, newlines or special characters.", attr.c_str());
        return out.error(msg);
    }
    field->assign(a[3].substr(0, 255));
    out.simple("OK");
}

void cmd_client(Call& call, const Args& a) {
    Client* c = call.client;
    Reply& out = call.out;
    std::string_view sub = a[1];
    if (word_is(sub, "ID")) return out.integer(static_cast<long long>(c->id));
    if (word_is(sub, "GETNAME")) return c->name.empty() ? out.null() : out.bulk(c->name);
    if (word_is(sub, "SETNAME")) {
        if (a.argc < 3) return out.error("wrong number of arguments for 'client|setname' command");
        std::string_view name = a[2];
        if (!valid_client_text(name)) {
            return out.error("Client names cannot contain spaces, newlines or special characters.");
        }
        c->name.assign(name.substr(0, 255));
        return out.simple("OK");
    }
    if (word_is(sub, "SETINFO")) return client_setinfo(call, a);
    if (word_is(sub, "INFO")) return out.bulk(client_info_line(c, "client|info"));
    if (word_is(sub, "LIST")) {
        std::string text;
        const ClientTable& clients = call.server.clients;
        for (int i = 0; i < clients.size(); ++i) {
            Client* r = clients.at(i);
            if (r == nullptr || r->closed()) continue;
            text += client_info_line(r, r->last_cmd[0] ? r->last_cmd : "connect");
            text += '\n';
        }
        return out.bulk(text);
    }
    if (word_is(sub, "HELP")) {
        static const char* const lines[] = {"CLIENT ID",       "CLIENT INFO",   "CLIENT LIST",    "CLIENT GETNAME",
                                            "CLIENT SETNAME name", "CLIENT NO-TOUCH", "CLIENT REPLY", "CLIENT UNPAUSE",
                                            "CLIENT PAUSE",    "CLIENT KILL",   "CLIENT TRACKING", "CLIENT CACHING",
                                            "CLIENT GETREDIR"};
        out.array(13);
        for (const char* l : lines) out.bulk(std::string_view(l));
        return;
    }
    reply_unknown_client_subcommand(out, a);
}

// One COMMAND entry: name, arity (negative: at least), flags, first key, last
// key, key step. Key positions are the usual single-key form's.
void reply_command_entry(Reply& out, const CommandDef& def) {
    out.array(6);
    out.bulk(lower(def.name, 32));
    out.integer(def.max_args == def.min_args ? def.min_args : -def.min_args);
    const bool blocking = (def.flags & kCmdMayBlock) != 0, no_auth = (def.flags & kCmdNoAuth) != 0;
    out.array(1 + (blocking ? 1 : 0) + (no_auth ? 1 : 0));
    out.simple((def.flags & kCmdWrite) != 0 ? "write" : "readonly");
    if (blocking) out.simple("blocking");
    if (no_auth) out.simple("no-auth");
    const int first_key = def.min_args > 1 ? 1 : 0;
    out.integer(first_key);
    out.integer(first_key);
    out.integer(first_key);
}

// COMMAND [COUNT | LIST | INFO name ... | DOCS]: answered from the command table.
void cmd_command(Call& call, const Args& a) {
    Reply& out = call.out;
    const std::vector<const CommandDef*>& defs = all_commands();
    if (a.argc == 1) {
        out.array(static_cast<long long>(defs.size()));
        for (const CommandDef* d : defs) reply_command_entry(out, *d);
        return;
    }
    if (word_is(a[1], "COUNT")) return out.integer(static_cast<long long>(defs.size()));
    if (word_is(a[1], "LIST")) {
        out.array(static_cast<long long>(defs.size()));
        for (const CommandDef* d : defs) out.bulk(lower(d->name, 32));
        return;
    }
    if (word_is(a[1], "INFO")) {
        out.array(a.argc - 2);
        for (int i = 2; i < a.argc; ++i) {
            std::string upper(a[i].substr(0, 32));
            for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            const CommandDef* d = command_lookup(upper);
            if (d != nullptr) {
                reply_command_entry(out, *d);
            } else {
                out.null_array();
            }
        }
        return;
    }
    if (word_is(a[1], "DOCS")) return out.map(0);
    out.error(kErrSyntax);
}

std::string info_text(Server& srv, Keyspace* ks) {
    const int64_t now = platform::current_time_ms();
    const int64_t up = now - srv.stats.start_time_ms;
    const uint64_t used = ks->used_memory;
    const uint64_t limit = dict_maxmemory_bytes(ks);
    const std::string& policy = srv.config.find("maxmemory-policy")->value;
    const int clients = srv.clients.size();
    char buf[4096];
    std::snprintf(
        buf, sizeof(buf),
        "# Server\r\nvorel_version:1.3.2\r\nvorel_mode:standalone\r\nos:Windows_x64_Linux\r\narch_bits:64\r\n"
        "multiplexing_api:select\r\ntcp_port:%d\r\nuptime_in_seconds:%lld\r\nuptime_in_days:%lld\r\n"
        "process_id:%d\r\nrun_id:tavrinexvorel000000000000000000000000000\r\nrole:master\r\nconnected_slaves:0\r\n"
        "repl_backlog_active:0\r\nkeyspace_hits:%" PRIu64 "\r\nkeyspace_misses:%" PRIu64
        "\r\ntotal_connections_received:%" PRIu64 "\r\ntotal_commands_processed:%" PRIu64
        "\r\ninstantaneous_ops_per_sec:%" PRIu64 "\r\ntotal_net_input_bytes:%" PRIu64
        "\r\ntotal_net_output_bytes:%" PRIu64 "\r\nexpired_keys:%" PRIu64 "\r\nevicted_keys:%" PRIu64
        "\r\nused_memory:%" PRIu64
        "\r\nused_memory_human:%.2fM\r\nused_memory_rss:%" PRIu64 "\r\nmaxmemory:%" PRIu64
        "\r\nmaxmemory_human:%.2fM\r\nmaxmemory_policy:%s\r\nmem_fragmentation_ratio:1.00\r\nloading:0\r\n"
        "aof_last_write_status:%s\r\naof_enabled:%d\r\naof_fsync:%s\r\naof_rewrite_in_progress:%d\r\n"
        "aof_rewrites:%" PRIu64 "\r\naof_last_bgrewrite_status:%s\r\naof_current_size:%" PRIu64
        "\r\naof_base_size:%" PRIu64 "\r\nconnected_clients:%d\r\nclients_memory:%" PRIu64
        "\r\nmaxmemory_clients:%" PRIu64 "\r\nblocked_clients:%d\r\n"
        "tracking_clients:0\r\nclients_in_timeout_table:0\r\ncurrent_client:%d\r\n"
        "client_recent_max_input_buffer:0\r\nclient_recent_max_output_buffer:0\r\nexecutable:.\r\nconfig_file:\r\n"
        "\r\n# Keyspace\r\ndb0:keys=%" PRIu64 ",expires=0,avg_ttl=0\r\n",
        srv.port, static_cast<long long>(up / 1000), static_cast<long long>(up / 86400000),
        static_cast<int>(platform::process_id()), ks->keyspace_hits, ks->keyspace_misses,
        srv.stats.total_connections, srv.stats.total_commands, srv.stats.ops_last_sec, srv.stats.net_input_bytes,
        srv.stats.net_output_bytes, ks->expired_keys, ks->evicted_keys, used, static_cast<double>(used) / 1048576.0,
        used, limit, static_cast<double>(limit) / 1048576.0, policy.empty() ? "allkeys-lru" : policy.c_str(),
        srv.log.last_write_ok() ? "ok" : "err", srv.log.is_open() ? 1 : 0, fsync_policy_name(srv.log.fsync_policy()),
        srv.rewrite.in_progress() ? 1 : 0, srv.rewrite.rewrites(), srv.rewrite.last_ok() ? "ok" : "err",
        srv.log.size(), srv.rewrite.base_size(), clients, srv.clients.memory_used(), srv.clients.memory_limit,
        blocked_client_count(srv), clients, ks->key_count);
    return buf;
}

void cmd_bgrewriteaof(Call& call, const Args&) {
    const char* error = nullptr;
    if (!call.server.rewrite.request(call.server, &error)) return call.out.error(error);
    call.out.simple("Background append only file rewriting started");
}
std::string command_name_lower(const CommandDef& def) { return lower(def.name, kMaxCommandName); }

// "cmdstat_<name>:calls=..,usec=..,usec_per_call=..,rejected_calls=..,failed_calls=.." for
// every command that ran or was refused since the last reset.
std::string commandstats_text(const Server& srv) {
    std::string text = "# Commandstats\r\n";
    const auto& defs = all_commands();
    for (size_t i = 0; i < srv.command_stats.size() && i < defs.size(); ++i) {
        const CommandStats& st = srv.command_stats[i];
        const uint64_t calls = st.calls();
        if (calls == 0 && st.rejected_calls == 0) continue;
        const uint64_t ns = st.ns();
        char line[256];
        std::snprintf(line, sizeof(line),
                      "cmdstat_%s:calls=%" PRIu64 ",usec=%" PRIu64 ",usec_per_call=%.2f,rejected_calls=%" PRIu64
                      ",failed_calls=%" PRIu64 "\r\n",
                      command_name_lower(*defs[i]).c_str(), calls, ns / 1000,
                      calls ? static_cast<double>(ns) / 1000.0 / static_cast<double>(calls) : 0.0,
                      st.rejected_calls, st.failed_calls);
        text += line;
    }
    return text;
}

// "latency_percentiles_usec_<name>:p50=..,p99=..,p99.9=.." for every command that ran.
std::string latencystats_text(const Server& srv) {
    std::string text = "# Latencystats\r\n";
    const auto& defs = all_commands();
    for (size_t i = 0; i < srv.command_stats.size() && i < defs.size(); ++i) {
        const CommandStats& st = srv.command_stats[i];
        if (st.calls() == 0) continue;
        const auto usec = [&](double p) {
            return static_cast<double>(platform::ticks_to_ns(st.latency.percentile(p))) / 1000.0;
        };
        char line[256];
        std::snprintf(line, sizeof(line), "latency_percentiles_usec_%s:p50=%.3f,p99=%.3f,p99.9=%.3f\r\n",
                      command_name_lower(*defs[i]).c_str(), usec(50), usec(99), usec(99.9));
        text += line;
    }
    return text;
}

// INFO with no argument gives the general text; COMMANDSTATS and LATENCYSTATS
// give their sections, ALL and EVERYTHING give all three, and any other section
// name gives the general text.
void cmd_info(Call& call, const Args& a) {
    bool general = a.argc == 1, commandstats = false, latencystats = false;
    for (int i = 1; i < a.argc; ++i) {
        if (word_is(a[i], "COMMANDSTATS")) {
            commandstats = true;
        } else if (word_is(a[i], "LATENCYSTATS")) {
            latencystats = true;
        } else if (word_is(a[i], "ALL") || word_is(a[i], "EVERYTHING")) {
            general = commandstats = latencystats = true;
        } else {
            general = true;
        }
    }
    std::string text;
    if (general) text = info_text(call.server, call.ks);
    if (commandstats) text += (text.empty() ? "" : "\r\n") + commandstats_text(call.server);
    if (latencystats) text += (text.empty() ? "" : "\r\n") + latencystats_text(call.server);
    call.out.bulk(text);
}

void config_get(Call& call, const Args& a) {
    Reply& out = call.out;
    if (a.argc == 2) return out.error("wrong number of arguments for 'config|get' command");
    out.map(a.argc - 2);
    for (int i = 2; i < a.argc; ++i) {
        std::string name = lower(a[i], 63);
        const ConfigRow* row = call.server.config.find(name);
        out.bulk(name);
        out.bulk(row ? std::string_view(row->value) : std::string_view());
    }
}

// One CONFIG SET pair, checked before any pair of the command is applied.
struct ConfigChange {
    ConfigRow* row;
    std::string value;  // as the row keeps it: sizes in bytes
    uint64_t number = 0;
};

bool is_size_row(std::string_view name) { return name == "maxmemory" || name == "maxmemory-clients"; }

// Checks a value for its row and puts it in the form the row keeps. False when
// the row takes a size or a number and the value is none.
bool prepare_change(ConfigRow* row, std::string_view value, ConfigChange* change) {
    const std::string_view name = row->name;
    change->row = row;
    if (is_size_row(name)) {
        if (!parse_memory_size(value, &change->number)) return false;
        change->value = std::to_string(change->number);
    } else if (name == "slowlog-log-slower-than" || name == "slowlog-max-len") {
        int64_t number = 0;
        if (!parse_strict_ll(value, &number)) return false;
        if (name == "slowlog-max-len" && number < 0) return false;
        change->number = static_cast<uint64_t>(number);
        change->value = std::to_string(number);
    } else if (name == "timeout") {
        int64_t seconds = 0;
        if (!parse_strict_ll(value, &seconds) || seconds < 0 || seconds > INT32_MAX) return false;
        change->number = static_cast<uint64_t>(seconds);
        change->value = std::to_string(seconds);
    } else if (name == "requirepass") {
        change->value.assign(value);  // whole: a cut password would let its prefix in
    } else if (name == "appendfsync") {
        FsyncPolicy policy = FsyncPolicy::EverySec;
        if (!parse_fsync_policy(value, &policy)) return false;
        change->value.assign(value);
    } else {
        change->value.assign(value.substr(0, 255));
    }
    return true;
}

// Applies one checked pair; rows with an effect are the memory limits, the idle
// time-out and the password (new AUTH checks and new connections use it; with
// no password every connection counts as authenticated).
void apply_change(Call& call, const ConfigChange& change) {
    Server& srv = call.server;
    change.row->value = change.value;
    const std::string_view name = change.row->name;
    if (name == "maxmemory") {
        dict_set_max_memory_bytes(call.ks, change.number);
    } else if (name == "maxmemory-clients") {
        srv.clients.memory_limit = change.number;
    } else if (name == "timeout") {
        srv.clients.idle_timeout_ms = static_cast<int64_t>(change.number) * 1000;
    } else if (name == "requirepass") {
        srv.password = change.value;
        if (srv.password.empty()) {
            for (int i = 0; i < srv.clients.size(); ++i) srv.clients.at(i)->authenticated = 1;
        }
    } else if (name == "appendfsync") {
        FsyncPolicy policy = FsyncPolicy::EverySec;
        if (parse_fsync_policy(change.value, &policy)) srv.log.set_fsync_policy(policy);
    } else if (name == "slowlog-log-slower-than") {
        srv.slowlog.set_slower_than_us(static_cast<int64_t>(change.number));
    } else if (name == "slowlog-max-len") {
        srv.slowlog.max_len = static_cast<size_t>(change.number);
        srv.slowlog.trim();
    }
}

void config_set(Call& call, const Args& a) {
    if (a.argc == 2) return call.out.error("wrong number of arguments for 'config|set' command");
    std::vector<ConfigChange> changes;
    for (int i = 2; i + 1 < a.argc; i += 2) {
        ConfigRow* row = call.server.config.find(lower(a[i], 63));
        if (row == nullptr) return call.out.error("Invalid parameter or number of arguments for CONFIG SET");
        ConfigChange change;
        if (!prepare_change(row, a[i + 1], &change)) {
            char msg[160];
            std::snprintf(msg, sizeof(msg), "Invalid argument '%.*s' for CONFIG SET '%s'",
                          static_cast<int>(std::min<size_t>(a.lens[i + 1], 64)), a.argv[i + 1], row->name);
            return call.out.error(msg);
        }
        changes.push_back(std::move(change));
    }
    for (const ConfigChange& change : changes) apply_change(call, change);
    call.out.simple("OK");
}

void cmd_config(Call& call, const Args& a) {
    std::string sub = lower(a[1], 31);
    if (sub == "get") return config_get(call, a);
    if (sub == "set") return config_set(call, a);
    if (sub == "resetstat") {
        Stats& stats = call.server.stats;
        stats.total_commands = stats.ops_last_sec = stats.ops_current_sec = 0;
        call.ks->keyspace_hits = call.ks->keyspace_misses = 0;
        call.ks->expired_keys = call.ks->evicted_keys = 0;
        stats.net_input_bytes = stats.net_output_bytes = 0;
        for (CommandStats& st : call.server.command_stats) st = CommandStats{};
        return call.out.simple("OK");
    }
    call.out.error(kErrSyntax);
}

// Containers up to this many elements answer the compact encoding's name.
constexpr int64_t kCompactElements = 128;
constexpr uint64_t kEmbeddedStringMax = 44;

// The encoding name of the key's value from what it holds: integers, short
// strings kept in the entry, longer ones; small and large containers.
const char* encoding_name(Keyspace* ks, std::string_view key) {
    const Entry* e = dict_find_entry(ks, key);
    if (e == nullptr) return nullptr;
    if (e->type == KEY_TYPE_STRING) {
        const std::string_view v = entry_str(e);
        int64_t ignored = 0;
        if (v.size() <= 20 && parse_strict_ll(v, &ignored)) return "int";
        return !entry_str_external(e) && v.size() <= kEmbeddedStringMax ? "embstr" : "raw";
    }
    const bool compact = dict_key_count(ks, key) <= kCompactElements;
    switch (e->type) {
        case KEY_TYPE_LIST: return compact ? "listpack" : "quicklist";
        case KEY_TYPE_ZSET: return compact ? "listpack" : "skiplist";
        default: return compact ? "listpack" : "hashtable";
    }
}

void cmd_object(Call& call, const Args& a) {
    Reply& out = call.out;
    std::string sub = lower(a[1], 31);
    if (sub == "encoding") {
        const char* name = encoding_name(call.ks, a[2]);
        return name != nullptr ? out.simple(name) : out.null();
    }
    // Access frequency is not tracked: eviction orders keys by last access.
    if (sub == "freq") {
        if (dict_exists(call.ks, a[2]) != DictStatus::Ok) return out.null();
        return out.error("An LFU maxmemory policy is not selected, access frequency not tracked.");
    }
    if (sub == "refcount") return dict_exists(call.ks, a[2]) == DictStatus::Ok ? out.integer(1) : out.null();
    if (sub == "idletime") {
        const DictCount last = dict_last_accessed_ms(call.ks, a[2]);
        if (!last.ok()) return out.null();
        return out.integer((platform::current_time_ms() - last.value) / 1000);
    }
    out.error(kErrSyntax);
}

void cmd_dbsize(Call& call, const Args&) { call.out.integer(static_cast<long long>(call.ks->key_count)); }

// Logged as the command name alone (the ASYNC/SYNC word has no effect on replay),
// also when the keyspace was already empty.
void cmd_flush(Call& call, const Args& a) {
    for (int i = 1; i < a.argc; ++i) {
        if (!word_is(a[i], "ASYNC") && !word_is(a[i], "SYNC")) return call.out.error(kErrSyntax);
    }
    dict_flush(call.ks);
    call.log_request_prefix(1);
    call.out.simple("OK");
}

void cmd_save(Call& call, const Args&) {
    LogWriter& log = call.server.log;
    if (log.is_open()) log.flush();
    log.set_last_save_s(platform::current_time_s());
    call.out.simple("OK");
}

void cmd_lastsave(Call& call, const Args&) {
    const LogWriter& log = call.server.log;
    call.out.integer(log.is_open() ? log.last_save_s() : platform::current_time_s());
}

void cmd_ok(Call& call, const Args&) { call.out.simple("OK"); }
void cmd_wait(Call& call, const Args&) { call.out.integer(0); }

const CommandRegistrar registrar({
    {"RESET", 1, -1, kCmdSubscribed | kCmdNoQueue, cmd_reset},
    {"CLIENT", 2, -1, kCmdSubcommandName, cmd_client, "unknown subcommand ''. Try CLIENT HELP.", client_queue_check},
    {"COMMAND", 1, -1, 0, cmd_command},
    {"INFO", 1, -1, 0, cmd_info},
    {"CONFIG", 2, -1, 0, cmd_config},
    {"OBJECT", 3, -1, 0, cmd_object},
    {"DBSIZE", 1, -1, 0, cmd_dbsize},
    {"FLUSHDB", 1, -1, kCmdWrite, cmd_flush},
    {"FLUSHALL", 1, -1, kCmdWrite, cmd_flush},
    {"SAVE", 1, -1, 0, cmd_save},
    {"BGSAVE", 1, -1, 0, cmd_save},
    {"BGREWRITEAOF", 1, 1, 0, cmd_bgrewriteaof},
    {"LASTSAVE", 1, -1, 0, cmd_lastsave},
    {"SHUTDOWN", 1, -1, 0, cmd_ok},
    {"WAIT", 1, -1, 0, cmd_wait},
});

}  // namespace
