// vorel_benchmark_main.cpp — vorel-benchmark, the load generator: one thread drives
// many non-blocking connections to a running server, keeps a pipeline of requests in
// flight on each, verifies every reply and reports throughput and latency per test.
#include <algorithm>
#include <bit>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- Requests --------------------------------------------------------------

std::string uint_text(uint64_t v) { return std::to_string(v); }

// Appends multibulk-framed requests (*N, then $len + bytes per argument) to a buffer.
class RequestWriter {
public:
    explicit RequestWriter(std::string* out) : out_(out) {}

    void begin(size_t argc) {
        out_->push_back('*');
        append_uint(argc);
        crlf();
    }
    void arg(std::string_view a) {
        out_->push_back('$');
        append_uint(a.size());
        crlf();
        out_->append(a);
        crlf();
    }
    // "<prefix><index>" as one argument, without a temporary string per request.
    void arg_key(std::string_view prefix, uint64_t index) {
        char digits[20];
        size_t n = format_uint(index, digits);
        out_->push_back('$');
        append_uint(prefix.size() + n);
        crlf();
        out_->append(prefix);
        out_->append(digits, n);
        crlf();
    }
    // An argument framed once up front ("$len\r\n<bytes>\r\n"): the value is the same
    // for every request, so it is not re-framed each time.
    void framed(std::string_view bytes) { out_->append(bytes); }

private:
    static size_t format_uint(uint64_t v, char* digits) {
        char tmp[20];
        size_t n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        for (size_t i = 0; i < n; ++i) digits[i] = tmp[n - 1 - i];
        return n;
    }
    void append_uint(uint64_t v) {
        char digits[20];
        out_->append(digits, format_uint(v, digits));
    }
    void crlf() { out_->append("\r\n", 2); }

    std::string* out_;
};

// What the builders and verifiers of a run share.
struct Workload {
    uint64_t keyspace = 100000;
    std::string value;         // --data-size bytes, written by set/mset/preload
    std::string value_framed;  // the value as a framed argument
};

// ---- Replies ---------------------------------------------------------------

// One parsed reply. Text views point into the connection's receive buffer and are
// valid only while the reply is being verified.
struct Reply {
    char type = 0;             // '+', '-', ':', '$' or '*'
    bool null = false;         // $-1 or *-1
    int64_t integer = 0;       // value of ':'
    std::string_view text;     // '+' / '-' line, '$' payload
    std::vector<Reply> items;  // elements of '*'
};

enum class Parse { Done, NeedMore, Bad };

// Limits that tell a broken stream from a slow one.
constexpr size_t kMaxLine = 64 * 1024;
constexpr int64_t kMaxBulk = int64_t(512) << 20;
constexpr int64_t kMaxItems = int64_t(1) << 26;
constexpr int kMaxDepth = 64;

bool parse_int64(std::string_view s, int64_t* out) {
    if (s.empty()) return false;
    size_t i = 0;
    bool negative = s[0] == '-';
    if (negative) i = 1;
    if (i == s.size()) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        uint64_t d = static_cast<uint64_t>(s[i] - '0');
        if (v > (UINT64_C(9223372036854775808) - d) / 10) return false;
        v = v * 10 + d;
    }
    if (!negative && v > static_cast<uint64_t>(INT64_MAX)) return false;
    *out = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

// Parses the reply that starts at data[*pos]; on Done advances *pos past it. On
// NeedMore nothing is kept: the caller retries from the same place once more bytes
// have arrived (bulk payloads are skipped by length, so a retry is cheap).
Parse parse_reply(const char* data, size_t len, size_t* pos, Reply* out, int depth, std::string* error) {
    size_t at = *pos;
    if (at >= len) return Parse::NeedMore;
    const char* cr = static_cast<const char*>(std::memchr(data + at, '\r', len - at));
    if (cr == nullptr) {
        if (len - at > kMaxLine) {
            *error = "reply line longer than 64 KiB";
            return Parse::Bad;
        }
        return Parse::NeedMore;
    }
    size_t line_end = static_cast<size_t>(cr - data);
    if (line_end + 1 >= len) return Parse::NeedMore;
    if (data[line_end + 1] != '\n') {
        *error = "CR without LF in a reply line";
        return Parse::Bad;
    }
    std::string_view line(data + at + 1, line_end - at - 1);
    size_t next = line_end + 2;

    out->type = data[at];
    out->null = false;
    out->integer = 0;
    out->text = {};
    switch (out->type) {
        case '+':
        case '-':
            out->text = line;
            *pos = next;
            return Parse::Done;
        case ':':
            if (!parse_int64(line, &out->integer)) {
                *error = "malformed integer reply";
                return Parse::Bad;
            }
            *pos = next;
            return Parse::Done;
        case '$': {
            int64_t n = 0;
            if (!parse_int64(line, &n) || n < -1 || n > kMaxBulk) {
                *error = "malformed bulk length";
                return Parse::Bad;
            }
            if (n == -1) {
                out->null = true;
                *pos = next;
                return Parse::Done;
            }
            size_t size = static_cast<size_t>(n);
            if (len - next < size + 2) return Parse::NeedMore;
            if (data[next + size] != '\r' || data[next + size + 1] != '\n') {
                *error = "bulk payload not followed by CRLF";
                return Parse::Bad;
            }
            out->text = std::string_view(data + next, size);
            *pos = next + size + 2;
            return Parse::Done;
        }
        case '*': {
            int64_t n = 0;
            if (!parse_int64(line, &n) || n < -1 || n > kMaxItems) {
                *error = "malformed array length";
                return Parse::Bad;
            }
            if (n == -1) {
                out->null = true;
                out->items.clear();
                *pos = next;
                return Parse::Done;
            }
            if (depth >= kMaxDepth) {
                *error = "arrays nested too deeply";
                return Parse::Bad;
            }
            // Every element takes at least three bytes: wait for them before
            // allocating or re-parsing a large array that is still arriving.
            size_t count = static_cast<size_t>(n);
            if ((len - next) / 3 < count) return Parse::NeedMore;
            out->items.resize(count);
            for (size_t i = 0; i < count; ++i) {
                Parse p = parse_reply(data, len, &next, &out->items[i], depth + 1, error);
                if (p != Parse::Done) return p;
            }
            *pos = next;
            return Parse::Done;
        }
        default:
            *error = std::string("unknown reply type byte 0x") + "0123456789abcdef"[(data[at] >> 4) & 15] +
                     "0123456789abcdef"[data[at] & 15];
            return Parse::Bad;
    }
}

