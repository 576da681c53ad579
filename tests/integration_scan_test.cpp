// Integration tests of the cursor scans over a real connection — SCAN over the
// keyspace, HSCAN, SSCAN and ZSCAN over each container type: with deletes and
// inserts between pages, across table growth, nothing present for the whole
// iteration is missed and every iteration ends; MATCH, COUNT and TYPE in any
// order; the argument errors.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/resp_client.h"

using vtest::cmd;
using vtest::Conn;
using vtest::ServerGuard;

namespace {

struct Page {
    bool ok = false;
    std::string cursor;
    std::vector<std::string> items;
};

// Reads "*2 <cursor bulk> *n <bulks>".
Page parse_page(const std::string& reply) {
    Page page;
    auto read_line = [&](size_t* pos) {
        const size_t eol = reply.find("\r\n", *pos);
        if (eol == std::string::npos) return std::string();
        std::string line = reply.substr(*pos, eol - *pos);
        *pos = eol + 2;
        return line;
    };
    auto read_bulk = [&](size_t* pos, std::string* out) {
        const std::string head = read_line(pos);
        if (head.empty() || head[0] != '$') return false;
        const size_t len = std::stoul(head.substr(1));
        *out = reply.substr(*pos, len);
        *pos += len + 2;
        return *pos <= reply.size();
    };
    size_t pos = 0;
    if (read_line(&pos) != "*2" || !read_bulk(&pos, &page.cursor)) return page;
    const std::string head = read_line(&pos);
    if (head.empty() || head[0] != '*') return page;
    const size_t n = std::stoul(head.substr(1));
    for (size_t i = 0; i < n; ++i) {
        std::string item;
        if (!read_bulk(&pos, &item)) return page;
        page.items.push_back(item);
    }
    page.ok = pos == reply.size();
    return page;
}

// One scanned container as the tests drive it over the wire.
struct ScanKind {
    const char* name;
    const char* scan;          // the scan command
    bool keyed;                // the scan names a key (all but SCAN)
    size_t stride;             // items per element in a page (2: name then value or score)
    const char* add;           // adds elements: add [key] e1 [v1] e2 [v2] ...
    bool add_pairs;            // add takes value/score pairs
    bool score_first;          // ZADD: score before member
    const char* remove;        // removes elements: remove [key] e1 e2 ...
};

void PrintTo(const ScanKind& kind, std::ostream* os) { *os << kind.name; }

const ScanKind kKinds[] = {
    {"keyspace", "SCAN", false, 1, "MSET", true, false, "DEL"},
    {"hash", "HSCAN", true, 2, "HSET", true, false, "HDEL"},
    {"set", "SSCAN", true, 1, "SADD", false, false, "SREM"},
    {"zset", "ZSCAN", true, 2, "ZADD", true, true, "ZREM"},
};

constexpr const char* kKey = "container";

class Scans : public ::testing::TestWithParam<ScanKind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        c_ = std::make_unique<Conn>(server_.port());
    }
    Conn& c() { return *c_; }
    std::string call(const std::vector<std::string>& args) {
        c().send(cmd(args));
        return c().read_reply();
    }
    void add(const std::vector<std::string>& names) {
        const ScanKind& k = GetParam();
        std::vector<std::string> args{k.add};
        if (k.keyed) args.push_back(kKey);
        for (const std::string& n : names) {
            if (k.score_first) args.push_back(std::to_string(n.size()));
            args.push_back(n);
            if (k.add_pairs && !k.score_first) args.push_back("v");
        }
        ASSERT_NE(call(args).substr(0, 1), "-");
    }
    void remove(const std::vector<std::string>& names) {
        const ScanKind& k = GetParam();
        std::vector<std::string> args{k.remove};
        if (k.keyed) args.push_back(kKey);
        args.insert(args.end(), names.begin(), names.end());
        ASSERT_EQ(call(args).substr(0, 1), ":");
    }
    // One page; the element names (every stride-th item) go to *names.
    Page page(const std::string& cursor, const std::vector<std::string>& options, std::vector<std::string>* names) {
        const ScanKind& k = GetParam();
        std::vector<std::string> args{k.scan};
        if (k.keyed) args.push_back(kKey);
        args.push_back(cursor);
        args.insert(args.end(), options.begin(), options.end());
        Page p = parse_page(call(args));
        EXPECT_TRUE(p.ok) << k.scan;
        EXPECT_EQ(p.items.size() % k.stride, 0u);
        for (size_t i = 0; i < p.items.size(); i += k.stride) names->push_back(p.items[i]);
        return p;
    }
    ServerGuard server_;
    std::unique_ptr<Conn> c_;
};

