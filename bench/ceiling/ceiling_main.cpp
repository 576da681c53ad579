// ceiling_main.cpp — vorel-ceiling: a single-threaded request/reply responder
// that does no work. It frames requests exactly as the server does (multibulk and
// inline, pipelined, split across reads), answers GET with a fixed 100-byte bulk
// and everything else with +OK, and writes the replies of one read in one send.
// It is the most one thread can serve over this machine's loopback with the same
// polling layer, so the server's throughput is reported as a share of it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// The same repeating pattern vorel-benchmark writes and verifies.
std::string fixed_get_reply() {
    static const char kPattern[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string value(100, ' ');
    for (size_t i = 0; i < value.size(); ++i) value[i] = kPattern[i % 36];
    return "$100\r\n" + value + "\r\n";
}

struct Conn {
    platform::Socket sock = platform::kInvalidSocket;
    std::string in;
    std::string out;
    size_t out_sent = 0;
};

bool is_get(const char* name, size_t len) {
    return len == 3 && (name[0] | 0x20) == 'g' && (name[1] | 0x20) == 'e' && (name[2] | 0x20) == 't';
}

long long parse_count(const char* p, const char* end) {
    long long v = 0;
    bool negative = p < end && *p == '-';
    if (negative) ++p;
    while (p < end && *p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
    return negative ? -v : v;
}

// Frames every complete request in c.in and appends one reply per request.
// Returns false on a protocol error.
bool answer_requests(Conn& c, const std::string& get_reply) {
    const char* buf = c.in.data();
    const char* end = buf + c.in.size();
    const char* p = buf;
    while (p < end) {
        const char* cr = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (cr == nullptr) break;
        const char* name = nullptr;
        size_t name_len = 0;
        const char* next = nullptr;
        if (*p == '*') {
            long long argc = parse_count(p + 1, cr);
            const char* q = cr + 1;
            bool complete = true;
            for (long long i = 0; i < argc; ++i) {
                const char* lf = q < end ? static_cast<const char*>(std::memchr(q, '\n', static_cast<size_t>(end - q))) : nullptr;
                if (lf == nullptr) {
                    complete = false;
                    break;
                }
                if (*q != '$') return false;
                long long len = parse_count(q + 1, lf);
                if (len < 0 || end - (lf + 1) < len + 2) {
                    complete = false;
                    break;
                }
                if (i == 0) {
                    name = lf + 1;
                    name_len = static_cast<size_t>(len);
                }
                q = lf + 1 + len + 2;
            }
            if (!complete) break;
            next = q;
        } else {
            name = p;
            while (name < cr && *name == ' ') ++name;
            const char* word_end = name;
            while (word_end < cr && *word_end != ' ' && *word_end != '\r') ++word_end;
            name_len = static_cast<size_t>(word_end - name);
            next = cr + 1;
        }
        if (name_len > 0) {
            if (is_get(name, name_len)) {
                c.out += get_reply;
            } else {
                c.out.append("+OK\r\n", 5);
            }
        }
        p = next;
    }
    c.in.erase(0, static_cast<size_t>(p - buf));
    return true;
}

// Sends what is pending; false when the connection failed.
bool flush(Conn& c) {
    while (c.out_sent < c.out.size()) {
        int64_t n = platform::net_send(c.sock, c.out.data() + c.out_sent, c.out.size() - c.out_sent);
        if (n == platform::kWouldBlock) return true;
        if (n < 0) return false;
        c.out_sent += static_cast<size_t>(n);
    }
    c.out.clear();
    c.out_sent = 0;
    return true;
}

// Receives once and answers; false when the connection ended.
bool serve(Conn& c, const std::string& get_reply, std::vector<char>& scratch) {
    int64_t n = platform::net_recv(c.sock, scratch.data(), scratch.size());
    if (n == platform::kWouldBlock) return true;
    if (n <= 0) return false;
    c.in.append(scratch.data(), static_cast<size_t>(n));
    if (!answer_requests(c, get_reply)) return false;
    return flush(c);
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
    }
    if (port <= 0 || port > 65535) {
        std::fputs("usage: vorel-ceiling --port N\n", stderr);
        return 2;
    }
    platform::net_startup();
    platform::ListenError error = platform::ListenError::None;
    platform::Socket listener = platform::net_listen(port, 511, &error);
    if (listener == platform::kInvalidSocket) {
        std::fprintf(stderr, "vorel-ceiling: cannot listen on port %d\n", port);
        return 1;
    }
    const std::string get_reply = fixed_get_reply();
    std::vector<char> scratch(64 * 1024);
    std::vector<std::unique_ptr<Conn>> conns;
    std::vector<platform::PollItem> items;
    for (;;) {
        items.clear();
        items.push_back({listener, platform::kPollIn, 0});
        for (const auto& c : conns) {
            short events = platform::kPollIn;
            if (c->out_sent < c->out.size()) events |= platform::kPollOut;
            items.push_back({c->sock, events, 0});
        }
        if (platform::net_poll(items.data(), items.size(), 100) < 0) continue;
        if (items[0].revents != 0) {
            platform::Socket s = platform::net_accept(listener);
            if (s != platform::kInvalidSocket) {
                conns.push_back(std::make_unique<Conn>());
                conns.back()->sock = s;
            }
        }
        size_t kept = 0;
        for (size_t i = 0; i < conns.size(); ++i) {
            Conn& c = *conns[i];
            short revents = i + 1 < items.size() ? items[i + 1].revents : 0;
            bool alive = true;
            if (revents & (platform::kPollIn | platform::kPollErr)) alive = serve(c, get_reply, scratch);
            if (alive && (revents & platform::kPollOut)) alive = flush(c);
            if (!alive) {
                platform::net_close(c.sock);
                continue;
            }
            conns[kept++] = std::move(conns[i]);
        }
        conns.resize(kept);
    }
}
