// resp_client.h — test support: a server started through the exported API on a
// free loopback port, and a blocking RESP connection that reads whole replies.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// Tests that move hundreds of MiB, or measure memory and latency, run on Linux:
// under Wine they take minutes each and their figures mean little there.
#ifdef _WIN32
#define VOREL_SKIP_HEAVY_UNDER_WINE() GTEST_SKIP() << "heavy: run on Linux only"
#else
#define VOREL_SKIP_HEAVY_UNDER_WINE() static_cast<void>(0)
#endif

namespace vtest {

// Starts the library's server on a free port; stops it when destroyed.
class ServerGuard {
public:
    explicit ServerGuard(const char* password = nullptr, int maxmemory_mb = 0, const char* aof = nullptr);
    ~ServerGuard();
    ServerGuard(const ServerGuard&) = delete;
    ServerGuard& operator=(const ServerGuard&) = delete;
    int port() const { return port_; }
    bool ok() const { return started_; }

private:
    int port_ = 0;
    bool started_ = false;
};

// The multibulk form of a request.
std::string cmd(std::initializer_list<std::string_view> args);
std::string cmd(const std::vector<std::string>& args);

class Conn {
public:
    explicit Conn(int port);
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    bool connected() const { return sock_ != platform::kInvalidSocket; }

    void send(std::string_view bytes);
    // Sends one request and returns the raw bytes of its reply.
    std::string call(std::initializer_list<std::string_view> args);
    // Reads one complete reply (any RESP2/RESP3 type, nested) as raw bytes;
    // "" on time-out or close.
    std::string read_reply(int timeout_ms = 5000);
    // Whatever arrives within the time-out (possibly nothing).
    std::string read_available(int timeout_ms);
    // True when the server closes the connection within the time-out.
    bool wait_closed(int timeout_ms = 3000);

private:
    bool fill(int timeout_ms);
    // Length of the complete reply at buf_[pos..], 0 when incomplete.
    size_t complete_length(size_t pos) const;
    platform::Socket sock_ = platform::kInvalidSocket;
    std::string buf_;
    size_t head_ = 0;  // replies before buf_[head_] were read; dropped in bulk, not per reply
    bool eof_ = false;
};

// Expected reply bytes: a bulk string, an array of bulk strings, an integer.
inline std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }
inline std::string arr(const std::vector<std::string>& items) {
    std::string out = "*" + std::to_string(items.size()) + "\r\n";
    for (const std::string& s : items) out += bulk(s);
    return out;
}
inline std::string integer(long long n) { return ":" + std::to_string(n) + "\r\n"; }
inline const std::string kOk = "+OK\r\n";
inline const std::string kNil = "$-1\r\n";
inline const std::string kNilArray = "*-1\r\n";
inline const std::string kWrongType = "-WRONGTYPE Operation against a key holding the wrong kind of value\r\n";
inline const std::string kSyntax = "-ERR syntax error\r\n";

// The number of clients parked in blocking commands, read from INFO over
// `observer`; -1 when INFO does not answer.
int parked_clients(Conn& observer);
// Sends a blocking request on `who` and returns once the server has parked it
// (the parked count seen through `observer` went up by one); false on time-out.
// A parked client's later requests wait behind it, so `who` cannot be asked.
bool send_and_park(Conn& who, Conn& observer, std::initializer_list<std::string_view> request);

}  // namespace vtest
