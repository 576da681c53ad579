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
constexpr uint64_t kReceiveChunk = uint64_t(1) << 20;

// While a password is set and the connection has not given it, it is held to
// the kUnauth limits.
bool restricted(const Server& srv, const Client* c) { return !c->authenticated && !srv.password.empty(); }

bool within_unauth_limits(const Server& srv, size_t argc, const uint64_t* lens) {
    if (argc > static_cast<size_t>(kUnauthMaxArgs)) return false;
    for (size_t i = 0; i < argc; ++i) {
        if (lens[i] > srv.unauth_arg_limit()) return false;
    }
    return true;
}

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
constexpr long long kTooLarge = -4;   // past the limits of a connection that has not authenticated

constexpr char kUnauthTooLargeError[] = "-ERR request too large for a connection that has not authenticated\r\n";

// Reads the digits of a count line in its plain form ("*<digits>\r\n" or
// "$<digits>\r\n", at most 18 digits): returns where the next line starts, or
// nullptr for anything else (incomplete, signed, padded, ...), which the
// resumable framing then reads in full.
const char* plain_count_digits(const char* line, const char* end, unsigned long long* value) {
    // The input buffer holds a NUL after its last byte: the digit loop stops there.
    const char* q = line + 1;
    unsigned long long v = 0;
    for (unsigned d; (d = static_cast<unsigned char>(*q) - unsigned('0')) < 10; ++q) v = v * 10 + d;
    const size_t digits = static_cast<size_t>(q - line - 1);
    if (digits - 1 >= 18 || q + 1 >= end || q[0] != '\r' || q[1] != '\n') return nullptr;
    *value = v;
    return q + 2;
}

// The same, with the one-digit line of most argument counts and command names
// read on the spot. After a digit a byte can always be read: at worst it is the
// NUL that follows the buffer's last byte.
inline const char* plain_count_line(const char* line, const char* end, unsigned long long* value) {
    const unsigned first = static_cast<unsigned char>(line[1]) - unsigned('0');
    if (first < 10 && line[2] == '\r') {
        if (line + 3 >= end || line[3] != '\n') return nullptr;
        *value = first;
        return line + 4;
    }
    return plain_count_digits(line, end, value);
}

// Reads the number of a "*<n>\r\n" or "$<n>\r\n" line starting at `line` (the
// '*' or '$'): stores it and returns where the next line starts, or nullptr when
// the line is not complete yet. *checked counts the bytes from `line` already
// known to hold no usable line end: a line arriving in pieces is searched from
// there, and is 0 again once the line is read. Plain digits are read in one
// pass; any other form goes through the lenient atoi-style parse.
char* read_count_line(char* line, char* end, long long* value, uint64_t* checked) {
    unsigned long long plain = 0;
    if (*checked == 0) {
        if (const char* next = plain_count_line(line, end, &plain)) {
            *value = static_cast<long long>(plain);
            return line + (next - line);
        }
    }
    char* from = line + *checked;
    char* cr = static_cast<char*>(std::memchr(from, '\r', static_cast<size_t>(end - from)));
    if (cr == nullptr || cr + 1 >= end || cr[1] != '\n') {
        // A CR not (yet) followed by LF is where the next search starts.
        *checked = static_cast<uint64_t>((cr != nullptr ? cr : end) - line);
        return nullptr;
    }
    *checked = 0;
    *value = leading_number(line + 1, cr);
    return cr + 2;
}

char* read_count_line(char* line, char* end, long long* value) {
    uint64_t checked = 0;
    return read_count_line(line, end, value, &checked);
}

// The announced argument count of a multibulk request, read once.
long long read_argument_count(Server& srv, Client* c, char* buf, char* end) {
    ParseState& ps = c->parse;
    long long argc = 0;
    char* p = read_count_line(buf, end, &argc, &ps.line_checked);
    if (p == nullptr) return kWait;
    if (argc < 1) return kDropAll;
    if (restricted(srv, c) && argc > kUnauthMaxArgs) return kTooLarge;
    ps.argc = argc;
    ps.next = static_cast<uint64_t>(p - buf);
    return 0;
}

