// transactions.cpp — MULTI, EXEC and DISCARD. Queueing itself is a gate of the
// dispatcher; EXEC runs the queue under the lock and answers one array.
#include "commands/command_util.h"
#include "server/server.h"

namespace {

void cmd_multi(Client* c, const Args&) {
    if (c->in_multi) return rb_error("MULTI calls can not be nested");
    c->in_multi = 1;
    rb_simple("OK");
}

void cmd_discard(Client* c, const Args&) {
    if (!c->in_multi) return rb_error("DISCARD without MULTI");
    c->queue.clear();
    c->in_multi = 0;
    rb_simple("OK");
}

// Each queued command runs through the dispatcher as a nested call and appends
// its own reply to s_rb after the array header, so the array holds every reply
// byte for byte in queue order. Writes are logged by their own handlers; EXEC
// adds nothing to the log, so a replay applies each write once.
void cmd_exec(Client* c, const Args&) {
    if (!c->in_multi) return rb_error("EXEC without MULTI");
    c->in_multi = 0;
    std::vector<QueuedCommand> queue;
    queue.swap(c->queue);
    if (queue.empty()) return rb_arr_hdr(0);

    std::vector<char*> argv;
    std::vector<uint64_t> lens;
    ServerLock lock(s_mutex());
    rb_arr_hdr(static_cast<long long>(queue.size()));
    c->running_queue = true;
    for (QueuedCommand& q : queue) {
        argv.resize(q.args.size());
        lens.resize(q.args.size());
        for (size_t i = 0; i < q.args.size(); ++i) {
            argv[i] = q.args[i].data();
            lens[i] = q.args[i].size();
        }
        dispatch_command(c, static_cast<int>(argv.size()), argv.data(), lens.data(), 1);
    }
    c->running_queue = false;
}

const CommandRegistrar registrar({
    {"MULTI", cmd_multi},
    {"EXEC", cmd_exec},
    {"DISCARD", cmd_discard},
});

}  // namespace
