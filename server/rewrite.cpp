// rewrite.cpp — the incremental log rewrite: visit marks, the key serializer
// (one record per key and type, containers in records of bounded size, then the
// deadline), slices between batches, and the atomic switch to the new file.
#include "server/rewrite.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "server/server.h"

namespace {

constexpr int64_t kSliceMs = 1;                // longest walk per slice
constexpr size_t kElementsPerRecord = 512;     // container elements per record
constexpr size_t kWriteOutBytes = size_t(1) << 20;
// Past this many handed bytes not yet written the walk waits a pass, so a slow
// disk slows the rewrite rather than growing its memory.
constexpr uint64_t kMaxUnwrittenBytes = uint64_t(64) << 20;

bool visited(const Keyspace* ks, const Entry* e) { return (e->flags & ENTRY_REWRITE_MARK) == ks->rewrite_mark; }
void mark_visited(const Keyspace* ks, Entry* e) {
    e->flags = (e->flags & ~ENTRY_REWRITE_MARK) | ks->rewrite_mark;
}

// The entry of a key without the lookup's side effects (stamp, lazy expiry).
Entry* peek(const Keyspace* ks, std::string_view key) {
    const uint32_t hash = dict_hash(key);
    for (Entry* e = ks->buckets[hash & (ks->bucket_count - 1)]; e; e = e->next) {
        if (e->hash_tag == dict_hash_tag(hash) && entry_key(e) == key) return e;
    }
    return nullptr;
}

void append_header(std::string& out, char prefix, uint64_t n) { LogWriter::append_length_line(out, prefix, n); }

void append_arg(std::string& out, std::string_view a) {
    append_header(out, '$', a.size());
    out.append(a);
    out.append("\r\n", 2);
}

// Records "<name> key items..." with at most kElementsPerRecord items (of
// `per_item` arguments each) per record.
void append_chunked(std::string& out, std::string_view name, std::string_view key,
                    const std::vector<std::string_view>& args, size_t per_item) {
    const size_t step = kElementsPerRecord * per_item;
    for (size_t i = 0; i < args.size(); i += step) {
        const size_t n = std::min(step, args.size() - i);
        append_header(out, '*', 2 + n);
        append_arg(out, name);
        append_arg(out, key);
        for (size_t k = i; k < i + n; ++k) append_arg(out, args[k]);
    }
}

}  // namespace

bool LogRewrite::request(Server& srv, const char** error) {
    if (in_progress()) {
        *error = "Background append only file rewriting already in progress";
        return false;
    }
    if (!srv.log.is_open() || srv.log.refusing_writes() || srv.keyspace == nullptr) {
        *error = "append-only file is not open for writing: nothing to rewrite";
        return false;
    }
    requested_ = true;
    return true;
}

// Starts the walk. The caller has checked that no record is staged: a record
// staged before the start would reach the new file after the state it made.
bool LogRewrite::start(Server& srv) {
    requested_ = false;
    if (!srv.log.is_open() || srv.log.refusing_writes()) return false;
    temp_path_ = srv.log.path() + ".rewrite";
    bool busy = false;
    // The new file is locked before it is renamed into place, so the log stays
    // locked across the switch.
    temp_lock_ = platform::file_lock(temp_path_.c_str(), &busy);
    temp_ = temp_lock_ != platform::kNoFileLock ? std::fopen(temp_path_.c_str(), "wb") : nullptr;
    if (temp_ != nullptr) {
        handed_.clear();
        walk_done_ = writer_stop_ = false;
        unwritten_.store(0);
        write_failed_.store(false);
        synced_.store(false);
        writer_ = platform::thread_start(writer_main, this);
        if (writer_ == nullptr) {
            std::fclose(temp_);
            temp_ = nullptr;
            std::remove(temp_path_.c_str());
        }
    }
    if (temp_ == nullptr) {
        platform::file_unlock(temp_lock_);
        temp_lock_ = platform::kNoFileLock;
        last_ok_ = false;
        return false;
    }
    Keyspace* ks = srv.keyspace;
    // Every entry now reads as not visited; new ones are linked visited.
    ks->rewrite_mark ^= ENTRY_REWRITE_MARK;
    active_ = true;
    discarding_ = false;
    cursor_ = 0;
    buffer_.clear();
    srv.log.set_tee(&buffer_);
    return true;
}

