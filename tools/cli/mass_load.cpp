// mass_load.cpp — vorel-cli --pipe. The requests are followed by an ECHO of a
// marker unique to this run: its reply shows that every earlier reply has
// arrived, without counting the requests of a RESP input up front.
#include "tools/cli/mass_load.h"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "tools/cli/command_line.h"

namespace cli {
namespace {

// Seconds without any progress after which the load is given up.
constexpr int kStallSeconds = 30;
// Error replies quoted on standard error; the rest are only counted.
constexpr long long kErrorsShown = 5;

std::string read_stdin() {
    platform::stdin_set_binary();
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

// The input as requests; false (with a message printed) on a line that
// cannot be split.
bool build_requests(const std::string& input, std::string* out) {
    size_t first = input.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && input[first] == '*') {
        *out = input;
        return true;
    }
    size_t line_no = 0;
    for (size_t start = 0; start < input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        ++line_no;
        auto args = split_command_line(std::string_view(input).substr(start, end - start));
        if (!args) {
            std::fprintf(stderr, "vorel-cli: line %zu: unbalanced quotes\n", line_no);
            return false;
        }
        if (!args->empty()) append_request(*args, out);
        start = end + 1;
    }
    return true;
}

}  // namespace

int mass_load(Connection& conn) {
    std::string requests;
    if (!build_requests(read_stdin(), &requests)) return 1;
    std::string marker = "vorel-cli-pipe-end-" + std::to_string(platform::process_id()) + "-" +
                         std::to_string(platform::current_time_ms());
    append_request({"ECHO", marker}, &requests);

    platform::net_set_blocking(conn.socket(), false);
    size_t sent = 0;
    long long replies = 0, errors = 0;
    int idle_seconds = 0;
    for (bool done = false; !done;) {
        platform::PollItem item{conn.socket(), platform::kPollIn, 0};
        if (sent < requests.size()) item.events |= platform::kPollOut;
        int ready = platform::net_poll(&item, 1, 1000);
        if (ready <= 0) {
            if (++idle_seconds >= kStallSeconds) {
                std::fprintf(stderr, "vorel-cli: no progress for %d s\n", kStallSeconds);
                return 1;
            }
            continue;
        }
        idle_seconds = 0;
        if ((item.revents & platform::kPollOut) != 0 && sent < requests.size()) {
            int64_t n = platform::net_send(conn.socket(), requests.data() + sent, requests.size() - sent);
            if (n == platform::kIoError) {
                std::fprintf(stderr, "vorel-cli: cannot send to the server\n");
                return 1;
            }
            if (n > 0) sent += static_cast<size_t>(n);
        }
        if ((item.revents & (platform::kPollIn | platform::kPollErr)) == 0) continue;
        if (!conn.receive()) {
            std::fprintf(stderr, "vorel-cli: %s after %lld replies\n", conn.error().c_str(), replies);
            return 1;
        }
        Reply reply;
        ParseStatus st = ParseStatus::Incomplete;
        while (!done && (st = conn.take_reply(&reply)) == ParseStatus::Complete) {
            if (reply.kind == Reply::Kind::Bulk && reply.text == marker) {
                done = true;
                break;
            }
            ++replies;
            if (reply.is_error() && ++errors <= kErrorsShown) {
                std::fprintf(stderr, "vorel-cli: reply %lld: %s\n", replies, reply.text.c_str());
            }
        }
        if (!done && st == ParseStatus::Invalid) {
            std::fprintf(stderr, "vorel-cli: %s\n", conn.error().c_str());
            return 1;
        }
    }
    std::printf("replies: %lld, errors: %lld\n", replies, errors);
    return errors == 0 ? 0 : 1;
}

}  // namespace cli
