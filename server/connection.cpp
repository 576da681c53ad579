// connection.cpp — the worker thread's loop: readiness polling, accept, receive,
// request framing (multibulk and inline), output writing, and the end-of-pass
// sweep, expiry purge, time-outs of parked clients and the input they held back.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "commands/blocking.h"
#include "commands/command.h"
#include "server/http.h"
#include "server/server.h"

namespace {

constexpr unsigned kRequestsPerClockRead = 256;

// Leading-number parse in the manner of atoi: blanks, an optional sign, digits;
// saturates instead of overflowing.
long long leading_number(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = (*p++ == '-');
    unsigned long long v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (v < (1ULL << 62)) v = v * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    long long n = static_cast<long long>(v);
    return negative ? -n : n;
}

constexpr long long kWait = -1;       // request incomplete: wait for more bytes
constexpr long long kDropAll = -2;    // count below 1: drop everything buffered
constexpr long long kProtocolError = -3;

// Reads the number of a "*<n>\r\n" or "$<n>\r\n" line starting at `line` (the
// '*' or '$'): stores it and returns where the next line starts, or nullptr when
// the line is not complete yet. Plain digits are read in one pass; any other form
// goes through the lenient atoi-style parse.
char* read_count_line(char* line, char* end, long long* value) {
    // The input buffer always holds a NUL after its last byte, so the digit loop
    // stops at the end without a bounds check.
    char* q = line + 1;
    unsigned long long v = 0;
    for (unsigned d; (d = static_cast<unsigned char>(*q) - unsigned('0')) < 10; ++q) v = v * 10 + d;
    const size_t digits = static_cast<size_t>(q - line - 1);
    if (digits - 1 < 18 && q + 1 < end && q[0] == '\r' && q[1] == '\n') {
        *value = static_cast<long long>(v);
        return q + 2;
    }
    char* cr = static_cast<char*>(std::memchr(line, '\r', static_cast<size_t>(end - line)));
    if (cr == nullptr || cr + 1 >= end || cr[1] != '\n') return nullptr;
    *value = leading_number(line + 1, cr);
    return cr + 2;
}

// Frames one multibulk request at buf[0 .. avail). Returns the bytes consumed
// after dispatching it, or one of the codes above.
long long frame_multibulk(Server& srv, Client* c, char* buf, size_t avail) {
    FramingScratch& f = srv.framing;
    char* end = buf + avail;
    long long argc = 0;
    char* p = read_count_line(buf, end, &argc);
    if (p == nullptr) return kWait;
    if (argc < 1) return kDropAll;

    f.offsets.clear();
    f.lens.clear();
    for (long long i = 0; i < argc; ++i) {
        if (p >= end) return kWait;
        if (*p != '$') return kProtocolError;
        long long len = 0;
        char* data = read_count_line(p, end, &len);
        if (data == nullptr) return kWait;
        if (len < 0) return kProtocolError;
        if (static_cast<unsigned long long>(len) + 2 > static_cast<unsigned long long>(end - data)) return kWait;
        f.offsets.push_back(static_cast<uint64_t>(data - buf));
        f.lens.push_back(static_cast<uint64_t>(len));
        p = data + len + 2;
    }

    // Complete: terminate every argument in place (the byte after its data is the
    // unexamined terminator) and dispatch without copying.
    f.argv.resize(f.offsets.size());
    for (size_t i = 0; i < f.offsets.size(); ++i) {
        f.argv[i] = buf + f.offsets[i];
        f.argv[i][f.lens[i]] = '\0';
    }
    dispatch_command(srv, c, static_cast<int>(argc), f.argv.data(), f.lens.data(), Origin::Network);
    client_check_output(c);
    return p - buf;
}

// Requests whose keys are hinted together.
constexpr size_t kMaxBatch = 64;

// Hints the keys (second arguments) of the complete multibulk requests at the
// start of buf into the cache before the first of them runs: all buckets first,
// then all chain heads, then the second entries of chains whose head is another
// key, so a pipelined batch waits for memory a few times instead of once or
// twice per lookup. A lone request gains nothing and is left alone.
void prefetch_batch_keys(const Keyspace* ks, char* buf, size_t avail) {
    // Plain arrays, left uninitialised: most batches fill only a few slots.
    uint32_t hashes[kMaxBatch];
    const char* key_data[kMaxBatch];
    size_t key_len[kMaxBatch];
    size_t n = 0;
    char* end = buf + avail;
    char* p = buf;
    for (size_t scanned = 0; n < kMaxBatch && scanned < 2 * kMaxBatch && p < end && *p == '*'; ++scanned) {
        long long argc = 0;
        p = read_count_line(p, end, &argc);
        if (p == nullptr || argc < 1) break;
        for (long long i = 0; i < argc && p != nullptr; ++i) {
            long long len = 0;
            char* data = p < end && *p == '$' ? read_count_line(p, end, &len) : nullptr;
            if (data == nullptr || len < 0 || static_cast<unsigned long long>(len) + 2 > static_cast<size_t>(end - data)) {
                p = nullptr;
                break;
            }
            if (i == 1) {
                key_data[n] = data;
                key_len[n++] = static_cast<size_t>(len);
            }
            p = data + len + 2;
        }
        if (p == nullptr) break;
    }
    if (n < 2 || ks == nullptr) return;
    for (size_t i = 0; i < n; ++i) hashes[i] = dict_prefetch_bucket(ks, std::string_view(key_data[i], key_len[i]));
    for (size_t i = 0; i < n; ++i) dict_prefetch_entry(ks, hashes[i]);
    for (size_t i = 0; i < n; ++i) dict_prefetch_next(ks, hashes[i]);
}

// Position of the first CR LF in buf[from .. len), cached per framing run so that
// pipelined inline requests do not rescan the buffer each time.
struct CrlfCache {
    size_t found = SIZE_MAX;       // absolute position of the CR, if known
    size_t clean_until = 0;        // no CR LF starts before this position
};

size_t find_crlf(const char* buf, size_t from, size_t len, CrlfCache& cache) {
    if (cache.found != SIZE_MAX && cache.found >= from) return cache.found;
    size_t i = from > cache.clean_until ? from : cache.clean_until;
    while (i + 1 < len) {
        const char* lf = static_cast<const char*>(std::memchr(buf + i + 1, '\n', len - i - 1));
        if (lf == nullptr) break;
        size_t at = static_cast<size_t>(lf - buf);
        if (buf[at - 1] == '\r' && at - 1 >= from) {
            cache.found = at - 1;
            return cache.found;
        }
        i = at;
    }
    cache.clean_until = len > 0 ? len - 1 : 0;
    cache.found = SIZE_MAX;
    return SIZE_MAX;
}

// Frames one inline request starting at offset pos. Returns bytes consumed or kWait.
long long frame_inline(Server& srv, Client* c, size_t pos, CrlfCache& cache) {
    FramingScratch& f = srv.framing;
    const char* buf = c->inbuf;
    size_t len = c->inbuf_len;
    size_t line_end;
    size_t term;
    size_t crlf = find_crlf(buf, pos, len, cache);
    if (crlf != SIZE_MAX) {
        line_end = crlf;
        term = 2;
    } else {
        const char* lf = static_cast<const char*>(std::memchr(buf + pos, '\n', len - pos));
        if (lf == nullptr) return kWait;
        line_end = static_cast<size_t>(lf - buf);
        term = 1;
    }
    long long consumed = static_cast<long long>(line_end - pos + term);

    f.inline_line.assign(buf + pos, line_end - pos);
    char* line = f.inline_line.data();
    size_t n = f.inline_line.size();
    size_t i = 0;
    while (i < n && line[i] == ' ') ++i;
    if (i == n) return consumed;

    // Split at spaces (runs count as one) into at most 64 words.
    f.argv.clear();
    while (i < n && f.argv.size() < 64) {
        f.argv.push_back(line + i);
        while (i < n && line[i] != ' ') ++i;
        if (i < n) line[i++] = '\0';
        while (i < n && line[i] == ' ') ++i;
    }
    f.lens.resize(f.argv.size());
    for (size_t k = 0; k < f.argv.size(); ++k) f.lens[k] = std::strlen(f.argv[k]);
    dispatch_command(srv, c, static_cast<int>(f.argv.size()), f.argv.data(), f.lens.data(), Origin::Network);
    client_check_output(c);
    return consumed;
}

// Cuts and dispatches every complete request in the client's input buffer.
void frame_requests(Server& srv, Client* c) {
    size_t pos = 0;
    CrlfCache cache;
    unsigned framed = 0;
    while (pos < c->inbuf_len) {
        if (c->closed() || c->close_after_output) break;
        // Requests behind a parked blocking command wait until it is answered.
        if (c->wait) {
            c->input_paused = true;
            break;
        }
        // A long pipeline is hinted a batch at a time, just ahead of its turn. A
        // buffer with no second '*' holds one request (the common case without
        // pipelining), which hints would only scan twice.
        if (framed % kMaxBatch == 0 &&
            (framed > 0 || std::memchr(c->inbuf + pos + 1, '*', c->inbuf_len - pos - 1) != nullptr)) {
            prefetch_batch_keys(srv.keyspace, c->inbuf + pos, c->inbuf_len - pos);
        }
        if (framed++ % kRequestsPerClockRead == 0) {
            srv.framing.batch_clock_ms = platform::current_time_ms();
            dict_hold_clock(srv.framing.batch_clock_ms);
        }
        char* start = c->inbuf + pos;
        size_t avail = c->inbuf_len - pos;
        if (*start != '*' && http_request_start(start, avail)) {
            // One request per connection: the response closes it, so the rest of
            // the input is never framed.
            if (http_handle(srv, c, start, avail)) pos = c->inbuf_len;
            break;
        }
        long long used = *start == '*' ? frame_multibulk(srv, c, start, avail) : frame_inline(srv, c, pos, cache);
        if (used == kWait) break;
        if (used == kDropAll) {
            pos = c->inbuf_len;
            break;
        }
        if (used == kProtocolError) {
            srv.framing.batch_clock_ms = 0;
            dict_hold_clock(0);
            client_close(c);
            return;
        }
        pos += static_cast<size_t>(used);
    }
    srv.framing.batch_clock_ms = 0;
    dict_hold_clock(0);
    if (c->closed() || c->inbuf == nullptr) return;
    if (pos > 0) {
        std::memmove(c->inbuf, c->inbuf + pos, c->inbuf_len - pos);
        c->inbuf_len -= pos;
    }
    c->inbuf[c->inbuf_len] = '\0';
}

constexpr char kBufferLimitError[] = "-ERR bulk string or multi bulk length exceeds proto-max-bulk-len\r\n";

// One receive into the client's input buffer, growing it when full.
// Returns false when the connection was closed.
bool receive_into(Client* c) {
    if (c->inbuf_len + 1 >= c->inbuf_cap) {
        if (c->inbuf_cap > kInbufMax - 1) {
            // Best effort: the client is past its limit and is closed either way.
            platform::net_send(c->sock, kBufferLimitError, sizeof(kBufferLimitError) - 1);
            client_close(c);
            return false;
        }
        uint64_t cap = c->inbuf_cap * 2;
        if (cap > kInbufMax) cap = kInbufMax;
        char* grown = static_cast<char*>(std::realloc(c->inbuf, cap + 1));
        if (grown == nullptr) {
            client_close(c);
            return false;
        }
        c->inbuf = grown;
        c->inbuf_cap = cap;
    }
    int64_t n = platform::net_recv(c->sock, c->inbuf + c->inbuf_len, c->inbuf_cap - c->inbuf_len - 1);
    if (n == platform::kWouldBlock) return true;
    if (n <= 0) {
        client_close(c);
        return false;
    }
    c->inbuf_len += static_cast<uint64_t>(n);
    c->inbuf[c->inbuf_len] = '\0';
    return true;
}

void accept_one(Server& srv) {
    platform::Socket s = platform::net_accept(srv.listener);
    if (s == platform::kInvalidSocket) return;
    ServerLock lock(srv.lock);
    if (srv.clients.full()) {
        platform::net_close(s);
        return;
    }
    auto c = std::unique_ptr<Client>(new (std::nothrow) Client());
    char* inbuf = c ? static_cast<char*>(std::malloc(kInbufInitial)) : nullptr;
    if (inbuf == nullptr) {
        platform::net_close(s);
        return;
    }
    c->sock = s;
    c->authenticated = srv.password.empty() ? 1 : 0;
    c->inbuf = inbuf;
    c->inbuf[0] = '\0';
    c->inbuf_cap = kInbufInitial;
    c->inbuf_len = 0;
    c->id = ++srv.clients.next_id;
    c->created_ms = c->last_cmd_ms = platform::current_time_ms();
    std::strcpy(c->last_cmd, "connect");
    srv.clients.add(std::move(c));
    srv.stats.total_connections += 1;
}

void end_of_pass(Server& srv) {
    ServerLock lock(srv.lock);
    for (int i = 0; i < srv.clients.size(); ++i) {
        Client* c = srv.clients.at(i);
        if (!c->closed() && c->out.pending() > 0) client_write_output(c);
        if (!c->closed() && c->close_after_output && c->out.pending() == 0) client_close(c);
        // A closed client leaves the parked and watching indexes before the sweep frees it.
        if (c->closed()) {
            unpark_client(srv, c);
            unwatch_all(srv, c);
        }
    }
    srv.clients.sweep();
    if (srv.keyspace != nullptr) dict_cleanup_expired(srv.keyspace);
    srv.log.probe_recovery();
    time_out_parked_clients(srv, platform::current_time_ms());
    for (int i = 0; i < srv.clients.size(); ++i) {
        Client* c = srv.clients.at(i);
        // Input that waited behind a blocking command that has now been answered.
        if (c->input_paused && !c->wait && !c->closed()) {
            c->input_paused = false;
            frame_requests(srv, c);
        }
        // Time-out and hand-over replies go out in this pass rather than waiting for the next one.
        if (!c->closed() && c->out.pending() > 0) client_write_output(c);
    }
}

}  // namespace

