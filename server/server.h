// server.h — the Server object and the records it owns: the keyspace, the client
// table, the listener, the log writer, statistics, configuration and the last
// error; the Client record with its reply writer; and the connection helpers that
// command families use.
//
// Locking: one recursive lock (Server::lock, the platform's process-wide lock)
// guards everything a Server holds except `running` and `last_error`, which
// carry their own synchronisation. The connection loop takes it once per
// received batch and once per end-of-pass; each exported host function takes it
// once per call. Command handlers, encoders and keyspace operations never lock:
// they run inside one of those sections.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "keyspace/keyspace.h"
#include "platform/platform.h"
#include "server/aof.h"
#include "server/pubsub.h"
#include "server/reply.h"

// ---- Limits ----------------------------------------------------------------

constexpr int kMaxClients = 128;
constexpr uint64_t kInbufInitial = 32768;
constexpr uint64_t kInbufMax = uint64_t(1) << 29;          // 512 MiB
constexpr uint64_t kOutputLimit = uint64_t(256) << 20;     // unsent reply bytes per client
constexpr uint64_t kSubscriberOutputLimit = uint64_t(32) << 20;
constexpr int kPassTimeoutMs = 50;

struct Server;

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

    // Replies not yet accepted by the socket; also selects RESP2 or RESP3.
    Reply out;
    bool close_after_output = false;  // QUIT, HTTP: close once the output is sent

    // Registered in the server's PubSub index; cleared or destroyed, they leave it.
    vorel::Subscriptions channels{this, false};
    vorel::Subscriptions patterns{this, true};

    int in_multi = 0;
    bool multi_failed = false;  // a command could not be queued: EXEC discards the transaction
    std::vector<QueuedCommand> queue;
    bool running_queue = false;  // EXEC is running the queued commands

    uint64_t id = 0;
    std::string name;
    std::string lib_name;  // CLIENT SETINFO LIB-NAME / LIB-VER
    std::string lib_ver;
    int64_t created_ms = 0;
    int64_t last_cmd_ms = 0;
    char last_cmd[32] = {};

    int blocked = 0;
    int block_right = 0;
    std::vector<std::string> block_keys;
    int64_t block_deadline_ms = 0;

    bool closed() const { return sock == platform::kInvalidSocket; }
    bool resp3() const { return out.resp3(); }
    bool subscribed() const { return !channels.empty() || !patterns.empty(); }
};

// Frees everything a client owns except its socket and the record itself.
void free_client_extras(Client* c);
// Closes the connection now; unsent output is dropped. The sweep frees the record.
void client_close(Client* c);
// Closes a client whose unsent output has passed its limit. Called after a
// command's reply, and after anything written to another client.
void client_check_output(Client* c);
// Writes to another client's reply writer (a woken parked client, a subscriber):
// build(out) appends one whole reply; a client that cannot take it is closed
// rather than left with part of it.
template <typename Build>
void send_to(Client* c, Build&& build) {
    if (c->closed()) return;
    const size_t mark = c->out.mark();
    try {
        build(c->out);
    } catch (const std::bad_alloc&) {
        c->out.rollback(mark);
        client_close(c);
        return;
    }
    client_check_output(c);
}
// Appends received bytes to the client's input and serves every complete request
// in them, as the connection loop does after a receive. False when the input
// cannot grow.
bool connection_feed(Server& srv, Client* c, const char* data, size_t len);
// Tries to write pending output without blocking; closes on a hard error.
void client_write_output(Client* c);
// "a.b.c.d:port" of the peer, or "-".
void client_peer_addr(Client* c, char out[64]);
void client_local_addr(Client* c, char out[64]);

// ---- Client table ----------------------------------------------------------

// Up to kMaxClients connections, dense in accept order (the order CLIENT LIST
// shows and in which parked clients are served).
class ClientTable {
public:
    int size() const { return count_; }
    bool full() const { return count_ >= kMaxClients; }
    Client* at(int i) const { return slots_[static_cast<size_t>(i)].get(); }
    void add(std::unique_ptr<Client> c) { slots_[static_cast<size_t>(count_++)] = std::move(c); }
    // Frees closed clients and keeps the survivors dense in their old order.
    void sweep();
    // Closes and frees every client.
    void close_all();

    uint64_t next_id = 0;

private:
    std::array<std::unique_ptr<Client>, kMaxClients> slots_{};
    int count_ = 0;
};

// ---- Statistics and configuration -----------------------------------------

struct Stats {
    uint64_t total_connections = 0;
    uint64_t total_commands = 0;
    uint64_t ops_current_sec = 0;
    uint64_t ops_last_sec = 0;
    int64_t last_sec_timestamp_ms = 0;
    int64_t start_time_ms = 0;

    // Counts one request at the caller's clock reading and rolls the per-second figure.
    void count_command(int64_t now);
};

// The CONFIG table: sixteen named rows with text values, filled in part at
// start and changed at run time by CONFIG SET; kept across restarts.
constexpr size_t kConfigRows = 16;
struct ConfigRow {
    const char* name;
    std::string value;  // at most 255 characters
};
class Config {
public:
    Config();
    ConfigRow* find(std::string_view name);
    std::array<ConfigRow, kConfigRows>& rows() { return rows_; }

private:
    std::array<ConfigRow, kConfigRows> rows_;
};

// The text of the last failure of a start or host call. Written under the
// server lock or by start/stop; read from any thread.
class LastError {
public:
    void set(const char* text);
    void clear() { set(""); }
    // A copy, safe against a concurrent set.
    std::string get() const;

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// Scratch of the worker's request framing, reused so that framing allocates
// nothing per request.
struct FramingScratch {
    std::vector<char*> argv;
    std::vector<uint64_t> lens;
    std::vector<uint64_t> offsets;
    std::string inline_line;
    // The clock reading of the batch being framed, shared by its requests'
    // statistics and keyspace operations; 0 outside a batch.
    int64_t batch_clock_ms = 0;
};

// ---- Server ----------------------------------------------------------------

struct Server {
    Server() = default;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::recursive_mutex& lock = platform::global_lock();

    std::atomic<int> running{0};
    platform::Thread* thread = nullptr;  // the worker, while running
    int port = 6379;
    platform::Socket listener = platform::kInvalidSocket;
    std::string password;

    // Owned; created at start (or by a host write before any start), destroyed at stop.
    Keyspace* keyspace = nullptr;
    // Declared before the clients, so it outlives every client registered in it.
    vorel::PubSub pubsub;
    ClientTable clients;
    LogWriter log;
    Stats stats;
    Config config;
    LastError last_error;
    FramingScratch framing;
    bool process_initialised = false;  // sockets started and the random generator seeded

    // The clock for request statistics: the batch's reading inside a batch.
    int64_t request_clock_ms() const {
        return framing.batch_clock_ms != 0 ? framing.batch_clock_ms : platform::current_time_ms();
    }
    // Writes the CONFIG rows that reflect the start arguments (limit, password, log).
    void fill_config_at_start();
    // Checks a password against the configured one in constant time.
    bool password_matches(std::string_view given) const;
};

using ServerLock = std::lock_guard<std::recursive_mutex>;

// The worker thread's loop (connection.cpp); returns once `running` is cleared.
void run_worker(Server& srv);
// Rebuilds the keyspace from the log file before the server opens its port.
// False when a damaged tail could not be cut off (or the log is not a regular
// file): new records would then sit behind bytes no replay reads.
bool replay_log(Server& srv);