// Finds the multibulk request's arguments from where the last call stopped.
// A request framed in one call records their positions in the scratch as it
// goes; a resumed one only counts them. Returns 0 once all are present, or one
// of the codes above.
long long find_arguments(Server& srv, Client* c, char* buf, char* end, bool record) {
    ParseState& ps = c->parse;
    FramingScratch& f = srv.framing;
    const bool limited = restricted(srv, c);
    while (ps.found < ps.argc) {
        char* p = buf + ps.next;
        if (ps.bulk_len < 0) {
            if (p >= end) return kWait;
            if (*p != '$') return kProtocolError;
            long long len = 0;
            char* data = read_count_line(p, end, &len, &ps.line_checked);
            if (data == nullptr) return kWait;
            if (len < 0) return kProtocolError;
            if (limited && static_cast<unsigned long long>(len) > srv.unauth_arg_limit()) return kTooLarge;
            ps.bulk_len = len;
            ps.next = static_cast<uint64_t>(data - buf);
            p = data;
        }
        if (static_cast<unsigned long long>(ps.bulk_len) + 2 > static_cast<unsigned long long>(end - p)) return kWait;
        if (record) {
            f.offsets.push_back(ps.next);
            f.lens.push_back(static_cast<uint64_t>(ps.bulk_len));
        }
        ps.next += static_cast<uint64_t>(ps.bulk_len) + 2;
        ps.bulk_len = -1;
        ps.found += 1;
    }
    return 0;
}

// Records the argument positions of a complete request that was framed over
// several calls: one more walk of its lines, all present by now.
void record_arguments(Server& srv, char* buf, char* end, long long argc) {
    FramingScratch& f = srv.framing;
    long long ignored = 0;
    char* p = read_count_line(buf, end, &ignored);
    for (long long i = 0; i < argc; ++i) {
        long long len = 0;
        char* data = read_count_line(p, end, &len);
        f.offsets.push_back(static_cast<uint64_t>(data - buf));
        f.lens.push_back(static_cast<uint64_t>(len));
        p = data + len + 2;
    }
}

// Frames one multibulk request at buf[0 .. avail), continuing where the last
// call for this request stopped. Returns the bytes consumed after dispatching
// it, or one of the codes above.
long long frame_multibulk(Server& srv, Client* c, char* buf, size_t avail) {
    FramingScratch& f = srv.framing;
    ParseState& ps = c->parse;
    char* end = buf + avail;
    const bool fresh = !ps.started();
    if (ps.argc == 0) {
        const long long code = read_argument_count(srv, c, buf, end);
        if (code != 0) return code;
    }
    f.offsets.clear();
    f.lens.clear();
    const long long code = find_arguments(srv, c, buf, end, fresh);
    if (code != 0) return code;
    if (!fresh) record_arguments(srv, buf, end, ps.argc);

    // Complete: terminate every argument in place (the byte after its data is the
    // unexamined terminator) and dispatch without copying.
    f.argv.resize(f.offsets.size());
    for (size_t i = 0; i < f.offsets.size(); ++i) {
        f.argv[i] = buf + f.offsets[i];
        f.argv[i][f.lens[i]] = '\0';
    }
    const long long consumed = static_cast<long long>(ps.next);
    const int argc = static_cast<int>(ps.argc);
    ps.reset();
    dispatch_command(srv, c, argc, f.argv.data(), f.lens.data(), Origin::Network);
    client_check_output(c);
    return consumed;
}

constexpr size_t kMaxBatch = FramedBatch::kMaxRequests;
// A request with more arguments than this is left to the resumable framing.
constexpr unsigned long long kMaxArgsAhead = 1024;
static_assert(kMaxArgsAhead <= FramedBatch::kMaxArgs, "a request of the most arguments framed ahead fits a batch");

// Frames the complete multibulk requests at the start of buf[0 .. avail) in one
// walk, recording where each argument starts and how long it is in the batch,
// up to its capacity. Stops at the first request that is incomplete or in any
// form other than the plain one. Each complete argument is terminated in place
// as it is found: the byte after its data is its unexamined terminator, which
// no framing reads, so a request that turns out incomplete, or that is framed
// but left for later, is framed the same way again. Returns how many requests
// were framed.
size_t frame_ahead(FramedBatch& b, char* buf, size_t avail) {
    b.count = 0;
    size_t args = 0;
    const char* end = buf + avail;
    const char* p = buf;
    while (b.count < kMaxBatch && p < end && *p == '*') {
        unsigned long long argc = 0;
        const char* q = plain_count_line(p, end, &argc);
        if (q == nullptr || argc < 1 || argc > kMaxArgsAhead || argc > FramedBatch::kMaxArgs - args) break;
        size_t n = args;
        for (unsigned long long i = 0; i < argc; ++i) {
            unsigned long long len = 0;
            const char* data = q < end && *q == '$' ? plain_count_line(q, end, &len) : nullptr;
            if (data == nullptr || len + 2 > static_cast<unsigned long long>(end - data)) {
                q = nullptr;
                break;
            }
            char* arg = buf + (data - buf);  // the same byte, writable
            arg[len] = '\0';
            b.argv[n] = arg;
            b.lens[n] = len;
            ++n;
            q = data + len + 2;
        }
        if (q == nullptr) break;
        b.requests[b.count++] = {args, static_cast<uint32_t>(argc), static_cast<uint64_t>(q - buf)};
        args = n;
        p = q;
    }
    return b.count;
}

