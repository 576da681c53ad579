// pubsub.cpp — publish/subscribe: SUBSCRIBE, PSUBSCRIBE, their removal commands,
// PUBLISH (delivered through each receiver's output buffer) and PUBSUB, over the
// server's subscription index.
#include <string>
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

void subscribe_to(Call& call, vorel::Subscriptions& mine, const Args& a, const char* kind) {
    mine.reserve(call.server.pubsub, static_cast<size_t>(a.argc - 1));
    for (int i = 1; i < a.argc; ++i) {
        const std::string_view name = a[i];
        mine.add(call.server.pubsub, name);
        confirm(call, kind, &name);
    }
}

// Without names: every subscription of the kind, confirmed in the order made
// (one frame with a null name when there is none).
void unsubscribe_from(Call& call, vorel::Subscriptions& mine, const Args& a, const char* kind) {
    if (a.argc < 2) {
        if (mine.empty()) return confirm(call, kind, nullptr);
        while (!mine.empty()) {
            const std::string name = *mine.oldest();  // confirmed after it is gone
            mine.remove(name);
            const std::string_view view = name;
            confirm(call, kind, &view);
        }
        return;
    }
    for (int i = 1; i < a.argc; ++i) {
        const std::string_view name = a[i];
        mine.remove(name);
        confirm(call, kind, &name);
    }
}

void cmd_subscribe(Call& call, const Args& a) { subscribe_to(call, call.client->channels, a, "subscribe"); }
void cmd_psubscribe(Call& call, const Args& a) { subscribe_to(call, call.client->patterns, a, "psubscribe"); }
void cmd_unsubscribe(Call& call, const Args& a) { unsubscribe_from(call, call.client->channels, a, "unsubscribe"); }
void cmd_punsubscribe(Call& call, const Args& a) {
    unsubscribe_from(call, call.client->patterns, a, "punsubscribe");
}

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
