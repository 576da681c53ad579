// admin.cpp — connection and server administration: RESET, CLIENT, COMMAND,
// INFO, CONFIG, OBJECT, DBSIZE, FLUSHDB/FLUSHALL, SAVE, BGSAVE, LASTSAVE,
// SHUTDOWN and WAIT.
#include <cinttypes>
#include <cstring>
#include <string>

#include "commands/command_util.h"
#include "server/aof.h"
#include "server/server.h"

namespace {

std::string lower(std::string_view s, size_t max) {
    std::string out(s.substr(0, max));
    for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return out;
}

void reply_unknown_client_subcommand(const Args& a) {
    char msg[160];
    std::snprintf(msg, sizeof(msg), "unknown subcommand '%s'. Try CLIENT HELP.", a.argc > 1 ? a.argv[1] : "");
    rb_error(msg);
}

void cmd_reset(Client* c, const Args&) {
    c->queue.clear();
    c->in_multi = 0;
    c->channels.clear();
    c->patterns.clear();
    rb_simple("OK");
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
                  "user=default redir=-1 resp=%d lib-name= lib-ver=",
                  static_cast<long long>((now - c->created_ms) / 1000), static_cast<long long>((now - last) / 1000),
                  static_cast<int>(c->channels.size()), static_cast<int>(c->patterns.size()), c->in_multi ? 0 : -1,
                  cmd, c->resp3 ? 3 : 2);
    return head + c->name + tail;
}

void cmd_client(Client* c, const Args& a) {
    if (a.argc < 2) return reply_unknown_client_subcommand(a);
    std::string_view sub = a[1];
    if (word_is(sub, "ID")) return rb_int(static_cast<long long>(c->id));
    if (word_is(sub, "GETNAME")) return c->name.empty() ? rb_null() : rb_bulk_sv(c->name);
    if (word_is(sub, "SETNAME")) {
        if (a.argc < 3) return rb_error("wrong number of arguments for 'client|setname' command");
        std::string_view name = a[2];
        if (name.find(' ') != std::string_view::npos || name.find('\n') != std::string_view::npos) {
            return rb_error("Client names cannot contain spaces, newlines or special characters.");
        }
        c->name.assign(name.substr(0, 255));
        return rb_simple("OK");
    }
    if (word_is(sub, "INFO")) return rb_bulk_sv(client_info_line(c, "client|info"));
    if (word_is(sub, "LIST")) {
        std::string text;
        ServerLock lock(s_mutex());
        for (int i = 0; i < s_client_count; ++i) {
            Client* r = s_clients[i];
            if (r == nullptr || r->closed()) continue;
            text += client_info_line(r, r->last_cmd[0] ? r->last_cmd : "connect");
            text += '\n';
        }
        return rb_bulk_sv(text);
    }
    if (word_is(sub, "HELP")) {
        static const char* const lines[] = {"CLIENT ID",       "CLIENT INFO",   "CLIENT LIST",    "CLIENT GETNAME",
                                            "CLIENT SETNAME name", "CLIENT NO-TOUCH", "CLIENT REPLY", "CLIENT UNPAUSE",
                                            "CLIENT PAUSE",    "CLIENT KILL",   "CLIENT TRACKING", "CLIENT CACHING",
                                            "CLIENT GETREDIR"};
        rb_arr_hdr(13);
        for (const char* l : lines) rb_bulk(l);
        return;
    }
    reply_unknown_client_subcommand(a);
}

void cmd_command(Client*, const Args& a) {
    if (a.argc > 1 && word_is(a[1], "COUNT")) return rb_int(110);
    rb_arr_hdr(0);
}

std::string info_text() {
    const int64_t now = platform::current_time_ms();
    const int64_t up = now - s_start_time_ms;
    const uint64_t used = s_dict ? s_dict->used_memory : 0;
    const int32_t limit_mb = dict_maxmemory_mb(s_dict);
    const std::string& policy = config_find("maxmemory-policy")->value;
    char buf[4096];
    std::snprintf(
        buf, sizeof(buf),
        "# Server\r\nvorel_version:1.3.2\r\nvorel_mode:standalone\r\nos:Windows_x64_Linux\r\narch_bits:64\r\n"
        "multiplexing_api:select\r\ntcp_port:%d\r\nuptime_in_seconds:%lld\r\nuptime_in_days:%lld\r\n"
        "process_id:%d\r\nrun_id:tavrinexvorel000000000000000000000000000\r\nrole:master\r\nconnected_slaves:0\r\n"
        "repl_backlog_active:0\r\nkeyspace_hits:%" PRIu64 "\r\nkeyspace_misses:%" PRIu64
        "\r\ntotal_connections_received:%" PRIu64 "\r\ntotal_commands_processed:%" PRIu64
        "\r\ninstantaneous_ops_per_sec:%" PRIu64
        "\r\ntotal_net_input_bytes:0\r\ntotal_net_output_bytes:0\r\nused_memory:%" PRIu64
        "\r\nused_memory_human:%.2fM\r\nused_memory_rss:%" PRIu64 "\r\nmaxmemory:%" PRIu64
        "\r\nmaxmemory_human:%.2fM\r\nmaxmemory_policy:%s\r\nmem_fragmentation_ratio:1.00\r\nloading:0\r\n"
        "aof_last_write_status:%s\r\naof_enabled:%d\r\nconnected_clients:%d\r\nblocked_clients:0\r\n"
        "tracking_clients:0\r\nclients_in_timeout_table:0\r\ncurrent_client:%d\r\n"
        "client_recent_max_input_buffer:0\r\nclient_recent_max_output_buffer:0\r\nexecutable:.\r\nconfig_file:\r\n"
        "\r\n# Keyspace\r\ndb0:keys=%" PRIu64 ",expires=0,avg_ttl=0\r\n",
        s_port, static_cast<long long>(up / 1000), static_cast<long long>(up / 86400000),
        static_cast<int>(platform::process_id()), s_dict ? s_dict->keyspace_hits : 0,
        s_dict ? s_dict->keyspace_misses : 0, s_total_connections, s_total_commands, s_ops_last_sec, used,
        static_cast<double>(used) / 1048576.0, used, static_cast<uint64_t>(limit_mb) * 1048576u,
        static_cast<double>(limit_mb), policy.empty() ? "allkeys-lru" : policy.c_str(),
        aof_last_write_ok() ? "ok" : "err", s_aof_fp != nullptr ? 1 : 0, s_client_count, s_client_count,
        s_dict ? s_dict->key_count : 0);
    return buf;
}