// ---- Tests -----------------------------------------------------------------

// Appends one request for key index k (0 <= k < keyspace).
using Builder = void (*)(RequestWriter& w, uint64_t k, const Workload& wl);
// Accepts a reply (nullptr) or says what was expected instead.
using Verifier = const char* (*)(const Reply& r, const Workload& wl);

struct TestSpec {
    const char* name;
    const char* summary;  // one line for --help
    bool preload;         // key:<0..keyspace-1> must hold the value before the test
    Builder build;
    Verifier verify;
};

const char* expect_ok(const Reply& r, const Workload&) {
    return r.type == '+' && r.text == "OK" ? nullptr : "+OK";
}

const char* expect_pong(const Reply& r, const Workload&) {
    return r.type == '+' && r.text == "PONG" ? nullptr : "+PONG";
}

const char* expect_integer(const Reply& r, const Workload&) {
    return r.type == ':' ? nullptr : "an integer reply";
}

const char* expect_value_or_null(const Reply& r, const Workload& wl) {
    if (r.type == '$' && (r.null || r.text == wl.value)) return nullptr;
    return "$-1 or a bulk holding exactly the value written";
}

const char* expect_ok_or_value(const Reply& r, const Workload& wl) {
    if (expect_ok(r, wl) == nullptr || expect_value_or_null(r, wl) == nullptr) return nullptr;
    return "+OK or a bulk holding exactly the value written";
}

const char* expect_values_array(const Reply& r, const Workload& wl) {
    bool ok = r.type == '*' && !r.null;
    for (size_t i = 0; ok && i < r.items.size(); ++i) ok = r.items[i].type == '$' && r.items[i].text == wl.value;
    return ok ? nullptr : "an array of bulks each holding exactly the value written";
}

constexpr uint64_t kMsetPairs = 10;

// Sorted sets: members spread over this many keys, so each set grows large.
constexpr uint64_t kZsetKeys = 10;

const char* expect_members_array(const Reply& r, const Workload&) {
    bool ok = r.type == '*' && !r.null && r.items.size() <= 100;
    for (size_t i = 0; ok && i < r.items.size(); ++i) ok = r.items[i].type == '$' && !r.items[i].null;
    return ok ? nullptr : "an array of at most 100 bulks";
}

const char* expect_popped_pair(const Reply& r, const Workload&) {
    bool ok = r.type == '*' && !r.null && (r.items.empty() || r.items.size() == 2);
    for (size_t i = 0; ok && i < r.items.size(); ++i) ok = r.items[i].type == '$' && !r.items[i].null;
    return ok ? nullptr : "an empty array or a member and its score";
}

// Hashes and sets: keys spread over this many collections, so each one holds
// many fields or members.
constexpr uint64_t kCollections = 1000;

const char* expect_bulk_or_null(const Reply& r, const Workload&) {
    return r.type == '$' ? nullptr : "a bulk or $-1";
}