Client::~Client() { std::free(inbuf); }

bool connection_feed(Server& srv, Client* c, const char* data, size_t len) {
    if (c->inbuf == nullptr) {
        c->inbuf = static_cast<char*>(std::malloc(kInbufInitial));
        if (c->inbuf == nullptr) return false;
        c->inbuf_cap = kInbufInitial;
        c->inbuf_len = 0;
    }
    while (len > 0 && !c->closed() && !c->close_after_output) {
        if (c->inbuf_len + 1 >= c->inbuf_cap) {
            if (c->inbuf_cap >= kInbufMax) return false;
            uint64_t cap = std::min<uint64_t>(c->inbuf_cap * 2, kInbufMax);
            char* grown = static_cast<char*>(std::realloc(c->inbuf, cap + 1));
            if (grown == nullptr) return false;
            c->inbuf = grown;
            c->inbuf_cap = cap;
        }
        size_t take = std::min<size_t>(len, c->inbuf_cap - c->inbuf_len - 1);
        std::memcpy(c->inbuf + c->inbuf_len, data, take);
        c->inbuf_len += take;
        c->inbuf[c->inbuf_len] = '\0';
        data += take;
        len -= take;
        frame_requests(srv, c);
    }
    return true;
}

void free_client_extras(Client* c) {
    c->channels.clear();
    c->patterns.clear();
    std::free(c->inbuf);
    c->inbuf = nullptr;
    c->inbuf_cap = 0;
    c->inbuf_len = 0;
    c->queue.clear();
    c->wait.reset();
    c->watched.clear();
    c->out.clear();
}

