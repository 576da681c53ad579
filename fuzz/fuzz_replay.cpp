// Fuzz target: arbitrary append-only files through the replay at start.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "server/aof.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "fuzz_replay_" + std::to_string(platform::process_id()) + ".aof";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    fuzz::Session session(0);
    s_persist_file = path;
    aof_replay();
    fuzz::check_keyspace(s_dict);
    s_persist_file.clear();
    std::remove(path.c_str());
    std::remove((path + ".corrupt").c_str());
    return 0;
}
