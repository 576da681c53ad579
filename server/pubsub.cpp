// pubsub.cpp — the publish/subscribe index: registering and removing one
// client's channel and pattern subscriptions, and the lookups PUBLISH uses.
#include "server/pubsub.h"

#include <algorithm>
#include <utility>

namespace vorel {

const PubSub::Subscribers* PubSub::channel_subscribers(std::string_view channel) const {
    auto it = channels_.find(channel);
    return it == channels_.end() ? nullptr : &it->second;
}

// Appends the client to one name's list, creating the list when the name is new
// (one lookup); a failed allocation leaves no empty list behind.
template <class Map>
static void add_subscriber(Map& map, std::string_view name, Client* c) {
    auto it = map.try_emplace(std::string(name)).first;
    try {
        it->second.push_back(c);
    } catch (...) {
        if (it->second.empty()) map.erase(it);
        throw;
    }
}

void PubSub::reserve_channels(size_t more) { channels_.reserve(channels_.size() + more); }

void PubSub::add(bool pattern, std::string_view name, Client* c) {
    if (pattern) {
        add_subscriber(patterns_, name, c);
        pattern_subscriptions_ += 1;
    } else {
        add_subscriber(channels_, name, c);
    }
}

// Erases the client from one name's list and drops the name when it is left
// without subscribers.
template <class Map>
static bool erase_subscriber(Map& map, std::string_view name, Client* c) {
    auto it = map.find(name);
    if (it == map.end()) return false;
    PubSub::Subscribers& list = it->second;
    auto pos = std::find(list.begin(), list.end(), c);
    if (pos == list.end()) return false;
    list.erase(pos);
    if (list.empty()) map.erase(it);
    return true;
}

void PubSub::remove(bool pattern, std::string_view name, Client* c) {
    if (pattern) {
        if (erase_subscriber(patterns_, name, c)) pattern_subscriptions_ -= 1;
        return;
    }
    erase_subscriber(channels_, name, c);
}

bool Subscriptions::add(PubSub& index, std::string_view name) {
    // A client registers in one index only (its server's).
    if (index_ == nullptr) index_ = &index;
    auto [it, added] = names_.try_emplace(std::string(name), Order{newest_, nullptr});
    if (!added) return false;
    try {
        index_->add(patterns_, name, owner_);
    } catch (...) {
        names_.erase(it);
        throw;
    }
    Entry* entry = &*it;
    (newest_ != nullptr ? newest_->second.newer : oldest_) = entry;
    newest_ = entry;
    return true;
}

void Subscriptions::reserve(PubSub& index, size_t more) {
    names_.reserve(names_.size() + more);
    if (!patterns_) index.reserve_channels(more);
}

bool Subscriptions::remove(std::string_view name) {
    auto it = names_.find(name);
    if (it == names_.end()) return false;
    if (index_ != nullptr) index_->remove(patterns_, name, owner_);
    const Order links = it->second;
    (links.older != nullptr ? links.older->second.newer : oldest_) = links.newer;
    (links.newer != nullptr ? links.newer->second.older : newest_) = links.older;
    names_.erase(it);
    return true;
}

void Subscriptions::clear() {
    if (index_ != nullptr) {
        for (const auto& entry : names_) index_->remove(patterns_, entry.first, owner_);
    }
    names_.clear();
    oldest_ = newest_ = nullptr;
}

}  // namespace vorel
