// Integration tests of a failing append-only file: a write whose record cannot
// be appended is answered with an error, later writes are refused while reads
// keep working, and writes resume once the file takes data again.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/resp_client.h"
#include "vorel.h"

using vtest::Conn;
using vtest::ServerGuard;

namespace {

const std::string kWriteFailed =
    "-ERR append-only file write failed: the change was applied in memory but not persisted\r\n";
const std::string kRefused =
    "-ERR append-only file is not writable: write commands are refused until it can be written again\r\n";

bool info_has(Conn& c, const std::string& line) { return c.call({"INFO"}).find(line) != std::string::npos; }

// A 512 KiB file system of its own (needs the right to mount), removed afterwards.
class SmallFs {
public:
    SmallFs() : dir_("vorel_small_fs_" + std::to_string(platform::process_id())) {
        std::filesystem::create_directory(dir_);
        mounted_ = std::system(("mount -t tmpfs -o size=512k tmpfs " + dir_ + " 2>/dev/null").c_str()) == 0;
        if (!mounted_) std::filesystem::remove(dir_);
    }
    ~SmallFs() {
        if (!mounted_) return;
        std::system(("umount " + dir_).c_str());
        std::filesystem::remove_all(dir_);
    }
    bool mounted() const { return mounted_; }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    // Fills the file system to the last byte.
    void fill() const {
        std::ofstream out(path("filler"), std::ios::binary);
        std::string chunk(4096, 'f');
        for (int i = 0; i < 1000 && out; ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    void free_space() const { std::filesystem::remove(path("filler")); }

private:
    std::string dir_;
    bool mounted_ = false;
};

}  // namespace

TEST(DiskFailure, UnusableLogRefusesWritesAndKeepsReads) {
    // A device that reads as endless zeros and takes no data: the log cannot be
    // replayed cleanly nor appended to, so the server serves reads only.
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    ServerGuard server(nullptr, 0, "/dev/full");
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_TRUE(info_has(c, "\r\naof_last_write_status:err\r\naof_enabled:1\r\n"));
    EXPECT_EQ(c.call({"SET", "k", "w"}), kRefused);
    EXPECT_EQ(c.call({"INCR", "n"}), kRefused);
    EXPECT_EQ(c.call({"SET", "k", "v"}), kRefused);
    EXPECT_EQ(c.call({"GET", "k"}), "$-1\r\n");
    EXPECT_EQ(c.call({"PING"}), "+PONG\r\n");
    EXPECT_EQ(c.call({"EXISTS", "n"}), ":0\r\n");
    // A write cannot be queued while the log refuses writes: the transaction is discarded.
    EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
    EXPECT_EQ(c.call({"DEL", "k"}), kRefused);
    EXPECT_EQ(c.call({"GET", "k"}), "+QUEUED\r\n");
    EXPECT_EQ(c.call({"EXEC"}), "-EXECABORT Transaction discarded because of previous errors.\r\n");
    EXPECT_EQ(vorel_set_value("h", "v", 0), -1);
    EXPECT_EQ(vorel_del_key("k"), -1);
    EXPECT_EQ(vorel_get_value("h"), nullptr);
    platform::sleep_ms(1200);
    EXPECT_EQ(c.call({"SET", "k", "x"}), kRefused) << "a full device was taken for writable";
}

TEST(DiskFailure, WritesResumeWhenSpaceReturnsAndTheLogStaysClean) {
    SmallFs fs;
    if (!fs.mounted()) GTEST_SKIP() << "cannot mount a small file system here";
    const std::string log = fs.path("log.aof");
    {
        ServerGuard server(nullptr, 0, log.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"SET", "before", "1"}), "+OK\r\n");
        fs.fill();
        EXPECT_EQ(c.call({"SET", "lost", std::string(100000, 'x')}), kWriteFailed);
        EXPECT_NE(c.call({"INFO"}).find("\r\naof_last_write_status:err\r\n"), std::string::npos);
        EXPECT_EQ(c.call({"SET", "refused", "1"}), kRefused);
        EXPECT_EQ(c.call({"GET", "before"}), "$1\r\n1\r\n");
        fs.free_space();
        std::string reply;
        for (int i = 0; i < 40 && reply != "+OK\r\n"; ++i) {
            platform::sleep_ms(100);
            reply = c.call({"SET", "after", "1"});
        }
        EXPECT_EQ(reply, "+OK\r\n") << "writes did not resume once space returned";
        EXPECT_TRUE(info_has(c, "\r\naof_last_write_status:ok\r\n"));
    }
    {
        ServerGuard server(nullptr, 0, log.c_str());
        ASSERT_TRUE(server.ok());
        Conn c(server.port());
        EXPECT_EQ(c.call({"EXISTS", "before", "after"}), ":2\r\n");
        EXPECT_EQ(c.call({"EXISTS", "lost", "refused"}), ":0\r\n");
        EXPECT_FALSE(std::filesystem::exists(log + ".corrupt")) << "a partial record was left in the log";
    }
}

TEST(DiskFailure, ExecAnswersEachCommandOnItsOwnWhenARecordIsLost) {
    SmallFs fs;
    if (!fs.mounted()) GTEST_SKIP() << "cannot mount a small file system here";
    const std::string log = fs.path("log.aof");
    ServerGuard server(nullptr, 0, log.c_str());
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    EXPECT_EQ(c.call({"SET", "before", "1"}), "+OK\r\n");
    EXPECT_EQ(c.call({"MULTI"}), "+OK\r\n");
    for (const std::vector<std::string>& q : std::vector<std::vector<std::string>>{
             {"GET", "before"}, {"SET", "lost", std::string(100000, 'x')}, {"STRLEN", "lost"}, {"INCR", "refused"},
             {"ECHO", "still here"}}) {
        c.send(vtest::cmd(q));
        EXPECT_EQ(c.read_reply(), "+QUEUED\r\n");
    }
    fs.fill();
    // The transaction's records are written together after it ran, so both
    // writes lose theirs: each answers its own slot with the error, and the reads
    // before, between and after them keep their replies.
    EXPECT_EQ(c.call({"EXEC"}),
              "*5\r\n$1\r\n1\r\n" + kWriteFailed + ":100000\r\n" + kWriteFailed + "$10\r\nstill here\r\n");
    EXPECT_EQ(c.call({"INCR", "refused"}), kRefused) << "writes go on while the log fails";
    fs.free_space();
}
