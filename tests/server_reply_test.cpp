// Unit tests of the reply encoders and the strict argument parsers.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "commands/command.h"

namespace {

// Runs fn against a reply writer speaking the given protocol; returns the bytes.
template <typename Fn>
std::string encode(bool resp3, Fn fn) {
    Reply out;
    out.set_resp3(resp3);
    fn(out);
    return std::string(out.unsent(), out.pending());
}

}  // namespace

TEST(Reply, ErrorPrefixes) {
    EXPECT_EQ(encode(false, [](Reply& o) { o.error(kErrWrongType); }),
              "-WRONGTYPE Operation against a key holding the wrong kind of value\r\n");
    EXPECT_EQ(encode(false, [](Reply& o) { o.error("wrong number of arguments for 'get' command"); }),
              "-ERR wrong number of arguments for 'get' command\r\n");
    EXPECT_EQ(encode(false, [](Reply& o) { o.error("NOAUTHX no blank"); }), "-ERR NOAUTHX no blank\r\n");
    std::string longmsg(2000, 'x');
    std::string out = encode(false, [&](Reply& o) { o.error(longmsg.c_str()); });
    EXPECT_EQ(out.size(), 511u);
    EXPECT_EQ(out.substr(out.size() - 2), "\r\n");
}

TEST(Reply, NullsBulksAndIntegersPerProtocol) {
    EXPECT_EQ(encode(false, [](Reply& o) { o.null(); }), "$-1\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.null(); }), "_\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.bulk_or_null(nullptr); }), "_\r\n");
    EXPECT_EQ(encode(false, [](Reply& o) { o.bulk(nullptr, 0); }), "$0\r\n\r\n");
    EXPECT_EQ(encode(false, [](Reply& o) { o.integer(-9223372036854775807LL - 1); }), ":-9223372036854775808\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.array(2); }), "*2\r\n");
    EXPECT_EQ(encode(false, [](Reply& o) { o.map(2); }), "*4\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.map(2); }), "%2\r\n");
    EXPECT_EQ(encode(false, [](Reply& o) { o.push_header(); }), "*3\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.push_header(); }), ">3\r\n");
}

TEST(Reply, Floats) {
    EXPECT_EQ(encode(false, [](Reply& o) { o.number(2); }), "$1\r\n2\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.number(2); }), ",2\r\n") << "a double even when integral";
    EXPECT_EQ(encode(true, [](Reply& o) { o.number(2.5); }), ",2.5\r\n");
    EXPECT_EQ(encode(false, [](Reply& o) { o.number(2.5); }), "$3\r\n2.5\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.number(1e15); }), ",1000000000000000\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.number(-3); }), ",-3\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.number(-INFINITY); }), ",-inf\r\n");
    EXPECT_EQ(encode(false, [](Reply& o) { o.number(0.1); }), "$19\r\n0.10000000000000001\r\n");
    // A bulk string in both protocols.
    EXPECT_EQ(encode(true, [](Reply& o) { o.double_bulk(2); }), "$1\r\n2\r\n");
    EXPECT_EQ(encode(true, [](Reply& o) { o.double_bulk(1e17); }), "$5\r\n1e+17\r\n");
}

// Lengths and integers are written digit pairs at a time into a counted space:
// every count of digits, at its edges, must come out whole and in place.
TEST(Reply, NumbersAtEveryDigitCountEdge) {
    std::string bulks;
    std::string expected_bulks;
    unsigned long long bound = 1;
    for (int digits = 1; digits <= 20; ++digits) {
        const unsigned long long edges[] = {bound - 1, bound, bound + 1, bound * 10 - 1};
        for (unsigned long long n : edges) {
            if (digits == 20 && n != bound) continue;  // the 20-digit values past the edge overflow
            const long long signed_n = static_cast<long long>(n);
            if (n <= 9223372036854775807ULL) {
                for (const long long v : {signed_n, -signed_n}) {
                    EXPECT_EQ(encode(false, [&](Reply& o) { o.integer(v); }), ":" + std::to_string(v) + "\r\n");
                }
            }
            if (n <= 200000) {
                const std::string value(n, 'v');
                bulks += encode(false, [&](Reply& o) { o.bulk(value); });
                expected_bulks += "$" + std::to_string(n) + "\r\n" + value + "\r\n";
            }
        }
        if (digits < 20) bound *= 10;
    }
    EXPECT_EQ(bulks, expected_bulks);
    const std::string eight_digits(10000000, 'w');
    const std::string out = encode(false, [&](Reply& o) { o.bulk(eight_digits); });
    EXPECT_EQ(out.substr(0, 12), "$10000000\r\nw");
    EXPECT_EQ(out.size(), 11 + eight_digits.size() + 2);
}

TEST(Reply, LargeReplyIsWhole) {
    std::string big(200000, 'q');
    std::string out = encode(false, [&](Reply& o) { o.bulk(big); });
    EXPECT_EQ(out, "$200000\r\n" + big + "\r\n");
}

// The writer's bookkeeping as the connection loop drives it: a partly sent
// buffer past the kept size moves its unsent bytes to the front intact, a
// rollback takes back exactly what followed the mark, and a drained large
// buffer gives its memory back.
TEST(Reply, PartialSendsRollbackAndReleaseKeepTheUnsentBytes) {
    Reply out;
    std::string expected;
    for (int i = 0; expected.size() < (size_t(3) << 20); ++i) {
        const std::string value(1000 + i % 7, static_cast<char>('a' + i % 26));
        out.bulk(value);
        expected += "$" + std::to_string(value.size()) + "\r\n" + value + "\r\n";
    }
    ASSERT_EQ(std::string(out.unsent(), out.pending()), expected);
    // Sent in pieces: the last one passes half the buffer and compacts it.
    size_t sent = 0;
    for (size_t piece : {size_t(700000), size_t(500000), size_t(400000)}) {
        out.consume(piece);
        sent += piece;
        ASSERT_EQ(std::string(out.unsent(), out.pending()), expected.substr(sent));
    }
    const size_t mark = out.mark();
    out.integer(42);
    out.simple("OK");
    out.rollback(mark);
    out.bulk("tail");
    expected += "$4\r\ntail\r\n";
    EXPECT_EQ(std::string(out.unsent(), out.pending()), expected.substr(sent));
    EXPECT_GT(out.held(), size_t(1) << 20);
    out.consume(out.pending());
    EXPECT_EQ(out.pending(), 0u);
    EXPECT_EQ(out.held(), 0u);
    out.simple("again");
    EXPECT_EQ(std::string(out.unsent(), out.pending()), "+again\r\n");
}

TEST(Parse, StrictIntegersCoverTheWholeRange) {
    int64_t v = 0;
    EXPECT_EQ(parse_strict_ll("9223372036854775807", &v), 1);
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_EQ(parse_strict_ll("-9223372036854775808", &v), 1);
    EXPECT_EQ(v, INT64_MIN);
    v = 7;
    EXPECT_EQ(parse_strict_ll("9223372036854775808", &v), 0);
    EXPECT_EQ(parse_strict_ll("-9223372036854775809", &v), 0);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(parse_strict_ll("+0042", &v), 1);
    EXPECT_EQ(v, 42);
    for (const char* bad : {"", "-", "+", " 1", "1 ", "1.0", "0x10", "12a"}) {
        EXPECT_EQ(parse_strict_ll(bad, &v), 0) << bad;
    }
    EXPECT_EQ(parse_strict_ll(std::string_view("12\0003", 4), &v), 0);
}

TEST(Parse, StrictFloats) {
    double d = 0;
    EXPECT_EQ(parse_strict_float("1.5e3", &d), 1);
    EXPECT_EQ(d, 1500.0);
    EXPECT_EQ(parse_strict_float(" 2", &d), 1);
    EXPECT_EQ(d, 2.0);
    for (const char* bad : {"", "inf", "-inf", "nan", "1.5x", "1e999"}) {
        EXPECT_EQ(parse_strict_float(bad, &d), 0) << bad;
    }
}
