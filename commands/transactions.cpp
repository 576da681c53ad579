// transactions.cpp — MULTI, EXEC, DISCARD, WATCH and UNWATCH. Queueing itself is
// a gate of the dispatcher; EXEC runs the queue and answers one array, or a null
// array without running anything when a WATCHed key changed since its WATCH.
#include "commands/blocking.h"
#include "commands/command_util.h"

namespace {

void cmd_multi(Call& call, const Args&) {
    Client* c = call.client;
    if (c->in_multi) return call.out.error("MULTI calls can not be nested");
    c->in_multi = 1;
    c->multi_failed = false;
    call.out.simple("OK");
}

void cmd_discard(Call& call, const Args&) {
    Client* c = call.client;
    if (!c->in_multi) return call.out.error("DISCARD without MULTI");
    c->queue.clear();
    c->in_multi = 0;
    unwatch_all(call.server, c);
    c->multi_failed = false;
    call.out.simple("OK");
}

void cmd_watch(Call& call, const Args& a) {
    if (call.client->in_multi) return call.out.error("WATCH inside MULTI is not allowed");
    for (int i = 1; i < a.argc; ++i) watch_key(call.server, call.client, a[i]);
    call.out.simple("OK");
}

void cmd_unwatch(Call& call, const Args&) {
    unwatch_all(call.server, call.client);
    call.out.simple("OK");
}

// True when a watched key changed since its WATCH. A watched key whose deadline
// passed is removed now, which breaks the watch as its expiry does.
bool watch_broken(Call& call) {
    Client* c = call.client;
    for (const std::string& key : c->watched) dict_exists(call.ks, key);
    return c->watch_broken;
}

// Each queued command runs through the dispatcher as a nested call and appends
// its own reply after the array header, so the array holds every reply byte for
// byte in queue order. Each command is judged on its own: its error (a run-time
// error, a lost log record, running out of memory) takes its slot and the others
// stay. The commands' records are staged between MULTI and EXEC records, so a
// replay applies the transaction whole or not at all.
// A transaction in which a command could not be queued runs nothing.
void cmd_exec(Call& call, const Args&) {
    Client* c = call.client;
    if (!c->in_multi) return call.out.error("EXEC without MULTI");
    c->in_multi = 0;
    std::vector<QueuedCommand> queue;
    queue.swap(c->queue);
    if (c->multi_failed) {
        c->multi_failed = false;
        unwatch_all(call.server, c);
        return call.out.error("EXECABORT Transaction discarded because of previous errors.");
    }
    const bool aborted = watch_broken(call);
    unwatch_all(call.server, c);
    if (aborted) return call.out.null_array();
    if (queue.empty()) return call.out.array(0);

    std::vector<char*> argv;
    std::vector<uint64_t> lens;
    call.out.array(static_cast<long long>(queue.size()));
    c->running_queue = true;
    const LogWriter::Transaction logged(call.server.log);
    for (QueuedCommand& q : queue) {
        argv.resize(q.args.size());
        lens.resize(q.args.size());
        for (size_t i = 0; i < q.args.size(); ++i) {
            argv[i] = q.args[i].data();
            lens[i] = q.args[i].size();
        }
        dispatch_command(call.server, c, static_cast<int>(argv.size()), argv.data(), lens.data(), Origin::Exec);
    }
    c->running_queue = false;
}

const CommandRegistrar registrar({
    {"MULTI", 1, -1, kCmdNoQueue, cmd_multi},
    {"EXEC", 1, -1, kCmdNoQueue, cmd_exec},
    {"DISCARD", 1, -1, kCmdNoQueue, cmd_discard},
    {"WATCH", 2, -1, kCmdNoQueue, cmd_watch},
    {"UNWATCH", 1, 1, 0, cmd_unwatch},
});

}  // namespace