void client_close(Client* c) {
    if (c->closed()) return;
    platform::net_close(c->sock);
    c->sock = platform::kInvalidSocket;
    c->out.clear();
}

void client_check_output(Client* c) {
    if (c->closed()) return;
    const uint64_t limit = c->subscribed() ? kSubscriberOutputLimit : kOutputLimit;
    if (c->out.pending() > limit) client_close(c);
}

void client_write_output(Client* c) {
    while (!c->closed() && c->out.pending() > 0) {
        int64_t n = platform::net_send(c->sock, c->out.unsent(), c->out.pending());
        if (n == platform::kWouldBlock) break;
        if (n < 0) {
            client_close(c);
            return;
        }
        c->out.consume(static_cast<size_t>(n));
    }
}

void client_peer_addr(Client* c, char out[64]) {
    if (c == nullptr || c->closed() || !platform::net_peer_addr(c->sock, out, 64)) std::strcpy(out, "-");
}

void client_local_addr(Client* c, char out[64]) {
    if (c == nullptr || c->closed() || !platform::net_local_addr(c->sock, out, 64)) std::strcpy(out, "-");
}

void ClientTable::sweep() {
    int kept = 0;
    for (int i = 0; i < count_; ++i) {
        std::unique_ptr<Client>& c = slots_[static_cast<size_t>(i)];
        if (c->closed()) {
            free_client_extras(c.get());
            c.reset();
            continue;
        }
        if (kept != i) slots_[static_cast<size_t>(kept)] = std::move(c);
        ++kept;
    }
    count_ = kept;
}