void LogRewrite::visit(Keyspace* ks, Entry* e) {
    mark_visited(ks, e);
    if (discarding_) return;
    const std::string key(entry_key(e));
    const int64_t deadline = entry_deadline(ks, e);
    if (deadline > 0 && deadline <= dict_now_ms(ks)) return;  // dead: no record
    const int64_t stamp = e->last_access_ms;
    std::vector<std::string_view> items;
    switch (e->type) {
        case KEY_TYPE_STRING:
            append_header(buffer_, '*', 3);
            append_arg(buffer_, "SET");
            append_arg(buffer_, key);
            append_arg(buffer_, entry_str(e));
            break;
        case KEY_TYPE_LIST:
            dict_lrange(ks, key, 0, -1, &items);
            append_chunked(buffer_, "RPUSH", key, items, 1);
            break;
        case KEY_TYPE_HASH:
            dict_hgetall(ks, key, &items);
            append_chunked(buffer_, "HSET", key, items, 2);
            break;
        case KEY_TYPE_SET:
            dict_smembers(ks, key, &items);
            append_chunked(buffer_, "SADD", key, items, 1);
            break;
        case KEY_TYPE_ZSET: {
            std::vector<ZMember> members;
            dict_zrange(ks, key, 0, -1, false, &members);
            std::vector<std::string> scores(members.size());
            for (size_t i = 0; i < members.size(); ++i) {
                char text[40];
                std::snprintf(text, sizeof(text), "%.17g", members[i].score);
                scores[i] = text;
                items.push_back(scores[i]);
                items.push_back(members[i].member);
            }
            append_chunked(buffer_, "ZADD", key, items, 2);
            break;
        }
        default:
            break;
    }
    if (deadline > 0) {
        char when[32];
        std::snprintf(when, sizeof(when), "%" PRId64, deadline);
        append_header(buffer_, '*', 3);
        append_arg(buffer_, "PEXPIREAT");
        append_arg(buffer_, key);
        append_arg(buffer_, when);
    }
    // Reading the value stamped the entry; the eviction order stays as it was.
    if (Entry* again = peek(ks, key)) entry_touch(ks, again, stamp);
}

void LogRewrite::before_write(Server& srv, int argc, char* const* argv, const uint64_t* lens) {
    if (!active_) return;
    Keyspace* ks = srv.keyspace;
    // Any argument may name a key: writing a key's state early is harmless,
    // missing one a later record reads is not.
    for (int i = 1; i < argc; ++i) {
        Entry* e = peek(ks, std::string_view(argv[i], lens[i]));
        if (e != nullptr && !visited(ks, e)) visit(ks, e);
    }
}

// Hands the buffered records to the writer thread (during the walk).
void LogRewrite::hand_over() {
    if (discarding_) buffer_.clear();
    if (buffer_.empty()) return;
    unwritten_.fetch_add(buffer_.size());
    {
        std::lock_guard<std::mutex> guard(writer_mutex_);
        if (handed_.empty()) {
            handed_.swap(buffer_);
        } else {
            handed_.append(buffer_);
        }
    }
    buffer_.clear();
    writer_wake_.notify_one();
}

// Writes the buffered records itself (after the writer has ended).
void LogRewrite::write_out() {
    if (discarding_) buffer_.clear();
    if (buffer_.empty()) return;
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), temp_) != buffer_.size()) fail();
    buffer_.clear();
}

void LogRewrite::fail() {
    discarding_ = true;
    last_ok_ = false;
    buffer_.clear();
}

bool LogRewrite::auto_due(Server& srv) const {
    const ConfigRow* pct_row = srv.config.find("auto-aof-rewrite-percentage");
    const ConfigRow* min_row = srv.config.find("auto-aof-rewrite-min-size");
    const long long pct = pct_row != nullptr ? std::atoll(pct_row->value.c_str()) : 0;
    if (pct <= 0 || !srv.log.is_open() || srv.log.refusing_writes()) return false;
    uint64_t min_size = 0;
    if (min_row != nullptr) {
        const char* text = min_row->value.c_str();
        char* unit = nullptr;
        min_size = std::strtoull(text, &unit, 10);
        const std::string_view u(unit);
        if (u == "kb" || u == "KB" || u == "k") min_size <<= 10;
        if (u == "mb" || u == "MB" || u == "m") min_size <<= 20;
        if (u == "gb" || u == "GB" || u == "g") min_size <<= 30;
    }
    const uint64_t size = srv.log.size();
    return size >= min_size && size * 100 >= base_size_ * static_cast<uint64_t>(100 + pct);
}

