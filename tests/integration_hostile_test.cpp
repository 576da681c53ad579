// Integration tests of hostile clients: garbage, half-sent requests, huge
// announced lengths and connection floods must not stop the server serving
// well-behaved clients or make it hold memory it was never sent.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/resident_memory.h"
#include "support/resp_client.h"

using vtest::cmd;
using vtest::Conn;
using vtest::resident_kib;
using vtest::ServerGuard;

TEST(Hostile, GarbageAndHalfRequestsDoNotBlockOthers) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn garbage(server.port()), loris(server.port()), bulk(server.port()), good(server.port());
    std::mt19937 rng(7);
    std::string noise(20000, '\0');
    for (char& ch : noise) ch = static_cast<char>(rng() % 256);
    noise[0] = 'x';  // an inline line that never ends
    garbage.send(noise);
    loris.send("*3\r\n$3\r\nSET\r\n$1\r\nk");
    const long long before = resident_kib();
    bulk.send("*2\r\n$3\r\nGET\r\n$536870912\r\nabc");
    for (int i = 0; i < 20; ++i) ASSERT_EQ(good.call({"PING"}), "+PONG\r\n");
    const long long after = resident_kib();
    if (before > 0) {
        EXPECT_LT(after - before, 64 * 1024) << "an announced length was allocated up front";
    }
    // The half-sent request completes later and is served normally.
    loris.send("\r\n$1\r\nv\r\n");
    EXPECT_EQ(loris.read_reply(), "+OK\r\n");
    EXPECT_EQ(good.call({"GET", "k"}), "$1\r\nv\r\n");
    // Garbage with line ends is answered command by command, never crashing.
    Conn noisy(server.port());
    noisy.send("\x01\x02\xff junk\r\n*x\r\n");
    EXPECT_EQ(noisy.read_reply().substr(0, 21), "-ERR unknown command ");
    EXPECT_EQ(good.call({"PING"}), "+PONG\r\n");
}

TEST(Hostile, ConnectionFloodBeyondTheTable) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    std::vector<std::unique_ptr<Conn>> flood;
    for (int i = 0; i < 200; ++i) flood.push_back(std::make_unique<Conn>(server.port()));
    int served = 0, closed = 0;
    for (auto& c : flood) {
        c->send(cmd({"PING"}));
        std::string r = c->read_reply(3000);
        if (r == "+PONG\r\n") {
            ++served;
        } else {
            ++closed;
        }
    }
    EXPECT_EQ(served, 128);
    EXPECT_EQ(closed, 72);
    flood.clear();
    for (int attempt = 0; attempt < 50; ++attempt) {
        Conn later(server.port());
        if (later.call({"PING"}) == "+PONG\r\n") return;
        platform::sleep_ms(20);
    }
    FAIL() << "the server did not recover from the flood";
}
