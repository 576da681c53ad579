// Fuzz target: arbitrary bytes, cut into arbitrary segments, through the request
// framer (multibulk, inline and HTTP) and the dispatcher.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    fuzz::Session session;
    // The first byte chooses the segment length, so splits land everywhere.
    const size_t segment = 1 + data[0] % 64;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    size_t left = size - 1;
    while (left > 0) {
        size_t n = left < segment ? left : segment;
        if (!connection_feed(session.server, session.client.get(), bytes, n)) break;
        fuzz::check_keyspace(session.server.keyspace);
        bytes += n;
        left -= n;
    }
    return 0;
}