void LogRewrite::writer_main(void* arg) {
    LogRewrite* self = static_cast<LogRewrite*>(arg);
    std::string chunk;
    bool ok = true;
    for (;;) {
        bool last = false;
        {
            std::unique_lock<std::mutex> guard(self->writer_mutex_);
            self->writer_wake_.wait(guard, [self] {
                return self->writer_stop_ || self->walk_done_ || !self->handed_.empty();
            });
            if (self->writer_stop_) return;
            chunk.clear();
            chunk.swap(self->handed_);
            last = self->walk_done_;
        }
        if (ok && !chunk.empty()) ok = std::fwrite(chunk.data(), 1, chunk.size(), self->temp_) == chunk.size();
        self->unwritten_.fetch_sub(chunk.size());
        if (!ok) self->write_failed_.store(true);
        if (last) {
            ok = ok && std::fflush(self->temp_) == 0 && platform::file_sync(self->temp_);
            self->sync_ok_.store(ok);
            self->synced_.store(true);
            return;
        }
    }
}

void LogRewrite::join_writer() {
    if (writer_ == nullptr) return;
    platform::thread_join(writer_);
    writer_ = nullptr;
}

void LogRewrite::step(Server& srv) {
    if (srv.log.has_staged() || srv.keyspace == nullptr) return;
    if (!active_) {
        // A failed automatic start waits for the log to grow again.
        if ((requested_ || auto_due(srv)) && !start(srv)) base_size_ = srv.log.size();
        if (!active_) return;
    }
    if (!srv.log.is_open() || srv.log.refusing_writes() || write_failed_.load()) fail();
    if (walk_done_) {
        if (synced_.load()) finish(srv);
        return;
    }
    // The records the log took since the last slice go to the writer; the walk
    // waits while the writer is far behind.
    if (unwritten_.load() > kMaxUnwrittenBytes) return hand_over();
    Keyspace* ks = srv.keyspace;
    const int64_t until = platform::current_time_ms() + kSliceMs;
    unsigned buckets = 0;
    while (cursor_ < ks->bucket_count) {
        for (Entry* e = ks->buckets[cursor_]; e; e = e->next) {
            if (!visited(ks, e)) visit(ks, e);
        }
        ++cursor_;
        if (++buckets % 32 == 0 && (buffer_.size() > kWriteOutBytes || platform::current_time_ms() >= until)) break;
    }
    hand_over();
    if (cursor_ < ks->bucket_count) return;
    {
        std::lock_guard<std::mutex> guard(writer_mutex_);
        walk_done_ = true;
    }
    writer_wake_.notify_one();
}

void LogRewrite::finish(Server& srv) {
    join_writer();
    walk_done_ = false;
    srv.log.set_tee(nullptr);
    if (!sync_ok_.load()) fail();
    // Records taken while the writer synced; under always they are synced too,
    // otherwise they are as durable as the log's own last second.
    write_out();
    bool ok = !discarding_;
    ok = ok && std::fflush(temp_) == 0;
    if (srv.log.fsync_policy() == FsyncPolicy::Always) ok = ok && platform::file_sync(temp_);
    ok = (std::fclose(temp_) == 0) && ok;
    temp_ = nullptr;
    active_ = false;
    if (ok && srv.log.replace_file(temp_path_, temp_lock_)) {
        rewrites_ += 1;
        last_ok_ = true;
        base_size_ = srv.log.size();
        return;
    }
    platform::file_unlock(temp_lock_);
    temp_lock_ = platform::kNoFileLock;
    std::remove(temp_path_.c_str());
    last_ok_ = false;
    base_size_ = srv.log.size();
}

void LogRewrite::cancel() {
    if (writer_ != nullptr) {
        {
            std::lock_guard<std::mutex> guard(writer_mutex_);
            writer_stop_ = true;
        }
        writer_wake_.notify_one();
        join_writer();
    }
    walk_done_ = false;
    if (temp_ != nullptr) {
        std::fclose(temp_);
        temp_ = nullptr;
        std::remove(temp_path_.c_str());
    }
    platform::file_unlock(temp_lock_);
    temp_lock_ = platform::kNoFileLock;
    active_ = requested_ = false;
    buffer_.clear();
}
