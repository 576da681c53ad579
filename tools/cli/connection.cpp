// connection.cpp — vorel-cli: sending requests and reading replies.
#include "tools/cli/connection.h"

namespace cli {

Connection::Connection(const std::string& host, int port) {
    platform::net_startup();
    sock_ = platform::net_connect(host.c_str(), port);
    if (sock_ == platform::kInvalidSocket) error_ = "cannot connect to " + host + ":" + std::to_string(port);
}

Connection::~Connection() {
    if (sock_ != platform::kInvalidSocket) platform::net_close(sock_);
}

bool Connection::send_all(std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int64_t n = platform::net_send(sock_, bytes.data() + sent, bytes.size() - sent);
        if (n == platform::kWouldBlock) {
            platform::PollItem item{sock_, platform::kPollOut, 0};
            platform::net_poll(&item, 1, 1000);
            continue;
        }
        if (n < 0) {
            error_ = "cannot send to the server";
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool Connection::receive() {
    // Parsed bytes are dropped once they are the larger part of the buffer, so
    // a long stream of replies does not keep moving the rest forward.
    if (read_pos_ > 0 && read_pos_ >= buf_.size() / 2) {
        buf_.erase(0, read_pos_);
        read_pos_ = 0;
    }
    char chunk[65536];
    int64_t n = platform::net_recv(sock_, chunk, sizeof(chunk));
    if (n == platform::kWouldBlock) return true;
    if (n == 0) {
        error_ = "connection closed by the server";
        return false;
    }
    if (n < 0) {
        error_ = "cannot read from the server";
        return false;
    }
    buf_.append(chunk, static_cast<size_t>(n));
    return true;
}

ParseStatus Connection::take_reply(Reply* out) {
    size_t used = 0;
    ParseStatus st = parse_reply(buf_, read_pos_, out, &used);
    if (st == ParseStatus::Complete) read_pos_ += used;
    if (st == ParseStatus::Invalid) error_ = "the server sent something that is not a reply";
    return st;
}

bool Connection::read_reply(Reply* out) {
    // A large aggregate arrives in many pieces; parsing it again after every
    // piece would cost quadratic time. It is tried again once the unparsed
    // bytes have doubled, or when nothing more is waiting on the socket.
    size_t tried_at = 0;
    for (;;) {
        size_t pending = buf_.size() - read_pos_;
        platform::PollItem item{sock_, platform::kPollIn, 0};
        if (tried_at == 0 || pending >= 2 * tried_at || platform::net_poll(&item, 1, 0) <= 0) {
            ParseStatus st = take_reply(out);
            if (st == ParseStatus::Complete) return true;
            if (st == ParseStatus::Invalid) return false;
            tried_at = pending > 0 ? pending : 1;
        }
        if (!receive()) return false;
    }
}

}  // namespace cli