// Third entries are hinted only in a table of more buckets than this: the
// entries of a smaller one stay in the processor's caches, and the hint's own
// work would cost more than it saves.
constexpr uint64_t kLargeTableBuckets = 65536;

// Cache hints for the keys of lookups about to run one after another (the keys
// of a pipelined batch, or the first keys of the clients a pass serves), rolled
// along as they run: every bucket is hinted at once, a chain head `Distance`
// lookups before its turn (its bucket has arrived by then), the entry after a
// head that holds another key half that far ahead, and the third entry of the
// chain, past a second that holds another key too, one lookup ahead.
// The memory system then has a few lookups' time to bring each line in,
// without the burst of all heads at once that would fill its queues. A key is
// past the head in up to about a third of lookups, and past the second entry
// in about one in ten once the table is full (one key per bucket); without
// their hints those lookups wait for memory.
template <size_t N, size_t Distance>
class ChainHints {
public:
    explicit ChainHints(const Keyspace* ks)
        : ks_(ks), large_(ks != nullptr && ks->bucket_count > kLargeTableBuckets) {}
    // Adds the key of the next lookup, hinting its bucket; an empty key (a
    // request without one) has nothing to hint. Keys past the first N are not
    // hinted.
    void add(std::string_view key) {
        if (ks_ == nullptr || count_ == N) return;
        has_key_[count_] = !key.empty();
        if (has_key_[count_]) hashes_[count_] = dict_prefetch_bucket(ks_, key);
        ++count_;
    }
    // After the last key is added: hints the chains of the first lookups.
    void start() const {
        for (size_t k = 0; k < Distance; ++k) heads(k);
        for (size_t k = 0; k < Distance / 2; ++k) seconds(k);
        thirds(0);
    }
    // Called as lookup k is about to run.
    void advance(size_t k) const {
        heads(k + Distance);
        seconds(k + Distance / 2);
        thirds(k + 1);
    }
    // The hash worked out for lookup k's key, when it has one.
    bool hash_of(size_t k, uint32_t* hash) const {
        if (k >= count_ || !has_key_[k]) return false;
        *hash = hashes_[k];
        return true;
    }

private:
    void heads(size_t k) const {
        if (k < count_ && has_key_[k]) dict_prefetch_entry(ks_, hashes_[k]);
    }
    void seconds(size_t k) const {
        if (k < count_ && has_key_[k]) dict_prefetch_next(ks_, hashes_[k]);
    }
    void thirds(size_t k) const {
        if (large_ && k < count_ && has_key_[k]) dict_prefetch_third(ks_, hashes_[k]);
    }
    const Keyspace* ks_;
    bool large_;
    size_t count_ = 0;
    uint32_t hashes_[N];  // left uninitialised: only the first `count_` are used
    bool has_key_[N];
};

// The hints for the requests framed ahead; a lone request has nothing to
// overlap with, and gets none.
class KeyHints : public ChainHints<kMaxBatch, 6> {
public:
    KeyHints(const Keyspace* ks, const FramedBatch& b) : ChainHints(ks) {
        if (b.count < 2) return;
        for (size_t k = 0; k < b.count; ++k) {
            const FramedRequest& r = b.requests[k];
            add(r.argc >= 2 ? std::string_view(b.argv[r.first + 1], b.lens[r.first + 1]) : std::string_view());
        }
        start();
    }
};

// Lends request k's key hash, worked out for its hint, to that request's own
// lookups, and takes it back however the request ends: the input's bytes move
// once the batch is served, and a request cut short by running out of memory
// must not leave the loan behind for other bytes at the same place.
class KeyHashLoan {
public:
    KeyHashLoan(Keyspace* ks, const KeyHints& hints, size_t k, char* const* argv, const uint64_t* lens) {
        uint32_t hash = 0;
        if (ks == nullptr || !hints.hash_of(k, &hash)) return;
        ks_ = ks;
        dict_lend_key_hash(ks, {argv[1], lens[1]}, hash);
    }
    ~KeyHashLoan() {
        if (ks_ != nullptr) dict_lend_key_hash(ks_, {}, 0);
    }
    KeyHashLoan(const KeyHashLoan&) = delete;
    KeyHashLoan& operator=(const KeyHashLoan&) = delete;

private:
    Keyspace* ks_ = nullptr;
};

