// host_api.h — the pieces of the host API that the HTTP front end shares.
// Callers hold the global lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// JSON array of the keys matching the pattern (nullptr = "*"), escaped.
std::string host_keys_json(const char* pattern);
// The statistics object.
std::string host_stats_json();
// Stores a string value with an optional ttl in seconds, creating a keyspace when
// none exists, and logs it with its absolute deadline. 0 stored, -1 failure.
int host_set_value(std::string_view key, std::string_view value, int64_t ttl_s);
