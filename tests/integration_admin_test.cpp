// Integration tests of the administration commands: CLIENT, CONFIG (and its
// effect on eviction and the password), INFO, OBJECT, DBSIZE, FLUSHALL and the
// fixed-answer commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/resp_client.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }

// The body of a bulk reply.
std::string body(const std::string& reply) { return reply.substr(reply.find("\r\n") + 2, reply.size() - reply.find("\r\n") - 4); }

}  // namespace

TEST(Admin, ClientCommands) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn idle(server.port());
    Conn c(server.port());
    EXPECT_EQ(c.call({"CLIENT", "GETNAME"}), "$-1\r\n");
    EXPECT_EQ(c.call({"CLIENT", "SETNAME", "a b"}),
              "-ERR Client names cannot contain spaces, newlines or special characters.\r\n");
    EXPECT_EQ(c.call({"CLIENT", "SETNAME"}), "-ERR wrong number of arguments for 'client|setname' command\r\n");
    EXPECT_EQ(c.call({"CLIENT", "SETNAME", "ab"}), "+OK\r\n");
    EXPECT_EQ(c.call({"CLIENT", "GETNAME"}), bulk("ab"));
    EXPECT_EQ(c.call({"CLIENT", "KILL"}), "-ERR unknown subcommand 'KILL'. Try CLIENT HELP.\r\n");
    EXPECT_EQ(c.call({"CLIENT", "HELP"}).substr(0, 5), "*13\r\n");
    std::string id = c.call({"CLIENT", "ID"});
    ASSERT_EQ(id[0], ':');

    std::string list = body(c.call({"CLIENT", "LIST"}));
    std::string mine = "id=" + id.substr(1, id.size() - 3) + " addr=127.0.0.1:";
    size_t at = list.find(mine);
    ASSERT_NE(at, std::string::npos) << list;
    std::string line = list.substr(at, list.find('\n', at) - at);
    EXPECT_NE(line.find(" name=ab age="), std::string::npos) << line;
    EXPECT_NE(line.find(" cmd=client|list "), std::string::npos) << line;
    EXPECT_NE(line.find(" laddr=127.0.0.1:" + std::to_string(server.port()) + " "), std::string::npos) << line;
    EXPECT_NE(line.find(" multi=-1 "), std::string::npos) << line;
    EXPECT_NE(line.find(" resp=2 "), std::string::npos) << line;
    EXPECT_NE(list.find(" cmd=connect "), std::string::npos) << "the idle connection: " << list;

    EXPECT_EQ(c.call({"HELLO", "3", "SETNAME", "renamed"}).substr(0, 4), "%7\r\n");
    std::string info = body(c.call({"CLIENT", "INFO"}));
    EXPECT_NE(info.find(" name=renamed "), std::string::npos) << info;
    EXPECT_NE(info.find(" cmd=client|info "), std::string::npos) << info;
    EXPECT_NE(info.find(" resp=3 "), std::string::npos) << info;
    EXPECT_EQ(info.find('\n'), std::string::npos);
    EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
    EXPECT_EQ(c.call({"CLIENT", "INFO"}), "+QUEUED\r\n");
    std::string exec = c.call({"EXEC"});
    EXPECT_NE(exec.find(" multi=-1 "), std::string::npos) << exec;
    EXPECT_EQ(c.call({"SUBSCRIBE", "x"}).substr(0, 4), ">3\r\n");
    Conn other(server.port());
    std::string all = other.call({"CLIENT", "LIST"});
    EXPECT_NE(all.find(" sub=1 psub=0 "), std::string::npos) << all;
}

