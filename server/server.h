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
#include "server/command_stats.h"
#include "server/pubsub.h"
#include "server/reply.h"
#include "server/rewrite.h"
#include "server/waits.h"

// ---- Limits ----------------------------------------------------------------

constexpr int kMaxClients = 128;
constexpr uint64_t kInbufInitial = 32768;
constexpr uint64_t kInbufMax = uint64_t(1) << 29;          // 512 MiB
constexpr uint64_t kInbufShrinkAbove = uint64_t(1) << 20;  // larger, mostly empty buffers shrink
// Unsent reply bytes per client: a client stays connected while it is above its
// limit for less than kOutputGraceMs, and is closed at once past kOutputHardFactor
// times the limit, so a client that reads gets any reply.
constexpr uint64_t kOutputLimit = uint64_t(256) << 20;
constexpr uint64_t kSubscriberOutputLimit = uint64_t(32) << 20;
constexpr int64_t kOutputGraceMs = 10000;
constexpr uint64_t kOutputHardFactor = 4;
// A connection that has not authenticated while a password is set may send
// requests of at most kUnauthMaxArgs arguments of at most kUnauthMaxArgBytes
// each (or the password's length where longer), and may leave at most
// kUnauthOutputLimit bytes of replies unread; past any of these it is closed.
constexpr int kUnauthMaxArgs = 10;
constexpr uint64_t kUnauthMaxArgBytes = 16 * 1024;
constexpr uint64_t kUnauthOutputLimit = 64 * 1024;
// Default bound on the memory all clients' buffers hold together.
constexpr uint64_t kDefaultClientsMemoryLimit = uint64_t(1) << 30;
constexpr int kPassTimeoutMs = 50;

struct Server;
// A registered command as the dispatcher keeps it (commands/dispatch.cpp).
struct CommandInfo;

// ---- Client ----------------------------------------------------------------

struct QueuedCommand {
    std::vector<std::string> args;
};

class ClientTable;

// Where framing stopped in a request that has not fully arrived, so that the
// next receive continues there instead of at the request's first byte: a
// request arriving in k pieces costs O(its size), not O(k x size). Offsets count
// from the request's first byte, which is inbuf[0] while the request is pending.
struct ParseState {
    // Multibulk: the announced argument count (0 until its line is read), the
    // arguments found so far and where the next unread line starts. Their
    // positions are not kept: the request is walked once more when complete.
    long long argc = 0;
    long long found = 0;
    uint64_t next = 0;
    // Length of the bulk whose "$<n>" line is read and whose data is awaited; -1 none.
    long long bulk_len = -1;
    // Bytes from the start of the current count line known to hold no CR.
    uint64_t line_checked = 0;
    // Inline: bytes from the request's start known to hold no LF.
    uint64_t inline_checked = 0;
    // HTTP: bytes known to hold no end of the header block; once that end is
    // found, where the body starts and the length it announced.
    uint64_t http_checked = 0;
    uint64_t http_body_at = 0;
    uint64_t http_body_len = 0;

    // True once framing has examined part of the pending request.
    bool started() const { return argc != 0 || line_checked != 0 || inline_checked != 0 || http_checked != 0; }
    // Forgets the request just framed.
    void reset() { *this = ParseState{}; }
};

struct Client {
    Client() = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client();

    platform::Socket sock = platform::kInvalidSocket;  // kInvalidSocket once closed
    // 0 while a password is set and the connection has not given it; such a
    // connection is held to the kUnauth limits.
    int authenticated = 0;

    // Received bytes not yet consumed, at inbuf[0 .. inbuf_len), NUL after them.
    char* inbuf = nullptr;
    uint64_t inbuf_cap = 0;
    uint64_t inbuf_len = 0;
    ParseState parse;

    // Replies not yet accepted by the socket; also selects RESP2 or RESP3.
    Reply out;
    bool close_after_output = false;  // QUIT, HTTP: close once the output is sent
    // When the unsent output last went above the client's limit; 0 while below.
    int64_t output_over_since_ms = 0;

    // The table counting this client's buffers (nullptr for the replay client),
    // the bytes counted there, the reply writer's bytes in that count, and the
    // MULTI queue's bytes counted so far.
    ClientTable* table = nullptr;
    uint64_t memory_counted = 0;
    uint64_t out_held_counted = 0;
    uint64_t queue_bytes = 0;
    size_t queue_counted = 0;

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
    int64_t last_active_ms = 0;  // last time bytes arrived from it or reached it
    char last_cmd[32] = {};

