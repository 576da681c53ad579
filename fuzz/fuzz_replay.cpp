// Fuzz target: arbitrary append-only files through the replay at start.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "fuzz_replay_" + std::to_string(platform::process_id()) + ".aof";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    fuzz::Session session(0);
    session.server.log.set_path(path);
    replay_log(session.server);
    fuzz::check_keyspace(session.server.keyspace);
    std::remove(path.c_str());
    std::remove((path + ".corrupt").c_str());
    return 0;
}