// The tests, in the order --help lists them. Adding one is one row: a name, a
// summary, whether the keyspace must be filled first, a builder that frames one
// request for a random key index with RequestWriter, and a verifier (one of the
// expect_* above or a new one) that returns nullptr for a good reply. Give each
// data type its own key prefix so tests never meet a key of the wrong type, e.g.
//   {"lpush", "LPUSH list:<k> <value>", false,
//    [](RequestWriter& w, uint64_t k, const Workload& wl) {
//        w.begin(3); w.arg("LPUSH"); w.arg_key("list:", k); w.framed(wl.value_framed);
//    },
//    expect_integer},
const TestSpec kTests[] = {
    {"ping", "PING", false, [](RequestWriter& w, uint64_t, const Workload&) {
         w.begin(1);
         w.arg("PING");
     },
     expect_pong},
    {"set", "SET key:<k> <value>", false,
     [](RequestWriter& w, uint64_t k, const Workload& wl) {
         w.begin(3);
         w.arg("SET");
         w.arg_key("key:", k);
         w.framed(wl.value_framed);
     },
     expect_ok},
    {"get", "GET key:<k> (the keyspace is filled first)", true,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(2);
         w.arg("GET");
         w.arg_key("key:", k);
     },
     expect_value_or_null},
    {"mixed", "GET key:<k>, every tenth request SET key:<k> <value> (filled first)", true,
     [](RequestWriter& w, uint64_t k, const Workload& wl) {
         // One thread builds every request, so a plain counter spaces the writes.
         static uint64_t built = 0;
         if (++built % 10 == 0) {
             w.begin(3);
             w.arg("SET");
             w.arg_key("key:", k);
             w.framed(wl.value_framed);
         } else {
             w.begin(2);
             w.arg("GET");
             w.arg_key("key:", k);
         }
     },
     expect_ok_or_value},
    {"incr", "INCR counter:<k>", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(2);
         w.arg("INCR");
         w.arg_key("counter:", k);
     },
     expect_integer},
    {"mset", "MSET of 10 pairs key:<k..k+9> <value>", false,
     [](RequestWriter& w, uint64_t k, const Workload& wl) {
         w.begin(1 + 2 * kMsetPairs);
         w.arg("MSET");
         for (uint64_t i = 0; i < kMsetPairs; ++i) {
             w.arg_key("key:", (k + i) % wl.keyspace);
             w.framed(wl.value_framed);
         }
     },
     expect_ok},
    {"lpush", "LPUSH list:<k> <value>", false,
     [](RequestWriter& w, uint64_t k, const Workload& wl) {
         w.begin(3);
         w.arg("LPUSH");
         w.arg_key("list:", k);
         w.framed(wl.value_framed);
     },
     expect_integer},
    {"rpush", "RPUSH list:<k> <value>", false,
     [](RequestWriter& w, uint64_t k, const Workload& wl) {
         w.begin(3);
         w.arg("RPUSH");
         w.arg_key("list:", k);
         w.framed(wl.value_framed);
     },
     expect_integer},
    {"lpop", "LPOP list:<k> (lists filled by lpush/rpush before)", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(2);
         w.arg("LPOP");
         w.arg_key("list:", k);
     },
     expect_value_or_null},
    {"rpop", "RPOP list:<k> (lists filled by lpush/rpush before)", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(2);
         w.arg("RPOP");
         w.arg_key("list:", k);
     },
     expect_value_or_null},
    {"lrange_100", "LRANGE list:<k> 0 99 (lists filled by lpush/rpush before)", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(4);
         w.arg("LRANGE");
         w.arg_key("list:", k);
         w.arg("0");
         w.arg("99");
     },
     expect_values_array},
    {"lmove", "LMOVE list:<k> list:<k+1> LEFT RIGHT (lists filled by lpush/rpush before)", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(5);
         w.arg("LMOVE");
         w.arg_key("list:", k);
         w.arg_key("list:", k + 1);
         w.arg("LEFT");
         w.arg("RIGHT");
     },
     expect_value_or_null},
    {"zadd", "ZADD zset:<k mod 10> <k> member:<k>", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(4);
         w.arg("ZADD");
         w.arg_key("zset:", k % kZsetKeys);
         w.arg_key("", k);
         w.arg_key("member:", k);
     },
     expect_integer},
    {"zrange_100", "ZRANGE zset:<k mod 10> 0 99 (sets filled by zadd before)", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(4);
         w.arg("ZRANGE");
         w.arg_key("zset:", k % kZsetKeys);
         w.arg("0");
         w.arg("99");
     },
     expect_members_array},
    {"zpopmin", "ZPOPMIN zset:<k mod 10> (sets filled by zadd before)", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(2);
         w.arg("ZPOPMIN");
         w.arg_key("zset:", k % kZsetKeys);
     },
     expect_popped_pair},
    {"zunionstore", "ZUNIONSTORE zunion:<k mod 10> 2 zset:<k mod 10> zset:<k+1 mod 10> (sets filled by zadd before)",
     false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(5);
         w.arg("ZUNIONSTORE");
         w.arg_key("zunion:", k % kZsetKeys);
         w.arg("2");
         w.arg_key("zset:", k % kZsetKeys);
         w.arg_key("zset:", (k + 1) % kZsetKeys);
     },
     expect_integer},
    {"hset", "HSET hash:<k mod 1000> field:<k> <value>", false,
     [](RequestWriter& w, uint64_t k, const Workload& wl) {
         w.begin(4);
         w.arg("HSET");
         w.arg_key("hash:", k % kCollections);
         w.arg_key("field:", k);
         w.framed(wl.value_framed);
     },
     expect_integer},
    {"hget", "HGET hash:<k mod 1000> field:<k> (hashes filled by hset before)", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(3);
         w.arg("HGET");
         w.arg_key("hash:", k % kCollections);
         w.arg_key("field:", k);
     },
     expect_value_or_null},
    {"sadd", "SADD set:<k mod 1000> member:<k>", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(3);
         w.arg("SADD");
         w.arg_key("set:", k % kCollections);
         w.arg_key("member:", k);
     },
     expect_integer},
    {"spop", "SPOP set:<k mod 1000> (sets filled by sadd before)", false,
     [](RequestWriter& w, uint64_t k, const Workload&) {
         w.begin(2);
         w.arg("SPOP");
         w.arg_key("set:", k % kCollections);
     },
     expect_bulk_or_null},
};

const TestSpec* find_test(std::string_view name) {
    for (const TestSpec& t : kTests) {
        if (name == t.name) return &t;
    }
    return nullptr;
}

// Fills the keyspace before a test that reads it.
const TestSpec* preload_test() { return find_test("set"); }

// ---- Latency histogram -----------------------------------------------------

// Log-linear buckets over nanoseconds: exact below 2048 ns, then 1024 buckets per
// power of two (under 0.1 % relative error), up to about 37 minutes. The exact
// maximum is kept aside.
class Histogram {
public:
    Histogram() : counts_(kBuckets, 0) {}

    void record(uint64_t ns) {
        ns = std::min(ns, kMaxValue);
        ++counts_[bucket_of(ns)];
        ++total_;
        max_ = std::max(max_, ns);
    }
    uint64_t total() const { return total_; }
    uint64_t max() const { return max_; }

    // The smallest recorded value (to bucket precision) with at least q of all
    // samples at or below it.
    uint64_t percentile(double q) const {
        if (total_ == 0) return 0;
        uint64_t rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(total_)));
        rank = std::clamp<uint64_t>(rank, 1, total_);
        uint64_t seen = 0;
        for (size_t i = 0; i < counts_.size(); ++i) {
            seen += counts_[i];
            if (seen >= rank) return std::min(upper_bound_of(i), max_);
        }
        return max_;
    }