// The key (second argument) of the plain request at the start of a client's
// input, when that request is complete enough to show it; empty otherwise.
std::string_view first_key(const Server& srv, const Client* c) {
    if (c->inbuf_len == 0 || c->inbuf[0] != '*' || c->parse.started() || restricted(srv, c)) return {};
    const char* end = c->inbuf + c->inbuf_len;
    unsigned long long argc = 0;
    const char* p = plain_count_line(c->inbuf, end, &argc);
    if (p == nullptr || argc < 2) return {};
    for (int i = 0; i < 2; ++i) {
        unsigned long long len = 0;
        const char* data = p < end && *p == '$' ? plain_count_line(p, end, &len) : nullptr;
        if (data == nullptr || len > static_cast<unsigned long long>(end - data)) return {};
        if (i == 1) return {data, static_cast<size_t>(len)};
        p = data + len + 2;
    }
    return {};
}

// The hints for the first keys of the clients a pass serves, so that one
// client's first lookup overlaps with the work of the clients before it (with
// one request per client, the usual case without pipelining, there is nothing
// else to overlap with). A lone client gets none, and clients past the first
// kMaxPassHints none either. Each client's turn takes longer than one request
// of a batch, so the hints run fewer lookups ahead.
constexpr size_t kMaxPassHints = 256;
class PassHints : public ChainHints<kMaxPassHints, 4> {
public:
    PassHints(const Server& srv, const std::vector<Client*>& clients) : ChainHints(srv.keyspace) {
        if (clients.size() < 2) return;
        const size_t n = std::min(clients.size(), kMaxPassHints);
        for (size_t i = 0; i < n; ++i) add(first_key(srv, clients[i]));
        start();
    }
};

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