TEST(Admin, ConfigTableAndItsEffects) {
    ServerGuard server("pw", 5);
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"AUTH", "pw"}), "+OK\r\n");
    EXPECT_EQ(c.call({"CONFIG", "GET", "MAXMEMORY"}), "*2\r\n" + bulk("maxmemory") + bulk("5242880"));
    EXPECT_EQ(c.call({"CONFIG", "GET", "requirepass", "*"}), "*4\r\n" + bulk("requirepass") + bulk("pw") +
                                                                  bulk("*") + "$0\r\n\r\n");
    EXPECT_EQ(c.call({"CONFIG", "SET", "nosuch", "1"}),
              "-ERR Invalid parameter or number of arguments for CONFIG SET\r\n");
    EXPECT_EQ(c.call({"CONFIG", "SET", "timeout", "5"}), "+OK\r\n");
    EXPECT_EQ(c.call({"CONFIG", "GET", "timeout"}), "*2\r\n" + bulk("timeout") + bulk("5"));
    EXPECT_EQ(c.call({"CONFIG", "GET"}), "-ERR wrong number of arguments for 'config|get' command\r\n");
    EXPECT_EQ(c.call({"CONFIG"}), "-ERR wrong number of arguments for 'config' command\r\n");
    EXPECT_EQ(c.call({"CONFIG", "BOGUS"}), "-ERR syntax error\r\n");

    // A 1 MB limit makes writes evict the least recently used keys.
    EXPECT_EQ(c.call({"CONFIG", "SET", "maxmemory", "1048576"}), "+OK\r\n");
    std::string info = c.call({"INFO"});
    EXPECT_NE(info.find("\r\nmaxmemory:1048576\r\nmaxmemory_human:1.00M\r\n"), std::string::npos) << info;
    std::string value(10000, 'v');
    for (int i = 0; i < 300; ++i) ASSERT_EQ(c.call({"SET", "k" + std::to_string(i), value}), "+OK\r\n");
    std::string size = c.call({"DBSIZE"});
    long long keys = std::atoll(size.c_str() + 1);
    EXPECT_GT(keys, 50);
    EXPECT_LT(keys, 110) << "the limit did not evict";
    EXPECT_EQ(c.call({"EXISTS", "k0"}), ":0\r\n");
    EXPECT_EQ(c.call({"EXISTS", "k299"}), ":1\r\n");
    EXPECT_EQ(c.call({"CONFIG", "SET", "maxmemory", "0"}), "+OK\r\n");
    EXPECT_EQ(c.call({"CONFIG", "GET", "maxmemory"}), "*2\r\n" + bulk("maxmemory") + bulk("0"));

    // A new password takes effect for new checks; this connection stays in.
    EXPECT_EQ(c.call({"CONFIG", "SET", "requirepass", "next"}), "+OK\r\n");
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    Conn d(server.port());
    EXPECT_EQ(d.call({"AUTH", "pw"}), "-WRONGPASS invalid username-password pair or user is disabled.\r\n");
    EXPECT_EQ(d.call({"AUTH", "next"}), "+OK\r\n");
    EXPECT_EQ(c.call({"CONFIG", "SET", "requirepass", ""}), "+OK\r\n");
    Conn e(server.port());
    EXPECT_EQ(e.call({"PING"}), "+PONG\r\n");
    // Settings outlive a restart, and an idle time-out would close the later
    // tests' quiet clients.
    EXPECT_EQ(c.call({"CONFIG", "SET", "timeout", "0"}), "+OK\r\n");
}

