// client_limits.cpp — what one client may hold and for how long: output limits
// with their grace period, the count of every client's buffers against the
// bound on client memory, and the idle time-out.
#include "server/server.h"

namespace {

constexpr int64_t kStaleCheckEveryMs = 1000;

// Heap bytes of one queued MULTI command: the record, its argument strings and
// the text of those too long to sit inside their string.
uint64_t queued_command_bytes(const QueuedCommand& q) {
    uint64_t bytes = q.args.capacity() * sizeof(std::string);
    for (const std::string& a : q.args) {
        if (a.capacity() > std::string().capacity()) bytes += a.capacity() + 1;
    }
    return bytes;
}

// What the client's buffers hold: input, replies and the MULTI queue. The queue only grows between counts or is emptied (EXEC, DISCARD,
// RESET), so only commands queued since the last count are measured.
uint64_t client_memory(Client* c) {
    if (c->queue.size() < c->queue_counted) {
        c->queue_bytes = 0;
        c->queue_counted = 0;
    }
    for (; c->queue_counted < c->queue.size(); ++c->queue_counted) {
        c->queue_bytes += queued_command_bytes(c->queue[c->queue_counted]);
    }
    return c->inbuf_cap + c->out.held() + c->queue.capacity() * sizeof(QueuedCommand) + c->queue_bytes;
}

}  // namespace

uint64_t client_output_limit(const Client* c) {
    if (!c->authenticated) return kUnauthOutputLimit;
    return c->subscribed() ? kSubscriberOutputLimit : kOutputLimit;
}

void ClientTable::count_memory(Client* c) {
    if (c->closed()) return;
    const uint64_t now_held = client_memory(c);
    c->out_held_counted = c->out.held();
    memory_used_ = memory_used_ - c->memory_counted + now_held;
    c->memory_counted = now_held;
    if (memory_limit != 0 && memory_used_ > memory_limit) close_biggest();
}

void ClientTable::uncount_memory(Client* c) {
    memory_used_ -= c->memory_counted;
    c->memory_counted = 0;
}

void ClientTable::close_biggest() {
    // Each round closes one client, so this walks the table only as often as
    // the bound actually closes someone.
    while (memory_limit != 0 && memory_used_ > memory_limit) {
        Client* biggest = nullptr;
        for (int i = 0; i < count_; ++i) {
            Client* c = slots_[static_cast<size_t>(i)].get();
            if (c->closed()) continue;
            if (biggest == nullptr || c->memory_counted > biggest->memory_counted) biggest = c;
        }
        if (biggest == nullptr) return;
        client_close(biggest);
    }
}

void ClientTable::close_stale(int64_t now) {
    if (now - last_stale_check_ms_ < kStaleCheckEveryMs) return;
    last_stale_check_ms_ = now;
    for (int i = 0; i < count_; ++i) {
        Client* c = slots_[static_cast<size_t>(i)].get();
        if (c->closed()) continue;
        if (c->output_over_since_ms != 0 && now - c->output_over_since_ms >= kOutputGraceMs) {
            client_close(c);
            continue;
        }
        if (idle_timeout_ms > 0 && !c->subscribed() && !c->wait && now - c->last_active_ms >= idle_timeout_ms) {
            client_close(c);
        }
    }
}
