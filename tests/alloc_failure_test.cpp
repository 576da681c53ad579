// Allocation failures inside the exported functions: this program replaces the
// global allocator so that the n-th allocation of the calling thread fails, and
// walks n through every allocation each function makes. Every call must return
// either its success value or its failure value with the reason set, and the
// host (this process) must keep running with a working server afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "support/resp_client.h"
#include "vorel.h"

namespace {

// Allocations left before the one that fails on this thread; -1 = none fails.
thread_local long t_countdown = -1;
thread_local bool t_failed = false;

void* allocate(std::size_t size) {
    if (t_countdown >= 0 && t_countdown-- == 0) {
        t_failed = true;
        throw std::bad_alloc();
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

const char* const kOutOfMemory = "out of memory";

// Runs call with the n-th allocation failing, for n = 0, 1, ... until a run
// makes no more allocations than n. check(result, failed) sees each result
// after the allocator is back to normal.
template <typename Call, typename Check>
void at_every_failure_point(Call call, Check check) {
    for (long n = 0; n < 100000; ++n) {
        t_failed = false;
        t_countdown = n;
        auto result = call();
        t_countdown = -1;
        const bool failed = t_failed;
        check(result, failed, n);
        if (!failed) return;
    }
    ADD_FAILURE() << "the call never ran to its end";
}

std::string log_path() { return "vorel_alloc_" + std::to_string(platform::process_id()) + ".aof"; }

void write_log(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string records = vtest::cmd({"SET", "a", "1"}) + vtest::cmd({"RPUSH", "l", "x", "y"}) +
                                vtest::cmd({"HSET", "h", "f", "v"}) + vtest::cmd({"ZADD", "z", "1", "m"}) +
                                vtest::cmd({"SADD", "s", "m"});
    std::fwrite(records.data(), 1, records.size(), f);
    std::fclose(f);
}

}  // namespace

TEST(AllocationFailure, StartFailsCleanlyAtEveryAllocation) {
    const std::string path = log_path();
    write_log(path);
    const int port = platform::net_free_port();
    at_every_failure_point([&] { return vorel_server_start(port, "pw", 64, path.c_str()); },
                           [&](int r, bool failed, long n) {
                               if (r == 0) {
                                   EXPECT_EQ(vorel_server_status(), 1);
                                   vorel_server_stop();
                                   return;
                               }
                               EXPECT_EQ(r, -1);
                               EXPECT_TRUE(failed) << "failure without an injected one at " << n;
                               const std::string why = vorel_last_error();
                               EXPECT_TRUE(why == kOutOfMemory || why == "Failed to allocate in-memory dictionary" ||
                                           why == "Failed to create server worker thread")
                                   << "at allocation " << n << ": " << why;
                               EXPECT_EQ(vorel_server_status(), 0);
                           });
    // The port and the log were left usable by every failed start.
    ASSERT_EQ(vorel_server_start(port, nullptr, 0, path.c_str()), 0) << vorel_last_error();
    vtest::Conn c(port);
    EXPECT_EQ(c.call({"LRANGE", "l", "0", "-1"}), "*2\r\n$1\r\nx\r\n$1\r\ny\r\n");
    vorel_server_stop();
    std::remove(path.c_str());
}

TEST(AllocationFailure, HostFunctionsReportInsteadOfAborting) {
    const std::string path = log_path();
    std::remove(path.c_str());
    vtest::ServerGuard server(nullptr, 0, path.c_str());
    ASSERT_TRUE(server.ok());
    const std::string big(100000, 'v');
    ASSERT_EQ(vorel_set_value("seed", big.c_str(), 100), 0);

    auto expect_int = [](int success_min, int failure) {
        return [=](int r, bool failed, long n) {
            if (r >= success_min) return;
            EXPECT_EQ(r, failure) << "at allocation " << n;
            EXPECT_TRUE(failed);
            EXPECT_STREQ(vorel_last_error(), kOutOfMemory) << "at allocation " << n;
        };
    };
    auto expect_text = [](const char* failure) {
        return [=](const char* r, bool failed, long n) {
            ASSERT_NE(r, nullptr) << "at allocation " << n;
            if (!failed || std::strcmp(r, failure) != 0) return;
            EXPECT_STREQ(vorel_last_error(), kOutOfMemory) << "at allocation " << n;
        };
    };
    at_every_failure_point([&] { return vorel_set_value("k", big.c_str(), 50); }, expect_int(0, -1));
    at_every_failure_point([&] { return vorel_set_value("fresh", "x", 0); }, expect_int(0, -1));
    at_every_failure_point([] { return vorel_get_keys_json("*"); }, expect_text("[]"));
    at_every_failure_point([] { return vorel_get_stats_json(); }, expect_text("{}"));
    at_every_failure_point([] { return vorel_key_info("seed"); }, expect_text(""));
    at_every_failure_point([] { return vorel_last_error(); }, [](const char* r, bool, long) { EXPECT_NE(r, nullptr); });
    at_every_failure_point([] { return vorel_get_value("seed"); },
                           [&](const char* r, bool failed, long n) {
                               if (r != nullptr) {
                                   EXPECT_EQ(std::string(r), big);
                                   return;
                               }
                               EXPECT_TRUE(failed) << "a missing value without a failure at " << n;
                               EXPECT_STREQ(vorel_last_error(), kOutOfMemory);
                           });
    at_every_failure_point([] { return vorel_del_key("fresh"); }, expect_int(0, -1));

    // The host keeps running and so does the server: over the wire and through
    // the host functions.
    vtest::Conn c(server.port());
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    EXPECT_EQ(c.call({"STRLEN", "seed"}), ":100000\r\n");
    EXPECT_EQ(vorel_set_value("after", "1", 0), 0);
    EXPECT_STREQ(vorel_get_value("after"), "1");
    std::remove(path.c_str());
}
