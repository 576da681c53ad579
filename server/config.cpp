// config.cpp — the CONFIG parameter table, the start-time rows, the password
// check and the last-error text.
#include <cstdio>
#include <string>

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
          {"maxmemory-clients", std::to_string(kDefaultClientsMemoryLimit)},
          {"appendfsync", "everysec"},
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
    config.find("maxmemory")->value = std::to_string(dict_maxmemory_bytes(keyspace));
    config.find("requirepass")->value = password;
    if (!log.path().empty()) config.find("appendonly")->value = "yes";
}

bool parse_memory_size(std::string_view text, uint64_t* bytes) {
    size_t digits = 0;
    uint64_t v = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        const uint64_t d = static_cast<uint64_t>(text[digits] - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    if (digits == 0) return false;
    std::string unit;
    for (char ch : text.substr(digits)) unit += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch);
    int shift = 0;
    if (unit == "k" || unit == "kb") shift = 10;
    else if (unit == "m" || unit == "mb") shift = 20;
    else if (unit == "g" || unit == "gb") shift = 30;
    else if (!unit.empty() && unit != "b") return false;
    if (v > (UINT64_MAX >> shift)) return false;
    *bytes = v << shift;
    return true;
}

bool Server::set_config(std::string_view name, std::string_view value) {
    ConfigRow* row = config.find(name);
    if (row == nullptr || value.size() > 255) return false;
    if (name == "appendfsync") {
        FsyncPolicy policy = FsyncPolicy::EverySec;
        if (!parse_fsync_policy(value, &policy)) return false;
        log.set_fsync_policy(policy);
    }
    row->value.assign(value);
    return true;
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
