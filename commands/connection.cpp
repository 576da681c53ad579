// connection.cpp — commands about the connection itself: PING, ECHO, AUTH,
// HELLO (protocol switching), SELECT and QUIT.
#include <cstring>

#include "commands/command_util.h"

namespace {

constexpr const char* kNoPasswordSet = "Client sent AUTH, but no password is set";
constexpr const char* kWrongPass = "WRONGPASS invalid username-password pair or user is disabled.";

// Checks a username/password pair; replies the error and returns false on failure.
bool check_credentials(Call& call, std::string_view user, std::string_view pass, bool has_user) {
    if (call.server.password.empty()) {
        call.out.error(kNoPasswordSet);
        return false;
    }
    bool ok = call.server.password_matches(pass) && (!has_user || user == "default");
    if (!ok) {
        call.out.error(kWrongPass);
        return false;
    }
    call.client->authenticated = 1;
    return true;
}

// A subscribed RESP2 connection gets the two-element array ["pong", argument],
// which its reader tells apart from message frames.
void cmd_ping(Call& call, const Args& a) {
    if (call.client->subscribed() && !call.client->resp3()) {
        call.out.array(2);
        call.out.bulk(std::string_view("pong"));
        return call.out.bulk(a.argc > 1 ? a[1] : std::string_view());
    }
    if (a.argc > 1) return call.out.bulk(a[1]);
    call.out.simple("PONG");
}

void cmd_echo(Call& call, const Args& a) { call.out.bulk(a[1]); }

void cmd_auth(Call& call, const Args& a) {
    bool has_user = a.argc == 3;
    if (check_credentials(call, has_user ? a[1] : std::string_view(), a[a.argc - 1], has_user)) call.out.simple("OK");
}

// A connection name may not hold spaces or line feeds.
bool valid_client_name(std::string_view name) {
    return name.find(' ') == std::string_view::npos && name.find('\n') == std::string_view::npos;
}

void cmd_hello(Call& call, const Args& a) {
    Reply& out = call.out;
    Client* c = call.client;
    int64_t version = 3;
    if (a.argc > 1 && (!parse_strict_ll(a[1], &version) || (version != 2 && version != 3))) {
        return out.error("Only RESP2 and RESP3 are supported");
    }
    std::string_view new_name;
    bool set_name = false;
    for (int i = 2; i < a.argc; ++i) {
        if (word_is(a[i], "AUTH")) {
            if (i + 2 >= a.argc) return out.error(kErrSyntax);
            if (!check_credentials(call, a[i + 1], a[i + 2], true)) return;
            i += 2;
        } else if (word_is(a[i], "SETNAME")) {
            if (i + 1 >= a.argc) return out.error(kErrSyntax);
            new_name = a[++i];
            if (!valid_client_name(new_name)) {
                return out.error("Client names cannot contain spaces, newlines or special characters.");
            }
            set_name = true;
        } else {
            return out.error(kErrSyntax);
        }
    }
    if (!call.server.password.empty() && !c->authenticated) {
        return out.error(
            "NOAUTH HELLO must be called with the client already authenticated, otherwise the HELLO <proto> AUTH "
            "<user> <pass> option can be used to authenticate the client and select the RESP protocol version at "
            "the same time");
    }
    if (set_name) c->name.assign(new_name.substr(0, 255));
    out.set_resp3(version == 3);
    // The same seven fields in both protocols: a map in RESP3, a flat array of
    // names and values in RESP2.
    out.map(7);
    for (const char* s : {"server", "vorel", "version", "1.3.2"}) out.bulk(std::string_view(s));
    out.bulk(std::string_view("proto"));
    out.integer(version);
    out.bulk(std::string_view("id"));
    out.integer(static_cast<long long>(c->id));
    for (const char* s : {"mode", "standalone", "role", "master", "modules"}) out.bulk(std::string_view(s));
    out.array(0);
}

void cmd_select(Call& call, const Args& a) {
    int64_t index = 0;
    if (a.argc > 1 && parse_strict_ll(a[1], &index) && index != 0) return call.out.error("DB index is out of range");
    call.out.simple("OK");
}

void cmd_quit(Call& call, const Args&) {
    call.out.simple("OK");
    call.client->close_after_output = true;
}

const CommandRegistrar registrar({
    {"PING", 1, -1, kCmdSubscribed, cmd_ping},
    {"ECHO", 2, -1, 0, cmd_echo},
    {"AUTH", 2, 3, kCmdNoAuth, cmd_auth},
    {"HELLO", 1, -1, kCmdNoAuth, cmd_hello},
    {"SELECT", 1, -1, 0, cmd_select},
    {"QUIT", 1, -1, kCmdNoAuth | kCmdSubscribed, cmd_quit},
});

}  // namespace