// Between pages: returned and unreturned elements are deleted, and new ones are
// added in bulk, growing the tables several times over (the keyspace starts at
// 1024 buckets). Every element present throughout must come back; an iteration
// must end.
TEST_P(Scans, NothingPresentThroughoutIsMissedAcrossDeletesInsertsAndGrowth) {
    std::mt19937 rng(17);
    int next = 0;
    auto fresh = [&](int n) {
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) names.push_back("e" + std::to_string(next++));
        return names;
    };
    std::set<std::string> present;
    auto add_fresh = [&](int n) {
        const std::vector<std::string> names = fresh(n);
        add(names);
        present.insert(names.begin(), names.end());
    };
    add_fresh(600);
    for (int iteration = 0; iteration < 3; ++iteration) {
        std::set<std::string> stable = present;
        std::set<std::string> seen;
        std::string cursor = "0";
        int pages = 0;
        do {
            std::vector<std::string> names;
            cursor = page(cursor, {"COUNT", "25"}, &names).cursor;
            seen.insert(names.begin(), names.end());
            // Delete some just returned and some never returned yet.
            std::vector<std::string> doomed;
            for (size_t i = 0; i < names.size() && i < 3; ++i) doomed.push_back(names[i]);
            for (const std::string& p : present) {
                if (doomed.size() >= 8) break;
                if (!seen.count(p) && rng() % 4 == 0) doomed.push_back(p);
            }
            for (const std::string& d : doomed) {
                present.erase(d);
                stable.erase(d);
            }
            if (!doomed.empty()) remove(doomed);
            if (present.size() < 4000) add_fresh(60);
            ++pages;
        } while (cursor != "0" && pages < 20000);
        ASSERT_EQ(cursor, "0") << "the iteration never ended";
        for (const std::string& s : stable) ASSERT_TRUE(seen.count(s)) << "iteration " << iteration << " missed " << s;
        for (const std::string& s : seen) ASSERT_EQ(s[0], 'e') << "returned something never added";
    }
}

TEST_P(Scans, MatchAndCountInAnyOrder) {
    add({"apple", "avocado", "banana", "cherry", "apricot"});
    std::vector<std::string> more;
    for (int i = 0; i < 300; ++i) more.push_back("z" + std::to_string(i));
    add(more);
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"MATCH", "a*"}, std::vector<std::string>{"MATCH", "a*", "COUNT", "7"},
          std::vector<std::string>{"count", "3", "match", "a*"}}) {
        std::multiset<std::string> seen;
        std::string cursor = "0";
        int pages = 0;
        do {
            std::vector<std::string> names;
            cursor = page(cursor, options, &names).cursor;
            seen.insert(names.begin(), names.end());
        } while (cursor != "0" && ++pages < 10000);
        EXPECT_EQ(seen, (std::multiset<std::string>{"apple", "apricot", "avocado"})) << options.size();
    }
    const ScanKind& k = GetParam();
    auto request = [&](std::vector<std::string> tail) {
        std::vector<std::string> args{k.scan};
        if (k.keyed) args.push_back(kKey);
        args.insert(args.end(), tail.begin(), tail.end());
        return call(args);
    };
    EXPECT_EQ(request({"x"}), "-ERR invalid cursor\r\n");
    EXPECT_EQ(request({"0", "COUNT"}), "-ERR syntax error\r\n");
    EXPECT_EQ(request({"0", "MATCH"}), "-ERR syntax error\r\n");
    EXPECT_EQ(request({"0", "SORT", "1"}), "-ERR syntax error\r\n");
    if (k.keyed) {
        EXPECT_EQ(request({"0", "TYPE", "string"}), "-ERR syntax error\r\n") << "TYPE is SCAN's alone";
        EXPECT_EQ(call({k.scan, "missing", "0"}), "*2\r\n$1\r\n0\r\n*0\r\n");
        ASSERT_EQ(call({"SET", "str", "v"}), "+OK\r\n");
        EXPECT_EQ(call({k.scan, "str", "0"}),
                  "-WRONGTYPE Operation against a key holding the wrong kind of value\r\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Scans, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<ScanKind>& info) { return std::string(info.param.name); });

TEST(ScanType, TypeFiltersTheKeyspace) {
    ServerGuard server;
    ASSERT_TRUE(server.ok());
    Conn c(server.port());
    ASSERT_EQ(c.call({"SET", "s1", "v"}), "+OK\r\n");
    ASSERT_EQ(c.call({"RPUSH", "l1", "v"}), ":1\r\n");
    ASSERT_EQ(c.call({"HSET", "h1", "f", "v"}), ":1\r\n");
    ASSERT_EQ(c.call({"SADD", "set1", "m"}), ":1\r\n");
    ASSERT_EQ(c.call({"ZADD", "z1", "1", "m"}), ":1\r\n");
    ASSERT_EQ(c.call({"ZADD", "z2", "1", "m"}), ":1\r\n");
    const std::vector<std::pair<std::string, std::set<std::string>>> cases = {
        {"string", {"s1"}}, {"list", {"l1"}}, {"hash", {"h1"}}, {"set", {"set1"}}, {"ZSET", {"z1", "z2"}}};
    for (const auto& [type, expected] : cases) {
        std::set<std::string> seen;
        std::string cursor = "0";
        int pages = 0;
        do {
            const Page p = parse_page(c.call({"SCAN", cursor, "TYPE", type, "COUNT", "1000"}));
            ASSERT_TRUE(p.ok);
            cursor = p.cursor;
            seen.insert(p.items.begin(), p.items.end());
        } while (cursor != "0" && ++pages < 10000);
        EXPECT_EQ(seen, expected) << type;
    }
    const Page p = parse_page(c.call({"SCAN", "0", "COUNT", "1000", "TYPE", "zset", "MATCH", "*2"}));
    EXPECT_EQ(p.items, std::vector<std::string>{"z2"});
    EXPECT_EQ(c.call({"SCAN", "0", "TYPE", "stream"}), "-ERR unknown type name 'stream'\r\n");
}

}  // namespace
