// waits.cpp — the per-key client lists behind parked clients and WATCH.
#include "server/waits.h"

#include <algorithm>

void KeyClients::add(std::string_view key, Client* c) {
    auto it = map_.find(key);
    if (it == map_.end()) it = map_.emplace(std::string(key), Queue{}).first;
    it->second.push_back(c);
}

void KeyClients::remove(std::string_view key, const Client* c) {
    auto it = map_.find(key);
    if (it == map_.end()) return;
    Queue& q = it->second;
    q.erase(std::remove(q.begin(), q.end(), c), q.end());
    if (q.empty()) map_.erase(it);
}

KeyClients::Queue* KeyClients::find(std::string_view key) {
    if (map_.empty()) return nullptr;
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
}