private:
    static constexpr int kSubBits = 10;
    static constexpr uint64_t kHalf = uint64_t(1) << kSubBits;
    static constexpr uint64_t kMaxValue = (uint64_t(1) << 41) - 1;
    static constexpr size_t kBuckets = static_cast<size_t>(31 * kHalf + 2 * kHalf);

    static size_t bucket_of(uint64_t v) {
        if (v < 2 * kHalf) return static_cast<size_t>(v);
        int msb = 63 - std::countl_zero(v);
        int shift = msb - kSubBits;
        return static_cast<size_t>(static_cast<uint64_t>(shift) * kHalf + (v >> shift));
    }
    static uint64_t upper_bound_of(size_t idx) {
        if (idx < 2 * kHalf) return idx;
        uint64_t shift = idx / kHalf - 1;
        uint64_t sub = kHalf + idx % kHalf;
        return ((sub + 1) << shift) - 1;
    }

    std::vector<uint64_t> counts_;
    uint64_t total_ = 0;
    uint64_t max_ = 0;
};

// ---- Options ---------------------------------------------------------------

struct Options {
    std::string host = "127.0.0.1";
    int port = 6379;
    std::string password;
    bool has_password = false;
    uint64_t clients = 50;
    uint64_t pipeline = 1;
    uint64_t requests = 100000;  // 0 when --duration decides
    double duration_s = 0;
    uint64_t keyspace = 100000;
    uint64_t data_size = 100;
    std::vector<const TestSpec*> tests;
    bool csv = false;
    bool quiet = false;
};

void print_help(FILE* out) {
    std::fputs(
        "usage: vorel-benchmark [options]\n"
        "\n"
        "Drives a running vorel server with many pipelined connections from one thread,\n"
        "checks every reply and reports requests per second and latency per test.\n"
        "Exits with status 1 when a test saw a wrong or error reply or the server\n"
        "could not be reached, 2 on bad arguments.\n"
        "\n"
        "options:\n"
        "  --host H        server address, IPv4 or localhost (default 127.0.0.1)\n"
        "  --port N        server port (default 6379)\n"
        "  --password PW   send AUTH PW on every connection first\n"
        "  --clients N     concurrent connections (default 50)\n"
        "  --pipeline P    requests in flight per connection (default 1)\n"
        "  --requests N    requests per test (default 100000)\n"
        "  --duration S    seconds per test instead; the later of --requests and\n"
        "                  --duration wins\n"
        "  --keyspace K    keys are picked at random from 0..K-1 (default 100000)\n"
        "  --data-size B   value size in bytes (default 100)\n"
        "  --tests LIST    comma-separated tests to run (default ping,set,get,incr)\n"
        "  --csv           one line per test: test,requests,seconds,rps,p50_ms,\n"
        "                  p99_ms,p999_ms,max_ms,errors (after a header line)\n"
        "  --quiet         one short line per test\n"
        "  --help          show this text and exit\n"
        "\n"
        "Options also take the form --name=value.\n"
        "\n"
        "tests:\n",
        out);
    for (const TestSpec& t : kTests) {
        std::string line = "  ";
        line += t.name;
        line.resize(std::max<size_t>(line.size() + 1, 10), ' ');
        line += t.summary;
        line += '\n';
        std::fputs(line.c_str(), out);
    }
}

bool parse_uint(const std::string& text, uint64_t lo, uint64_t hi, uint64_t* out) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_seconds(const std::string& text, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !(v > 0) || v > 86400.0 * 365) return false;
    *out = v;
    return true;
}

bool parse_test_list(const std::string& text, std::vector<const TestSpec*>* out) {
    out->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string name = text.substr(start, comma - start);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (!name.empty()) {
            const TestSpec* t = find_test(name);
            if (t == nullptr) {
                std::string known;
                for (const TestSpec& k : kTests) known += std::string(known.empty() ? "" : ",") + k.name;
                std::fprintf(stderr, "vorel-benchmark: unknown test '%s' (known: %s)\n", name.c_str(), known.c_str());
                return false;
            }
            out->push_back(t);
        }
        start = comma + 1;
    }
    if (out->empty()) {
        std::fputs("vorel-benchmark: --tests names no test\n", stderr);
        return false;
    }
    return true;
}

