// pubsub.cpp — publish/subscribe: SUBSCRIBE, PSUBSCRIBE, their removal commands,
// PUBLISH (delivered through each receiver's output buffer) and PUBSUB, over the
// server's subscription index.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "commands/command_util.h"

namespace {

// Every confirmation carries the client's total: channels plus patterns.
void confirm(Call& call, const char* kind, const std::string_view* name) {
    Reply& out = call.out;
    const Client* c = call.client;
    out.push_header();
    out.bulk(std::string_view(kind));
    if (name) {
        out.bulk(*name);
    } else {
        out.null();
    }
    out.integer(static_cast<long long>(c->channels.size() + c->patterns.size()));
}

// A request naming more than this many channels or patterns is served this
// many per pass of the connection loop (about a millisecond of work).
constexpr size_t kNamesPerPass = 1024;

const char* kind_of(bool patterns, bool subscribing) {
    if (subscribing) return patterns ? "psubscribe" : "subscribe";
    return patterns ? "punsubscribe" : "unsubscribe";
}

// Subscribes or unsubscribes one name and confirms it.
void serve_name(Call& call, const vorel::UnservedNames& what, std::string_view name) {
    Client* c = call.client;
    vorel::Subscriptions& mine = what.patterns ? c->patterns : c->channels;
    if (what.subscribing) {
        mine.add(call.server.pubsub, name);
    } else {
        mine.remove(name);
    }
    confirm(call, kind_of(what.patterns, what.subscribing), &name);
}

// Serves up to `budget` of the request's remaining names. True once all are served.
bool serve_some(Call& call, vorel::UnservedNames& what, size_t budget) {
    if (what.every) {
        vorel::Subscriptions& mine = what.patterns ? call.client->patterns : call.client->channels;
        for (; budget > 0 && !mine.empty(); --budget) {
            const std::string name = *mine.oldest();  // confirmed after it is gone
            serve_name(call, what, name);
        }
        return mine.empty();
    }
    for (; budget > 0 && what.next < what.ends.size(); --budget, ++what.next) {
        const size_t start = what.next == 0 ? 0 : what.ends[what.next - 1];
        serve_name(call, what, std::string_view(what.names).substr(start, what.ends[what.next] - start));
    }
    return what.next == what.ends.size();
}

// Serves a (P)(UN)SUBSCRIBE request's first slice and keeps the rest for the
// following passes (see vorel::UnservedNames); inside EXEC all of it at once.
// Without names, an unsubscribe drops every subscription of its kind in the
// order made (one frame with a null name when there is none).
void serve_request(Call& call, const Args& a, bool patterns, bool subscribing) {
    Client* c = call.client;
    vorel::Subscriptions& mine = patterns ? c->patterns : c->channels;
    const size_t names = static_cast<size_t>(a.argc - 1);
    if (names == 0 && mine.empty()) return confirm(call, kind_of(patterns, subscribing), nullptr);
    if (subscribing) mine.reserve(call.server.pubsub, names);
    vorel::UnservedNames what{patterns, subscribing, names == 0, {}, {}, 0};
    const size_t budget = c->running_queue ? SIZE_MAX : kNamesPerPass;
    if (what.every) {
        if (!serve_some(call, what, budget)) c->unserved = std::make_unique<vorel::UnservedNames>(std::move(what));
        return;
    }
    const size_t now = std::min(names, budget);
    for (size_t i = 1; i <= now; ++i) serve_name(call, what, a[static_cast<int>(i)]);
    if (now == names) return;
    // The request's bytes are gone once its batch is framed: the rest is copied.
    size_t bytes = 0;
    for (size_t i = now + 1; i <= names; ++i) bytes += a.lens[i];
    what.names.reserve(bytes);
    what.ends.reserve(names - now);
    for (size_t i = now + 1; i <= names; ++i) {
        what.names.append(a[static_cast<int>(i)]);
        what.ends.push_back(what.names.size());
    }
    c->unserved = std::make_unique<vorel::UnservedNames>(std::move(what));
}

void cmd_subscribe(Call& call, const Args& a) { serve_request(call, a, false, true); }
void cmd_psubscribe(Call& call, const Args& a) { serve_request(call, a, true, true); }
void cmd_unsubscribe(Call& call, const Args& a) { serve_request(call, a, false, false); }
void cmd_punsubscribe(Call& call, const Args& a) { serve_request(call, a, true, false); }

void append_bulk(std::string& out, std::string_view s) {
    out += '$';
    out += std::to_string(s.size());
    out += "\r\n";
    out.append(s);
    out += "\r\n";
}

// A message frame: built once per protocol for exact-channel receivers.
std::string message_frame(char marker, std::string_view channel, std::string_view message) {
    std::string f;
    f.reserve(channel.size() + message.size() + 48);
    f += marker;
    f += "3\r\n$7\r\nmessage\r\n";
    append_bulk(f, channel);
    append_bulk(f, message);
    return f;
}

std::string pmessage_frame(char marker, std::string_view pattern, std::string_view channel, std::string_view message) {
    std::string f;
    f.reserve(pattern.size() + channel.size() + message.size() + 64);
    f += marker;
    f += "4\r\n$8\r\npmessage\r\n";
    append_bulk(f, pattern);
    append_bulk(f, channel);
    append_bulk(f, message);
    return f;
}

bool can_receive(const Client* r) { return !r->closed() && r->authenticated; }

// One "message" frame per exact subscription, then one "pmessage" frame per
// matching pattern of each client. Frames are built once per protocol. The reply
// counts every frame delivered.
void cmd_publish(Call& call, const Args& a) {
    const std::string_view channel = a[1], message = a[2];
    const vorel::PubSub& index = call.server.pubsub;
    long long delivered = 0;
    if (const vorel::PubSub::Subscribers* subscribers = index.channel_subscribers(channel)) {
        std::string frames[2];  // RESP2 and RESP3
        for (Client* r : *subscribers) {
            if (!can_receive(r)) continue;
            const int proto = r->resp3() ? 1 : 0;
            if (frames[proto].empty()) frames[proto] = message_frame(r->resp3() ? '>' : '*', channel, message);
            send_to(r, [&](Reply& out) { out.raw(frames[proto]); });
            ++delivered;
        }
    }
    index.for_each_pattern([&](const std::string& pattern, const vorel::PubSub::Subscribers& subscribers) {
        if (!dict_glob_match(pattern, channel)) return;
        std::string frames[2];
        for (Client* r : subscribers) {
            if (!can_receive(r)) continue;
            const int proto = r->resp3() ? 1 : 0;
            if (frames[proto].empty()) {
                frames[proto] = pmessage_frame(r->resp3() ? '>' : '*', pattern, channel, message);
            }
            send_to(r, [&](Reply& out) { out.raw(frames[proto]); });
            ++delivered;
        }
    });
    call.out.integer(delivered);
}

void cmd_pubsub(Call& call, const Args& a) {
    Reply& out = call.out;
    const vorel::PubSub& index = call.server.pubsub;
    if (word_is(a[1], "CHANNELS")) {
        std::string_view pattern = a.argc > 2 ? a[2] : std::string_view("*");
        std::vector<std::string_view> found;
        index.for_each_channel([&](const std::string& ch) {
            if (dict_glob_match(pattern, ch)) found.push_back(ch);
        });
        out.array(static_cast<long long>(found.size()));
        for (std::string_view ch : found) out.bulk(ch);
    } else if (word_is(a[1], "NUMSUB")) {
        out.array(2LL * (a.argc - 2));
        for (int k = 2; k < a.argc; ++k) {
            const vorel::PubSub::Subscribers* subscribers = index.channel_subscribers(a[k]);
            out.bulk(a[k]);
            out.integer(subscribers ? static_cast<long long>(subscribers->size()) : 0);
        }
    } else if (word_is(a[1], "NUMPAT")) {
        out.integer(static_cast<long long>(index.pattern_subscriptions()));
    } else {
        out.error(kErrSyntax);
    }
}

const CommandRegistrar registrar({
    {"SUBSCRIBE", 2, -1, kCmdSubscribed, cmd_subscribe},
    {"PSUBSCRIBE", 2, -1, kCmdSubscribed, cmd_psubscribe},
    {"UNSUBSCRIBE", 1, -1, kCmdSubscribed, cmd_unsubscribe},
    {"PUNSUBSCRIBE", 1, -1, kCmdSubscribed, cmd_punsubscribe},
    {"PUBLISH", 3, -1, 0, cmd_publish},
    {"PUBSUB", 2, -1, 0, cmd_pubsub},
});

}  // namespace

void serve_unserved_names(Server& srv, Client* c) {
    if (!c->unserved || c->closed()) return;
    const Args none{0, nullptr, nullptr};
    Call call{srv, c, c->out, srv.keyspace, none};
    try {
        if (serve_some(call, *c->unserved, kNamesPerPass)) c->unserved.reset();
    } catch (const std::bad_alloc&) {
        // The confirmations already sent cannot be taken back: a client whose
        // request cannot be finished loses its connection.
        c->unserved.reset();
        client_close(c);
        return;
    }
    client_check_output(c);
}
