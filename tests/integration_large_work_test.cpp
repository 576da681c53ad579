// Integration tests of large but legitimate work and of the settings behind the
// limits: replies of hundreds of MiB to a client that reads them, the grace
// period of one that does not, CONFIG maxmemory in bytes, passwords of any
// length over RESP and HTTP, and how HTTP finds a request's body.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/resp_client.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }

std::string config_value(Conn& c, const std::string& name) {
    const std::string reply = c.call({"CONFIG", "GET", name});
    const size_t at = reply.find("\r\n$", 4 + name.size());
    const size_t start = reply.find("\r\n", at + 3);
    return reply.substr(start + 2, reply.size() - start - 4);
}

long long info_number(Conn& c, const std::string& field) {
    const std::string info = c.call({"INFO"});
    const size_t at = info.find("\r\n" + field + ":");
    return at == std::string::npos ? -1 : std::atoll(info.c_str() + at + field.size() + 3);
}

// A value that is not one repeated byte, so a shifted or cut copy differs.
std::string patterned(size_t size) {
    std::string v(size, '\0');
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return v;
}

// Sends raw bytes and reads until the server closes the connection.
std::string http(int port, const std::string& request) {
    Conn c(port);
    c.send(request);
    return c.read_available(3000);
}

int status_of(const std::string& response) { return response.size() >= 12 ? std::stoi(response.substr(9, 3)) : 0; }

}  // namespace

// ---- Large replies -------------------------------------------------------------

TEST(LargeWork, A300MiBValueMakesTheRoundTrip) {
    VOREL_SKIP_HEAVY_UNDER_WINE();
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    std::string value = patterned(size_t(300) << 20);
    c.send(cmd({"SET", "big", value}));
    ASSERT_EQ(c.read_reply(60000), "+OK\r\n");
    c.send(cmd({"GET", "big"}));
    const std::string reply = c.read_reply(60000);
    const std::string expected = bulk(value);
    ASSERT_EQ(reply.size(), expected.size());
    EXPECT_TRUE(reply == expected) << "the value came back changed";
    EXPECT_EQ(c.call({"STRLEN", "big"}), ":314572800\r\n");
}

TEST(LargeWork, ThreePipelinedGetsOf100MiB) {
    VOREL_SKIP_HEAVY_UNDER_WINE();
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    const std::string value = patterned(size_t(100) << 20);
    c.send(cmd({"SET", "v", value}));
    ASSERT_EQ(c.read_reply(30000), "+OK\r\n");
    c.send(cmd({"GET", "v"}) + cmd({"GET", "v"}) + cmd({"GET", "v"}));
    const std::string expected = bulk(value);
    for (int i = 0; i < 3; ++i) {
        const std::string reply = c.read_reply(60000);
        ASSERT_EQ(reply.size(), expected.size()) << i;
        EXPECT_TRUE(reply == expected) << i;
    }
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
}

TEST(LargeWork, AClientThatNeverReadsIsClosedAfterTheGracePeriod) {
    VOREL_SKIP_HEAVY_UNDER_WINE();
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn admin(server.port()), hog(server.port());
    admin.send(cmd({"SET", "big", std::string(size_t(300) << 20, 'x')}));
    ASSERT_EQ(admin.read_reply(60000), "+OK\r\n");
    hog.send(cmd({"GET", "big"}));  // 300 MiB of reply, above the 256 MiB limit, never read
    platform::sleep_ms(5000);
    EXPECT_EQ(info_number(admin, "connected_clients"), 2) << "closed before its grace period ended";
    long long clients = 2;
    for (int i = 0; i < 100 && clients == 2; ++i) {
        platform::sleep_ms(100);
        clients = info_number(admin, "connected_clients");
    }
    EXPECT_EQ(clients, 1) << "still connected 15 s after passing its limit";
}

// ---- CONFIG maxmemory ------------------------------------------------------------

