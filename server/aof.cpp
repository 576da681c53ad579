// aof.cpp — the append-only log writer: records staged by the dispatcher, one
// write per batch handed to the operating system before its replies go out, the
// file lock, the fsync policy with its background flusher; and what happens
// when the file cannot be written (full or failing disk).
#include "server/aof.h"

#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

#include "keyspace/keyspace.h"
#include "platform/platform.h"

namespace {

constexpr int64_t kProbeIntervalMs = 1000;
constexpr size_t kProbeBytes = 64 * 1024;
constexpr auto kFlushInterval = std::chrono::seconds(1);

}  // namespace

bool parse_fsync_policy(std::string_view text, FsyncPolicy* out) {
    if (text == "always") {
        *out = FsyncPolicy::Always;
    } else if (text == "everysec") {
        *out = FsyncPolicy::EverySec;
    } else if (text == "no") {
        *out = FsyncPolicy::No;
    } else {
        return false;
    }
    return true;
}

const char* fsync_policy_name(FsyncPolicy p) {
    switch (p) {
        case FsyncPolicy::Always:
            return "always";
        case FsyncPolicy::No:
            return "no";
        default:
            return "everysec";
    }
}

void LogWriter::append_length_line(std::string& to, char prefix, uint64_t n) {
    // Every argument of every record passes here: no format parsing.
    char line[32];
    line[0] = prefix;
    char* end = std::to_chars(line + 1, line + sizeof(line) - 2, n).ptr;
    *end++ = '\r';
    *end++ = '\n';
    to.append(line, static_cast<size_t>(end - line));
}

void LogWriter::append_record(std::string& to, std::initializer_list<std::string_view> args) {
    append_length_line(to, '*', args.size());
    for (std::string_view a : args) {
        append_length_line(to, '$', a.size());
        to.append(a);
        to.append("\r\n", 2);
    }
}

// A record is staged whole or not at all: running out of memory part way takes
// back what was appended, so a later commit never writes half a record.
template <typename Fill>
void LogWriter::stage_whole(Fill&& fill) {
    const size_t mark = staged_.size();
    try {
        fill();
    } catch (...) {
        staged_.resize(mark);
        throw;
    }
}

void LogWriter::stage(int argc, char* const* argv, const uint64_t* lens) {
    if (fp_ == nullptr || argc <= 0) return;
    stage_whole([&] {
        append_length_line(staged_, '*', static_cast<uint64_t>(argc));
        for (int i = 0; i < argc; ++i) {
            append_length_line(staged_, '$', lens[i]);
            staged_.append(argv[i], lens[i]);
            staged_.append("\r\n", 2);
        }
    });
}

void LogWriter::stage(std::initializer_list<std::string_view> args) {
    if (fp_ == nullptr || args.size() == 0) return;
    stage_whole([&] { append_record(staged_, args); });
}

void LogWriter::note_removal(void* ctx, std::string_view key, bool evicted) {
    LogWriter* self = static_cast<LogWriter*>(ctx);
    if (self->fp_ == nullptr) return;
    if (!evicted) return self->stage({"DEL", key});
    const size_t mark = self->evicted_.size();
    try {
        self->append_record(self->evicted_, {"DEL", key});
    } catch (...) {
        self->evicted_.resize(mark);
        throw;
    }
}

void LogWriter::stage_evictions() {
    if (evicted_.empty()) return;
    staged_.append(evicted_);
    evicted_.clear();
}

void LogWriter::begin_transaction() {
    if (fp_ == nullptr || tx_depth_++ > 0) return;
    stage_evictions();
    tx_mark_ = staged_.size();
    stage({"MULTI"});
}

void LogWriter::end_transaction() {
    if (fp_ == nullptr || tx_depth_ == 0 || --tx_depth_ > 0) return;
    stage_evictions();
    // MULTI as the last record: the transaction changed nothing.
    if (staged_.size() == tx_mark_ + std::string_view("*1\r\n$5\r\nMULTI\r\n").size()) {
        staged_.resize(tx_mark_);
        return;
    }
    try {
        stage({"EXEC"});
    } catch (const std::bad_alloc&) {
        // A transaction without its EXEC record would never replay: its records
        // are dropped and the writer fails like a lost write.
        staged_.resize(tx_mark_);
        failed_ = true;
        last_probe_ms_ = platform::current_time_ms();
    }
}

