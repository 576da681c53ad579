// request_path_bench.cpp — the cost of one pipelined request from framing to
// its reply, without the sockets: batches of 32 requests (90 % GET, 10 % SET of
// random keys, 100-byte values, as the load generator's mixed test sends them)
// are fed to one client's input and framed, hinted, dispatched and answered as a
// received batch is. Items are requests, so the rate is requests per second of
// the worker's own time. BM_PipelinedMixValueBytes runs the same mix with values
// of a given size: entries bigger than a few cache lines hint differently.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands/command.h"
#include "server/server.h"

namespace {

constexpr size_t kPipeline = 32;
constexpr size_t kBatches = 4096;

std::string value_of(size_t bytes) {
    static const char kPattern[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string v(bytes, ' ');
    for (size_t i = 0; i < v.size(); ++i) v[i] = kPattern[i % 36];
    return v;
}

void append_arg(std::string& out, std::string_view arg) {
    out += '$';
    out += std::to_string(arg.size());
    out += "\r\n";
    out.append(arg);
    out += "\r\n";
}

// A server holding `keys` string keys of `value_bytes` each and one client whose
// replies stay in its output buffer, with kBatches batches of requests ready to feed.
struct Fixture {
    Server srv;
    std::unique_ptr<Client> client;
    std::vector<std::string> batches;

    Fixture(uint64_t keys, size_t value_bytes) {
        srv.keyspace = dict_create(0);
        const std::string value = value_of(value_bytes);
        for (uint64_t i = 0; i < keys; ++i) dict_set_string(srv.keyspace, "key:" + std::to_string(i), value, 0);
        client = std::make_unique<Client>();
        client->authenticated = 1;
        client->sock = -2;  // not a descriptor: nothing is sent
        uint64_t state = 0x9e3779b97f4a7c15ULL;
        batches.resize(kBatches);
        for (std::string& b : batches) {
            for (size_t r = 0; r < kPipeline; ++r) {
                state = state * 6364136223846793005ULL + 1442695040888963407ULL;
                const uint64_t draw = state >> 33;
                const std::string key = "key:" + std::to_string(draw % keys);
                const bool set = (draw >> 20) % 10 == 0;
                b += set ? "*3\r\n" : "*2\r\n";
                append_arg(b, set ? "SET" : "GET");
                append_arg(b, key);
                if (set) append_arg(b, value);
            }
        }
    }
    ~Fixture() {
        client->sock = platform::kInvalidSocket;
        free_client_extras(client.get());
        client.reset();
        dict_destroy(srv.keyspace);
        srv.keyspace = nullptr;
    }
};

Fixture& fixture(uint64_t keys, size_t value_bytes) {
    static std::map<std::pair<uint64_t, size_t>, std::unique_ptr<Fixture>> all;
    std::unique_ptr<Fixture>& f = all[{keys, value_bytes}];
    if (!f) f = std::make_unique<Fixture>(keys, value_bytes);
    return *f;
}

void feed_batches(benchmark::State& state, Fixture& f) {
    size_t next = 0;
    for (auto _ : state) {
        const std::string& batch = f.batches[next++ % kBatches];
        if (!connection_feed(f.srv, f.client.get(), batch.data(), batch.size())) state.SkipWithError("feed failed");
        f.client->out.consume(f.client->out.pending());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPipeline));
}

void BM_PipelinedMix(benchmark::State& state) {
    feed_batches(state, fixture(static_cast<uint64_t>(state.range(0)), 100));
}
BENCHMARK(BM_PipelinedMix)->Arg(1000)->Arg(100000)->Arg(1000000);

// Keys, value bytes.
void BM_PipelinedMixValueBytes(benchmark::State& state) {
    feed_batches(state, fixture(static_cast<uint64_t>(state.range(0)), static_cast<size_t>(state.range(1))));
}
BENCHMARK(BM_PipelinedMixValueBytes)->Args({100000, 300})->Args({1000000, 300});

}  // namespace

BENCHMARK_MAIN();
