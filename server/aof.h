// aof.h — the append-only log writer. Commands never write to the file
// themselves: the dispatcher stages a command's records (its request as
// received, or the rewritten records its handler states); the connection loop
// commits a whole batch's records in one write before the batch's replies go
// out. Keys the keyspace removes on its own (expiry, eviction) are logged as
// DEL. A transaction's records sit between MULTI and EXEC records. The writer
// holds an exclusive lock on the file from before replay until close. Callers
// hold the server lock; only the background flusher runs outside it.
//
// States of the writer:
//   closed   — no log configured (or not yet opened): staging and commits do nothing.
//   open     — records are appended; each commit reaches the operating system.
//   failing  — an append failed; nothing is appended and writing commands are
//              refused until a probe (at most once a second) finds room again.
//   dirty    — bytes that no replay reads may sit at the end of the file (a failed
//              write that could not be cut off, or a damaged tail that could not be
//              repaired at start); failing until the next start.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

struct Keyspace;

constexpr const char* kErrLogWriteFailed =
    "append-only file write failed: the change was applied in memory but not persisted";
constexpr const char* kErrLogNotWritable =
    "append-only file is not writable: write commands are refused until it can be written again";
constexpr const char* kErrLogInUse = "append-only file is in use";

// When appended records are made durable on the disk: before the batch's
// replies (always), once a second by the background flusher (everysec), or
// when the operating system decides (no). Records always reach the operating
// system before the replies.
enum class FsyncPolicy { Always, EverySec, No };
// "always" / "everysec" / "no"; false for any other text.
bool parse_fsync_policy(std::string_view text, FsyncPolicy* out);
const char* fsync_policy_name(FsyncPolicy p);

class LogWriter {
public:
    LogWriter() = default;
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;
    ~LogWriter() { close(); }

    // The file the log lives in ("" = no log). Kept across restarts of the server.
    void set_path(std::string path) { path_ = std::move(path); }
    const std::string& path() const { return path_; }

    // Takes the exclusive lock on the file before anything reads or writes it.
    // Ok also when no log is configured; Busy when another server holds it.
    enum class LockResult { Ok, Busy, Failed };
    LockResult lock();
    // Opens the file for appending. With tail_ok false it opens refusing writes,
    // so nothing is appended behind an unreadable tail and no write passes unlogged.
    void open(bool tail_ok);
    // Closes the file, stops the flusher and releases the lock.
    void close();
    bool is_open() const { return fp_ != nullptr; }

    // Takes effect at once: an open log under everysec gets its flusher.
    void set_fsync_policy(FsyncPolicy p);
    FsyncPolicy fsync_policy() const { return policy_; }

    // ---- Records of the running command ----
    // Stages one record (nothing when closed).
    void stage(int argc, char* const* argv, const uint64_t* lens);
    void stage(std::initializer_list<std::string_view> args);
    // Stages PEXPIREAT key <ms> when the key has a deadline, so a replay restores
    // the same moment of death rather than a fresh relative time.
    void stage_deadline(Keyspace* ks, std::string_view key);
    bool has_staged() const { return !staged_.empty() || !evicted_.empty(); }
    size_t staged_size() const { return staged_.size() + evicted_.size(); }
    // A key the keyspace removed on its own. A dead key's DEL is staged at once,
    // ahead of the running command's records (it died before the command saw
    // it); an evicted key's DEL follows them (the command's growth evicted it).
    // Usable as the keyspace's removal hook (ctx = the writer).
    static void note_removal(void* ctx, std::string_view key, bool evicted);
    // Moves the DELs of evicted keys behind the records staged so far.
    void stage_evictions();
    // Brackets a transaction's records with MULTI and EXEC records; nothing is
    // staged for a transaction that logged nothing.
    void begin_transaction();
    void end_transaction();
    // Scope of one transaction's records.
    class Transaction {
    public:
        explicit Transaction(LogWriter& log) : log_(log) { log_.begin_transaction(); }
        ~Transaction() { log_.end_transaction(); }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;

    private:
        LogWriter& log_;
    };
    // Writes the staged records with one call and hands them to the operating
    // system (and, under always, to the disk); false (records lost, writer
    // failing) when the write did not succeed.
    bool commit();

    // ---- Health ----
    // False after an append failed, until a probe finds the file writable again.
    bool last_write_ok() const { return !failed_; }
    // True while the log is open but failing: writing commands are refused.
    bool refusing_writes() const { return fp_ != nullptr && failed_; }
    // While failing, tries at most once a second whether the file takes data again.
    void probe_recovery();
    // Unix seconds of the last append attempt (LASTSAVE).
    int64_t last_save_s() const { return last_save_s_; }
    void set_last_save_s(int64_t s) { last_save_s_ = s; }
    // Hands buffered bytes to the operating system (SAVE); the stream is unbuffered.
    void flush();
    // Size of the file as far as whole records were written.
    uint64_t size() const { return good_size_; }

    // ---- Rewrite support ----
    // Appends a record's "<prefix><n>\r\n" line (an argument count or length).
    static void append_length_line(std::string& to, char prefix, uint64_t n);
    // Every record written from now on is also appended to *tee (nullptr stops).
    void set_tee(std::string* tee) { tee_ = tee; }
    // Puts the finished file at temp_path (locked by temp_lock) in place of the
    // log in one step and appends to it from now on; the lock passes to it, and
    // temp_lock is kNoFileLock whenever this took or released it. False (the
    // old log kept, still appended to) when the rename failed.
    bool replace_file(const std::string& temp_path, platform::FileLock& temp_lock);

private:
    void append_record(std::string& to, std::initializer_list<std::string_view> args);
    template <typename Fill>
    void stage_whole(Fill&& fill);
    void drop_partial_tail();
    void close_file();
    void start_flusher();
    void stop_flusher();
    static void flusher_main(void* self);
    void retire(FILE* old);
    void join_retired();
    static void retired_main(void* self);

    std::string path_;
    FILE* fp_ = nullptr;
    platform::FileLock lock_ = platform::kNoFileLock;
    FsyncPolicy policy_ = FsyncPolicy::EverySec;
    bool failed_ = false;      // failing state
    bool tail_dirty_ = false;  // dirty state
    uint64_t good_size_ = 0;   // size up to the end of the last record written whole
    int64_t last_probe_ms_ = 0;
    int64_t last_save_s_ = 0;
    std::string staged_;       // records of the running batch, formed whole
    std::string evicted_;      // DELs of keys evicted by the running command
    std::string* tee_ = nullptr;  // the running rewrite's buffer
    size_t tx_mark_ = 0;       // where the open transaction's MULTI record starts
    int tx_depth_ = 0;

    // The everysec flusher: syncs the file once a second when records were
    // appended since the last sync. It reads fp_ under flusher_mutex_ and syncs
    // outside it, naming the stream it syncs in syncing_; the worker changes fp_
    // only under that mutex, so it never waits for a sync in progress.
    platform::Thread* flusher_ = nullptr;
    std::mutex flusher_mutex_;
    std::condition_variable flusher_wake_;
    std::condition_variable sync_done_;
    FILE* syncing_ = nullptr;
    bool flusher_stop_ = false;
    // The log a rewrite replaced: closed by a thread of its own once no sync
    // uses it, because closing the last handle of a large file frees all its
    // blocks, which takes tens of milliseconds the worker should not wait.
    platform::Thread* retirer_ = nullptr;
    FILE* retired_ = nullptr;
    std::atomic<bool> unsynced_{false};
    std::atomic<bool> sync_failed_{false};
};
