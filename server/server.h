// server.h — the server runtime's shared records and state: Client, ReplyBuffer,
// the process-wide s_ variables, reply encoders, the dispatcher interface and the
// connection helpers that command families use.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "keyspace/keyspace.h"
#include "platform/platform.h"

// ---- Limits ----------------------------------------------------------------

constexpr int kMaxClients = 128;
constexpr uint64_t kInbufInitial = 32768;
constexpr uint64_t kInbufMax = uint64_t(1) << 29;          // 512 MiB
constexpr uint64_t kOutputLimit = uint64_t(256) << 20;     // unsent reply bytes per client
constexpr uint64_t kSubscriberOutputLimit = uint64_t(32) << 20;
constexpr int kPassTimeoutMs = 50;

// ---- Client ----------------------------------------------------------------

struct QueuedCommand {
    std::vector<std::string> args;
};

struct Client {
    Client() = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client();

    platform::Socket sock = platform::kInvalidSocket;  // kInvalidSocket once closed
    int authenticated = 0;

    // Received bytes not yet consumed, at inbuf[0 .. inbuf_len), NUL after them.
    char* inbuf = nullptr;
    uint64_t inbuf_cap = 0;
    uint64_t inbuf_len = 0;

    // Reply bytes not yet accepted by the socket: outbuf[out_sent ..).
    std::string outbuf;
    size_t out_sent = 0;
    bool close_after_output = false;  // QUIT, HTTP: close once the output is sent

    std::vector<std::string> channels;
    std::vector<std::string> patterns;

    int in_multi = 0;
    std::vector<QueuedCommand> queue;
    bool running_queue = false;  // EXEC is running the queued commands

    int resp3 = 0;
    uint64_t id = 0;
    std::string name;
    int64_t created_ms = 0;
    int64_t last_cmd_ms = 0;
    char last_cmd[32] = {};

    int blocked = 0;
    int block_right = 0;
    std::vector<std::string> block_keys;
    int64_t block_deadline_ms = 0;

    bool closed() const { return sock == platform::kInvalidSocket; }
    uint64_t pending_output() const { return outbuf.size() - out_sent; }
};

// Frees everything a client owns except its socket and the record itself.
void free_client_extras(Client* c);
// Closes the connection now; unsent output is dropped. The sweep frees the record.
void client_close(Client* c);
// Appends bytes to the client's output; closes a client whose unsent output
// passes its limit. The connection loop writes the output as the socket accepts it.
void client_send(Client* c, const void* data, size_t len);
// Appends received bytes to the client's input and serves every complete request
// in them, as the connection loop does after a receive. False when the input
// cannot grow.
bool connection_feed(Client* c, const char* data, size_t len);
// Tries to write pending output without blocking; closes on a hard error.
void client_write_output(Client* c);
// "a.b.c.d:port" of the peer, or "-".
void client_peer_addr(Client* c, char out[64]);
void client_local_addr(Client* c, char out[64]);

// ---- Reply buffer and encoders --------------------------------------------

struct ReplyBuffer {
    std::string data;
    Client* client = nullptr;  // selects RESP2/RESP3 forms; nullptr = RESP2
};

extern ReplyBuffer s_rb;

bool rb_resp3();
void rb_write(ReplyBuffer* rb, const void* bytes, size_t len);
void rb_int(long long n);
void rb_simple(const char* text);
void rb_error(const char* message);
void rb_arr_hdr(long long count);
// RESP3 map header "%n", RESP2 array header of 2n.
void rb_map_hdr(long long pairs);
void rb_push_hdr();
void rb_null();
// A bulk string of exactly these bytes (empty included); never the null form.
void rb_bulk_len(const void* bytes, size_t len);
inline void rb_bulk_sv(std::string_view s) { rb_bulk_len(s.data(), s.size()); }
// A bulk string of the text; nullptr gives the null form.
void rb_bulk(const char* text);
void send_float_reply(double x);
// Moves the reply into the client's output and empties s_rb.
void flush_reply(Client* c);

// ---- Dispatcher ------------------------------------------------------------

struct Args {
    int argc;
    char** argv;            // NUL-terminated; byte-exact through lens
    const uint64_t* lens;
    std::string_view operator[](int i) const { return std::string_view(argv[i], lens[i]); }
};

using CommandHandler = void (*)(Client* c, const Args& args);
struct CommandDef {
    const char* name;  // upper case
    CommandHandler handler;
};
void register_commands(std::initializer_list<CommandDef> defs);

// A command family declares one of these at file scope to add its handlers.
struct CommandRegistrar {
    CommandRegistrar(std::initializer_list<CommandDef> defs) { register_commands(defs); }
};

// internal: 0 from the network, 1 from EXEC or the start-up replay.
void dispatch_command(Client* c, int argc, char** argv, const uint64_t* lens, int internal);

// Strict parsers for command arguments.
int parse_strict_ll(std::string_view text, int64_t* out);
int parse_strict_float(std::string_view text, double* out);

// True for every command that can change the keyspace.
bool is_write_command(std::string_view upper_name);

// Shared reply texts.
constexpr const char* kErrWrongType = "WRONGTYPE Operation against a key holding the wrong kind of value";
constexpr const char* kErrNotInteger = "value is not an integer or out of range";
constexpr const char* kErrSyntax = "syntax error";
constexpr const char* kErrLogWriteFailed =
    "append-only file write failed: the change was applied in memory but not persisted";
constexpr const char* kErrLogNotWritable =
    "append-only file is not writable: write commands are refused until it can be written again";
void reply_arity_error(std::string_view name_lower);
// Checks a password against the configured one in constant time.
bool password_matches(std::string_view given);

// ---- Process-wide state ----------------------------------------------------

inline std::recursive_mutex& s_mutex() { return platform::global_lock(); }
using ServerLock = std::lock_guard<std::recursive_mutex>;

extern std::atomic<int> s_running;
extern int s_port;
extern platform::Socket s_listen_fd;
extern std::string s_password;
extern std::string s_persist_file;
extern FILE* s_aof_fp;
extern Keyspace* s_dict;
extern char s_last_error[1024];
extern std::array<Client*, kMaxClients> s_clients;
extern int s_client_count;
extern uint64_t s_next_client_id;
extern uint64_t s_total_connections;
extern uint64_t s_total_commands;
extern uint64_t s_ops_current_sec;
extern uint64_t s_ops_last_sec;
extern int64_t s_last_sec_timestamp_ms;
extern int64_t s_start_time_ms;
extern int64_t s_last_save;

// The CONFIG table: sixteen rows, process-wide, kept across restarts.
constexpr size_t kConfigRows = 16;
struct ConfigRow {
    const char* name;
    std::string value;  // at most 255 characters
};
extern std::array<ConfigRow, kConfigRows> s_config;
ConfigRow* config_find(std::string_view name);
// Writes the rows that reflect the start arguments (limit, password, log).
void config_fill_at_start();

// The worker thread's loop (connection.cpp).
void server_thread_func();
void update_ops_stats();
// The same with the caller's clock reading, so a request reads the clock once.
void update_ops_stats(int64_t now);
// The clock for request statistics (ops per second, last-command times): read
// once per received batch and refreshed every few hundred requests within it.
int64_t request_stats_clock_ms();
