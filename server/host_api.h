// host_api.h — the host's direct access to the keyspace, shared by the exported
// host functions and the HTTP front end. Callers hold the server lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct Server;

// JSON array of the keys matching the pattern (nullptr = "*"), escaped.
std::string host_keys_json(Server& srv, const char* pattern);
// The statistics object.
std::string host_stats_json(Server& srv);
// Stores a string value with an optional ttl in seconds, creating a keyspace when
// none exists, and logs it with its absolute deadline. 0 stored, -1 failure with
// the reason in srv.last_error.
int host_set_value(Server& srv, std::string_view key, std::string_view value, int64_t ttl_s);
// Deletes a key and logs the deletion: 1 deleted, 0 missing, -1 failure (reason
// in srv.last_error).
int host_del_key(Server& srv, std::string_view key);
