// aof.h — the append-only log writer. Commands never write to the file
// themselves: the dispatcher stages a command's records (its request as
// received, or the rewritten records its handler states) and commits them in
// one write before the reply goes out. Callers hold the server lock.
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

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

struct Keyspace;

constexpr const char* kErrLogWriteFailed =
    "append-only file write failed: the change was applied in memory but not persisted";
constexpr const char* kErrLogNotWritable =
    "append-only file is not writable: write commands are refused until it can be written again";

class LogWriter {
public:
    LogWriter() = default;
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;
    ~LogWriter() { close(); }

    // The file the log lives in ("" = no log). Kept across restarts of the server.
    void set_path(std::string path) { path_ = std::move(path); }
    const std::string& path() const { return path_; }

    // Opens the file for appending. With tail_ok false it opens refusing writes,
    // so nothing is appended behind an unreadable tail and no write passes unlogged.
    void open(bool tail_ok);
    void close();
    bool is_open() const { return fp_ != nullptr; }

    // ---- Records of the running command ----
    // Stages one record (nothing when closed).
    void stage(int argc, char* const* argv, const uint64_t* lens);
    void stage(std::initializer_list<std::string_view> args);
    // Stages PEXPIREAT key <ms> when the key has a deadline, so a replay restores
    // the same moment of death rather than a fresh relative time.
    void stage_deadline(Keyspace* ks, std::string_view key);
    bool has_staged() const { return !staged_.empty(); }
    // Writes the staged records with one call and hands them to the operating
    // system; false (records lost, writer failing) when the write did not succeed.
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

private:
    void append_length_line(char prefix, uint64_t n);
    template <typename Fill>
    void stage_whole(Fill&& fill);
    void drop_partial_tail();

    std::string path_;
    FILE* fp_ = nullptr;
    bool failed_ = false;      // failing state
    bool tail_dirty_ = false;  // dirty state
    uint64_t good_size_ = 0;   // size up to the end of the last record written whole
    int64_t last_probe_ms_ = 0;
    int64_t last_save_s_ = 0;
    std::string staged_;       // records of the running command, formed whole
};