// 0 = run, 1 = help shown, 2 = bad arguments (message already printed).
int parse_args(int argc, char** argv, Options* opt) {
    parse_test_list("ping,set,get,incr", &opt->tests);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return 1;
        std::string name = arg;
        std::string value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        if (name == "--csv" || name == "--quiet") {
            if (has_value) {
                std::fprintf(stderr, "vorel-benchmark: %s takes no value\n", name.c_str());
                return 2;
            }
            (name == "--csv" ? opt->csv : opt->quiet) = true;
            continue;
        }
        static const char* const kValued[] = {"--host",     "--port",     "--password", "--clients",
                                              "--pipeline", "--requests", "--duration", "--keyspace",
                                              "--data-size", "--tests"};
        bool known = false;
        for (const char* k : kValued) known = known || name == k;
        if (!known) {
            std::fprintf(stderr, "vorel-benchmark: unknown option '%s' (see --help)\n", arg.c_str());
            return 2;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vorel-benchmark: %s needs a value\n", name.c_str());
                return 2;
            }
            value = argv[++i];
        }
        uint64_t n = 0;
        bool ok = true;
        if (name == "--host") {
            ok = !value.empty();
            opt->host = value;
        } else if (name == "--port") {
            ok = parse_uint(value, 1, 65535, &n);
            opt->port = static_cast<int>(n);
        } else if (name == "--password") {
            opt->password = value;
            opt->has_password = true;
        } else if (name == "--clients") {
            ok = parse_uint(value, 1, 10000, &opt->clients);
        } else if (name == "--pipeline") {
            ok = parse_uint(value, 1, 100000, &opt->pipeline);
        } else if (name == "--requests") {
            ok = parse_uint(value, 1, uint64_t(1) << 50, &opt->requests);
            if (ok) opt->duration_s = 0;
        } else if (name == "--duration") {
            ok = parse_seconds(value, &opt->duration_s);
            if (ok) opt->requests = 0;
        } else if (name == "--keyspace") {
            ok = parse_uint(value, 1, uint64_t(1) << 50, &opt->keyspace);
        } else if (name == "--data-size") {
            ok = parse_uint(value, 0, uint64_t(kMaxBulk), &opt->data_size);
        } else if (name == "--tests") {
            if (!parse_test_list(value, &opt->tests)) return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "vorel-benchmark: bad value '%s' for %s\n", value.c_str(), name.c_str());
            return 2;
        }
    }
    return 0;
}

// ---- Error reports ---------------------------------------------------------

// Printable form of protocol bytes: CR/LF and other control bytes escaped, cut at max.
std::string escape(std::string_view bytes, size_t max) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        unsigned char ch = static_cast<unsigned char>(bytes[i]);
        if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch < 0x20 || ch >= 0x7f || ch == '\\' || ch == '"') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(ch));
            out += hex;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

// "SET key:42 xxxx..." from a request this tool framed itself.
std::string describe_request(std::string_view framed) {
    std::string out;
    size_t pos = framed.find("\r\n");
    while (pos != std::string_view::npos && pos + 2 < framed.size() && framed[pos + 2] == '$') {
        size_t len_end = framed.find("\r\n", pos + 2);
        if (len_end == std::string_view::npos) break;
        int64_t len = 0;
        if (!parse_int64(framed.substr(pos + 3, len_end - pos - 3), &len) || len < 0) break;
        std::string_view a = framed.substr(len_end + 2, static_cast<size_t>(len));
        if (!out.empty()) out += ' ';
        out += escape(a, 24);
        if (out.size() > 100) {
            out += " ...";
            break;
        }
        pos = len_end + 2 + static_cast<size_t>(len);
    }
    return out;
}

// ---- Connections and the load loop -----------------------------------------

constexpr size_t kMaxSamples = 5;          // bad replies shown per test
constexpr int kStallTimeoutMs = 10000;     // no traffic at all for this long: give up
constexpr int kHandshakeTimeoutMs = 5000;  // AUTH reply
constexpr size_t kRecvChunk = 64 * 1024;

struct Conn {
    platform::Socket sock = platform::kInvalidSocket;
    std::string out;                     // the current batch, kept for error reports
    size_t out_sent = 0;
    std::vector<size_t> request_starts;  // offset of each request of the batch in out
    size_t batch_size = 0;
    size_t answered = 0;                 // replies to the current batch so far
    Clock::time_point batch_sent;
    std::vector<char> in;
    size_t in_begin = 0;
    size_t in_end = 0;

    size_t in_flight() const { return batch_size - answered; }
    bool open() const { return sock != platform::kInvalidSocket; }
};

struct PhaseResult {
    uint64_t replies = 0;
    uint64_t errors = 0;
    uint64_t nulls = 0;
    double seconds = 0;
    Histogram latency;
    std::vector<std::string> samples;  // the first bad replies, for the report
};

// Sends req on a connected socket and waits for one reply; false with a message when
// the exchange fails. Used for the AUTH that precedes the load.
bool handshake(platform::Socket s, const std::string& req, const char* expect_status, std::string* err) {
    if (!platform::net_set_blocking(s, false)) {
        *err = "cannot make the socket non-blocking";
        return false;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs);
    size_t sent = 0;
    std::string in;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            *err = "no reply within 5 s";
            return false;
        }
        platform::PollItem item{s, static_cast<short>(sent < req.size() ? platform::kPollOut : platform::kPollIn), 0};
        if (platform::net_poll(&item, 1, static_cast<int>(left)) < 0) {
            *err = "poll failed";
            return false;
        }
        if (item.revents == 0) continue;
        if (sent < req.size()) {
            int64_t n = platform::net_send(s, req.data() + sent, req.size() - sent);
            if (n == platform::kIoError) {
                *err = "send failed";
                return false;
            }
            if (n > 0) sent += static_cast<size_t>(n);
            continue;
        }
        char chunk[4096];
        int64_t n = platform::net_recv(s, chunk, sizeof chunk);
        if (n == platform::kWouldBlock) continue;
        if (n <= 0) {
            *err = "connection closed by the server";
            return false;
        }
        in.append(chunk, static_cast<size_t>(n));
        Reply reply;
        size_t pos = 0;
        Parse p = parse_reply(in.data(), in.size(), &pos, &reply, 0, err);
        if (p == Parse::NeedMore) continue;
        if (p == Parse::Bad) return false;
        if (reply.type == '+' && reply.text == expect_status) return true;
        *err = "expected +" + std::string(expect_status) + ", got \"" + escape(std::string_view(in.data(), pos), 100) + "\"";
        return false;
    }
}

// splitmix64: fast, and good enough to spread keys.
struct Random {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += UINT64_C(0x9E3779B97F4A7C15));
        z = (z ^ (z >> 30)) * UINT64_C(0xBF58476D1CE4E5B9);
        z = (z ^ (z >> 27)) * UINT64_C(0x94D049BB133111EB);
        return z ^ (z >> 31);
    }
};

