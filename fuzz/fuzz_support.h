// fuzz_support.h — shared set-up of the fuzz targets: a fresh keyspace and a
// client without a socket whose replies are kept in its output buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "commands/command.h"
#include "server/server.h"

namespace fuzz {

// A server with a fresh keyspace and one client, for the length of one input.
struct Session {
    explicit Session(int32_t max_memory_mb = 1) {
        server.keyspace = dict_create(max_memory_mb);
        client = std::make_unique<Client>();
        client->authenticated = 1;
        // Not a descriptor this process holds: replies stay in the output buffer,
        // and closing it touches nothing.
        client->sock = -2;
    }
    ~Session() {
        client->sock = platform::kInvalidSocket;
        free_client_extras(client.get());
        client.reset();
        dict_destroy(server.keyspace);
        server.keyspace = nullptr;
    }
    Server server;
    std::unique_ptr<Client> client;
};

// Walks the table and checks what every operation must keep true.
void check_keyspace(const Keyspace* ks);

}  // namespace fuzz