// Frames one inline request starting at offset pos. Returns bytes consumed,
// kWait, or kTooLarge.
long long frame_inline(Server& srv, Client* c, size_t pos, CrlfCache& cache) {
    FramingScratch& f = srv.framing;
    ParseState& ps = c->parse;
    const char* buf = c->inbuf;
    size_t len = c->inbuf_len;
    // Without a LF there is no line end of either kind; a line arriving in
    // pieces is searched only in its new bytes.
    const size_t unseen = pos + ps.inline_checked;
    const char* lf = static_cast<const char*>(std::memchr(buf + unseen, '\n', len - unseen));
    if (lf == nullptr) {
        ps.inline_checked = len - pos;
        return kWait;
    }
    if (ps.inline_checked > 0) cache.clean_until = std::max(cache.clean_until, unseen - 1);
    ps.inline_checked = 0;
    size_t line_end;
    size_t term;
    size_t crlf = find_crlf(buf, pos, len, cache);
    if (crlf != SIZE_MAX) {
        line_end = crlf;
        term = 2;
    } else {
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
    if (restricted(srv, c) && !within_unauth_limits(srv, f.argv.size(), f.lens.data())) return kTooLarge;
    dispatch_command(srv, c, static_cast<int>(f.argv.size()), f.argv.data(), f.lens.data(), Origin::Network);
    client_check_output(c);
    return consumed;
}

// Gives back most of a large input buffer once what it holds is small, so a
// connection that once sent a big request does not keep its buffer.
void shrink_input(Client* c) {
    if (c->inbuf_cap <= kInbufShrinkAbove || c->inbuf_len * 4 > c->inbuf_cap) return;
    uint64_t cap = kInbufInitial;
    while (cap < c->inbuf_len * 2) cap *= 2;
    char* smaller = static_cast<char*>(std::realloc(c->inbuf, cap + 1));
    if (smaller == nullptr) return;  // keeping the larger buffer is harmless
    c->inbuf = smaller;
    c->inbuf_cap = cap;
}

// Replaces the marked replies of one client (marks in output order) with the
// log error, keeping the bytes between and after them.
void fail_marked_replies(Client* c, const LogMark* marks, size_t count) {
    Reply& out = c->out;
    const size_t base = out.mark() - out.pending();
    const size_t first = marks[0].start;
    if (c->closed() || first < base || marks[count - 1].end > out.mark()) return;
    const std::string tail(out.unsent() + (first - base), out.mark() - first);
    out.rollback(first);
    for (size_t i = 0; i < count; ++i) {
        out.error(kErrLogWriteFailed);
        const size_t next = i + 1 < count ? marks[i + 1].start : first + tail.size();
        out.raw(tail.data() + (marks[i].end - first), next - marks[i].end);
    }
}

// False when the client's next request may not run now: the client is closed
// or closing, or its requests wait behind a parked blocking command or a
// (P)(UN)SUBSCRIBE still being served (then its input is paused until that is
// answered).
bool may_serve_next(Client* c) {
    if (c->closed() || c->close_after_output) return false;
    if (c->wait || c->unserved) {
        c->input_paused = true;
        return false;
    }
    return true;
}

// Reads the clock for the next kRequestsPerClockRead requests of a batch: they
// share one reading for their statistics and keyspace operations.
void hold_batch_clock(Server& srv, Client* c, unsigned* framed) {
    if ((*framed)++ % kRequestsPerClockRead != 0) return;
    srv.framing.batch_clock_ms = platform::current_time_ms();
    dict_hold_clock(srv.keyspace, srv.framing.batch_clock_ms);
    c->last_active_ms = srv.framing.batch_clock_ms;
}

// Frames the plain complete requests at `start` ahead of their turn, hints their
// keys, and dispatches them in order for as long as the client may be served.
// Returns the bytes they took; 0 when none was framed, which leaves the request
// at `start` to the resumable framing.
size_t serve_framed_ahead(Server& srv, Client* c, char* start, size_t avail, unsigned* framed) {
    FramedBatch& b = *srv.framing.ahead;
    const size_t count = frame_ahead(b, start, avail);
    KeyHints hints(srv.keyspace, b);
    size_t used = 0;
    for (size_t k = 0; k < count; ++k) {
        // A request may close the connection, park it, or (AUTH) restrict it to
        // limits the requests framed ahead were not checked against.
        if (k > 0 && (!may_serve_next(c) || restricted(srv, c))) break;
        hold_batch_clock(srv, c, framed);
        hints.advance(k);
        const FramedRequest& r = b.requests[k];
        char** argv = b.argv.data() + r.first;
        const uint64_t* lens = b.lens.data() + r.first;
        {
            const KeyHashLoan loan(srv.keyspace, hints, k, argv, lens);
            dispatch_command(srv, c, static_cast<int>(r.argc), argv, lens, Origin::Network);
        }
        client_check_output(c);
        used = r.end;
    }
    return used;
}

// Cuts and dispatches every complete request in the client's input buffer.
// Returns how many requests it began to serve.
unsigned frame_batch(Server& srv, Client* c) {
    srv.framing.command_tick = 0;
    size_t pos = 0;
    CrlfCache cache;
    unsigned framed = 0;
    long long failure = 0;
    while (pos < c->inbuf_len && may_serve_next(c)) {
        // Plain requests, the usual form, are framed in one walk a batch at a
        // time; a request framed in part before, any other form and requests of a
        // connection held to the limits before authentication go through the
        // resumable framing below, one at a time.
        if (c->inbuf[pos] == '*' && !c->parse.started() && !restricted(srv, c)) {
            const size_t used = serve_framed_ahead(srv, c, c->inbuf + pos, c->inbuf_len - pos, &framed);
            if (used > 0) {
                pos += used;
                continue;
            }
        }
        hold_batch_clock(srv, c, &framed);
        char* start = c->inbuf + pos;
        size_t avail = c->inbuf_len - pos;
        if (*start != '*' && http_request_start(start, avail)) {
            // One request per connection: the response closes it, so the rest of
            // the input is never framed.
            if (http_handle(srv, c, start, avail)) {
                c->parse.reset();
                pos = c->inbuf_len;
            }
            break;
        }
        long long used = *start == '*' ? frame_multibulk(srv, c, start, avail) : frame_inline(srv, c, pos, cache);
        if (used == kWait) break;
        if (used == kDropAll) {
            c->parse.reset();
            pos = c->inbuf_len;
            break;
        }
        if (used < 0) {
            failure = used;
            break;
        }
        pos += static_cast<size_t>(used);
    }
    srv.framing.batch_clock_ms = 0;
    dict_hold_clock(srv.keyspace, 0);
    if (failure != 0) {
        // Best effort: the connection is closed either way.
        if (failure == kTooLarge) platform::net_send(c->sock, kUnauthTooLargeError, sizeof(kUnauthTooLargeError) - 1);
        client_close(c);
        return framed;
    }
    if (c->closed() || c->inbuf == nullptr) return framed;
    if (pos > 0) {
        std::memmove(c->inbuf, c->inbuf + pos, c->inbuf_len - pos);
        c->inbuf_len -= pos;
        shrink_input(c);
    }
    c->inbuf[c->inbuf_len] = '\0';
    if (c->table != nullptr) c->table->count_memory(c);
    return framed;
}

constexpr char kBufferLimitError[] = "-ERR bulk string or multi bulk length exceeds proto-max-bulk-len\r\n";

// The size the client's full input buffer may grow to, or 0 when it is at its
// limit: kInbufMax, or a largest request before the connection authenticates.
uint64_t grown_input_capacity(const Server& srv, const Client* c) {
    const uint64_t limit = restricted(srv, c) ? std::min(kInbufMax, srv.unauth_input_limit()) : kInbufMax;
    if (c->inbuf_cap >= limit) return 0;
    return std::min(c->inbuf_cap * 2, limit);
}

// Grows the full input buffer. False when it may not or cannot grow.
bool grow_input(const Server& srv, Client* c) {
    const uint64_t cap = grown_input_capacity(srv, c);
    if (cap == 0) return false;
    char* grown = static_cast<char*>(std::realloc(c->inbuf, cap + 1));
    if (grown == nullptr) return false;
    c->inbuf = grown;
    c->inbuf_cap = cap;
    return true;
}

// One receive into the client's input buffer, growing it when full.
// Returns false when the connection was closed.
bool receive_into(Server& srv, Client* c) {
    if (c->inbuf_len + 1 >= c->inbuf_cap) {
        if (!grow_input(srv, c)) {
            // Best effort: the client is past its limit (or memory ran out) and is
            // closed either way.
            const bool limited = restricted(srv, c);
            const char* error = limited ? kUnauthTooLargeError : kBufferLimitError;
            const size_t length = limited ? sizeof(kUnauthTooLargeError) - 1 : sizeof(kBufferLimitError) - 1;
            platform::net_send(c->sock, error, length);
            client_close(c);
            return false;
        }
        if (c->table != nullptr) c->table->count_memory(c);
        if (c->closed()) return false;
    }
    // At most kReceiveChunk per call: a socket layer that works in proportion
    // to the space offered rather than to the bytes received would otherwise
    // make every small piece of a huge request cost its size.
    const uint64_t room = std::min<uint64_t>(c->inbuf_cap - c->inbuf_len - 1, kReceiveChunk);
    int64_t n = platform::net_recv(c->sock, c->inbuf + c->inbuf_len, room);
    if (n == platform::kWouldBlock) return true;
    if (n <= 0) {
        client_close(c);
        return false;
    }
    c->inbuf_len += static_cast<uint64_t>(n);
    c->inbuf[c->inbuf_len] = '\0';
    return true;
}

// Makes room in a full table by closing the longest-idle connection that has
// not authenticated, so that an operator can always get in. False when every
// connection has authenticated.
bool displace_for_new_connection(Server& srv) {
    if (srv.password.empty()) return false;
    Client* victim = nullptr;
    for (int i = 0; i < srv.clients.size(); ++i) {
        Client* c = srv.clients.at(i);
        if (c->closed() || c->authenticated) continue;
        if (victim == nullptr || c->last_active_ms < victim->last_active_ms) victim = c;
    }
    if (victim == nullptr) return false;
    client_close(victim);
    srv.clients.sweep();
    return true;
}

// Runs after the pass has served the polled clients: displacing a client
// frees its record, which the pass may no longer hold.
void accept_one(Server& srv) {
    platform::Socket s = platform::net_accept(srv.listener);
    if (s == platform::kInvalidSocket) return;
    ServerLock lock(srv.lock);
    if (srv.clients.full()) srv.clients.sweep();
    if (srv.clients.full() && !displace_for_new_connection(srv)) {
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
    c->created_ms = c->last_cmd_ms = c->last_active_ms = platform::current_time_ms();
    std::strcpy(c->last_cmd, "connect");
    Client* added = c.get();
    srv.clients.add(std::move(c));
    srv.clients.count_memory(added);
    srv.stats.total_connections += 1;
}

// Frames one received batch and commits its records (defined below).
void frame_requests(Server& srv, Client* c);

// Sends what the client's replies have left pending, as far as the socket takes it.
void send_pending(Server& srv, Client* c) {
    if (!c->closed() && c->out.pending() > 0) srv.stats.net_output_bytes += client_write_output(c);
}

void end_of_pass(Server& srv) {
    ServerLock lock(srv.lock);
    for (int i = 0; i < srv.clients.size(); ++i) {
        Client* c = srv.clients.at(i);
        send_pending(srv, c);
        if (!c->closed() && c->close_after_output && c->out.pending() == 0) client_close(c);
        // A closed client leaves the parked and watching indexes before the sweep frees it.
        if (c->closed()) {
            unpark_client(srv, c);
            unwatch_all(srv, c);
        }
    }
    srv.clients.close_stale(platform::current_time_ms());
    srv.clients.sweep();
    if (srv.keyspace != nullptr) dict_cleanup_expired(srv.keyspace);
    // The sweep's DELs, and any record a host call left staged.
    srv.log.commit();
    // A slice of a running log rewrite, now that nothing is staged.
    srv.rewrite.step(srv);
    srv.log.probe_recovery();
    time_out_parked_clients(srv, platform::current_time_ms());
    for (int i = 0; i < srv.clients.size(); ++i) {
        Client* c = srv.clients.at(i);
        serve_unserved_names(srv, c);
        // Input that waited behind a command that has now been answered.
        if (c->input_paused && !c->wait && !c->unserved && !c->closed()) {
            c->input_paused = false;
            frame_requests(srv, c);
        }
        // Time-out and hand-over replies go out in this pass rather than waiting for the next one.
        send_pending(srv, c);
    }
}

}  // namespace

Client::~Client() { std::free(inbuf); }

void commit_batch(Server& srv) {
    std::vector<LogMark>& marks = srv.framing.log_marks;
    // A failed write anywhere since the records were staged fails the marked
    // replies too: an HTTP write in the same pass may have committed, or lost,
    // them already. An error for a record that did reach the log is the safe
    // side of that doubt.
    const bool ok = srv.log.commit();
    if (!ok || (!marks.empty() && !srv.log.last_write_ok())) {
        for (size_t i = 0; i < marks.size();) {
            size_t j = i + 1;
            while (j < marks.size() && marks[j].client == marks[i].client) ++j;
            fail_marked_replies(marks[i].client, marks.data() + i, j - i);
            i = j;
        }
    }
    marks.clear();
}

namespace {

// Frames one received batch and commits its records before its replies can go out.
void frame_requests(Server& srv, Client* c) {
    frame_batch(srv, c);
    commit_batch(srv);
}

}  // namespace

bool connection_feed(Server& srv, Client* c, const char* data, size_t len) {
    if (c->inbuf == nullptr) {
        c->inbuf = static_cast<char*>(std::malloc(kInbufInitial));
        if (c->inbuf == nullptr) return false;
        c->inbuf_cap = kInbufInitial;
        c->inbuf_len = 0;
    }
    while (len > 0 && !c->closed() && !c->close_after_output) {
        if (c->inbuf_len + 1 >= c->inbuf_cap && !grow_input(srv, c)) return false;
        size_t take = std::min<size_t>(len, c->inbuf_cap - c->inbuf_len - 1);
        std::memcpy(c->inbuf + c->inbuf_len, data, take);
        c->inbuf_len += take;
        c->inbuf[c->inbuf_len] = '\0';
        data += take;
        len -= take;
        frame_requests(srv, c);
        // No later pass serves the rest of a (P)(UN)SUBSCRIBE of many names
        // here: it is finished at once, then the input behind it is framed.
        while (c->unserved && !c->closed()) {
            serve_unserved_names(srv, c);
            if (!c->unserved && c->input_paused && !c->wait) {
                c->input_paused = false;
                frame_requests(srv, c);
            }
        }
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
    c->parse = ParseState{};
    c->queue.clear();
    c->wait.reset();
    c->unserved.reset();
    c->watched.clear();
    c->out.clear();
}

void client_close(Client* c) {
    if (c->closed()) return;
    platform::net_close(c->sock);
    c->sock = platform::kInvalidSocket;
    c->out.clear();
    c->output_over_since_ms = 0;
    if (c->table != nullptr) c->table->uncount_memory(c);
}

void client_check_output(Client* c) {
    if (c->closed()) return;
    const uint64_t pending = c->out.pending();
    // Output within the smallest limit is within every client's: the usual
    // case needs no limit of its own.
    static_assert(kUnauthOutputLimit <= kSubscriberOutputLimit && kUnauthOutputLimit <= kOutputLimit);
    const uint64_t limit = pending <= kUnauthOutputLimit ? kUnauthOutputLimit : client_output_limit(c);
    if (pending <= limit) {
        c->output_over_since_ms = 0;
    } else if (!c->authenticated || pending > kOutputHardFactor * limit) {
        client_close(c);
        return;
    } else if (c->output_over_since_ms == 0) {
        // The grace period runs from here; close_stale ends it.
        c->output_over_since_ms = platform::current_time_ms();
    }
    // After a request only the reply writer and the MULTI queue can have grown;
    // most requests change neither's memory, and then the count stands.
    if (c->table != nullptr && (c->out.held() != c->out_held_counted || c->queue.size() != c->queue_counted)) {
        c->table->count_memory(c);
    }
}

uint64_t client_write_output(Client* c) {
    uint64_t sent = 0;
    while (!c->closed() && c->out.pending() > 0) {
        int64_t n = platform::net_send(c->sock, c->out.unsent(), c->out.pending());
        if (n == platform::kWouldBlock) break;
        if (n < 0) {
            client_close(c);
            break;
        }
        c->out.consume(static_cast<size_t>(n));
        sent += static_cast<uint64_t>(n);
    }
    if (sent == 0 || c->closed()) return sent;
    // A client that reads its replies is active, and back under its limit once
    // it has read enough.
    c->last_active_ms = platform::current_time_ms();
    if (c->out.pending() <= client_output_limit(c)) c->output_over_since_ms = 0;
    if (c->table != nullptr) c->table->count_memory(c);
    return sent;
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

namespace {

// Frames one received batch without committing its records, and returns how
// many requests it began to serve. An allocation failure that escapes the
// handlers (they answer their own; a queued copy or a gate's reply may not)
// costs this client its connection, never the worker, and counts as none
// served; what ran before it is still committed.
unsigned frame_guarded(Server& srv, Client* c) {
    try {
        return frame_batch(srv, c);
    } catch (const std::bad_alloc&) {
        srv.framing.batch_clock_ms = 0;
        dict_hold_clock(srv.keyspace, 0);
        client_close(c);
        commit_batch(srv);
        return 0;
    }
}

// One pass: wait for readiness, accept, serve every client with input, then the
// end-of-pass work. Returns false once the server is stopping.
bool serve_one_pass(Server& srv, std::vector<platform::PollItem>& items, std::vector<Client*>& polled,
                    std::vector<Client*>& pass) {
    items.clear();
    polled.clear();
    items.push_back({srv.listener, platform::kPollIn, 0});
    // A client with names left to serve gets its next slice at the end of this
    // pass: the poll then only looks for what is ready now.
    int timeout_ms = kPassTimeoutMs;
    {
        ServerLock lock(srv.lock);
        for (int i = 0; i < srv.clients.size(); ++i) {
            Client* c = srv.clients.at(i);
            if (c->closed()) continue;
            if (c->unserved) timeout_ms = 0;
            short events = c->close_after_output ? 0 : platform::kPollIn;
            if (c->out.pending() > 0) events |= platform::kPollOut;
            items.push_back({c->sock, events, 0});
            polled.push_back(c);
        }
    }
    int ready = platform::net_poll(items.data(), items.size(), timeout_ms);
    if (!srv.running.load()) return false;
    if (ready < 0) return true;

    // Only this thread frees clients (at the sweep), so the pointers stay valid.
    // Every ready client's input is received first, so the keys of all their
    // first requests can be hinted together before any of them is served.
    uint64_t received_bytes = 0;
    for (size_t i = 0; i < polled.size(); ++i) {
        Client* c = polled[i];
        short revents = items[i + 1].revents;
        if (c->closed() || c->close_after_output) continue;
        if ((revents & (platform::kPollIn | platform::kPollErr)) == 0) continue;
        const uint64_t buffered = c->inbuf_len;
        if (!receive_into(srv, c)) continue;
        received_bytes += c->inbuf_len - buffered;
        pass.push_back(c);
    }
    if (!pass.empty()) {
        // One lock for the pass's batches: host calls wait at most one pass.
        ServerLock lock(srv.lock);
        srv.stats.net_input_bytes += received_bytes;
        const PassHints hints(srv, pass);
        if (srv.log.is_open()) {
            // With the log on, the pass's batches are framed together and their
            // records written with one call before any of their replies, so no
            // reply leaves before the records it reports.
            for (size_t i = 0; i < pass.size(); ++i) {
                hints.advance(i);
                frame_guarded(srv, pass[i]);
            }
            commit_batch(srv);
            for (Client* c : pass) send_pending(srv, c);
        } else {
            // A lone request's reply goes out at once: its client waits on it
            // alone and can send its next request while the others are served.
            // The replies of pipelined batches go out together after the pass's
            // batches are framed: sends made back to back cost the system less
            // per request than sends spread between the batches (under a
            // pipelined load, about an eighth less system time per request).
            // The log-on path above sends every batch's replies this way, for
            // its own reason.
            for (size_t i = 0; i < pass.size(); ++i) {
                Client* c = pass[i];
                hints.advance(i);
                const unsigned served = frame_guarded(srv, c);
                commit_batch(srv);
                if (served <= 1) send_pending(srv, c);
            }
            for (Client* c : pass) send_pending(srv, c);
        }
    }
    pass.clear();
    // After the polled clients: a new connection may displace one of them.
    if (items[0].revents != 0) accept_one(srv);
    end_of_pass(srv);
    return true;
}

}  // namespace

void run_worker(Server& srv) {
    std::vector<platform::PollItem> items;
    std::vector<Client*> polled;
    std::vector<Client*> pass;
    for (;;) {
        try {
            pass.clear();
            if (!serve_one_pass(srv, items, polled, pass)) return;
        } catch (const std::bad_alloc&) {
            // Out of memory outside any client's batch: give the host a moment
            // to free some, then serve again rather than end the worker.
            platform::sleep_ms(10);
        }
    }
}
