// vorel_cli_main.cpp — vorel-cli, the command-line client: runs one command
// given on the command line, or a prompt where commands are typed, or (--pipe)
// a pipelined mass load from standard input, against a running server.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/cli/command_line.h"
#include "tools/cli/connection.h"
#include "tools/cli/line_input.h"
#include "tools/cli/mass_load.h"
#include "tools/cli/reply_format.h"

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 6379;
    std::string password;
    bool resp3 = false;
    bool raw = false;
    bool pipe = false;
    std::vector<std::string> command;  // one-shot command, empty for the prompt
};

const char* const kUsage =
    "usage: vorel-cli [-h HOST] [-p PORT] [-a PASSWORD] [--resp3] [--raw] [--pipe] [command [arg ...]]\n";

void print_help() {
    std::fputs(kUsage, stdout);
    std::fputs(
        "\n"
        "Sends commands to a vorel server and prints the replies. With a command on\n"
        "the command line it runs that one command; without, it shows a prompt.\n"
        "\n"
        "options:\n"
        "  -h HOST       server address, IPv4 or localhost (default 127.0.0.1)\n"
        "  -p PORT       server port (default 6379)\n"
        "  -a PASSWORD   authenticate with this password after connecting\n"
        "  --resp3       speak RESP3 (sends HELLO 3 first)\n"
        "  --raw         print replies bare: no quotes, types or numbering\n"
        "  --pipe        send the commands on standard input (RESP requests, or one\n"
        "                command line per line) pipelined, then print the number of\n"
        "                replies and errors\n"
        "  --help        show this text and exit\n"
        "  --version     print the version and exit\n"
        "\n"
        "Exit status: 0 on success; 1 when the server cannot be reached, when a\n"
        "one-shot command or a piped one gets an error reply; 2 on bad arguments.\n",
        stdout);
}

// 0 = run, 1 = help or version shown, 2 = bad arguments (message printed).
int parse_args(int argc, char** argv, Options* opt) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            print_help();
            return 1;
        }
        if (arg == "--version") {
            std::printf("vorel-cli %s\n", VOREL_VERSION_TEXT);
            return 1;
        }
        if (arg == "--resp3") {
            opt->resp3 = true;
        } else if (arg == "--raw") {
            opt->raw = true;
        } else if (arg == "--pipe") {
            opt->pipe = true;
        } else if (arg == "-h" || arg == "-p" || arg == "-a") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vorel-cli: %s needs a value\n", arg.c_str());
                return 2;
            }
            std::string value = argv[++i];
            if (arg == "-h") {
                opt->host = value;
            } else if (arg == "-a") {
                opt->password = value;
            } else {
                char* end = nullptr;
                long port = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || port < 1 || port > 65535) {
                    std::fprintf(stderr, "vorel-cli: -p wants a port from 1 to 65535, not '%s'\n", value.c_str());
                    return 2;
                }
                opt->port = static_cast<int>(port);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "vorel-cli: unknown option '%s'\n", arg.c_str());
            return 2;
        } else {
            break;
        }
    }
    opt->command.assign(argv + i, argv + argc);
    if (opt->pipe && !opt->command.empty()) {
        std::fprintf(stderr, "vorel-cli: --pipe reads its commands from standard input only\n");
        return 2;
    }
    return 0;
}

void print_reply(const cli::Reply& reply, const Options& opt) {
    std::string text = opt.raw ? cli::format_raw(reply) : cli::format_readable(reply);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void print_failure(const cli::Connection& conn) { std::fprintf(stderr, "vorel-cli: %s\n", conn.error().c_str()); }

// Sends one command and waits for its reply (printing push frames that come
// first). False after a connection failure, which is reported.
bool call(cli::Connection& conn, const std::vector<std::string>& args, const Options& opt, cli::Reply* reply) {
    std::string request;
    cli::append_request(args, &request);
    if (!conn.send_all(request)) {
        print_failure(conn);
        return false;
    }
    for (;;) {
        if (!conn.read_reply(reply)) {
            print_failure(conn);
            return false;
        }
        if (reply->kind != cli::Reply::Kind::Push) return true;
        print_reply(*reply, opt);
    }
}

// AUTH and/or HELLO 3 as the options ask; false (reported) when refused.
bool handshake(cli::Connection& conn, const Options& opt) {
    std::vector<std::string> args;
    if (opt.resp3) {
        args = {"HELLO", "3"};
        if (!opt.password.empty()) args.insert(args.end(), {"AUTH", "default", opt.password});
    } else if (!opt.password.empty()) {
        args = {"AUTH", opt.password};
    } else {
        return true;
    }
    cli::Reply reply;
    if (!call(conn, args, opt, &reply)) return false;
    if (reply.is_error()) {
        std::fprintf(stderr, "vorel-cli: %s\n", reply.text.c_str());
        return false;
    }
    return true;
}

bool is_subscribe(const std::string& name) {
    std::string lower;
    for (char c : name) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    return lower == "subscribe" || lower == "psubscribe";
}

// After a subscription the server sends messages on its own; they are printed
// until the connection ends (or the user interrupts).
int follow_messages(cli::Connection& conn, const Options& opt) {
    cli::Reply reply;
    while (conn.read_reply(&reply)) print_reply(reply, opt);
    print_failure(conn);
    return 1;
}

// Runs one command; the exit status of a one-shot run.
int run_command(cli::Connection& conn, const std::vector<std::string>& args, const Options& opt) {
    cli::Reply reply;
    if (!call(conn, args, opt, &reply)) return 1;
    print_reply(reply, opt);
    if (is_subscribe(args[0]) && !reply.is_error()) return follow_messages(conn, opt);
    return reply.is_error() ? 1 : 0;
}

int run_prompt(cli::Connection& conn, const Options& opt) {
    cli::LineInput input;
    const std::string prompt = opt.host + ":" + std::to_string(opt.port) + "> ";
    while (auto line = input.read(prompt)) {
        auto args = cli::split_command_line(*line);
        if (!args) {
            std::puts("(error) unbalanced quotes");
            continue;
        }
        if (args->empty()) continue;
        input.remember(*line);
        const std::string& name = (*args)[0];
        if (name == "quit" || name == "exit" || name == "QUIT" || name == "EXIT") break;
        cli::Reply reply;
        if (!call(conn, *args, opt, &reply)) return 1;
        print_reply(reply, opt);
        if (is_subscribe(name) && !reply.is_error()) return follow_messages(conn, opt);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    switch (parse_args(argc, argv, &opt)) {
        case 1: return 0;
        case 2:
            std::fputs(kUsage, stderr);
            return 2;
        default: break;
    }
    cli::Connection conn(opt.host, opt.port);
    if (!conn.connected()) {
        print_failure(conn);
        return 1;
    }
    if (!handshake(conn, opt)) return 1;
    if (opt.pipe) return cli::mass_load(conn);
    if (!opt.command.empty()) return run_command(conn, opt.command, opt);
    return run_prompt(conn, opt);
}
