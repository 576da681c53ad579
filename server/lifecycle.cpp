// lifecycle.cpp — starting and stopping a Server: the keyspace, the log replay,
// the listener and the worker thread, in the order that keeps a failed start
// from logging anything.
#include "server/lifecycle.h"

#include <cstdio>
#include <cstring>

#include "commands/command.h"
#include "server/server.h"

namespace {

int fail(Server& srv, const char* text) {
    srv.last_error.set(text);
    return -1;
}

void process_init_once(Server& srv) {
    if (srv.process_initialised) return;
    platform::net_startup();
    platform::ticks_per_ns();  // measures the tick rate now rather than at the first INFO
    srv.process_initialised = true;
}

void worker_main(void* arg) { run_worker(*static_cast<Server*>(arg)); }

}  // namespace

int server_start(Server& srv, int port, const char* password, int maxmemory_mb, const char* persist_file) {
    if (srv.running.load()) return fail(srv, "Server is already running");
    process_init_once(srv);

    ServerLock lock(srv.lock);
    srv.port = port < 1 ? 6379 : port;
    // Kept whole, however long: a cut password would let its prefix in.
    srv.password = password != nullptr ? std::string(password) : std::string();
    srv.log.set_path(persist_file != nullptr ? std::string(persist_file, strnlen(persist_file, 511)) : std::string());

    // A log left open by an earlier failed start is closed before anything replays.
    srv.log.close();
    if (srv.keyspace != nullptr) dict_destroy(srv.keyspace);
    srv.keyspace = dict_create(maxmemory_mb);
    if (srv.keyspace == nullptr) return fail(srv, "Failed to allocate in-memory dictionary");
    // Random picks differ from one start (and process) to the next.
    dict_seed_random(srv.keyspace,
                     static_cast<uint64_t>(platform::current_time_ms()) * 0x9E3779B97F4A7C15ULL ^ platform::process_id());

    srv.fill_config_at_start();
    srv.stats = Stats{};
    // Per-command figures and the slow log start empty; the slow log's settings
    // follow the CONFIG rows, which are kept.
    srv.command_stats.assign(all_commands().size(), CommandStats{});
    srv.slowlog.entries.clear();
    srv.slowlog.set_slower_than_us(srv.slowlog.slower_than_us());
    srv.stats.start_time_ms = srv.stats.last_sec_timestamp_ms = platform::current_time_ms();
    srv.log.set_last_save_s(platform::current_time_s());

    // The lock comes before anything reads or repairs the file: a second server
    // on the same log must leave it as it is. A file that cannot even be opened
    // is left to the replay and the writer, which refuse writes behind it.
    if (srv.log.lock() == LogWriter::LockResult::Busy) return fail(srv, kErrLogInUse);
    FsyncPolicy policy = FsyncPolicy::EverySec;
    parse_fsync_policy(srv.config.find("appendfsync")->value, &policy);
    srv.log.set_fsync_policy(policy);

    // Eviction waits until the whole log is applied, then runs once (below).
    dict_pause_eviction(srv.keyspace, true);
    const bool tail_ok = replay_log(srv);
    srv.keyspace->removal_hook = &LogWriter::note_removal;
    srv.keyspace->removal_ctx = &srv.log;
    srv.log.open(tail_ok);

    platform::ListenError error = platform::ListenError::None;
    srv.listener = platform::net_listen(srv.port, 64, &error);
    if (srv.listener == platform::kInvalidSocket) {
        // Nothing runs without the listener, so nothing may be logged either.
        srv.log.close();
        switch (error) {
            case platform::ListenError::Bind: {
                char text[128];
                std::snprintf(text, sizeof(text), "Failed to bind to port %d", srv.port);
                return fail(srv, text);
            }
            case platform::ListenError::Listen:
                return fail(srv, "Failed to listen on socket");
            default:
                return fail(srv, "Failed to create socket");
        }
    }

    // Keys the limit cannot hold after the replay go now, logged like any eviction.
    dict_pause_eviction(srv.keyspace, false);
    srv.log.commit();
    srv.rewrite.reset(srv.log.size());

    srv.running.store(1);
    srv.thread = platform::thread_start(worker_main, &srv);
    if (srv.thread == nullptr) {
        srv.running.store(0);
        platform::net_close(srv.listener);
        srv.listener = platform::kInvalidSocket;
        srv.log.close();
        return fail(srv, "Failed to create server worker thread");
    }
    srv.last_error.clear();
    return 0;
}

void server_stop(Server& srv) {
    if (!srv.running.load()) return;
    srv.running.store(0);
    if (srv.thread != nullptr) {
        // The worker ends within one poll period unless a command is still running;
        // the teardown below must never overlap it, so keep waiting past the bound.
        if (!platform::thread_join_for(srv.thread, 2000)) platform::thread_join(srv.thread);
        srv.thread = nullptr;
    }
    if (srv.listener != platform::kInvalidSocket) {
        platform::net_close(srv.listener);
        srv.listener = platform::kInvalidSocket;
    }
    ServerLock lock(srv.lock);
    srv.clients.close_all();
    srv.log.set_tee(nullptr);
    srv.rewrite.cancel();
    srv.waiters.clear();
    srv.watchers.clear();
    srv.parked_clients = 0;
    srv.log.close();
    dict_destroy(srv.keyspace);
    srv.keyspace = nullptr;
    srv.last_error.clear();
}