void cmd_info(Client*, const Args&) {
    std::string text;
    {
        ServerLock lock(s_mutex());
        text = info_text();
    }
    rb_bulk_sv(text);
}

void config_get(const Args& a) {
    if (a.argc == 2) return rb_error("wrong number of arguments for 'config|get' command");
    rb_arr_hdr(2LL * (a.argc - 2));
    for (int i = 2; i < a.argc; ++i) {
        std::string name = lower(a[i], 63);
        const ConfigRow* row = config_find(name);
        rb_bulk_sv(name);
        rb_bulk_sv(row ? std::string_view(row->value) : std::string_view());
    }
}

// Applies one CONFIG SET pair; rows with an effect are the memory limit and
// the password (new AUTH checks and new connections use it).
void config_apply(ConfigRow* row, std::string_view value) {
    row->value.assign(value.substr(0, 255));
    std::string_view name = row->name;
    if (name == "maxmemory") {
        int64_t bytes = 0;
        if (parse_strict_ll(value, &bytes) && bytes > 0) {
            ServerLock lock(s_mutex());
            int64_t mb = bytes / 1048576;
            dict_set_max_memory(s_dict, mb > INT32_MAX ? INT32_MAX : static_cast<int32_t>(mb));
        }
    } else if (name == "requirepass") {
        ServerLock lock(s_mutex());
        s_password = row->value;
    }
}

void config_set(const Args& a) {
    if (a.argc == 2) return rb_error("wrong number of arguments for 'config|set' command");
    for (int i = 2; i + 1 < a.argc; i += 2) {
        ConfigRow* row = config_find(lower(a[i], 63));
        if (row == nullptr) return rb_error("Invalid parameter or number of arguments for CONFIG SET");
        config_apply(row, a[i + 1]);
    }
    rb_simple("OK");
}

void cmd_config(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("config");
    std::string sub = lower(a[1], 31);
    if (sub == "get") return config_get(a);
    if (sub == "set") return config_set(a);
    if (sub == "resetstat") {
        ServerLock lock(s_mutex());
        s_total_commands = s_ops_last_sec = s_ops_current_sec = 0;
        if (s_dict) s_dict->keyspace_hits = s_dict->keyspace_misses = 0;
        return rb_simple("OK");
    }
    rb_error(kErrSyntax);
}

void cmd_object(Client*, const Args& a) {
    if (a.argc <= 2) return reply_arity("object");
    std::string sub = lower(a[1], 31);
    ServerLock lock(s_mutex());
    if (sub == "encoding") {
        switch (dict_key_type(s_dict, a[2])) {
            case KEY_TYPE_NONE: return rb_null();
            case KEY_TYPE_STRING: return rb_simple("embstr");
            case KEY_TYPE_LIST: return rb_simple("quicklist");
            default: return rb_simple("listpack");
        }
    }
    if (sub == "refcount") return dict_exists(s_dict, a[2]) ? rb_int(1) : rb_null();
    if (sub == "idletime") {
        int64_t last = dict_last_accessed_ms(s_dict, a[2]);
        if (last == 0) return rb_null();
        return rb_int((platform::current_time_ms() - last) / 1000);
    }
    rb_error(kErrSyntax);
}

void cmd_dbsize(Client*, const Args&) {
    ServerLock lock(s_mutex());
    rb_int(s_dict ? static_cast<long long>(s_dict->key_count) : 0);
}

void cmd_flush(Client*, const Args& a) {
    for (int i = 1; i < a.argc; ++i) {
        if (!word_is(a[i], "ASYNC") && !word_is(a[i], "SYNC")) return rb_error(kErrSyntax);
    }
    ServerLock lock(s_mutex());
    dict_flush(s_dict);
    aof_write_cmd(1, a.argv, a.lens);
    rb_simple("OK");
}

void cmd_save(Client*, const Args&) {
    ServerLock lock(s_mutex());
    if (s_aof_fp) std::fflush(s_aof_fp);
    s_last_save = platform::current_time_s();
    rb_simple("OK");
}

void cmd_lastsave(Client*, const Args&) {
    ServerLock lock(s_mutex());
    rb_int(s_aof_fp ? s_last_save : platform::current_time_s());
}

void cmd_ok(Client*, const Args&) { rb_simple("OK"); }
void cmd_wait(Client*, const Args&) { rb_int(0); }

const CommandRegistrar registrar({
    {"RESET", cmd_reset},     {"CLIENT", cmd_client}, {"COMMAND", cmd_command},   {"INFO", cmd_info},
    {"CONFIG", cmd_config},   {"OBJECT", cmd_object}, {"DBSIZE", cmd_dbsize},     {"FLUSHDB", cmd_flush},
    {"FLUSHALL", cmd_flush},  {"SAVE", cmd_save},     {"BGSAVE", cmd_save},       {"LASTSAVE", cmd_lastsave},
    {"SHUTDOWN", cmd_ok},     {"WAIT", cmd_wait},
});

}  // namespace
