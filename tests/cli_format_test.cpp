// cli_format_test.cpp — vorel-cli's reply parser and printer on wire bytes of
// every RESP2 and RESP3 reply type (including the ones the server never sends,
// such as booleans and verbatim strings), and its command-line splitting.
#include <gtest/gtest.h>

#include "tools/cli/command_line.h"
#include "tools/cli/reply_format.h"
#include "tools/cli/resp_reply.h"

namespace {

struct FormatCase {
    const char* wire;
    const char* readable;
    const char* raw;
};

const FormatCase kFormatCases[] = {
    {"+OK\r\n", "OK", "OK"},
    {"-ERR wrong\r\n", "(error) ERR wrong", "ERR wrong"},
    {"!9\r\nERR blob!\r\n", "(error) ERR blob!", "ERR blob!"},
    {":-5\r\n", "(integer) -5", "-5"},
    {"$3\r\nabc\r\n", "\"abc\"", "abc"},
    {"$6\r\na\"b\\\n\x01\r\n", "\"a\\\"b\\\\\\n\\x01\"", "a\"b\\\n\x01"},
    {"$0\r\n\r\n", "\"\"", ""},
    {"$-1\r\n", "(nil)", ""},
    {"*-1\r\n", "(nil)", ""},
    {"_\r\n", "(nil)", ""},
    {",3.25\r\n", "(double) 3.25", "3.25"},
    {",inf\r\n", "(double) inf", "inf"},
    {"#t\r\n", "(true)", "true"},
    {"#f\r\n", "(false)", "false"},
    {"(12345678901234567890\r\n", "(big number) 12345678901234567890", "12345678901234567890"},
    {"=9\r\ntxt:hello\r\n", "hello", "hello"},
    {"*0\r\n", "(empty array)", ""},
    {"~0\r\n", "(empty set)", ""},
    {"%0\r\n", "(empty map)", ""},
    {"*2\r\n$1\r\na\r\n:1\r\n", "1) \"a\"\n2) (integer) 1", "a\n1"},
    {"~1\r\n$1\r\nx\r\n", "1) \"x\"", "x"},
    // Nested aggregates line up under their own index.
    {"*3\r\n$1\r\na\r\n*2\r\n$1\r\nb\r\n*1\r\n$1\r\nc\r\n_\r\n",
     "1) \"a\"\n2) 1) \"b\"\n   2) 1) \"c\"\n3) (nil)", "a\nb\nc\n"},
    // Ten and more elements: indexes right-aligned.
    {"*10\r\n:1\r\n:2\r\n:3\r\n:4\r\n:5\r\n:6\r\n:7\r\n:8\r\n:9\r\n*1\r\n:10\r\n",
     " 1) (integer) 1\n 2) (integer) 2\n 3) (integer) 3\n 4) (integer) 4\n 5) (integer) 5\n"
     " 6) (integer) 6\n 7) (integer) 7\n 8) (integer) 8\n 9) (integer) 9\n10) 1) (integer) 10",
     "1\n2\n3\n4\n5\n6\n7\n8\n9\n10"},
    {"%2\r\n$1\r\nk\r\n$1\r\nv\r\n$1\r\nn\r\n*2\r\n:1\r\n:2\r\n",
     "1# \"k\" => \"v\"\n2# \"n\" => 1) (integer) 1\n          2) (integer) 2", "k\nv\nn\n1\n2"},
    {">3\r\n$7\r\nmessage\r\n$2\r\nch\r\n$2\r\nhi\r\n", "(push)\n1) \"message\"\n2) \"ch\"\n3) \"hi\"",
     "message\nch\nhi"},
    // An attribute is dropped; the reply it annotates is shown.
    {"|1\r\n+ttl\r\n:3\r\n$1\r\nv\r\n", "\"v\"", "v"},
};

TEST(CliFormat, EveryReplyTypeReadableAndRaw) {
    for (const FormatCase& c : kFormatCases) {
        std::string wire = c.wire;
        cli::Reply reply;
        size_t used = 0;
        ASSERT_EQ(cli::parse_reply(wire, 0, &reply, &used), cli::ParseStatus::Complete) << c.wire;
        EXPECT_EQ(used, wire.size()) << c.wire;
        EXPECT_EQ(cli::format_readable(reply), c.readable) << c.wire;
        EXPECT_EQ(cli::format_raw(reply), c.raw) << c.wire;
        // Every proper prefix of a reply is incomplete, never complete or garbage.
        for (size_t n = 0; n < wire.size(); ++n) {
            EXPECT_EQ(cli::parse_reply(wire.substr(0, n), 0, &reply, &used), cli::ParseStatus::Incomplete)
                << c.wire << " cut at " << n;
        }
    }
}

TEST(CliFormat, GarbageIsRejected) {
    for (const char* wire : {"?x\r\n", "$abc\r\n", "$3\r\nabcde\r\n", "*-2\r\n", "#x\r\n"}) {
        cli::Reply reply;
        size_t used = 0;
        EXPECT_EQ(cli::parse_reply(wire, 0, &reply, &used), cli::ParseStatus::Invalid) << wire;
    }
}

TEST(CliFormat, ParsesAtAnOffsetAndReportsTheLength) {
    std::string wire = "+OK\r\n:7\r\n";
    cli::Reply reply;
    size_t used = 0;
    ASSERT_EQ(cli::parse_reply(wire, 5, &reply, &used), cli::ParseStatus::Complete);
    EXPECT_EQ(used, 4u);
    EXPECT_EQ(cli::format_readable(reply), "(integer) 7");
}

TEST(CliCommandLine, SplitsQuotedArguments) {
    struct Case {
        const char* line;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"  SET  k   v ", {"SET", "k", "v"}},
        {"SET k \"two words\"", {"SET", "k", "two words"}},
        {"SET k \"a\\nb\\x41\\\"\"", {"SET", "k", "a\nbA\""}},
        {"SET k 'it\\'s \"x\"'", {"SET", "k", "it's \"x\""}},
        {"SET k \"\"", {"SET", "k", ""}},
        {"", {}},
    };
    for (const Case& c : cases) {
        auto args = cli::split_command_line(c.line);
        ASSERT_TRUE(args.has_value()) << c.line;
        EXPECT_EQ(*args, c.args) << c.line;
    }
    for (const char* bad : {"SET k \"open", "SET k 'open", "SET k \"a\"b"}) {
        EXPECT_FALSE(cli::split_command_line(bad).has_value()) << bad;
    }
}

TEST(CliCommandLine, FramesRequestsAsMultibulk) {
    std::string out;
    cli::append_request({"SET", "k", ""}, &out);
    EXPECT_EQ(out, "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$0\r\n\r\n");
}

}  // namespace
