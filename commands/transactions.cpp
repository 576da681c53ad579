// transactions.cpp — MULTI, EXEC and DISCARD. Queueing itself is a gate of the
// dispatcher; EXEC runs the queue and answers one array.
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
    c->multi_failed = false;
    call.out.simple("OK");
}

// Each queued command runs through the dispatcher as a nested call and appends
// its own reply after the array header, so the array holds every reply byte for
// byte in queue order. Each command is judged on its own: its error (a run-time
// error, a lost log record, running out of memory) takes its slot and the others
// stay. Writes are logged as each command runs; EXEC adds nothing to the log.
// A transaction in which a command could not be queued runs nothing.
void cmd_exec(Call& call, const Args&) {
    Client* c = call.client;
    if (!c->in_multi) return call.out.error("EXEC without MULTI");
    c->in_multi = 0;
    std::vector<QueuedCommand> queue;
    queue.swap(c->queue);
    if (c->multi_failed) {
        c->multi_failed = false;
        return call.out.error("EXECABORT Transaction discarded because of previous errors.");
    }
    if (queue.empty()) return call.out.array(0);

    std::vector<char*> argv;
    std::vector<uint64_t> lens;
    call.out.array(static_cast<long long>(queue.size()));
    c->running_queue = true;
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
});

}  // namespace
