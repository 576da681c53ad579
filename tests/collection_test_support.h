// collection_test_support.h — shared pieces of the hash and set integration
// tests: reply builders and readers, a log file that cleans up after itself,
// and a fixture with one server and one connection.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/resp_client.h"

namespace ctest {

inline std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }

inline std::string arr(const std::vector<std::string>& items) {
    std::string out = "*" + std::to_string(items.size()) + "\r\n";
    for (const std::string& s : items) out += bulk(s);
    return out;
}

// The first bytes of a reply, as many as the expected beginning has.
inline std::string head(const std::string& reply, const std::string& expected) {
    return reply.substr(0, expected.size());
}

// The bulk payloads of a flat array reply of bulks.
inline std::vector<std::string> bulks_of(const std::string& reply) {
    std::vector<std::string> out;
    size_t pos = reply.find("\r\n") + 2;
    while (pos < reply.size() && reply[pos] == '$') {
        const size_t eol = reply.find("\r\n", pos);
        const size_t len = std::stoul(reply.substr(pos + 1, eol - pos - 1));
        out.push_back(reply.substr(eol + 2, len));
        pos = eol + 2 + len + 2;
    }
    return out;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kNil = "$-1\r\n";
const std::string kEmpty = "$0\r\n\r\n";
const std::string kWrongType = "-WRONGTYPE Operation against a key holding the wrong kind of value\r\n";

// A log file name of this process, removed before and after the test.
struct LogFile {
    explicit LogFile(const std::string& prefix) : path(prefix + std::to_string(platform::process_id()) + ".aof") {
        std::remove(path.c_str());
    }
    ~LogFile() { std::remove(path.c_str()); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    std::string path;
};

// One server on a free loopback port and one connection to it.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        c_ = std::make_unique<vtest::Conn>(server_.port());
    }
    vtest::Conn& c() { return *c_; }
    // Sends a request built from a vector (thousands of arguments) and reads its reply.
    std::string send(const std::vector<std::string>& args) {
        c().send(vtest::cmd(args));
        return c().read_reply();
    }
    vtest::ServerGuard server_;
    std::unique_ptr<vtest::Conn> c_;
};

}  // namespace ctest
