// Integration tests of WATCH and UNWATCH over real connections: EXEC runs
// nothing and answers a null array after every kind of change to a watched key
// (another client's write, delete, rename either way, expiry, eviction, flush, a
// host-function write, HTTP /set), and runs normally after reads or changes to
// other keys; WATCH inside MULTI is refused; EXEC, DISCARD, UNWATCH and RESET
// end the watch.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/resp_client.h"
#include "vorel.h"

using namespace vtest;

namespace {

const std::string kQueued = "+QUEUED\r\n";

// Watches `key`, lets `change` run, then runs a one-command transaction: the
// EXEC reply.
std::string watch_then_exec(Conn& c, const std::string& key, const std::function<void()>& change) {
    EXPECT_EQ(c.call({"WATCH", key}), kOk);
    change();
    EXPECT_EQ(c.call({"MULTI"}), kOk);
    EXPECT_EQ(c.call({"SET", "marker", "ran"}), kQueued);
    return c.call({"EXEC"});
}

struct Change {
    const char* what;
    std::function<void(Conn& other, int port)> run;
};

}  // namespace

TEST(Watch, EveryKindOfChangeAbortsTheTransaction) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    Conn other(server.port());
    const std::vector<Change> changes = {
        {"another client's write", [](Conn& o, int) { EXPECT_EQ(o.call({"SET", "w", "2"}), kOk); }},
        {"a write of the same value", [](Conn& o, int) { EXPECT_EQ(o.call({"SET", "w", "1"}), kOk); }},
        {"a delete", [](Conn& o, int) { EXPECT_EQ(o.call({"UNLINK", "w"}), integer(1)); }},
        {"a rename away", [](Conn& o, int) { EXPECT_EQ(o.call({"RENAME", "w", "elsewhere"}), kOk); }},
        {"a rename onto", [](Conn& o, int) {
             EXPECT_EQ(o.call({"SET", "src", "x"}), kOk);
             EXPECT_EQ(o.call({"RENAME", "src", "w"}), kOk);
         }},
        {"a list push", [](Conn& o, int) {
             EXPECT_EQ(o.call({"DEL", "w"}), integer(1));
             EXPECT_EQ(o.call({"RPUSH", "w", "x"}), integer(1));
         }},
        {"FLUSHALL", [](Conn& o, int) { EXPECT_EQ(o.call({"FLUSHALL"}), kOk); }},
        {"a host-function write", [](Conn&, int) { EXPECT_EQ(vorel_set_value("w", "host", 0), 0); }},
        {"a host-function delete", [](Conn&, int) { EXPECT_EQ(vorel_del_key("w"), 1); }},
        {"HTTP /set", [](Conn&, int port) {
             Conn web(port);
             web.send("GET /set?key=w&val=web HTTP/1.1\r\nHost: x\r\n\r\n");
             EXPECT_NE(web.read_available(3000).find(" 200 "), std::string::npos);
         }},
        {"an expiry", [](Conn& o, int) {
             EXPECT_EQ(o.call({"PEXPIRE", "w", "30"}), integer(1));
         }},
    };
    for (const Change& change : changes) {
        ASSERT_EQ(c.call({"SET", "w", "1"}), kOk);
        ASSERT_EQ(c.call({"DEL", "marker"}).substr(0, 1), ":");
        std::string reply;
        if (std::string(change.what) == "an expiry") {
            // The deadline is set before the WATCH; the key then expires on its own.
            change.run(other, server.port());
            reply = watch_then_exec(c, "w", [] { platform::sleep_ms(120); });
        } else {
            reply = watch_then_exec(c, "w", [&] { change.run(other, server.port()); });
        }
        EXPECT_EQ(reply, kNilArray) << change.what;
        EXPECT_EQ(c.call({"EXISTS", "marker"}), integer(0)) << change.what << ": the queue ran";
    }
    // RESP3 answers the null.
    EXPECT_EQ(c.call({"HELLO", "3"}).substr(0, 1), "%");
    EXPECT_EQ(watch_then_exec(c, "w", [&] { EXPECT_EQ(other.call({"SET", "w", "3"}), kOk); }), "_\r\n");
}