struct PhasePlan {
    const TestSpec* test;
    std::string label;       // name shown in progress and error lines
    bool sequential = false; // keys 0,1,2,... (the preload) instead of random
    uint64_t requests = 0;   // 0: run for duration_s
    double duration_s = 0;
    uint64_t pipeline = 1;
    bool progress = false;
    uint64_t seed = 1;
};

class Phase {
public:
    Phase(const Options& opt, const Workload& wl, const PhasePlan& plan) : opt_(opt), wl_(wl), plan_(plan) {
        rng_.state = plan.seed;
    }

    // Connects every client; false (message printed) when the server cannot be used.
    bool connect_all() {
        conns_.resize(opt_.clients);
        std::string auth;
        if (opt_.has_password) {
            RequestWriter w(&auth);
            w.begin(2);
            w.arg("AUTH");
            w.arg(opt_.password);
        }
        for (size_t i = 0; i < conns_.size(); ++i) {
            Conn& c = conns_[i];
            c.sock = platform::net_connect(opt_.host.c_str(), opt_.port);
            if (!c.open()) {
                std::fprintf(stderr,
                             "vorel-benchmark: cannot connect to %s:%d (connection %s of %s): refused, "
                             "unreachable or not an IPv4 address\n",
                             opt_.host.c_str(), opt_.port, uint_text(i + 1).c_str(), uint_text(conns_.size()).c_str());
                return false;
            }
            std::string err;
            if (opt_.has_password && !handshake(c.sock, auth, "OK", &err)) {
                std::fprintf(stderr, "vorel-benchmark: AUTH failed on %s:%d: %s\n", opt_.host.c_str(), opt_.port,
                             err.c_str());
                return false;
            }
            if (!platform::net_set_blocking(c.sock, false)) {
                std::fprintf(stderr, "vorel-benchmark: cannot make a socket non-blocking\n");
                return false;
            }
            c.in.resize(kRecvChunk * 2);
        }
        return true;
    }

    ~Phase() {
        for (Conn& c : conns_) close(c);
    }

    PhaseResult run() {
        start_ = Clock::now();
        deadline_ = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(plan_.duration_s));
        remaining_ = plan_.requests;
        last_activity_ = start_;
        last_tick_ = start_;
        last_end_ = start_;
        for (Conn& c : conns_) start_batch(c, start_);

        std::vector<platform::PollItem> items;
        std::vector<Conn*> owners;
        for (;;) {
            items.clear();
            owners.clear();
            for (Conn& c : conns_) {
                if (!c.open() || c.batch_size == 0) continue;
                short ev = 0;
                if (c.out_sent < c.out.size()) ev |= platform::kPollOut;
                if (c.in_flight() > 0) ev |= platform::kPollIn;
                items.push_back({c.sock, ev, 0});
                owners.push_back(&c);
            }
            if (items.empty()) break;

            int r = platform::net_poll(items.data(), items.size(), 50);
            if (r < 0) {
                fail_all("polling the sockets failed");
                break;
            }
            for (size_t i = 0; i < items.size(); ++i) {
                Conn& c = *owners[i];
                short got = items[i].revents;
                if (got == 0 || !c.open()) continue;
                if (got & platform::kPollOut) flush(c);
                if (c.open() && (got & (platform::kPollIn | platform::kPollErr))) receive(c);
            }
            Clock::time_point now = Clock::now();
            if (now - last_activity_ > std::chrono::milliseconds(kStallTimeoutMs)) {
                fail_all("no reply for 10 s");
                break;
            }
            if (plan_.progress && now - last_tick_ >= std::chrono::milliseconds(250)) show_progress(now);
        }
        // Every connection gone before the test was over: what was never sent did
        // not succeed either.
        if (plan_.requests > 0 && remaining_ > 0) {
            result_.errors += remaining_;
            result_.samples.push_back("all connections lost; " + uint_text(remaining_) + " requests never sent");
        } else if (plan_.requests == 0 && last_end_ < deadline_) {
            result_.errors += 1;
            result_.samples.push_back("all connections lost before the time was up");
        }
        if (plan_.progress && progress_width_ > 0) {
            std::fputs(("\r" + std::string(progress_width_, ' ') + "\r").c_str(), stdout);
            std::fflush(stdout);
        }
        result_.seconds = std::chrono::duration<double>(last_end_ - start_).count();
        return std::move(result_);
    }

