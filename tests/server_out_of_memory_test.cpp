// server_out_of_memory_test.cpp — commands whose keyspace work runs out of memory
// answer the out-of-memory error, never a reply that stands for something else
// (a missing key, "not copied"). Each command is run through the dispatcher
// with the n-th allocation failing (support/failing_allocator.h), n = 0, 1, ...
// until it succeeds.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "commands/command.h"
#include "server/server.h"
#include "support/failing_allocator.h"

namespace {

const std::string kOutOfMemory = "-ERR out of memory\r\n";

// A server without a socket or a log; requests go through the dispatcher.
class OutOfMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_.keyspace = dict_create(0);
        client_.authenticated = 1;
        client_.sock = -2;  // not a descriptor: replies stay in the writer
    }
    void TearDown() override {
        client_.sock = platform::kInvalidSocket;
        dict_destroy(server_.keyspace);
    }

    // Runs the request with the n-th allocation from here failing (n < 0: none).
    std::string run(std::vector<std::string> args, int64_t fail_at = -1) {
        std::vector<char*> argv;
        std::vector<uint64_t> lens;
        for (std::string& a : args) {
            argv.push_back(a.data());
            lens.push_back(a.size());
        }
        {
            FailAllocation failing(fail_at);
            dispatch_command(server_, &client_, static_cast<int>(argv.size()), argv.data(), lens.data(),
                             Origin::Network);
        }
        commit_batch(server_);
        std::string reply(client_.out.unsent(), client_.out.pending());
        client_.out.clear();
        return reply;
    }

    // Fails each allocation of the request in turn until it succeeds: every
    // failed run must answer the out-of-memory error. Returns the failed runs.
    int64_t expect_out_of_memory_until(const std::vector<std::string>& request, const std::string& success) {
        for (int64_t n = 0; n < 10000; n++) {
            const std::string reply = run(request, n);
            if (reply == success) return n;
            EXPECT_EQ(reply, kOutOfMemory) << request[0] << " with allocation " << n << " failing";
        }
        ADD_FAILURE() << request[0] << " never succeeded";
        return 0;
    }

    Server server_;
    Client client_;
};

}  // namespace

// A copy of a container allocates its payload inside the keyspace; a failure
// there used to answer :-1, the reply of a missing source.
TEST_F(OutOfMemoryTest, CopyAnswersTheOutOfMemoryError) {
    ASSERT_EQ(run({"SADD", "s", "a", "b", "c"}), ":3\r\n");
    EXPECT_GT(expect_out_of_memory_until({"COPY", "s", "d"}, ":1\r\n"), 0);
    EXPECT_EQ(run({"SCARD", "d"}), ":3\r\n");
    EXPECT_EQ(run({"COPY", "missing", "e"}), ":0\r\n");
}

// A rename of a key with a deadline moves its place in the expiry index; a
// failure there used to answer "no such key" for a key that exists.
TEST_F(OutOfMemoryTest, RenameAnswersTheOutOfMemoryError) {
    ASSERT_EQ(run({"SET", "k", "v", "EX", "100"}), "+OK\r\n");
    EXPECT_GT(expect_out_of_memory_until({"RENAME", "k", "k2"}, "+OK\r\n"), 0);
    EXPECT_EQ(run({"GET", "k2"}), "$1\r\nv\r\n");
    EXPECT_EQ(run({"RENAME", "missing", "x"}), "-ERR no such key\r\n");
}

// A new key made by a range or bit write is linked into the eviction index
// (kept while a memory limit is set); a failure there used to answer the
// size-limit error and the bit-offset error.
TEST_F(OutOfMemoryTest, RangeAndBitWritesAnswerTheOutOfMemoryError) {
    dict_set_max_memory(server_.keyspace, 64);
    EXPECT_GT(expect_out_of_memory_until({"SETRANGE", "r", "3", "abc"}, ":6\r\n"), 0);
    EXPECT_EQ(run({"GET", "r"}), std::string("$6\r\n\0\0\0abc\r\n", 12));
    EXPECT_GT(expect_out_of_memory_until({"SETBIT", "b", "7", "1"}, ":0\r\n"), 0);
    EXPECT_EQ(run({"GETBIT", "b", "7"}), ":1\r\n");
}