void LogWriter::stage_deadline(Keyspace* ks, std::string_view key) {
    if (fp_ == nullptr || ks == nullptr) return;
    Entry* e = dict_find_entry(ks, key);
    const int64_t deadline = e != nullptr ? entry_deadline(ks, e) : 0;
    if (deadline <= 0) return;
    char when[32];
    std::snprintf(when, sizeof(when), "%" PRId64, deadline);
    stage({"PEXPIREAT", key, when});
}

// Cuts off whatever part of a failed write reached the file.
void LogWriter::drop_partial_tail() {
    std::clearerr(fp_);
    if (!platform::file_truncate(path_.c_str(), good_size_)) tail_dirty_ = true;
}

bool LogWriter::commit() {
    stage_evictions();
    if (sync_failed_.exchange(false) && fp_ != nullptr && !failed_) {
        // The flusher could not make earlier records durable: fail like a write.
        failed_ = true;
        last_probe_ms_ = platform::current_time_ms();
    }
    if (staged_.empty()) return true;
    if (fp_ == nullptr) {
        staged_.clear();
        return true;
    }
    if (failed_) {
        staged_.clear();
        return false;
    }
    // The stream is unbuffered: a failed write leaves nothing queued to reappear.
    bool ok = std::fwrite(staged_.data(), 1, staged_.size(), fp_) == staged_.size();
    ok = (std::fflush(fp_) == 0) && ok;
    if (ok && policy_ == FsyncPolicy::Always) ok = platform::file_sync(fp_);
    if (ok && tee_ != nullptr) tee_->append(staged_);
    if (ok && policy_ == FsyncPolicy::EverySec) unsynced_.store(true);
    last_save_s_ = platform::current_time_s();
    const size_t written = staged_.size();
    // A huge record's buffer is given back rather than kept for the next command.
    if (staged_.capacity() > (size_t(1) << 20)) {
        std::string().swap(staged_);
    } else {
        staged_.clear();
    }
    if (ok) {
        good_size_ += written;
        return true;
    }
    // The rewrite must not keep what the log lost; it fails at its next step.
    tee_ = nullptr;
    drop_partial_tail();
    failed_ = true;
    last_probe_ms_ = platform::current_time_ms();
    return false;
}

void LogWriter::probe_recovery() {
    if (!refusing_writes()) return;
    const int64_t now = platform::current_time_ms();
    if (tail_dirty_ || now - last_probe_ms_ < kProbeIntervalMs) return;
    last_probe_ms_ = now;
    // Room for a block of data beside the log means records fit again. The probe
    // goes to a file of its own so the log never holds anything but records.
    const std::string probe = path_ + ".probe";
    FILE* f = std::fopen(probe.c_str(), "wb");
    if (f == nullptr) return;
    const std::string zeros(kProbeBytes, '\0');
    bool ok = std::fwrite(zeros.data(), 1, zeros.size(), f) == zeros.size();
    ok = (std::fclose(f) == 0) && ok;
    std::remove(probe.c_str());
    if (ok) failed_ = false;
}

LogWriter::LockResult LogWriter::lock() {
    if (path_.empty() || lock_ != platform::kNoFileLock) return LockResult::Ok;
    bool busy = false;
    lock_ = platform::file_lock(path_.c_str(), &busy);
    if (lock_ != platform::kNoFileLock) return LockResult::Ok;
    return busy ? LockResult::Busy : LockResult::Failed;
}

void LogWriter::open(bool tail_ok) {
    close_file();
    failed_ = !tail_ok;
    tail_dirty_ = !tail_ok;
    if (path_.empty()) return;
    // Binary append: records hold arbitrary bytes and must not be translated.
    fp_ = std::fopen(path_.c_str(), "ab");
    if (fp_ == nullptr) return;
    std::setvbuf(fp_, nullptr, _IONBF, 0);
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(path_, ec);
    good_size_ = ec ? 0 : static_cast<uint64_t>(size);
    if (policy_ == FsyncPolicy::EverySec) start_flusher();
}

void LogWriter::close_file() {
    stop_flusher();
    join_retired();
    if (fp_ != nullptr) {
        // Whatever the policy, a clean stop leaves every record on the disk.
        platform::file_sync(fp_);
        std::fclose(fp_);
        fp_ = nullptr;
    }
    staged_.clear();
    evicted_.clear();
    tx_depth_ = 0;
}

