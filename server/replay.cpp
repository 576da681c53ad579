// replay.cpp — rebuilds the keyspace from the append-only log at start: a record
// reader with strict stop rules, each record applied through the dispatcher with
// a client of its own, and repair of a tail that could not be read.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command.h"
#include "server/server.h"

namespace {

// The network side takes any request that fits one input buffer, so a record
// may hold as many arguments, each as long, as that buffer holds bytes. The
// argument list grows as arguments are read, never from the count alone.
constexpr uint64_t kMaxArgs = kInbufMax;
constexpr uint64_t kMaxArgLength = kInbufMax;
constexpr uint64_t kRecordsPerClockRead = 64;

// Buffered byte reader over a file that knows its position.
class LogReader {
public:
    explicit LogReader(FILE* f) : f_(f), buf_(1 << 20) {}

    // The next byte, or -1 at the end of the file.
    int next() {
        if (pos_ == len_ && !refill()) return -1;
        ++offset_;
        return static_cast<unsigned char>(buf_[pos_++]);
    }

    // Reads exactly n bytes into out; false on a short read.
    bool read_exact(uint64_t n, std::string* out) {
        out->resize(n);
        uint64_t done = 0;
        while (done < n) {
            if (pos_ == len_ && !refill()) return false;
            size_t take = static_cast<size_t>(std::min<uint64_t>(n - done, len_ - pos_));
            std::memcpy(out->data() + done, buf_.data() + pos_, take);
            pos_ += take;
            done += take;
            offset_ += take;
        }
        return true;
    }

    uint64_t offset() const { return offset_; }
    bool hit_end() const { return eof_; }

private:
    bool refill() {
        len_ = std::fread(buf_.data(), 1, buf_.size(), f_);
        pos_ = 0;
        if (len_ == 0) eof_ = true;
        return len_ > 0;
    }
    FILE* f_;
    std::vector<char> buf_;
    size_t pos_ = 0, len_ = 0;
    uint64_t offset_ = 0;
    bool eof_ = false;
};

enum class Step { Record, End, Bad };

// Reads the digits of a header line up to its end (CR LF or a lone LF).
bool read_number_line(LogReader& in, uint64_t limit, uint64_t* out) {
    uint64_t n = 0;
    for (;;) {
        int ch = in.next();
        if (ch >= '0' && ch <= '9') {
            n = n * 10 + static_cast<uint64_t>(ch - '0');
            if (n > limit) return false;
            continue;
        }
        if (ch == '\n') break;
        if (ch == '\r' && in.next() == '\n') break;
        return false;
    }
    *out = n;
    return true;
}

Step read_record(LogReader& in, std::vector<std::string>* args) {
    int first = in.next();
    if (first == -1) return Step::End;
    if (first != '*') return Step::Bad;
    uint64_t count = 0;
    if (!read_number_line(in, kMaxArgs, &count) || count < 1) return Step::Bad;
    for (uint64_t i = 0; i < count; ++i) {
        if (args->size() <= i) args->emplace_back();
        uint64_t len = 0;
        if (in.next() != '$' || !read_number_line(in, kMaxArgLength, &len)) return Step::Bad;
        if (!in.read_exact(len, &(*args)[i])) return Step::Bad;
        int end = in.next();
        if (end == '\r') end = in.next();
        if (end != '\r' && end != '\n') return Step::Bad;
    }
    args->resize(count);
    return Step::Record;
}

// Records of writing commands replay; commands that are never logged in their
// own form (blocking and random pops, logged as what they removed) and records of
// any other name (reads, connection commands) are skipped.
bool replayable(std::string_view upper) {
    const CommandDef* def = command_lookup(upper);
    return def != nullptr && (def->flags & kCmdWrite) != 0 && (def->flags & kCmdNoReplay) == 0;
}

// The client every replayed record runs as: authenticated, no socket, never in a
// transaction or subscribed.
void reset_replay_client(Client* c) {
    c->sock = platform::kInvalidSocket;
    c->authenticated = 1;
    // Replayed records never subscribe or queue: the clears are for a damaged
    // log, and skipped when there is nothing to clear.
    if (!c->channels.empty()) c->channels.clear();
    if (!c->patterns.empty()) c->patterns.clear();
    c->in_multi = 0;
    if (!c->queue.empty()) c->queue.clear();
    c->wait.reset();
    c->out.set_resp3(false);
}

// A MULTI or EXEC record (any case) that brackets a transaction's records.
bool is_marker(const std::vector<std::string>& args, std::string_view upper_name) {
    if (args.size() != 1 || args[0].size() != upper_name.size()) return false;
    for (size_t i = 0; i < upper_name.size(); ++i) {
        const unsigned char ch = static_cast<unsigned char>(args[0][i]);
        if ((ch >= 'a' && ch <= 'z' ? ch - ('a' - 'A') : ch) != static_cast<unsigned char>(upper_name[i])) return false;
    }
    return true;
}

void apply_record(Server& srv, Client* replay_client, std::vector<std::string>& args, std::vector<char*>& argv,
                  std::vector<uint64_t>& lens) {
    char upper[64];
    size_t n = std::min<size_t>(args[0].size(), 63);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ch = static_cast<unsigned char>(args[0][i]);
        upper[i] = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - ('a' - 'A') : ch);
    }
    if (!replayable(std::string_view(upper, n))) return;
    argv.resize(args.size());
    lens.resize(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
        argv[i] = args[i].data();
        lens[i] = args[i].size();
    }
    reset_replay_client(replay_client);
    dispatch_command(srv, replay_client, static_cast<int>(args.size()), argv.data(), lens.data(), Origin::Replay);
    // Replies of replayed records go nowhere.
    replay_client->out.clear();
}