TEST(Admin, InfoObjectAndFixedAnswers) {
    std::string path = "vorel_admin_" + std::to_string(platform::process_id()) + ".aof";
    // Process ids repeat (under Wine every run is 32): no earlier run's log replays.
    std::remove(path.c_str());
    {
        ServerGuard server(nullptr, 100, path.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"SET", "k", "v"}), "+OK\r\n");
        EXPECT_EQ(c.call({"GET", "k"}), bulk("v"));
        EXPECT_EQ(c.call({"GET", "nokey"}), "$-1\r\n");
        std::string info = body(c.call({"INFO", "anything"}));
        for (const std::string& line :
             {std::string("# Server\r\nvorel_version:1.3.2\r\nvorel_mode:standalone\r\n"),
              "\r\ntcp_port:" + std::to_string(server.port()) + "\r\n", std::string("\r\nkeyspace_hits:1\r\n"),
              std::string("\r\nkeyspace_misses:1\r\n"), std::string("\r\ntotal_connections_received:1\r\n"),
              std::string("\r\ntotal_commands_processed:4\r\n"), std::string("\r\nmaxmemory:104857600\r\n"),
              std::string("\r\nmaxmemory_human:100.00M\r\nmaxmemory_policy:allkeys-lru\r\n"),
              std::string("\r\naof_last_write_status:ok\r\naof_enabled:1\r\naof_fsync:everysec\r\n"
                          "aof_rewrite_in_progress:0\r\naof_rewrites:0\r\naof_last_bgrewrite_status:ok\r\n"),
              std::string("\r\naof_base_size:0\r\nconnected_clients:1\r\n"),
              std::string("\r\n\r\n# Keyspace\r\ndb0:keys=1,expires=0,avg_ttl=0\r\n")}) {
            EXPECT_NE(info.find(line), std::string::npos) << line << " missing in\n" << info;
        }
        EXPECT_EQ(info.substr(info.size() - 2), "\r\n");
        EXPECT_EQ(c.call({"OBJECT", "ENCODING", "k"}), "+embstr\r\n");
        EXPECT_EQ(c.call({"OBJECT", "ENCODING", "nokey"}), "$-1\r\n");
        EXPECT_EQ(c.call({"OBJECT", "REFCOUNT", "k"}), ":1\r\n");
        EXPECT_EQ(c.call({"OBJECT", "IDLETIME", "k"}), ":0\r\n");
        EXPECT_EQ(c.call({"OBJECT", "FREQ", "k"}), "-ERR An LFU maxmemory policy is not selected, access frequency not tracked.\r\n");
        EXPECT_EQ(c.call({"OBJECT", "ENCODING"}), "-ERR wrong number of arguments for 'object' command\r\n");
        // COMMAND answers from the command table.
        const std::string count = c.call({"COMMAND", "COUNT"});
        const std::string list = c.call({"COMMAND", "LIST"});
        ASSERT_GT(count.size(), 2u);
        EXPECT_EQ(list.substr(0, list.find("\r\n")), "*" + count.substr(1, count.size() - 3));
        for (const char* name : {"get", "watch", "lmove", "blmove", "zunionstore", "bitop", "memory", "hsetnx"}) {
            EXPECT_NE(list.find("\r\n" + bulk(name)), std::string::npos) << name;
        }
        EXPECT_EQ(c.call({"COMMAND", "INFO", "lmove", "nosuch"}),
                  "*2\r\n*6\r\n" + bulk("lmove") + ":5\r\n*1\r\n+write\r\n:1\r\n:1\r\n:1\r\n*-1\r\n");
        EXPECT_EQ(c.call({"COMMAND"}).substr(0, count.size() - 2), "*" + count.substr(1, count.size() - 3));
        EXPECT_EQ(c.call({"SHUTDOWN"}), "+OK\r\n");
        EXPECT_EQ(c.call({"WAIT", "1", "2"}), ":0\r\n");
        EXPECT_EQ(c.call({"SAVE"}), "+OK\r\n");
        EXPECT_EQ(c.call({"LASTSAVE"})[0], ':');
        EXPECT_EQ(c.call({"FLUSHALL", "NOW"}), "-ERR syntax error\r\n");
        EXPECT_EQ(c.call({"FLUSHALL", "ASYNC"}), "+OK\r\n");
        EXPECT_EQ(c.call({"DBSIZE"}), ":0\r\n");
    }
    std::stringstream ss;
    {
        // Closed before the removal: Windows removes no open file.
        std::ifstream in(path, std::ios::binary);
        ss << in.rdbuf();
    }
    EXPECT_EQ(ss.str(), cmd({"SET", "k", "v"}) + cmd({"FLUSHALL"}));
    std::remove(path.c_str());
}
