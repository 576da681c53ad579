// pubsub.cpp — publish/subscribe: SUBSCRIBE, PSUBSCRIBE, their removal commands,
// PUBLISH (delivered through each receiver's output buffer) and PUBSUB.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "commands/command_util.h"

namespace {

void confirm(Reply& out, const char* kind, const std::string* name, size_t count) {
    out.push_header();
    out.bulk(std::string_view(kind));
    if (name) {
        out.bulk(*name);
    } else {
        out.null();
    }
    out.integer(static_cast<long long>(count));
}

void subscribe_to(Reply& out, std::vector<std::string>& list, const Args& a, const char* kind) {
    for (int i = 1; i < a.argc; ++i) {
        std::string name(a[i]);
        if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
        confirm(out, kind, &name, list.size());
    }
}

void unsubscribe_from(Reply& out, std::vector<std::string>& list, const Args& a, const char* kind) {
    if (a.argc < 2) {
        if (list.empty()) return confirm(out, kind, nullptr, 0);
        // Confirmed in subscription order with counts n-1 down to 0.
        for (size_t i = 0; i < list.size(); ++i) confirm(out, kind, &list[i], list.size() - 1 - i);
        list.clear();
        return;
    }
    for (int i = 1; i < a.argc; ++i) {
        std::string name(a[i]);
        auto it = std::find(list.begin(), list.end(), name);
        if (it != list.end()) list.erase(it);
        confirm(out, kind, &name, list.size());
    }
}

void cmd_subscribe(Call& call, const Args& a) { subscribe_to(call.out, call.client->channels, a, "subscribe"); }
void cmd_psubscribe(Call& call, const Args& a) { subscribe_to(call.out, call.client->patterns, a, "psubscribe"); }
void cmd_unsubscribe(Call& call, const Args& a) { unsubscribe_from(call.out, call.client->channels, a, "unsubscribe"); }
void cmd_punsubscribe(Call& call, const Args& a) {
    unsubscribe_from(call.out, call.client->patterns, a, "punsubscribe");
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

void cmd_publish(Call& call, const Args& a) {
    const std::string_view channel = a[1], message = a[2];
    std::string frames[2];  // RESP2 and RESP3 message frames, built on first use
    long long receivers = 0;
    const ClientTable& clients = call.server.clients;
    for (int i = 0; i < clients.size(); ++i) {
        Client* r = clients.at(i);
        if (r->closed() || !r->authenticated) continue;
        const int proto = r->resp3() ? 1 : 0;
        const char marker = r->resp3() ? '>' : '*';
        if (std::find(r->channels.begin(), r->channels.end(), channel) != r->channels.end()) {
            if (frames[proto].empty()) frames[proto] = message_frame(marker, channel, message);
            send_to(r, [&](Reply& out) { out.raw(frames[proto]); });
            ++receivers;
            continue;
        }
        for (const std::string& p : r->patterns) {
            if (dict_glob_match(p, channel)) {
                send_to(r, [&](Reply& out) { out.raw(pmessage_frame(marker, p, channel, message)); });
                ++receivers;
                break;
            }
        }
    }
    call.out.integer(receivers);
}

void cmd_pubsub(Call& call, const Args& a) {
    Reply& out = call.out;
    const ClientTable& clients = call.server.clients;
    if (word_is(a[1], "CHANNELS")) {
        std::string_view pattern = a.argc > 2 ? a[2] : std::string_view("*");
        std::vector<std::string> found;
        for (int i = 0; i < clients.size(); ++i) {
            for (const std::string& ch : clients.at(i)->channels) {
                if (dict_glob_match(pattern, ch) && std::find(found.begin(), found.end(), ch) == found.end()) {
                    found.push_back(ch);
                }
            }
        }
        out.array(static_cast<long long>(found.size()));
        for (const std::string& ch : found) out.bulk(ch);
    } else if (word_is(a[1], "NUMSUB")) {
        out.array(2LL * (a.argc - 2));
        for (int k = 2; k < a.argc; ++k) {
            long long n = 0;
            for (int i = 0; i < clients.size(); ++i) {
                const Client* r = clients.at(i);
                if (std::find(r->channels.begin(), r->channels.end(), a[k]) != r->channels.end()) ++n;
            }
            out.bulk(a[k]);
            out.integer(n);
        }
    } else if (word_is(a[1], "NUMPAT")) {
        long long n = 0;
        for (int i = 0; i < clients.size(); ++i) n += static_cast<long long>(clients.at(i)->patterns.size());
        out.integer(n);
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