TEST(MemoryLimitConfig, SizesInBytesWithUnits) {
    ServerGuard server(nullptr, 5);
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    // The start-up megabytes read back as bytes, and setting them back changes nothing.
    EXPECT_EQ(config_value(c, "maxmemory"), "5242880");
    EXPECT_EQ(c.call({"CONFIG", "SET", "maxmemory", config_value(c, "maxmemory")}), "+OK\r\n");
    EXPECT_EQ(info_number(c, "maxmemory"), 5242880);
    struct Case {
        const char* given;
        const char* kept;
    };
    for (const Case& k : {Case{"100kb", "102400"}, Case{"2MB", "2097152"}, Case{"1g", "1073741824"},
                          Case{"3Gb", "3221225472"}, Case{"500000", "500000"}, Case{"7k", "7168"}, Case{"0", "0"}}) {
        EXPECT_EQ(c.call({"CONFIG", "SET", "maxmemory", k.given}), "+OK\r\n") << k.given;
        EXPECT_EQ(config_value(c, "maxmemory"), k.kept) << k.given;
        EXPECT_EQ(std::to_string(info_number(c, "maxmemory")), k.kept) << k.given;
    }
    EXPECT_EQ(c.call({"CONFIG", "SET", "maxmemory", "1mb"}), "+OK\r\n");
    for (const char* bad : {"abc", "-1", "12x", "", "1.5mb", "99999999999999999999", "20000000000gb"}) {
        EXPECT_EQ(c.call({"CONFIG", "SET", "maxmemory", bad}).substr(0, 22), "-ERR Invalid argument ") << bad;
        EXPECT_EQ(config_value(c, "maxmemory"), "1048576") << bad;
    }
    // A rejected pair leaves the other pairs of the command unapplied too.
    EXPECT_EQ(c.call({"CONFIG", "SET", "timeout", "0"}), "+OK\r\n");
    EXPECT_EQ(c.call({"CONFIG", "SET", "timeout", "7", "maxmemory", "bad"}).substr(0, 5), "-ERR ");
    EXPECT_EQ(config_value(c, "timeout"), "0");
}

TEST(MemoryLimitConfig, ALimitBelowOneMiBIsARealLimit) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"CONFIG", "SET", "maxmemory", "200kb"}), "+OK\r\n");
    const std::string value(10000, 'v');
    for (int i = 0; i < 100; ++i) ASSERT_EQ(c.call({"SET", "k" + std::to_string(i), value}), "+OK\r\n");
    EXPECT_LE(info_number(c, "used_memory"), 200 * 1024);
    const long long keys = std::atoll(c.call({"DBSIZE"}).c_str() + 1);
    EXPECT_GT(keys, 5);
    EXPECT_LT(keys, 21) << "a limit below 1 MiB did not evict";
    EXPECT_EQ(c.call({"EXISTS", "k99"}), ":1\r\n");
    EXPECT_EQ(c.call({"CONFIG", "SET", "maxmemory", "0"}), "+OK\r\n");
    for (int i = 0; i < 100; ++i) ASSERT_EQ(c.call({"SET", "k" + std::to_string(i), value}), "+OK\r\n");
    EXPECT_EQ(c.call({"DBSIZE"}), ":100\r\n");
}

// ---- Long passwords ---------------------------------------------------------------