    // Set while the client is parked in a blocking command; its further input
    // is not framed until that command has been answered.
    std::unique_ptr<BlockWait> wait;
    // Set while a (P)(UN)SUBSCRIBE of many names is served a slice per pass; its
    // further input is not framed until the last name has been confirmed.
    std::unique_ptr<vorel::UnservedNames> unserved;
    bool input_paused = false;  // input stayed unframed behind either of them

    // WATCHed keys; watch_broken once any of them changed since its WATCH.
    std::vector<std::string> watched;
    bool watch_broken = false;

    bool closed() const { return sock == platform::kInvalidSocket; }
    bool resp3() const { return out.resp3(); }
    bool subscribed() const { return !channels.empty() || !patterns.empty(); }
};

// Frees everything a client owns except its socket and the record itself.
void free_client_extras(Client* c);
// Closes the connection now; unsent output is dropped. The sweep frees the record.
void client_close(Client* c);
// The unsent output a client may hold (see kOutputLimit): kUnauthOutputLimit
// before it authenticates, kSubscriberOutputLimit while subscribed.
uint64_t client_output_limit(const Client* c);
// Closes a client whose unsent output passes its limit (see kOutputLimit),
// and counts the client's buffers toward the table's bound on client memory,
// closing the client holding the most when the bound is passed. Called after a
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
// Returns the bytes the socket accepted.
uint64_t client_write_output(Client* c);
// "a.b.c.d:port" of the peer, or "-".
void client_peer_addr(Client* c, char out[64]);
void client_local_addr(Client* c, char out[64]);

// ---- Client table ----------------------------------------------------------

// Up to kMaxClients connections, dense in accept order (the order CLIENT LIST
// shows).
class ClientTable {
public:
    int size() const { return count_; }
    bool full() const { return count_ >= kMaxClients; }
    Client* at(int i) const { return slots_[static_cast<size_t>(i)].get(); }
    void add(std::unique_ptr<Client> c) {
        c->table = this;
        slots_[static_cast<size_t>(count_++)] = std::move(c);
    }
    // Frees closed clients and keeps the survivors dense in their old order.
    void sweep();
    // Closes and frees every client.
    void close_all();

    // Recounts what the client's buffers hold (O(1) but for MULTI commands
    // queued since the last count) and, while the total is past the bound,
    // closes the client holding the most.
    void count_memory(Client* c);
    // Takes a closing client's bytes out of the total.
    void uncount_memory(Client* c);
    uint64_t memory_used() const { return memory_used_; }
    // At most once a second: closes clients whose unsent output stayed above
    // their limit for kOutputGraceMs, and clients idle for idle_timeout_ms
    // (subscribers and parked clients excepted).
    void close_stale(int64_t now);

    uint64_t next_id = 0;
    // CONFIG maxmemory-clients: bound on memory_used(); 0 = none.
    uint64_t memory_limit = kDefaultClientsMemoryLimit;
    // CONFIG timeout in milliseconds: idle clients are closed after it; 0 = never.
    int64_t idle_timeout_ms = 0;

private:
    void close_biggest();

    uint64_t memory_used_ = 0;
    int64_t last_stale_check_ms_ = 0;
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
    uint64_t net_input_bytes = 0;   // received by the connection loop
    uint64_t net_output_bytes = 0;  // accepted by the sockets

    // Counts one request at the caller's clock reading and rolls the per-second figure.
    void count_command(int64_t now);
};

// The CONFIG table: named rows with text values, filled in part at start and
// changed at run time by CONFIG SET; kept across restarts. Sizes are kept as
// bytes, so that a value read back and set again never changes the limit.
constexpr size_t kConfigRows = 20;
struct ConfigRow {
    const char* name;
    std::string value;  // at most 255 characters, but requirepass is kept whole
};
class Config {
public:
    Config();
    ConfigRow* find(std::string_view name);
    std::array<ConfigRow, kConfigRows>& rows() { return rows_; }

private:
    std::array<ConfigRow, kConfigRows> rows_;
};

// A memory size: digits, then optionally b, k/kb, m/mb or g/gb (any case;
// 1024-based). False for anything else, or a size past 64 bits.
bool parse_memory_size(std::string_view text, uint64_t* bytes);

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

