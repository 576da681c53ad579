// parking_fixture.h — test support: a fixture with a server, a main connection
// and an observer connection through which a test waits for its blocking
// requests to be parked.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "support/resp_client.h"

namespace vtest {

class ParkingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        c_ = std::make_unique<Conn>(server_.port());
        observer_ = std::make_unique<Conn>(server_.port());
    }
    Conn& c() { return *c_; }
    std::unique_ptr<Conn> connect() { return std::make_unique<Conn>(server_.port()); }
    // Sends a blocking request and returns once the server has parked it.
    void park(Conn& who, std::initializer_list<std::string_view> request) {
        ASSERT_TRUE(send_and_park(who, *observer_, request));
    }
    ServerGuard server_;
    std::unique_ptr<Conn> c_;
    std::unique_ptr<Conn> observer_;
};

}  // namespace vtest
