// Integration tests of the HTTP front end on the RESP port: every route and
// status, the three /set parameter sources, decoding, bodies arriving late,
// authentication with a password, and the size limits.
#include <gtest/gtest.h>

#include <string>

#include "support/resp_client.h"

using vtest::Conn;
using vtest::ServerGuard;

namespace {

struct Response {
    int status = 0;
    std::string headers;
    std::string body;
};

// Sends raw bytes and reads until the server closes the connection.
Response http(int port, const std::string& request) {
    Conn c(port);
    c.send(request);
    std::string raw = c.read_available(3000);
    Response r;
    size_t end = raw.find("\r\n\r\n");
    if (raw.size() < 12 || end == std::string::npos) return r;
    r.status = std::stoi(raw.substr(9, 3));
    r.headers = raw.substr(0, end + 2);
    r.body = raw.substr(end + 4);
    return r;
}

Response get(int port, const std::string& target, const std::string& extra = "") {
    return http(port, "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n");
}

Response post(int port, const std::string& target, const std::string& body, const std::string& extra = "") {
    return http(port, "POST " + target + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
                          extra + "\r\n" + body);
}

}  // namespace

TEST(Http, RoutesAndStatuses) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    const int port = server.port();
    Response health = get(port, "/health");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, "{\"status\":\"ok\"}");
    EXPECT_EQ(health.headers,
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 15\r\n"
              "Access-Control-Allow-Origin: *\r\nConnection: close\r\n");
    Response index = get(port, "/");
    EXPECT_EQ(index.status, 200);
    EXPECT_EQ(index.body.size(), 371u);
    EXPECT_NE(index.headers.find("Content-Type: text/html\r\n"), std::string::npos);
    EXPECT_EQ(get(port, "/index.html").body, index.body);
    EXPECT_EQ(get(port, "/nowhere").status, 404);
    EXPECT_EQ(post(port, "/get?key=a", "").status, 404);
    Response missing_key = get(port, "/get");
    EXPECT_EQ(missing_key.status, 400);
    EXPECT_EQ(missing_key.body, "Missing key");
    EXPECT_EQ(get(port, "/get?key=none").status, 404);

    Response set = get(port, "/set?key=a&val=hello%20world&ttl=10");
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.body, "OK");
    Response got = get(port, "/get?key=a");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, "hello world");
    EXPECT_NE(got.headers.find("Content-Type: text/plain\r\n"), std::string::npos);
    Conn c(port);
    EXPECT_EQ(c.call({"TTL", "a"}), ":10\r\n");
    EXPECT_EQ(get(port, "/set?key=only").body, "Missing key or val");
    EXPECT_EQ(get(port, "/set?key=e&val=").status, 200);
    EXPECT_EQ(c.call({"GET", "e"}), "$0\r\n\r\n");

    EXPECT_EQ(c.call({"SET", "user:1", "x"}), "+OK\r\n");
    EXPECT_EQ(get(port, "/keys?pattern=user:*").body, "[\"user:1\"]");
    std::string all = get(port, "/keys").body;
    EXPECT_NE(all.find("\"a\""), std::string::npos);
    EXPECT_NE(all.find("\"user:1\""), std::string::npos);
    std::string stats = get(port, "/stats").body;
    EXPECT_EQ(stats.substr(0, 15), "{\"ops_per_sec\":");
    EXPECT_NE(stats.find("\"total_keys\":3,"), std::string::npos) << stats;

    // Other methods are not HTTP here: the line is an inline command.
    c.send("PUT /x HTTP/1.1\r\n");
    EXPECT_EQ(c.read_reply(), "-ERR unknown command 'PUT'\r\n");
}

