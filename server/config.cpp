// config.cpp — the CONFIG parameter table: sixteen named rows with text values,
// filled in part at start and changed at run time by CONFIG SET.
#include <cstdio>

#include "server/server.h"

std::array<ConfigRow, kConfigRows> s_config = {{
    {"maxmemory", ""},
    {"maxmemory-policy", "allkeys-lru"},
    {"appendonly", "no"},
    {"timeout", "0"},
    {"tcp-keepalive", "300"},
    {"databases", "1"},
    {"save", ""},
    {"loglevel", "notice"},
    {"dir", "./"},
    {"daemonize", "no"},
    {"pidfile", ""},
    {"requirepass", ""},
    {"tcp-backlog", "511"},
    {"auto-aof-rewrite-percentage", "100"},
    {"auto-aof-rewrite-min-size", "64mb"},
    {"lazyfree-lazy-eviction", "no"},
}};

ConfigRow* config_find(std::string_view name) {
    for (ConfigRow& row : s_config) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

void config_fill_at_start() {
    config_find("maxmemory")->value = std::to_string(dict_maxmemory_mb(s_dict));
    config_find("requirepass")->value = s_password;
    if (!s_persist_file.empty()) config_find("appendonly")->value = "yes";
}
