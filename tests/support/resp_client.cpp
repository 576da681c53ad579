// resp_client.cpp — test support: server guard and blocking RESP connection.
#include "support/resp_client.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "vorel.h"

namespace vtest {

ServerGuard::ServerGuard(const char* password, int maxmemory_mb, const char* aof) {
    platform::net_startup();
    for (int attempt = 0; attempt < 5 && !started_; ++attempt) {
        port_ = platform::net_free_port();
        started_ = vorel_server_start(port_, password, maxmemory_mb, aof) == 0;
    }
}

ServerGuard::~ServerGuard() {
    if (started_) vorel_server_stop();
}

namespace {

// Appends through std::string::append only: GCC 12 at -O3 reports a false
// -Wrestrict on chains of operator+ that start with a string literal.
template <typename Args>
std::string multibulk(const Args& args) {
    std::string out;
    out.push_back('*');
    out.append(std::to_string(args.size()));
    out.append("\r\n");
    for (std::string_view a : args) {
        out.push_back('$');
        out.append(std::to_string(a.size()));
        out.append("\r\n");
        out.append(a);
        out.append("\r\n");
    }
    return out;
}

}  // namespace

std::string cmd(std::initializer_list<std::string_view> args) { return multibulk(args); }

std::string cmd(const std::vector<std::string>& args) { return multibulk(args); }

Conn::Conn(int port) { sock_ = platform::net_connect("127.0.0.1", port); }

Conn::~Conn() {
    if (sock_ != platform::kInvalidSocket) platform::net_close(sock_);
}

void Conn::send(std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int64_t n = platform::net_send(sock_, bytes.data() + sent, bytes.size() - sent);
        if (n == platform::kWouldBlock) {
            platform::sleep_ms(1);
            continue;
        }
        if (n < 0) return;
        sent += static_cast<size_t>(n);
    }
}

std::string Conn::call(std::initializer_list<std::string_view> args) {
    send(cmd(args));
    return read_reply();
}

bool Conn::fill(int timeout_ms) {
    if (eof_) return false;
    platform::PollItem item{sock_, platform::kPollIn, 0};
    if (platform::net_poll(&item, 1, timeout_ms) <= 0) return false;
    char chunk[65536];
    int64_t n = platform::net_recv(sock_, chunk, sizeof(chunk));
    if (n == platform::kWouldBlock) return true;
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buf_.append(chunk, static_cast<size_t>(n));
    return true;
}

size_t Conn::complete_length(size_t pos) const {
    if (pos >= buf_.size()) return 0;
    size_t eol = buf_.find("\r\n", pos);
    if (eol == std::string::npos) return 0;
    char type = buf_[pos];
    size_t line_end = eol + 2;
    long long n = std::atoll(buf_.c_str() + pos + 1);
    switch (type) {
        case '$':
        case '=':
        case '!':
            if (n < 0) return line_end - pos;
            if (buf_.size() < line_end + static_cast<size_t>(n) + 2) return 0;
            return line_end + static_cast<size_t>(n) + 2 - pos;
        case '*':
        case '~':
        case '>':
        case '%':
        case '|': {
            if (n < 0) return line_end - pos;
            long long items = (type == '%' || type == '|') ? n * 2 : n;
            size_t at = line_end;
            for (long long i = 0; i < items; ++i) {
                size_t len = complete_length(at);
                if (len == 0) return 0;
                at += len;
            }
            return at - pos;
        }
        default:
            return line_end - pos;
    }
}

std::string Conn::read_reply(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t len = complete_length(head_);
        if (len > 0) {
            std::string reply = buf_.substr(head_, len);
            head_ += len;
            // Erasing each reply from the front would make reading n pipelined
            // replies quadratic; the read part goes once it is most of the buffer.
            if (head_ == buf_.size() || head_ > buf_.size() / 2) {
                buf_.erase(0, head_);
                head_ = 0;
            }
            return reply;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) {
            if (std::chrono::steady_clock::now() >= deadline || eof_) return std::string();
        }
    }
}

std::string Conn::read_available(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (!fill(static_cast<int>(left.count())) && eof_) break;
    }
    std::string out = buf_.substr(head_);
    buf_.clear();
    head_ = 0;
    return out;
}

bool Conn::wait_closed(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!eof_ && std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        fill(static_cast<int>(left.count()) + 1);
    }
    return eof_;
}

int parked_clients(Conn& observer) {
    const std::string info = observer.call({"INFO"});
    const size_t at = info.find("blocked_clients:");
    if (at == std::string::npos) return -1;
    return std::atoi(info.c_str() + at + std::strlen("blocked_clients:"));
}

bool send_and_park(Conn& who, Conn& observer, std::initializer_list<std::string_view> request) {
    const int before = parked_clients(observer);
    who.send(cmd(request));
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < give_up) {
        if (parked_clients(observer) == before + 1) return true;
        platform::sleep_ms(2);
    }
    return false;
}

}  // namespace vtest