TEST(Watch, EvictionUnderAMemoryLimitAbortsTheTransaction) {
    ServerGuard server(nullptr, 1);
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    Conn other(server.port());
    ASSERT_EQ(c.call({"SET", "oldest", "v"}), kOk);
    const std::string reply = watch_then_exec(c, "oldest", [&] {
        const std::string big(20000, 'x');
        for (int i = 0; i < 120; ++i) ASSERT_EQ(other.call({"SET", "fill" + std::to_string(i), big}), kOk);
    });
    EXPECT_EQ(c.call({"EXISTS", "oldest"}), integer(0)) << "the watched key was not evicted";
    EXPECT_EQ(reply, kNilArray);
}

TEST(Watch, ReadsAndOtherKeysLeaveTheWatch) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    Conn other(server.port());
    ASSERT_EQ(c.call({"SET", "w", "1"}), kOk);
    const std::string reply = watch_then_exec(c, "w", [&] {
        EXPECT_EQ(other.call({"GET", "w"}), bulk("1"));
        EXPECT_EQ(other.call({"EXISTS", "w"}), integer(1));
        EXPECT_EQ(other.call({"TOUCH", "w"}), integer(1));
        EXPECT_EQ(other.call({"TYPE", "w"}), "+string\r\n");
        EXPECT_EQ(other.call({"SET", "unrelated", "v"}), kOk);
        EXPECT_EQ(other.call({"DEL", "missing"}), integer(0));
        EXPECT_EQ(vorel_set_value("host-other", "v", 0), 0);
    });
    EXPECT_EQ(reply, "*1\r\n" + kOk);
    EXPECT_EQ(c.call({"GET", "marker"}), bulk("ran"));
    // A watch on a missing key holds while it stays missing.
    EXPECT_EQ(watch_then_exec(c, "never", [] {}), "*1\r\n" + kOk);
}

TEST(Watch, CommandsThatEndOrRefuseAWatch) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    Conn other(server.port());
    EXPECT_EQ(c.call({"WATCH"}), "-ERR wrong number of arguments for 'watch' command\r\n");
    EXPECT_EQ(c.call({"MULTI"}), kOk);
    EXPECT_EQ(c.call({"WATCH", "w"}), "-ERR WATCH inside MULTI is not allowed\r\n");
    EXPECT_EQ(c.call({"SET", "w", "mine"}), kQueued);
    EXPECT_EQ(c.call({"EXEC"}), "*1\r\n" + kOk) << "a refused WATCH must not abort the transaction";

    const std::vector<std::vector<std::string>> enders = {{"UNWATCH"}, {"EXEC"}, {"DISCARD"}, {"RESET"}};
    for (const auto& ender : enders) {
        EXPECT_EQ(c.call({"WATCH", "w", "x"}), kOk);
        if (ender[0] == "EXEC" || ender[0] == "DISCARD") {
            EXPECT_EQ(c.call({"MULTI"}), kOk);
        }
        c.send(cmd(ender));
        EXPECT_NE(c.read_reply(), "") << ender[0];
        EXPECT_EQ(other.call({"SET", "w", "changed"}), kOk);
        EXPECT_EQ(c.call({"MULTI"}), kOk);
        EXPECT_EQ(c.call({"GET", "w"}), kQueued);
        EXPECT_EQ(c.call({"EXEC"}), "*1\r\n" + bulk("changed")) << ender[0] << " left the watch in place";
    }
    // The client's own write before MULTI breaks its watch too.
    EXPECT_EQ(c.call({"WATCH", "w"}), kOk);
    EXPECT_EQ(c.call({"SET", "w", "own"}), kOk);
    EXPECT_EQ(c.call({"MULTI"}), kOk);
    EXPECT_EQ(c.call({"GET", "w"}), kQueued);
    EXPECT_EQ(c.call({"EXEC"}), kNilArray);
    // A watching client that goes away leaves nothing behind for the writers.
    {
        Conn gone(server.port());
        EXPECT_EQ(gone.call({"WATCH", "w"}), kOk);
    }
    platform::sleep_ms(100);
    EXPECT_EQ(other.call({"SET", "w", "after"}), kOk);
    EXPECT_EQ(other.call({"GET", "w"}), bulk("after"));
}