void ClientTable::close_all() {
    for (int i = 0; i < count_; ++i) {
        std::unique_ptr<Client>& c = slots_[static_cast<size_t>(i)];
        client_close(c.get());
        free_client_extras(c.get());
        c.reset();
    }
    count_ = 0;
}

void Stats::count_command(int64_t now) {
    total_commands += 1;
    if (now - last_sec_timestamp_ms >= 1000) {
        ops_last_sec = ops_current_sec;
        ops_current_sec = 1;
        last_sec_timestamp_ms = now;
    } else {
        ops_current_sec += 1;
    }
}

void run_worker(Server& srv) {
    std::vector<platform::PollItem> items;
    std::vector<Client*> polled;
    while (srv.running.load()) {
        items.clear();
        polled.clear();
        items.push_back({srv.listener, platform::kPollIn, 0});
        {
            ServerLock lock(srv.lock);
            for (int i = 0; i < srv.clients.size(); ++i) {
                Client* c = srv.clients.at(i);
                if (c->closed()) continue;
                short events = c->close_after_output ? 0 : platform::kPollIn;
                if (c->out.pending() > 0) events |= platform::kPollOut;
                items.push_back({c->sock, events, 0});
                polled.push_back(c);
            }
        }
        int ready = platform::net_poll(items.data(), items.size(), kPassTimeoutMs);
        if (!srv.running.load()) break;
        if (ready < 0) continue;
        if (items[0].revents != 0) accept_one(srv);

        // Only this thread frees clients (at the sweep), so the pointers stay valid.
        for (size_t i = 0; i < polled.size(); ++i) {
            Client* c = polled[i];
            short revents = items[i + 1].revents;
            if (c->closed() || c->close_after_output) continue;
            if ((revents & (platform::kPollIn | platform::kPollErr)) == 0) continue;
            if (!receive_into(c)) continue;
            // One lock for the whole batch. Its replies go out in one send right
            // away, so the client can send its next request while others are served.
            ServerLock lock(srv.lock);
            frame_requests(srv, c);
            if (!c->closed() && c->out.pending() > 0) client_write_output(c);
        }
        end_of_pass(srv);
    }
}