private:
    // Builds and sends the next batch, or leaves the connection idle when the test
    // has issued all its requests or its time is up.
    void start_batch(Conn& c, Clock::time_point now) {
        c.out.clear();
        c.out_sent = 0;
        c.request_starts.clear();
        c.answered = 0;
        c.batch_size = 0;
        if (!c.open()) return;
        uint64_t n = plan_.pipeline;
        if (plan_.requests > 0) {
            n = std::min(n, remaining_);
            remaining_ -= n;
        } else if (now >= deadline_) {
            n = 0;
        }
        if (n == 0) return;
        RequestWriter w(&c.out);
        for (uint64_t i = 0; i < n; ++i) {
            c.request_starts.push_back(c.out.size());
            uint64_t key = plan_.sequential ? next_key_++ % wl_.keyspace : rng_.next() % wl_.keyspace;
            plan_.test->build(w, key, wl_);
        }
        c.batch_size = static_cast<size_t>(n);
        c.batch_sent = Clock::now();
        flush(c);
    }

    void flush(Conn& c) {
        while (c.out_sent < c.out.size()) {
            int64_t n = platform::net_send(c.sock, c.out.data() + c.out_sent, c.out.size() - c.out_sent);
            if (n == platform::kWouldBlock) return;
            if (n < 0) {
                fail(c, "send failed");
                return;
            }
            c.out_sent += static_cast<size_t>(n);
            last_activity_ = Clock::now();
        }
    }

    void receive(Conn& c) {
        for (;;) {
            if (c.in_begin == c.in_end) c.in_begin = c.in_end = 0;
            if (c.in.size() - c.in_end < kRecvChunk) {
                // Move the unparsed tail to the front; grow only for a reply larger
                // than the buffer.
                std::memmove(c.in.data(), c.in.data() + c.in_begin, c.in_end - c.in_begin);
                c.in_end -= c.in_begin;
                c.in_begin = 0;
                if (c.in.size() - c.in_end < kRecvChunk) c.in.resize(c.in.size() * 2);
            }
            size_t room = c.in.size() - c.in_end;
            int64_t n = platform::net_recv(c.sock, c.in.data() + c.in_end, room);
            if (n == platform::kWouldBlock) return;
            if (n == 0) {
                fail(c, "connection closed by the server");
                return;
            }
            if (n < 0) {
                fail(c, "receive failed");
                return;
            }
            Clock::time_point arrived = Clock::now();
            last_activity_ = arrived;
            c.in_end += static_cast<size_t>(n);
            if (!consume(c, arrived)) return;
            // A short read drained the socket: poll says when more arrives, which
            // saves a recv that would only report "would block".
            if (c.batch_size == 0 || static_cast<size_t>(n) < room) return;
        }
    }

    // Parses and checks every complete reply in the buffer; false when the
    // connection had to be dropped.
    bool consume(Conn& c, Clock::time_point arrived) {
        while (c.in_begin < c.in_end) {
            size_t pos = c.in_begin;
            std::string err;
            Parse p = parse_reply(c.in.data(), c.in_end, &pos, &reply_, 0, &err);
            if (p == Parse::NeedMore) return true;
            if (p == Parse::Bad) {
                fail(c, "unreadable reply (" + err + "): \"" +
                            escape(std::string_view(c.in.data() + c.in_begin, c.in_end - c.in_begin), 80) + "\"");
                return false;
            }
            std::string_view raw(c.in.data() + c.in_begin, pos - c.in_begin);
            c.in_begin = pos;
            if (c.in_flight() == 0) {
                fail(c, "reply without a request: \"" + escape(raw, 80) + "\"");
                return false;
            }
            uint64_t ns = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(arrived - c.batch_sent).count());
            result_.latency.record(ns);
            ++result_.replies;
            if (reply_.null) ++result_.nulls;
            if (const char* expected = plan_.test->verify(reply_, wl_)) {
                ++result_.errors;
                if (result_.samples.size() < kMaxSamples) {
                    size_t start = c.request_starts[c.answered];
                    size_t end = c.answered + 1 < c.request_starts.size() ? c.request_starts[c.answered + 1] : c.out.size();
                    result_.samples.push_back(describe_request(std::string_view(c.out).substr(start, end - start)) +
                                              ": expected " + expected + ", got \"" + escape(raw, 120) + "\"");
                }
            }
            ++c.answered;
            last_end_ = arrived;
            if (c.in_flight() == 0) {
                start_batch(c, arrived);
                if (!c.open()) return false;
            }
        }
        return true;
    }

    // Drops a connection; whatever it still had in flight counts as errors.
    void fail(Conn& c, const std::string& why) {
        size_t lost = c.in_flight();
        result_.errors += lost;
        if (result_.samples.size() < kMaxSamples) {
            result_.samples.push_back(why + (lost > 0 ? " (" + uint_text(lost) + " replies outstanding)" : ""));
        }
        close(c);
        c.batch_size = c.answered = 0;
    }

    void fail_all(const std::string& why) {
        for (Conn& c : conns_) {
            if (c.open() && c.in_flight() > 0) fail(c, why);
        }
    }

    static void close(Conn& c) {
        if (c.open()) platform::net_close(c.sock);
        c.sock = platform::kInvalidSocket;
    }

    void show_progress(Clock::time_point now) {
        double interval = std::chrono::duration<double>(now - last_tick_).count();
        double rps = interval > 0 ? static_cast<double>(result_.replies - last_tick_replies_) / interval : 0;
        last_tick_ = now;
        last_tick_replies_ = result_.replies;
        std::string line = plan_.label + ": " + uint_text(result_.replies);
        if (plan_.requests > 0) {
            line += "/" + uint_text(plan_.requests) + " requests";
        } else {
            char t[64];
            std::snprintf(t, sizeof t, " requests, %.1f/%.1f s", std::chrono::duration<double>(now - start_).count(),
                          plan_.duration_s);
            line += t;
        }
        char r[48];
        std::snprintf(r, sizeof r, ", %.0f requests/s", rps);
        line += r;
        if (result_.errors > 0) line += ", " + uint_text(result_.errors) + " errors";
        // Pad with blanks over what a longer previous line left behind.
        size_t width = line.size();
        if (width < progress_width_) line.append(progress_width_ - width, ' ');
        progress_width_ = std::max(progress_width_, width);
        std::fputs(("\r" + line).c_str(), stdout);
        std::fflush(stdout);
    }

    const Options& opt_;
    const Workload& wl_;
    PhasePlan plan_;
    std::vector<Conn> conns_;
    Random rng_{};
    uint64_t next_key_ = 0;
    uint64_t remaining_ = 0;
    Clock::time_point start_, deadline_, last_activity_, last_tick_, last_end_;
    uint64_t last_tick_replies_ = 0;
    size_t progress_width_ = 0;
    Reply reply_;  // reused, so arrays keep their element storage
    PhaseResult result_;
};