TEST(LongPassword, ThreeHundredBytesKeptWholeOverRespAndHttp) {
    std::string password;
    for (int i = 0; i < 300; ++i) password += static_cast<char>('A' + i % 26);
    ServerGuard server(password.c_str());
    ASSERT_TRUE(server.ok());
    const std::string wrongpass = "-WRONGPASS invalid username-password pair or user is disabled.\r\n";
    Conn c(server.port());
    EXPECT_EQ(c.call({"AUTH", password.substr(0, 255)}), wrongpass) << "a prefix of the password was taken";
    EXPECT_EQ(c.call({"AUTH", password}), "+OK\r\n");
    EXPECT_EQ(config_value(c, "requirepass"), password);
    const std::string get = "GET /get?key=k HTTP/1.1\r\nAuthorization: Bearer ";
    EXPECT_EQ(c.call({"SET", "k", "v"}), "+OK\r\n");
    EXPECT_EQ(status_of(http(server.port(), get + password + "\r\n\r\n")), 200);
    EXPECT_EQ(status_of(http(server.port(), get + password.substr(0, 255) + "\r\n\r\n")), 401);

    // Set at run time, equally whole.
    const std::string next = password + "-next";
    EXPECT_EQ(c.call({"CONFIG", "SET", "requirepass", next}), "+OK\r\n");
    Conn d(server.port());
    EXPECT_EQ(d.call({"AUTH", password}), wrongpass);
    EXPECT_EQ(d.call({"AUTH", next}), "+OK\r\n");
    EXPECT_EQ(status_of(http(server.port(), get + next + "\r\n\r\n")), 200);
    EXPECT_EQ(c.call({"CONFIG", "SET", "requirepass", ""}), "+OK\r\n");
}

// ---- HTTP bodies ------------------------------------------------------------------

TEST(HttpBody, ContentLengthComesFromItsHeaderLineOnly) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    const int port = server.port();
    Conn c(port);
    struct Case {
        const char* what;
        std::string request;
        int status;
        const char* stored;  // the value of key "k" afterwards, or nullptr for none
    };
    const std::vector<Case> cases = {
        {"a length in the query string is no header", "POST /set?key=k&val=q&content-length:40 HTTP/1.1\r\n\r\n", 200,
         "q"},
        {"a length in another header's value is no header",
         "POST /set?key=k&val=h HTTP/1.1\r\nX-Note: content-length: 40\r\n\r\n", 200, "h"},
        {"a body without a length is not read", "POST /set?key=k HTTP/1.1\r\n\r\nval=unread", 411, nullptr},
        {"a body given with its length", "POST /set HTTP/1.1\r\nContent-Length: 11\r\n\r\nkey=k&val=b", 200, "b"},
        {"only the announced bytes are the body", "POST /set HTTP/1.1\r\nCONTENT-LENGTH:  11 \r\n\r\nkey=k&val=cXYZ",
         200, "c"},
        {"a GET needs no length", "GET /set?key=k&val=g HTTP/1.1\r\n\r\n", 200, "g"},
        {"an empty announced body", "POST /set?key=k HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 400, nullptr},
        {"a length that is not a number", "POST /set HTTP/1.1\r\nContent-Length: 1x\r\n\r\nkey=k&val=n", 400, nullptr},
    };
    for (const Case& k : cases) {
        c.call({"DEL", "k"});
        EXPECT_EQ(status_of(http(port, k.request)), k.status) << k.what;
        EXPECT_EQ(c.call({"GET", "k"}), k.stored ? bulk(k.stored) : "$-1\r\n") << k.what;
    }
}

TEST(HttpBody, AnUnauthorizedRequestIsAnsweredWithoutItsBody) {
    ServerGuard server("pw");
    ASSERT_TRUE(server.ok());
    const int port = server.port();
    // A body larger than a connection without credentials may buffer is not
    // waited for: the answer does not depend on it.
    Conn big(port);
    big.send("POST /set HTTP/1.1\r\nContent-Length: 4000000\r\n\r\nkey=k&val=");
    const std::string raw = big.read_available(2000);
    EXPECT_EQ(status_of(raw), 401);
    // With credentials, a body of a few MiB is read whole.
    const std::string value(700000, 'w');
    const std::string body = "key=k&val=" + value;
    EXPECT_EQ(status_of(http(port, "POST /set HTTP/1.1\r\nAuthorization: Bearer pw\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body)),
              200);
    Conn c(port);
    EXPECT_EQ(c.call({"AUTH", "pw"}), "+OK\r\n");
    EXPECT_EQ(c.call({"STRLEN", "k"}), ":700000\r\n");
}
