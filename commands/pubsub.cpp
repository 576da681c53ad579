// pubsub.cpp — publish/subscribe: SUBSCRIBE, PSUBSCRIBE, their removal commands,
// PUBLISH (delivered through each receiver's output buffer) and PUBSUB.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "commands/command_util.h"
#include "server/server.h"

namespace {

void confirm(const char* kind, const std::string* name, size_t count) {
    rb_push_hdr();
    rb_bulk(kind);
    if (name) {
        rb_bulk_sv(*name);
    } else {
        rb_null();
    }
    rb_int(static_cast<long long>(count));
}

void subscribe_to(std::vector<std::string>& list, const Args& a, const char* kind, const char* lower_name) {
    if (a.argc < 2) return reply_arity(lower_name);
    for (int i = 1; i < a.argc; ++i) {
        std::string name(a[i]);
        if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
        confirm(kind, &name, list.size());
    }
}

void unsubscribe_from(std::vector<std::string>& list, const Args& a, const char* kind) {
    if (a.argc < 2) {
        if (list.empty()) return confirm(kind, nullptr, 0);
        // Confirmed in subscription order with counts n-1 down to 0.
        for (size_t i = 0; i < list.size(); ++i) confirm(kind, &list[i], list.size() - 1 - i);
        list.clear();
        return;
    }
    for (int i = 1; i < a.argc; ++i) {
        std::string name(a[i]);
        auto it = std::find(list.begin(), list.end(), name);
        if (it != list.end()) list.erase(it);
        confirm(kind, &name, list.size());
    }
}

void cmd_subscribe(Client* c, const Args& a) { subscribe_to(c->channels, a, "subscribe", "subscribe"); }
void cmd_psubscribe(Client* c, const Args& a) { subscribe_to(c->patterns, a, "psubscribe", "psubscribe"); }
void cmd_unsubscribe(Client* c, const Args& a) { unsubscribe_from(c->channels, a, "unsubscribe"); }
void cmd_punsubscribe(Client* c, const Args& a) { unsubscribe_from(c->patterns, a, "punsubscribe"); }

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

void cmd_publish(Client*, const Args& a) {
    if (a.argc < 3) return reply_arity("publish");
    const std::string_view channel = a[1], message = a[2];
    std::string frames[2];  // RESP2 and RESP3 message frames, built on first use
    long long receivers = 0;
    ServerLock lock(s_mutex());
    for (int i = 0; i < s_client_count; ++i) {
        Client* r = s_clients[i];
        if (r == nullptr || r->closed() || !r->authenticated) continue;
        const int proto = r->resp3 ? 1 : 0;
        const char marker = r->resp3 ? '>' : '*';
        if (std::find(r->channels.begin(), r->channels.end(), channel) != r->channels.end()) {
            if (frames[proto].empty()) frames[proto] = message_frame(marker, channel, message);
            client_send(r, frames[proto].data(), frames[proto].size());
            ++receivers;
            continue;
        }
        for (const std::string& p : r->patterns) {
            if (dict_glob_match(p, channel)) {
                std::string f = pmessage_frame(marker, p, channel, message);
                client_send(r, f.data(), f.size());
                ++receivers;
                break;
            }
        }
    }
    rb_int(receivers);
}

void cmd_pubsub(Client*, const Args& a) {
    if (a.argc < 2) return reply_arity("pubsub");
    if (word_is(a[1], "CHANNELS")) {
        std::string_view pattern = a.argc > 2 ? a[2] : std::string_view("*");
        std::vector<std::string> found;
        ServerLock lock(s_mutex());
        for (int i = 0; i < s_client_count; ++i) {
            if (s_clients[i] == nullptr) continue;
            for (const std::string& ch : s_clients[i]->channels) {
                if (dict_glob_match(pattern, ch) && std::find(found.begin(), found.end(), ch) == found.end()) {
                    found.push_back(ch);
                }
            }
        }
        rb_arr_hdr(static_cast<long long>(found.size()));
        for (const std::string& ch : found) rb_bulk_sv(ch);
    } else if (word_is(a[1], "NUMSUB")) {
        rb_arr_hdr(2LL * (a.argc - 2));
        ServerLock lock(s_mutex());
        for (int k = 2; k < a.argc; ++k) {
            long long n = 0;
            for (int i = 0; i < s_client_count; ++i) {
                const Client* r = s_clients[i];
                if (r && std::find(r->channels.begin(), r->channels.end(), a[k]) != r->channels.end()) ++n;
            }
            rb_bulk_sv(a[k]);
            rb_int(n);
        }
    } else if (word_is(a[1], "NUMPAT")) {
        long long n = 0;
        ServerLock lock(s_mutex());
        for (int i = 0; i < s_client_count; ++i) {
            if (s_clients[i]) n += static_cast<long long>(s_clients[i]->patterns.size());
        }
        rb_int(n);
    } else {
        rb_error(kErrSyntax);
    }
}

const CommandRegistrar registrar({
    {"SUBSCRIBE", cmd_subscribe},
    {"PSUBSCRIBE", cmd_psubscribe},
    {"UNSUBSCRIBE", cmd_unsubscribe},
    {"PUNSUBSCRIBE", cmd_punsubscribe},
    {"PUBLISH", cmd_publish},
    {"PUBSUB", cmd_pubsub},
});

}  // namespace
