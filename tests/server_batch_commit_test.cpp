// Unit tests of how a received batch is served: its records are written
// together before its replies, a failed write turns the reply of every request
// whose records were lost into the log error, leaving the others, and what the
// batch reuses from one request to the next (the last command's table entry, a
// key's hash worked out for its cache hint) never answers for other bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "commands/command.h"

namespace {

const std::string kWriteFailed =
    "-ERR append-only file write failed: the change was applied in memory but not persisted\r\n";

template <typename Args>
std::string req_of(const Args& args) {
    std::string out = "*" + std::to_string(args.size()) + "\r\n";
    for (std::string_view a : args) out += "$" + std::to_string(a.size()) + "\r\n" + std::string(a) + "\r\n";
    return out;
}

std::string req(std::initializer_list<std::string_view> args) { return req_of(args); }

// A server with a log at path (none for nullptr) and one client with a real
// (idle) socket.
struct Harness {
    explicit Harness(const char* log_path) {
        srv.keyspace = dict_create(0);
        if (log_path != nullptr) {
            srv.log.set_path(log_path);
            srv.log.open(true);
        }
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

// The dispatcher reuses the last command's table entry for a name of the same
// bytes. Names of the same length, a prefix, an extension, another case and a
// name cut short by a NUL must each be looked up for themselves.
TEST(BatchReuse, OnlyTheSameNameBytesReuseTheLastCommand) {
    Harness h(nullptr);
    ASSERT_NE(h.client.sock, platform::kInvalidSocket);
    const struct {
        std::string request;
        std::string reply;
    } steps[] = {
        {req({"SET", "k", "v"}), "+OK\r\n"},
        {req({"GET", "k"}), "$1\r\nv\r\n"},
        {req({"GEX", "k"}), "-ERR unknown command 'GEX'\r\n"},
        {req({"GE", "k"}), "-ERR unknown command 'GE'\r\n"},
        {req({"GETX", "k"}), "-ERR unknown command 'GETX'\r\n"},
        {req({"get", "k"}), "$1\r\nv\r\n"},
        {req({"get"}), "-ERR wrong number of arguments for 'get' command\r\n"},
        {req({"STRLEN", "k"}), ":1\r\n"},
        {req({"GET", "k"}), "$1\r\nv\r\n"},
        {req({std::string_view("GET\0X", 5), "k"}), "$1\r\nv\r\n"},
        {req({std::string_view("GET\0Y", 5), "k"}), "$1\r\nv\r\n"},
        {req({"DEL", "k"}), ":1\r\n"},
        {req({"GET", "k"}), "$-1\r\n"},
    };
    std::string batch;
    std::string replies;
    for (const auto& s : steps) {
        batch += s.request;
        replies += s.reply;
    }
    // Once as one pipelined batch, once a request at a time.
    EXPECT_EQ(h.feed(batch), replies);
    for (const auto& s : steps) EXPECT_EQ(h.feed(s.request), s.reply) << s.request;
}

// A pipelined request's lookup takes the hash its key's hint worked out, matched
// by the key's address in the input. The input is reused once the batch is
// served: a later lone request (which is not hinted) with another key of the
// same length at the same place must hash its own key.
TEST(BatchReuse, ALoneRequestAtAnEarlierKeysPlaceLooksUpItsOwnKey) {
    Harness h(nullptr);
    ASSERT_NE(h.client.sock, platform::kInvalidSocket);
    EXPECT_EQ(h.feed(req({"SET", "bbbb", "2"})), "+OK\r\n");
    for (int round = 0; round < 4; ++round) {
        // The first request's key is hinted and lent its hash; PING has none.
        EXPECT_EQ(h.feed(req({"SET", "aaaa", "1"}) + req({"PING"})), "+OK\r\n+PONG\r\n");
        // "GET bbbb" puts its key where "SET aaaa" had it.
        EXPECT_EQ(h.feed(req({"GET", "bbbb"})), "$1\r\n2\r\n");
        EXPECT_EQ(h.feed(req({"GET", "aaaa"})), "$1\r\n1\r\n");
    }
}

// The framing of a batch terminates each complete argument in place as it finds
// it, before it knows the request is complete, and a batch holds a bounded
// number of arguments. A batch cut at any byte, and requests that together hold
// more arguments than one batch takes, must be answered as if framed whole.
TEST(BatchFraming, ABatchCutAnywhereOrPastOneBatchsRoomIsAnsweredInFull) {
    Harness h(nullptr);
    ASSERT_NE(h.client.sock, platform::kInvalidSocket);
    const std::string value(120, 'x');
    const std::string batch = req({"SET", "key:1", "value-one"}) + req({"GET", "key:1"}) + req({"SET", "k2", value}) +
                              req({"GET", "k2"}) + req({"DEL", "key:1", "k2"});
    const std::string replies = "+OK\r\n$9\r\nvalue-one\r\n+OK\r\n$120\r\n" + value + "\r\n:2\r\n";
    EXPECT_EQ(h.feed(batch), replies);
    for (size_t cut = 1; cut < batch.size(); ++cut) {
        std::string got = h.feed(batch.substr(0, cut));
        got += h.feed(batch.substr(cut));
        EXPECT_EQ(got, replies) << "cut after byte " << cut;
    }

    std::vector<std::string> push = {"RPUSH", "list"};
    for (int i = 0; i < 998; ++i) push.push_back("v" + std::to_string(i));
    std::string pushes;
    std::string counts;
    for (int i = 1; i <= 5; ++i) {
        pushes += req_of(push);
        counts += ":" + std::to_string(998 * i) + "\r\n";
    }
    EXPECT_EQ(h.feed(pushes + req({"LINDEX", "list", "-1"})), counts + "$4\r\nv997\r\n");
}
