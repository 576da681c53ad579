// blocking.cpp — parking and serving clients of the blocking list and sorted-set
// commands, their time-outs, and the per-key WATCH index. A parked client is
// served by the write that gives one of its keys data, first parked first
// served; the write's log records are followed by what each hand-over did.
#include "commands/blocking.h"

#include <cstdlib>
#include <string>

#include "commands/command_util.h"

namespace {

void reply_zmember_pair(Reply& out, const ZOwned& m) {
    out.array(2);
    out.bulk(m.member);
    out.number(m.score);
}

const char* side(bool head) { return head ? "LEFT" : "RIGHT"; }

TryResult try_list_pop(Call& call, Reply& out, const BlockWait& w, std::string_view key) {
    PoppedElements got;
    const int64_t want = w.kind == WaitKind::ListMultiPop ? w.count : 1;
    const DictCount n =
        w.from_head ? dict_lpop_count(call.ks, key, want, &got) : dict_rpop_count(call.ks, key, want, &got);
    if (n.status == DictStatus::WrongType) return TryResult::WrongType;
    if (!n.ok() || n.value == 0) return TryResult::Nothing;
    const char* name = w.from_head ? "LPOP" : "RPOP";
    if (w.kind == WaitKind::ListMultiPop && want > 1) {
        call.log({name, key, std::to_string(want)});
    } else {
        call.log({name, key});
    }
    out.array(2);
    out.bulk(key);
    if (w.kind == WaitKind::ListPop) {
        out.bulk(got[0]);
        return TryResult::Served;
    }
    out.array(static_cast<long long>(got.size()));
    for (size_t i = 0; i < got.size(); ++i) out.bulk(got[i]);
    return TryResult::Served;
}

TryResult try_list_move(Call& call, Reply& out, const BlockWait& w, std::string_view key) {
    const DictCount len = dict_llen(call.ks, key);
    if (len.status == DictStatus::WrongType) return TryResult::WrongType;
    if (len.value == 0) return TryResult::Nothing;
    const uint32_t dest_type = dict_key_type(call.ks, w.dest);
    if (dest_type != KEY_TYPE_NONE && dest_type != KEY_TYPE_LIST) {
        out.error(kErrWrongType);
        return TryResult::Answered;
    }
    PoppedElements got;
    const DictStatus r = w.from_head ? dict_lpop(call.ks, key, &got) : dict_rpop(call.ks, key, &got);
    if (r != DictStatus::Ok) return TryResult::Nothing;
    const DictCount pushed = w.dest_head ? dict_lpush(call.ks, w.dest, got[0]) : dict_rpush(call.ks, w.dest, got[0]);
    if (!pushed.ok()) {
        // The element cannot go to the destination: it goes back where it was.
        if (w.from_head) {
            dict_lpush(call.ks, key, got[0]);
        } else {
            dict_rpush(call.ks, key, got[0]);
        }
        out.error(kErrOutOfMemory);
        return TryResult::Answered;
    }
    call.log({"LMOVE", key, w.dest, side(w.from_head), side(w.dest_head)});
    out.bulk(got[0]);
    return TryResult::Served;
}

TryResult try_zset_pop(Call& call, Reply& out, const BlockWait& w, std::string_view key) {
    const uint32_t t = dict_key_type(call.ks, key);
    if (t == KEY_TYPE_NONE) return TryResult::Nothing;
    if (t != KEY_TYPE_ZSET) return TryResult::WrongType;
    const int64_t want = w.kind == WaitKind::ZsetMultiPop ? w.count : 1;
    std::vector<ZOwned> popped;
    if (dict_zpop(call.ks, key, want, !w.from_head, &popped).value <= 0) return TryResult::Nothing;
    const char* name = w.from_head ? "ZPOPMIN" : "ZPOPMAX";
    if (want > 1) {
        call.log({name, key, std::to_string(want)});
    } else {
        call.log({name, key});
    }
    if (w.kind == WaitKind::ZsetPop) {
        out.array(3);
        out.bulk(key);
        out.bulk(popped[0].member);
        out.number(popped[0].score);
        return TryResult::Served;
    }
    out.array(2);
    out.bulk(key);
    out.array(static_cast<long long>(popped.size()));
    for (const ZOwned& m : popped) reply_zmember_pair(out, m);
    return TryResult::Served;
}

void park(Server& srv, Client* c, BlockWait wait) {
    // A parked client's input is held back, so it cannot park twice; a caller
    // that dispatches for it directly replaces the old wait instead.
    unpark_client(srv, c);
    c->wait = std::make_unique<BlockWait>(std::move(wait));
    for (const std::string& key : c->wait->keys) srv.waiters.add(key, c);
    srv.parked_clients += 1;
}

// The reply of a wait that ends with nothing.
void reply_nothing(Reply& out, const BlockWait& w) {
    if (w.kind == WaitKind::ListMove) return out.null();
    out.null_array();
}

// Breaks the watches of a removed key (or of every key on a flush).
void on_key_removed(void* ctx, std::string_view key) { watch_touch(*static_cast<Server*>(ctx), key); }

}  // namespace