TEST(Http, SetParameterSourcesAndDecoding) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    const int port = server.port();
    Conn c(port);
    EXPECT_EQ(post(port, "/set", "{\"key\": \"k\", \"value\": \"v\\n\", \"ttl\": 5}").status, 200);
    EXPECT_EQ(c.call({"GET", "k"}), "$2\r\nv\n\r\n");
    EXPECT_EQ(c.call({"TTL", "k"}), ":5\r\n");
    EXPECT_EQ(post(port, "/set", "{\"key\": \"s\", \"value\": \"v\", \"ttl\": \"5\"}").status, 200);
    EXPECT_EQ(c.call({"TTL", "s"}), ":-1\r\n");
    EXPECT_EQ(post(port, "/set", "{\"key\":\"u\",\"value\":\"\\u0041\\t\\\"q\\\\\"}").status, 200);
    EXPECT_EQ(c.call({"GET", "u"}), "$5\r\nA\t\"q\\\r\n");
    EXPECT_EQ(post(port, "/set", "key=f&val=a+b%2Bc%zz").status, 200);
    EXPECT_EQ(c.call({"GET", "f"}), "$8\r\na b+c%zz\r\n");
    EXPECT_EQ(post(port, "/set?key=q", "val=fromform").status, 200);
    EXPECT_EQ(c.call({"GET", "q"}), "$8\r\nfromform\r\n");

    // The body arrives after the headers, in another segment.
    Conn late(port);
    std::string body = "key=late&val=1";
    late.send("POST /set HTTP/1.1\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n");
    EXPECT_EQ(late.read_available(150), "");
    late.send(body.substr(0, 5));
    EXPECT_EQ(late.read_available(150), "");
    late.send(body.substr(5));
    std::string raw = late.read_available(2000);
    EXPECT_EQ(raw.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(c.call({"GET", "late"}), "$1\r\n1\r\n");
}

TEST(Http, PasswordProtectsDataRoutes) {
    ServerGuard server("pw");
    ASSERT_TRUE(server.ok());
    const int port = server.port();
    EXPECT_EQ(get(port, "/health").status, 200);
    EXPECT_EQ(get(port, "/").status, 200);
    for (const char* target : {"/get?key=a", "/keys", "/stats", "/set?key=a&val=b"}) {
        Response r = get(port, target);
        EXPECT_EQ(r.status, 401) << target;
        EXPECT_NE(r.headers.find("WWW-Authenticate: Basic realm=\"vorel\"\r\n"), std::string::npos);
    }
    EXPECT_EQ(get(port, "/keys", "Authorization: Bearer wrong\r\n").status, 401);
    EXPECT_EQ(get(port, "/set?key=a&val=b", "Authorization: Bearer pw\r\n").status, 200);
    // "default:pw" in base64.
    Response basic = get(port, "/get?key=a", "Authorization: Basic ZGVmYXVsdDpwdw==\r\n");
    EXPECT_EQ(basic.status, 200);
    EXPECT_EQ(basic.body, "b");
    // "other:pw"
    EXPECT_EQ(get(port, "/get?key=a", "Authorization: Basic b3RoZXI6cHc=\r\n").status, 401);
}

TEST(Http, LimitsAreEnforcedWithoutBuffering) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    const int port = server.port();
    Conn c(port);
    // Past the body limit: refused as soon as the headers are in.
    Conn huge(port);
    huge.send("POST /set HTTP/1.1\r\nContent-Length: 100000000\r\n\r\nkey=a&val=");
    std::string raw = huge.read_available(2000);
    EXPECT_EQ(raw.substr(0, 30), "HTTP/1.1 413 Payload Too Large");
    EXPECT_TRUE(huge.wait_closed());
    // A value larger than the route takes: refused, nothing stored, not truncated.
    std::string big(2 << 20, 'x');
    EXPECT_EQ(post(port, "/set", "key=big&val=" + big).status, 413);
    EXPECT_EQ(c.call({"EXISTS", "big"}), ":0\r\n");
    std::string fine(100000, 'y');
    EXPECT_EQ(post(port, "/set", "key=fine&val=" + fine).status, 200);
    EXPECT_EQ(get(port, "/get?key=fine").body, fine);
    // Headers that never end.
    Conn endless(port);
    endless.send("GET /health HTTP/1.1\r\n" + std::string(70000, 'h'));
    raw = endless.read_available(2000);
    EXPECT_EQ(raw.substr(0, 12), "HTTP/1.1 431");
}