bool LogWriter::replace_file(const std::string& temp_path, platform::FileLock& temp_lock) {
    if (fp_ == nullptr) return false;
    join_retired();
    // Where the system renames over an open file the old stream stays open
    // across the switch and is closed off the worker; Windows renames only
    // closed files, so there it is closed first. The old file needs no sync:
    // the new one holds every record it holds.
    FILE* old = fp_;
    bool replaced = platform::file_replace(temp_path.c_str(), path_.c_str());
    if (!replaced) {
        stop_flusher();
        std::fclose(fp_);
        fp_ = old = nullptr;
        replaced = platform::file_replace(temp_path.c_str(), path_.c_str());
    }
    if (replaced) {
        platform::file_unlock(lock_);
        lock_ = std::exchange(temp_lock, platform::kNoFileLock);
    } else if (platform::kLockedFilesStayInPlace) {
        // A file held by a lock is not renamed there either: both locks are let
        // go for the rename and the log is locked again right after it, so the
        // file is unlocked only for that moment.
        platform::file_unlock(lock_);
        platform::file_unlock(std::exchange(temp_lock, platform::kNoFileLock));
        replaced = platform::file_replace(temp_path.c_str(), path_.c_str());
        bool busy = false;
        lock_ = platform::file_lock(path_.c_str(), &busy);
    }
    if (replaced && policy_ == FsyncPolicy::Always) platform::dir_sync_of(path_.c_str());
    FILE* fresh = std::fopen(path_.c_str(), "ab");
    if (fresh != nullptr) std::setvbuf(fresh, nullptr, _IONBF, 0);
    {
        std::lock_guard<std::mutex> guard(flusher_mutex_);
        fp_ = fresh;
    }
    if (old != nullptr) retire(old);
    if (fp_ == nullptr) {
        // Nothing can be appended: writes are refused until the next start.
        stop_flusher();
        failed_ = tail_dirty_ = true;
        return replaced;
    }
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path_, ec);
    good_size_ = ec ? 0 : static_cast<uint64_t>(size);
    // Records the rewrite appended after its own sync wait for the next one.
    unsynced_.store(true);
    if (policy_ == FsyncPolicy::EverySec) start_flusher();
    return replaced;
}

void LogWriter::retire(FILE* old) {
    retired_ = old;
    retirer_ = platform::thread_start(retired_main, this);
    // Without a thread the worker closes it itself.
    if (retirer_ == nullptr) retired_main(this);
}

void LogWriter::join_retired() {
    if (retirer_ == nullptr) return;
    platform::thread_join(retirer_);
    retirer_ = nullptr;
}

void LogWriter::retired_main(void* arg) {
    LogWriter* self = static_cast<LogWriter*>(arg);
    FILE* old = nullptr;
    {
        std::unique_lock<std::mutex> guard(self->flusher_mutex_);
        self->sync_done_.wait(guard, [self] { return self->syncing_ != self->retired_; });
        old = std::exchange(self->retired_, nullptr);
    }
    if (old != nullptr) std::fclose(old);
}

void LogWriter::close() {
    close_file();
    platform::file_unlock(lock_);
    lock_ = platform::kNoFileLock;
}

void LogWriter::set_fsync_policy(FsyncPolicy p) {
    policy_ = p;
    if (p == FsyncPolicy::EverySec) start_flusher();
}

void LogWriter::start_flusher() {
    if (flusher_ != nullptr || fp_ == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(flusher_mutex_);
        flusher_stop_ = false;
    }
    // Without a thread the records still reach the operating system; they are
    // then synced only at close.
    flusher_ = platform::thread_start(flusher_main, this);
}

void LogWriter::stop_flusher() {
    if (flusher_ == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(flusher_mutex_);
        flusher_stop_ = true;
    }
    flusher_wake_.notify_all();
    platform::thread_join(flusher_);
    flusher_ = nullptr;
}

void LogWriter::flusher_main(void* arg) {
    LogWriter* self = static_cast<LogWriter*>(arg);
    std::unique_lock<std::mutex> guard(self->flusher_mutex_);
    while (!self->flusher_stop_) {
        self->flusher_wake_.wait_for(guard, kFlushInterval, [self] { return self->flusher_stop_; });
        if (self->flusher_stop_) break;
        if (self->fp_ == nullptr || !self->unsynced_.exchange(false)) continue;
        // The stream stays open while it is named in syncing_: the worker closes
        // the current one only after joining this thread, and a replaced one
        // is closed once no sync names it.
        FILE* f = self->syncing_ = self->fp_;
        guard.unlock();
        const bool ok = platform::file_sync(f);
        guard.lock();
        self->syncing_ = nullptr;
        self->sync_done_.notify_all();
        // A replaced file's failed sync loses nothing: the new file holds its records.
        if (!ok && f == self->fp_) self->sync_failed_.store(true);
    }
}

void LogWriter::flush() {
    if (fp_ != nullptr) std::fflush(fp_);
}
