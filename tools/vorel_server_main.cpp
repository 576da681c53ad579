// vorel_server_main.cpp — vorel-server, a small host process around the library:
// parses the command line, starts the server through the C interface, waits for
// SIGINT/SIGTERM (Ctrl+C) and stops it again.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "vorel.h"

namespace {

std::atomic<int> g_stop_requested{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_stop_signal(int) { g_stop_requested.store(1); }

struct Options {
    int port = 6379;
    std::string password;
    int maxmemory_mb = 0;
    std::string aof_file;
    std::string appendfsync = "everysec";
};

const char* const kUsage =
    "usage: vorel-server [--port N] [--password PW] [--maxmemory MB] [--aof FILE]\n"
    "                    [--appendfsync always|everysec|no] [--help] [--version]\n";

void print_help(std::ostream& out) {
    out << kUsage
        << "\n"
           "Runs the vorel cache server (RESP2/RESP3 and HTTP on one TCP port) until\n"
           "interrupted with Ctrl+C (SIGINT) or SIGTERM.\n"
           "\n"
           "options:\n"
           "  --port N        TCP port to listen on, all interfaces (1-65535, default 6379)\n"
           "  --password PW   require AUTH PW from every client (default: no password)\n"
           "  --maxmemory MB  memory limit in megabytes; least recently used keys are\n"
           "                  evicted past it (default 0 = no limit)\n"
           "  --aof FILE      append-only file: replayed at start when it exists, then\n"
           "                  every change to the keyspace is appended to it\n"
           "  --appendfsync P when appended records reach the disk: always (before the\n"
           "                  replies), everysec (default, once a second) or no (left\n"
           "                  to the operating system)\n"
           "  --help, -h      show this text and exit\n"
           "  --version, -v   print the version of the library and exit\n"
           "\n"
           "Options also take the form --name=value.\n";
}

// Whole-string decimal integer within [lo, hi].
bool parse_int(const std::string& text, int lo, int hi, int* out) {
    if (text.empty()) return false;
    size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) return false;
    long long value = 0;
    for (; i < text.size(); ++i) {
        char ch = text[i];
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + (ch - '0');
        if (value > 1000000000LL) return false;
    }
    if (negative) value = -value;
    if (value < lo || value > hi) return false;
    *out = static_cast<int>(value);
    return true;
}

// 0 = run, 1 = help asked for, 2 = bad arguments (message already printed),
// 3 = version asked for.
int parse_args(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return 1;
        if (arg == "--version" || arg == "-v") return 3;

        std::string name = arg;
        std::string value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        if (name != "--port" && name != "--password" && name != "--maxmemory" && name != "--aof" &&
            name != "--appendfsync") {
            std::cerr << "vorel-server: unknown argument '" << arg << "'\n";
            return 2;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                std::cerr << "vorel-server: " << name << " needs a value\n";
                return 2;
            }
            value = argv[++i];
        }

        if (name == "--port") {
            if (!parse_int(value, 1, 65535, &opt->port)) {
                std::cerr << "vorel-server: --port wants a number from 1 to 65535, not '" << value << "'\n";
                return 2;
            }
        } else if (name == "--maxmemory") {
            if (!parse_int(value, 0, 1 << 30, &opt->maxmemory_mb)) {
                std::cerr << "vorel-server: --maxmemory wants a number of megabytes (0 = no limit), not '"
                          << value << "'\n";
                return 2;
            }
        } else if (name == "--password") {
            opt->password = value;
        } else if (name == "--appendfsync") {
            if (value != "always" && value != "everysec" && value != "no") {
                std::cerr << "vorel-server: --appendfsync wants always, everysec or no, not '" << value << "'\n";
                return 2;
            }
            opt->appendfsync = value;
        } else {
            if (value.empty()) {
                std::cerr << "vorel-server: --aof needs a file name\n";
                return 2;
            }
            opt->aof_file = value;
        }
    }
    return 0;
}

// Starts the server. Replaying a large append-only file can take a while, so a
// second thread reports every second until the start call returns.
bool start_with_progress(const Options& opt) {
    std::atomic<bool> done{false};
    std::mutex m;
    std::condition_variable cv;
    std::thread ticker;
    if (!opt.aof_file.empty()) {
        ticker = std::thread([&] {
            std::unique_lock<std::mutex> lock(m);
            for (int seconds = 1; !cv.wait_for(lock, std::chrono::seconds(1), [&] { return done.load(); });
                 ++seconds) {
                std::cout << "vorel-server: loading " << opt.aof_file << " (" << seconds << " s)" << std::endl;
            }
        });
    }
    if (vorel_config_set("appendfsync", opt.appendfsync.c_str()) != 0) return false;
    bool ok = vorel_server_start(opt.port, opt.password.c_str(), opt.maxmemory_mb, opt.aof_file.c_str()) == 0;
    {
        std::lock_guard<std::mutex> lock(m);
        done.store(true);
    }
    cv.notify_all();
    if (ticker.joinable()) ticker.join();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    switch (parse_args(argc, argv, &opt)) {
        case 1:
            print_help(std::cout);
            return 0;
        case 2:
            std::cerr << kUsage << "Run vorel-server --help for the options.\n";
            return 2;
        case 3:
            std::cout << "vorel-server " << vorel_version() << "\n";
            return 0;
        default:
            break;
    }

    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);

    if (!start_with_progress(opt)) {
        std::cerr << "vorel-server: " << vorel_last_error() << "\n";
        return 1;
    }

    std::cout << "vorel " << vorel_version() << " listening on port " << opt.port;
    if (!opt.password.empty()) std::cout << " (password required)";
    if (opt.maxmemory_mb > 0) std::cout << ", maxmemory " << opt.maxmemory_mb << " MB";
    if (!opt.aof_file.empty()) std::cout << ", append-only file " << opt.aof_file;
    std::cout << std::endl;

    int exit_code = 0;
    while (g_stop_requested.load() == 0) {
        if (vorel_server_status() == 0) {  // the server ended without being asked to
            std::cerr << "vorel-server: the server stopped unexpectedly\n";
            exit_code = 1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    vorel_server_stop();
    if (exit_code == 0) std::cout << "vorel-server: stopped" << std::endl;
    return exit_code;
}
