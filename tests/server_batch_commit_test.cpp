// Unit tests of the batch commit: a received batch's records are written
// together before its replies, and a failed write turns the reply of every
// request whose records were lost into the log error, leaving the others.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "commands/command.h"

namespace {

const std::string kWriteFailed =
    "-ERR append-only file write failed: the change was applied in memory but not persisted\r\n";

std::string req(std::initializer_list<std::string_view> args) {
    std::string out = "*" + std::to_string(args.size()) + "\r\n";
    for (std::string_view a : args) out += "$" + std::to_string(a.size()) + "\r\n" + std::string(a) + "\r\n";
    return out;
}

// A server with a log at path and one client with a real (idle) socket.
struct Harness {
    explicit Harness(const char* log_path) {
        srv.keyspace = dict_create(0);
        srv.log.set_path(log_path);
        srv.log.open(true);
        platform::ListenError err = platform::ListenError::None;
        client.sock = platform::net_listen(platform::net_free_port(), 1, &err);
    }
    ~Harness() {
        platform::net_close(client.sock);
        client.sock = platform::kInvalidSocket;
        srv.log.close();
        dict_destroy(srv.keyspace);
        srv.keyspace = nullptr;
    }
    std::string feed(const std::string& bytes) {
        ServerLock lock(srv.lock);
        EXPECT_TRUE(connection_feed(srv, &client, bytes.data(), bytes.size()));
        std::string out(client.out.unsent(), client.out.pending());
        client.out.consume(client.out.pending());
        return out;
    }
    Server srv;
    Client client;
};

}  // namespace

TEST(BatchCommit, FailedWriteTurnsOnlyTheLoggedRepliesIntoTheLogError) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    Harness h("/dev/full");
    ASSERT_NE(h.client.sock, platform::kInvalidSocket);
    const std::string batch = req({"SET", "a", "1"}) + req({"GET", "a"}) + req({"PING"}) + req({"MULTI"}) +
                              req({"INCR", "n"}) + req({"EXEC"}) + req({"SET", "b", "2"}) + req({"GET", "zz"});
    // Inside EXEC the write's own slot answers the error; the array stays.
    EXPECT_EQ(h.feed(batch), kWriteFailed + "$1\r\n1\r\n+PONG\r\n+OK\r\n+QUEUED\r\n*1\r\n" + kWriteFailed +
                                 kWriteFailed + "$-1\r\n");
}

TEST(BatchCommit, BatchRecordsReachTheFileBeforeTheRepliesAreTaken) {
    const std::string path = "vorel_batch_" + std::to_string(platform::process_id()) + ".aof";
    std::filesystem::remove(path);
    {
        Harness h(path.c_str());
        EXPECT_EQ(h.feed(req({"SET", "a", "1"}) + req({"get", "a"}) + req({"Set", "b", "2"})),
                  "+OK\r\n$1\r\n1\r\n+OK\r\n");
        EXPECT_EQ(std::filesystem::file_size(path), (req({"SET", "a", "1"}) + req({"Set", "b", "2"})).size());
        EXPECT_FALSE(h.srv.log.has_staged());
    }
    std::filesystem::remove(path);
}
