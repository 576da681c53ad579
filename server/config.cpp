// config.cpp — the CONFIG parameter table, the start-time rows, the password
// check and the last-error text.
#include <cstdio>

#include "server/server.h"

Config::Config()
    : rows_{{
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
          {"slowlog-log-slower-than", "10000"},
          {"slowlog-max-len", "128"},
      }} {}

ConfigRow* Config::find(std::string_view name) {
    for (ConfigRow& row : rows_) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

void Server::fill_config_at_start() {
    config.find("maxmemory")->value = std::to_string(dict_maxmemory_mb(keyspace));
    config.find("requirepass")->value = password;
    if (!log.path().empty()) config.find("appendonly")->value = "yes";
}

bool Server::password_matches(std::string_view given) const {
    // Every byte of the longer text is compared, so the time taken does not
    // tell how much of a guess was right.
    const size_t n = given.size() > password.size() ? given.size() : password.size();
    unsigned diff = given.size() == password.size() ? 0u : 1u;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        const unsigned char b = i < password.size() ? static_cast<unsigned char>(password[i]) : 0;
        diff |= static_cast<unsigned>(a ^ b);
    }
    return diff == 0;
}

void LastError::set(const char* text) {
    std::lock_guard<std::mutex> guard(mutex_);
    // Assigning into the existing capacity: a short text never allocates, and a
    // failed allocation keeps the old text rather than throwing out of a setter.
    try {
        text_.assign(text);
    } catch (...) {
        text_.clear();
    }
}

std::string LastError::get() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return text_;
}