// A reply whose request staged log records in the running batch: the bytes
// [start, end) of the client's output. A failed batch commit turns it into the
// log error.
struct LogMark {
    Client* client;
    size_t start;
    size_t end;
};

// A complete request framed ahead of its turn: its arguments are the batch's
// argv and lens from `first` on, and it ends `end` bytes after the point the
// framing started from.
struct FramedRequest {
    size_t first;
    uint32_t argc;
    uint64_t end;
};

// The plain requests framed ahead of their turn in one walk, in arrays of fixed
// size: the framing fills them by index, with one room check per request.
struct FramedBatch {
    // Requests framed ahead of their turn, and whose keys are hinted together.
    static constexpr size_t kMaxRequests = 64;
    // Arguments of all of them together; a request that no longer fits waits
    // for the next batch.
    static constexpr size_t kMaxArgs = 2048;
    size_t count = 0;
    std::array<FramedRequest, kMaxRequests> requests{};
    std::array<char*, kMaxArgs> argv{};
    std::array<uint64_t, kMaxArgs> lens{};
};

// Scratch of the worker's request framing, reused so that framing allocates
// nothing per request.
struct FramingScratch {
    std::vector<LogMark> log_marks;
    std::vector<char*> argv;
    std::vector<uint64_t> lens;
    std::vector<uint64_t> offsets;
    std::unique_ptr<FramedBatch> ahead = std::make_unique<FramedBatch>();
    std::string inline_line;
    // The clock reading of the batch being framed, shared by its requests'
    // statistics and keyspace operations; 0 outside a batch.
    int64_t batch_clock_ms = 0;
    // The platform::ticks() reading at the end of the previous timed command of
    // the batch, which starts the next one's time; 0 at the start of a batch.
    uint64_t command_tick = 0;
    // A known command name dispatched, byte for byte as it came, and its table
    // entry: a pipelined batch mostly repeats a few names, and a repeat skips
    // the upper-casing, hashing and probing. The table never changes after
    // start, so the pair stays valid for the server's life.
    struct NameCache {
        static constexpr size_t kMaxName = 16;
        char bytes[kMaxName] = {};
        size_t len = 0;
        const CommandInfo* info = nullptr;
    };
    // The last two names looked up, the later first: a batch that mixes reads
    // and writes of one kind (GET and SET) finds both here.
    NameCache last_names[2];
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
    LogRewrite rewrite;
    Stats stats;
    Config config;
    LastError last_error;
    FramingScratch framing;
    // Per-command figures indexed by the command's place in the table.
    std::vector<CommandStats> command_stats;
    SlowLog slowlog;
    // Parked clients under each key they wait on, in the order they parked
    // (the order they are served in); and the clients WATCHing each key.
    KeyClients waiters;
    KeyClients watchers;
    int parked_clients = 0;
    bool process_initialised = false;  // sockets started and the random generator seeded

    // The clock for request statistics: the batch's reading inside a batch.
    int64_t request_clock_ms() const {
        return framing.batch_clock_ms != 0 ? framing.batch_clock_ms : platform::current_time_ms();
    }
    // Writes the CONFIG rows that reflect the start arguments (limit, password, log).
    void fill_config_at_start();
    // Sets a row from the host (vorel_config_set): rows the host may set before
    // a start (appendfsync) are checked and applied; false when refused.
    bool set_config(std::string_view name, std::string_view value);
    // Checks a password against the configured one in constant time.
    bool password_matches(std::string_view given) const;
    // The longest argument a connection that has not authenticated may send.
    uint64_t unauth_arg_limit() const {
        return password.size() > kUnauthMaxArgBytes ? password.size() : kUnauthMaxArgBytes;
    }
    // The most input such a connection may have buffered: a largest request.
    uint64_t unauth_input_limit() const { return kUnauthMaxArgs * (unauth_arg_limit() + 32) + 32; }
};

using ServerLock = std::lock_guard<std::recursive_mutex>;

// The worker thread's loop (connection.cpp); returns once `running` is cleared.
void run_worker(Server& srv);
// Commits the records staged by a batch in one write, before any of its replies
// is sent; when that fails, every reply marked in the batch becomes the log error.
void commit_batch(Server& srv);
// Rebuilds the keyspace from the log file before the server opens its port.
// False when a damaged tail could not be cut off (or the log is not a regular
// file): new records would then sit behind bytes no replay reads.
bool replay_log(Server& srv);