// ---- Reports ---------------------------------------------------------------

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string ms(uint64_t ns) { return fixed(static_cast<double>(ns) / 1e6, 3); }

void print_samples(const std::string& label, const PhaseResult& r) {
    for (const std::string& s : r.samples) std::fprintf(stderr, "  %s: %s\n", label.c_str(), s.c_str());
    if (r.errors > r.samples.size()) {
        std::fprintf(stderr, "  %s: ... %s errors in all\n", label.c_str(), uint_text(r.errors).c_str());
    }
}

void report(const Options& opt, const std::string& name, const PhaseResult& r) {
    double rps = r.seconds > 0 ? static_cast<double>(r.replies) / r.seconds : 0;
    const Histogram& h = r.latency;
    std::string line;
    if (opt.csv) {
        line = name + "," + uint_text(r.replies) + "," + fixed(r.seconds, 3) + "," + fixed(rps, 2) + "," +
               ms(h.percentile(0.5)) + "," + ms(h.percentile(0.99)) + "," + ms(h.percentile(0.999)) + "," +
               ms(h.max()) + "," + uint_text(r.errors) + "\n";
    } else if (opt.quiet) {
        line = name + ": " + fixed(rps, 2) + " requests per second, p50 " + ms(h.percentile(0.5)) + " ms, p99 " +
               ms(h.percentile(0.99)) + " ms, " + uint_text(r.errors) + " errors\n";
    } else {
        line = "====== " + name + " ======\n";
        line += "  " + uint_text(r.replies) + " requests in " + fixed(r.seconds, 3) + " s: " + fixed(rps, 2) +
                " requests per second\n";
        line += "  latency ms: p50 " + ms(h.percentile(0.5)) + "  p99 " + ms(h.percentile(0.99)) + "  p99.9 " +
                ms(h.percentile(0.999)) + "  max " + ms(h.max()) + "\n";
        line += "  errors: " + uint_text(r.errors);
        if (r.nulls > 0) line += "  (null replies: " + uint_text(r.nulls) + ")";
        line += "\n\n";
    }
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

// Runs one phase; false when the server could not be reached (already reported).
bool run_phase(const Options& opt, const Workload& wl, const PhasePlan& plan, PhaseResult* out) {
    Phase phase(opt, wl, plan);
    if (!phase.connect_all()) return false;
    *out = phase.run();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int parsed = parse_args(argc, argv, &opt);
    if (parsed == 1) {
        print_help(stdout);
        return 0;
    }
    if (parsed != 0) return 2;

    platform::net_startup();
    Workload wl;
    wl.keyspace = opt.keyspace;
    // A repeating 36-symbol pattern, so a shifted or truncated payload cannot pass.
    static const char kPattern[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    wl.value.resize(opt.data_size);
    for (size_t i = 0; i < wl.value.size(); ++i) wl.value[i] = kPattern[i % 36];
    {
        RequestWriter w(&wl.value_framed);
        w.arg(wl.value);
    }

    bool progress = !opt.csv && !opt.quiet && platform::stdout_is_terminal();
    if (opt.csv) {
        std::fputs("test,requests,seconds,rps,p50_ms,p99_ms,p999_ms,max_ms,errors\n", stdout);
    } else if (!opt.quiet) {
        std::string head = "vorel-benchmark: " + opt.host + ":" + std::to_string(opt.port) + ", " +
                           uint_text(opt.clients) + " clients, pipeline " + uint_text(opt.pipeline) + ", ";
        head += opt.requests > 0 ? uint_text(opt.requests) + " requests" : fixed(opt.duration_s, 1) + " s";
        head += " per test, keyspace " + uint_text(opt.keyspace) + ", " + uint_text(opt.data_size) + "-byte values\n\n";
        std::fputs(head.c_str(), stdout);
    }

    bool failed = false;
    uint64_t seed = 1;
    for (const TestSpec* test : opt.tests) {
        ++seed;
        if (test->preload) {
            PhasePlan pre;
            pre.test = preload_test();
            pre.label = std::string(test->name) + " (preload)";
            pre.sequential = true;
            pre.requests = opt.keyspace;
            pre.pipeline = std::max<uint64_t>(opt.pipeline, 32);
            pre.progress = progress;
            if (!opt.csv && !opt.quiet) {
                std::fputs(("filling key:0.." + uint_text(opt.keyspace - 1) + " for " + test->name + "\n").c_str(), stdout);
                std::fflush(stdout);
            }
            PhaseResult r;
            if (!run_phase(opt, wl, pre, &r)) return 1;
            if (r.errors > 0) {
                failed = true;
                std::fprintf(stderr, "vorel-benchmark: %s: %s errors while filling the keyspace\n", test->name,
                             uint_text(r.errors).c_str());
                print_samples(pre.label, r);
            }
        }
        PhasePlan plan;
        plan.test = test;
        plan.label = test->name;
        plan.requests = opt.requests;
        plan.duration_s = opt.duration_s;
        plan.pipeline = opt.pipeline;
        plan.progress = progress;
        plan.seed = seed;
        PhaseResult r;
        if (!run_phase(opt, wl, plan, &r)) return 1;
        report(opt, test->name, r);
        if (r.errors > 0) {
            failed = true;
            std::fprintf(stderr, "vorel-benchmark: %s: %s bad replies, for example:\n", test->name,
                         uint_text(r.errors).c_str());
            print_samples(test->name, r);
        }
    }
    if (failed) {
        std::fputs("vorel-benchmark: FAILED: some replies were wrong, so the figures above do not count\n", stderr);
        return 1;
    }
    return 0;
}
