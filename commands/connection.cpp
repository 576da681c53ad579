// connection.cpp — commands about the connection itself: AUTH, HELLO (protocol
// switching), SELECT and QUIT.
#include <cstring>

#include "commands/command_util.h"
#include "server/server.h"

namespace {

constexpr const char* kNoPasswordSet = "Client sent AUTH, but no password is set";
constexpr const char* kWrongPass = "WRONGPASS invalid username-password pair or user is disabled.";

}  // namespace

// Compares in time that depends only on the lengths, not on where bytes differ.
bool password_matches(std::string_view given) {
    const std::string& expected = s_password;
    unsigned diff = given.size() == expected.size() ? 0u : 1u;
    for (size_t i = 0; i < given.size(); ++i) {
        unsigned char e = expected.empty() ? 0 : static_cast<unsigned char>(expected[i % expected.size()]);
        diff |= static_cast<unsigned>(static_cast<unsigned char>(given[i]) ^ e);
    }
    return diff == 0;
}

namespace {

// Checks a username/password pair; replies the error and returns false on failure.
bool check_credentials(Client* c, std::string_view user, std::string_view pass, bool has_user) {
    if (s_password.empty()) {
        rb_error(kNoPasswordSet);
        return false;
    }
    bool ok = password_matches(pass) && (!has_user || user == "default");
    if (!ok) {
        rb_error(kWrongPass);
        return false;
    }
    c->authenticated = 1;
    return true;
}

void cmd_auth(Client* c, const Args& a) {
    if (a.argc != 2 && a.argc != 3) return reply_arity("auth");
    bool has_user = a.argc == 3;
    if (check_credentials(c, has_user ? a[1] : std::string_view(), a[a.argc - 1], has_user)) rb_simple("OK");
}

// A connection name may not hold spaces or line feeds.
bool valid_client_name(std::string_view name) {
    return name.find(' ') == std::string_view::npos && name.find('\n') == std::string_view::npos;
}

void cmd_hello(Client* c, const Args& a) {
    int64_t version = 3;
    if (a.argc > 1 && (!parse_strict_ll(a[1], &version) || (version != 2 && version != 3))) {
        return rb_error("Only RESP2 and RESP3 are supported");
    }
    std::string_view new_name;
    bool set_name = false;
    for (int i = 2; i < a.argc; ++i) {
        if (word_is(a[i], "AUTH")) {
            if (i + 2 >= a.argc) return rb_error(kErrSyntax);
            if (!check_credentials(c, a[i + 1], a[i + 2], true)) return;
            i += 2;
        } else if (word_is(a[i], "SETNAME")) {
            if (i + 1 >= a.argc) return rb_error(kErrSyntax);
            new_name = a[++i];
            if (!valid_client_name(new_name)) {
                return rb_error("Client names cannot contain spaces, newlines or special characters.");
            }
            set_name = true;
        } else {
            return rb_error(kErrSyntax);
        }
    }
    if (!s_password.empty() && !c->authenticated) {
        return rb_error(
            "NOAUTH HELLO must be called with the client already authenticated, otherwise the HELLO <proto> AUTH "
            "<user> <pass> option can be used to authenticate the client and select the RESP protocol version at "
            "the same time");
    }
    if (set_name) c->name.assign(new_name.substr(0, 255));
    c->resp3 = version == 3 ? 1 : 0;
    if (version == 3) {
        rb_write(&s_rb, "%4\r\n", 4);
    } else {
        rb_arr_hdr(7);
        rb_int(2);
    }
    for (const char* s : {"server", "vorel", "version", "1.3.2", "mode", "standalone"}) rb_bulk(s);
    if (version == 3) {
        rb_bulk("proto");
        rb_int(3);
    }
}

void cmd_select(Client*, const Args& a) {
    int64_t index = 0;
    if (a.argc > 1 && parse_strict_ll(a[1], &index) && index != 0) return rb_error("DB index is out of range");
    rb_simple("OK");
}

void cmd_quit(Client* c, const Args&) {
    rb_simple("OK");
    c->close_after_output = true;
}

const CommandRegistrar registrar({
    {"AUTH", cmd_auth},
    {"HELLO", cmd_hello},
    {"SELECT", cmd_select},
    {"QUIT", cmd_quit},
});

}  // namespace
