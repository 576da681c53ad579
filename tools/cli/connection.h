// connection.h — vorel-cli: a connection to the server that sends requests and
// hands back whole replies; blocking for commands typed or given on the command
// line, non-blocking for the pipelined mass load.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "tools/cli/resp_reply.h"

namespace cli {

class Connection {
public:
    Connection(const std::string& host, int port);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const { return sock_ != platform::kInvalidSocket; }
    platform::Socket socket() const { return sock_; }
    // Why the last call failed ("connection closed by the server", ...).
    const std::string& error() const { return error_; }

    // Blocking: sends every byte; false on failure.
    bool send_all(std::string_view bytes);
    // Blocking: waits for the next whole reply; false on close or garbage.
    bool read_reply(Reply* out);

    // One receive into the buffer: true when bytes arrived or none were ready
    // (non-blocking socket); false on close or error.
    bool receive();
    // Takes the next whole reply out of what has arrived.
    ParseStatus take_reply(Reply* out);

private:
    platform::Socket sock_ = platform::kInvalidSocket;
    std::string buf_;
    size_t read_pos_ = 0;  // start of the unparsed bytes in buf_
    std::string error_;
};

}  // namespace cli