// Keeps the unreadable bytes after the last good record in "<path>.corrupt" for
// inspection, then cuts the log back so new records follow the last good one and
// are reachable at the next start.
bool repair_tail(const std::string& path, uint64_t good_end, bool truncated_record) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    if (!truncated_record) {
        FILE* in = std::fopen(path.c_str(), "rb");
        FILE* out = std::fopen((path + ".corrupt").c_str(), "ab");
        bool saved = in != nullptr && out != nullptr;
        std::vector<char> chunk(1 << 16);
        uint64_t at = 0;
        size_t got = 0;
        // Read from the start rather than seek: offsets may pass what fseek takes.
        while (saved && (got = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
            size_t skip = at >= good_end ? 0 : static_cast<size_t>(std::min<uint64_t>(good_end - at, got));
            at += got;
            saved = std::fwrite(chunk.data() + skip, 1, got - skip, out) == got - skip;
        }
        if (in) std::fclose(in);
        if (out) saved = (std::fclose(out) == 0) && saved;
        if (!saved) return false;
    }
    return platform::file_truncate(path.c_str(), good_end);
}

}  // namespace

bool replay_log(Server& srv) {
    const std::string& path = srv.log.path();
    if (path.empty()) return true;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return true;

    Client replay_client;
    LogReader in(f);
    std::vector<std::string> args;
    std::vector<char*> argv;
    std::vector<uint64_t> lens;
    uint64_t good_end = 0;
    Keyspace* ks = srv.keyspace;
    const uint64_t hits = ks->keyspace_hits, misses = ks->keyspace_misses;
    // A transaction's records are held until its EXEC record is read, then
    // applied together; the last good end stays before its MULTI until then.
    std::vector<std::vector<std::string>> transaction;
    bool in_transaction = false;
    Step step;
    // Records replay with the clock read once per group of them, as requests
    // of one batch do: a read per keyspace operation was a tenth of the replay.
    uint64_t records = 0;
    while ((step = read_record(in, &args)) == Step::Record) {
        if (records++ % kRecordsPerClockRead == 0) dict_hold_clock(ks, platform::current_time_ms());
        if (is_marker(args, "MULTI")) {
            // MULTI inside a transaction is never written: the log is damaged there.
            if (in_transaction) {
                step = Step::Bad;
                break;
            }
            in_transaction = true;
            transaction.clear();
            continue;
        }
        if (in_transaction) {
            if (!is_marker(args, "EXEC")) {
                transaction.push_back(std::move(args));
                args.clear();
                continue;
            }
            for (std::vector<std::string>& record : transaction) apply_record(srv, &replay_client, record, argv, lens);
            transaction.clear();
            in_transaction = false;
        } else {
            apply_record(srv, &replay_client, args, argv, lens);
        }
        good_end = in.offset();
    }
    // A record cut short by the end of the file is an interrupted write, and so
    // is a transaction the end of the file cuts short; anything else is damage.
    // Neither ends the start.
    const bool truncated = in.hit_end() || step == Step::End;
    dict_hold_clock(ks, 0);
    std::fclose(f);
    ks->keyspace_hits = hits;
    ks->keyspace_misses = misses;
    if (step == Step::End && !in_transaction) return true;
    return repair_tail(path, good_end, truncated);
}
