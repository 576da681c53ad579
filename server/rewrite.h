// rewrite.h — the incremental log rewrite (BGREWRITEAOF and the automatic one):
// the keyspace is visited in short slices between batches and written as the
// shortest records that rebuild it, interleaved in time order with every record
// the log takes meanwhile; a write to a key not yet visited writes that key's
// old state first. The new file replaces the log atomically when the walk ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

struct Server;
struct Entry;
struct Keyspace;

class LogRewrite {
public:
    LogRewrite() = default;
    LogRewrite(const LogRewrite&) = delete;
    LogRewrite& operator=(const LogRewrite&) = delete;
    ~LogRewrite() { cancel(); }

    bool active() const { return active_; }
    bool in_progress() const { return active_ || requested_; }
    // Asks for a rewrite of the open log, started at the next step (between
    // batches, when no record is staged); false with the reason when refused.
    bool request(Server& srv, const char** error);
    // Before a writing command runs: writes the old state of every key its
    // arguments name that the walk has not visited yet.
    void before_write(Server& srv, int argc, char* const* argv, const uint64_t* lens);
    // Between batches (nothing staged): one slice of the walk, the buffered bytes
    // to the new file, and the switch to it once the walk is done. Also starts
    // the automatic rewrite when the log has grown enough.
    void step(Server& srv);
    // Drops a running rewrite and its file (server stop).
    void cancel();

    uint64_t rewrites() const { return rewrites_; }
    bool last_ok() const { return last_ok_; }
    uint64_t base_size() const { return base_size_; }
    // At start: no rewrite done yet, the log as found is the base.
    void reset(uint64_t base_size) {
        rewrites_ = 0;
        last_ok_ = true;
        base_size_ = base_size;
    }

private:
    bool start(Server& srv);
    void visit(Keyspace* ks, Entry* e);
    static void writer_main(void* self);
    void join_writer();
    void hand_over();
    void write_out();
    void finish(Server& srv);
    void fail();
    bool auto_due(Server& srv) const;

    bool active_ = false;
    bool requested_ = false;
    bool discarding_ = false;      // failed: the walk only finishes its marks
    uint64_t cursor_ = 0;          // next bucket to visit
    std::string buffer_;           // records not yet in the new file
    std::string temp_path_;
    std::FILE* temp_ = nullptr;
    platform::FileLock temp_lock_ = platform::kNoFileLock;
    // The new file is written and synced by a thread of its own, so the worker
    // never waits for the disk: the walk hands its buffer over between slices;
    // once the walk is done the thread syncs the file, and records taken
    // meanwhile stay in buffer_ until the switch.
    platform::Thread* writer_ = nullptr;
    std::mutex writer_mutex_;
    std::condition_variable writer_wake_;
    std::string handed_;           // bytes handed to the writer, not yet taken (writer_mutex_)
    bool walk_done_ = false;       // the writer syncs after the last bytes (writer_mutex_)
    bool writer_stop_ = false;     // cancel: the writer ends at once (writer_mutex_)
    std::atomic<uint64_t> unwritten_{0};  // handed bytes not yet written
    std::atomic<bool> write_failed_{false};
    std::atomic<bool> synced_{false};
    std::atomic<bool> sync_ok_{false};
    uint64_t rewrites_ = 0;
    bool last_ok_ = true;
    uint64_t base_size_ = 0;
};