bool parse_block_timeout(Reply& out, std::string_view text, double* seconds) {
    const std::string copy(text);
    char* end = nullptr;
    const double v = std::strtod(copy.c_str(), &end);
    if (end == copy.c_str() || end != copy.c_str() + copy.size()) {
        out.error("timeout is not a float or out of range");
        return false;
    }
    if (v < 0) {
        out.error("timeout is negative");
        return false;
    }
    if (v > 1e9) {
        out.error("timeout is out of range");
        return false;
    }
    *seconds = v;
    return true;
}

TryResult try_wait_on_key(Call& call, Reply& out, const BlockWait& wait, std::string_view key) {
    switch (wait.kind) {
        case WaitKind::ListPop:
        case WaitKind::ListMultiPop: return try_list_pop(call, out, wait, key);
        case WaitKind::ListMove: return try_list_move(call, out, wait, key);
        case WaitKind::ZsetPop:
        case WaitKind::ZsetMultiPop: return try_zset_pop(call, out, wait, key);
    }
    return TryResult::Nothing;
}

void block_or_answer(Call& call, BlockWait wait, double timeout_s, bool pass_wrong_type) {
    // Only what is stated below is logged.
    call.log_nothing();
    for (const std::string& key : wait.keys) {
        const TryResult r = try_wait_on_key(call, call.out, wait, key);
        if (r == TryResult::Served || r == TryResult::Answered) return;
        if (r == TryResult::WrongType && !pass_wrong_type) return call.out.error(kErrWrongType);
    }
    // Inside EXEC a command must answer now: it answers as a time-out would.
    if (call.client->running_queue) return reply_nothing(call.out, wait);
    // A time-out that reads as not-a-number fails "> 0" and waits without limit.
    wait.deadline_ms = timeout_s > 0 ? platform::current_time_ms() + static_cast<int64_t>(timeout_s * 1000) : 0;
    park(call.server, call.client, std::move(wait));
}

void block_on_keys_then_timeout(Call& call, const Args& a, WaitKind kind, bool from_head) {
    double timeout_s = 0;
    if (!parse_block_timeout(call.out, a[a.argc - 1], &timeout_s)) return;
    BlockWait w;
    w.kind = kind;
    w.from_head = from_head;
    for (int i = 1; i < a.argc - 1; ++i) w.keys.emplace_back(a[i]);
    block_or_answer(call, std::move(w), timeout_s, false);
}

void unpark_client(Server& srv, Client* c) {
    if (!c->wait) return;
    for (const std::string& key : c->wait->keys) srv.waiters.remove(key, c);
    c->wait.reset();
    srv.parked_clients -= 1;
}

void time_out_parked_clients(Server& srv, int64_t now) {
    if (srv.parked_clients == 0) return;
    for (int i = 0; i < srv.clients.size(); ++i) {
        Client* c = srv.clients.at(i);
        if (!c->wait || c->wait->deadline_ms == 0 || now < c->wait->deadline_ms) continue;
        unpark_client(srv, c);
        send_to(c, [](Reply& out) { out.null_array(); });
    }
}

void serve_parked(Call& call, std::string_view key_arg) {
    Server& srv = call.server;
    KeyClients::Queue* queue = srv.waiters.find(key_arg);
    if (queue == nullptr) return;
    // The queue changes as clients are served; the key may point into a request.
    const std::vector<Client*> in_order(queue->begin(), queue->end());
    const std::string key(key_arg);
    for (Client* c : in_order) {
        if (!c->wait || c->closed()) continue;
        if (dict_key_type(call.ks, key) == KEY_TYPE_NONE) return;
        const BlockWait wait = *c->wait;
        TryResult r = TryResult::Nothing;
        send_to(c, [&](Reply& o) { r = try_wait_on_key(call, o, wait, key); });
        if (r != TryResult::Served && r != TryResult::Answered) continue;
        unpark_client(srv, c);
        if (r == TryResult::Served && wait.kind == WaitKind::ListMove) {
            watch_touch(srv, wait.dest);
            serve_parked(call, wait.dest);
        }
    }
}

void note_keys_written(Call& call) {
    Server& srv = call.server;
    if (srv.waiters.empty() && srv.watchers.empty()) return;
    for (int i = 1; i < call.args.argc; ++i) {
        const std::string_view key = call.args[i];
        watch_touch(srv, key);
        serve_parked(call, key);
    }
}

void watch_touch(Server& srv, std::string_view key) {
    if (srv.watchers.empty()) return;
    if (key.empty()) {
        for (int i = 0; i < srv.clients.size(); ++i) {
            Client* c = srv.clients.at(i);
            if (!c->watched.empty()) c->watch_broken = true;
        }
        return;
    }
    KeyClients::Queue* q = srv.watchers.find(key);
    if (q == nullptr) return;
    for (Client* c : *q) c->watch_broken = true;
}

void watch_key(Server& srv, Client* c, std::string_view key) {
    for (const std::string& k : c->watched) {
        if (k == key) return;
    }
    c->watched.emplace_back(key);
    srv.watchers.add(key, c);
    if (srv.keyspace != nullptr) {
        srv.keyspace->on_removed = on_key_removed;
        srv.keyspace->on_removed_ctx = &srv;
    }
}

void unwatch_all(Server& srv, Client* c) {
    for (const std::string& key : c->watched) srv.watchers.remove(key, c);
    c->watched.clear();
    c->watch_broken = false;
}
