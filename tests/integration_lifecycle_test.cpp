// Integration tests of the exported lifecycle functions.
#include <gtest/gtest.h>

#include <string>

#include "support/resp_client.h"
#include "vorel.h"

using vtest::Conn;

TEST(Lifecycle, StartStopRestartAndErrors) {
    EXPECT_STREQ(vorel_version(), "1.3.2");
    EXPECT_EQ(vorel_server_status(), 0);
    EXPECT_EQ(vorel_server_stop(), 0);

    int port = platform::net_free_port();
    ASSERT_EQ(vorel_server_start(port, nullptr, 0, nullptr), 0) << vorel_last_error();
    EXPECT_EQ(vorel_server_status(), 1);
    EXPECT_STREQ(vorel_last_error(), "");
    {
        Conn c(port);
        EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    }
    EXPECT_EQ(vorel_server_start(port + 1, nullptr, 0, nullptr), -1);
    EXPECT_STREQ(vorel_last_error(), "Server is already running");
    EXPECT_EQ(vorel_server_status(), 1);
    {
        Conn c(port);
        EXPECT_EQ(c.call({"PING"}), "+PONG\r\n") << "a refused start disturbed the running server";
    }
    EXPECT_EQ(vorel_server_stop(), 0);
    EXPECT_EQ(vorel_server_status(), 0);
    EXPECT_STREQ(vorel_last_error(), "");
    {
        Conn c(port);
        EXPECT_TRUE(!c.connected() || c.wait_closed(1000)) << "port still served after stop";
    }

    ASSERT_EQ(vorel_server_start(port, "", 0, nullptr), 0) << vorel_last_error();
    {
        Conn c(port);
        EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    }
    EXPECT_EQ(vorel_server_stop(), 0);
}

TEST(Lifecycle, BusyPortReportsBindFailure) {
    int port = platform::net_free_port();
    platform::ListenError err;
    platform::net_startup();
    platform::Socket holder = platform::net_listen(port, 4, &err);
    ASSERT_NE(holder, platform::kInvalidSocket);
    EXPECT_EQ(vorel_server_start(port, nullptr, 0, nullptr), -1);
    EXPECT_EQ(std::string(vorel_last_error()), "Failed to bind to port " + std::to_string(port));
    EXPECT_EQ(vorel_server_status(), 0);
    platform::net_close(holder);
    // Stop when not running leaves the error in place.
    EXPECT_EQ(vorel_server_stop(), 0);
    EXPECT_EQ(std::string(vorel_last_error()), "Failed to bind to port " + std::to_string(port));
}
