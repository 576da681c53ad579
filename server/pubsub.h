// pubsub.h — the publish/subscribe index the Server owns: the subscribers of each
// channel and of each pattern, and each client's own subscriptions in the order made.
//
// A client's Subscriptions register themselves in the index and leave it when
// removed, cleared or destroyed, so the index never holds a client that is gone.
// PUBLISH looks its channel up once and tries every distinct pattern once: its
// cost is the receivers plus the patterns, never a pass over all clients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct Client;

namespace vorel {

// Hashing that finds std::string keys by std::string_view without a copy.
struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// The server-wide index: channel -> subscribers and pattern -> subscribers, each
// list in subscription order. Entries without subscribers are dropped.
class PubSub {
public:
    using Subscribers = std::vector<Client*>;

    PubSub() = default;
    PubSub(const PubSub&) = delete;
    PubSub& operator=(const PubSub&) = delete;

    // The subscribers of a channel, or nullptr when it has none.
    const Subscribers* channel_subscribers(std::string_view channel) const;
    // Calls f(channel) for every channel with a subscriber.
    template <class F>
    void for_each_channel(F&& f) const {
        for (const auto& [name, subscribers] : channels_) f(name);
    }
    // Calls f(pattern, subscribers) for every pattern with a subscriber, in
    // byte order of the patterns.
    template <class F>
    void for_each_pattern(F&& f) const {
        for (const auto& [name, subscribers] : patterns_) f(name, subscribers);
    }
    // Pattern subscriptions of all clients together.
    uint64_t pattern_subscriptions() const { return pattern_subscriptions_; }
    // Room for `more` new channels without rehashing.
    void reserve_channels(size_t more);

private:
    friend class Subscriptions;
    void add(bool pattern, std::string_view name, Client* c);
    void remove(bool pattern, std::string_view name, Client* c);

    std::unordered_map<std::string, Subscribers, NameHash, std::equal_to<>> channels_;
    std::map<std::string, Subscribers, std::less<>> patterns_;
    uint64_t pattern_subscriptions_ = 0;
};

// One client's subscriptions of one kind (channels or patterns). Each name is
// held once; add and remove cost O(1) on the client's side plus the channel's or
// pattern's subscriber list in the index. The names are also linked in the order
// they were made, so the oldest is found in O(1) and no sort is ever needed.
class Subscriptions {
public:
    Subscriptions(Client* owner, bool patterns) : owner_(owner), patterns_(patterns) {}
    ~Subscriptions() { clear(); }
    Subscriptions(const Subscriptions&) = delete;
    Subscriptions& operator=(const Subscriptions&) = delete;

    size_t size() const { return names_.size(); }
    bool empty() const { return names_.empty(); }
    // Subscribes (registering in the index); false when already subscribed.
    bool add(PubSub& index, std::string_view name);
    // Room for `more` new subscriptions (here and in the index) without rehashing.
    void reserve(PubSub& index, size_t more);
    // Unsubscribes; false when not subscribed.
    bool remove(std::string_view name);
    // The subscription made first; nullptr when there is none.
    const std::string* oldest() const { return oldest_ != nullptr ? &oldest_->first : nullptr; }
    // Drops every subscription, in the index too.
    void clear();

private:
    // The neighbours of a name in the order made. The map's nodes never move,
    // so pointers to its entries stay valid across rehashing.
    struct Order;
    using Entry = std::pair<const std::string, Order>;
    struct Order {
        Entry* older = nullptr;
        Entry* newer = nullptr;
    };

    Client* owner_;
    bool patterns_;
    PubSub* index_ = nullptr;  // the index the names are registered in, once one is
    std::unordered_map<std::string, Order, NameHash, std::equal_to<>> names_;
    Entry* oldest_ = nullptr;
    Entry* newest_ = nullptr;
};

// What is left of one (P)(UN)SUBSCRIBE request that names more than one pass of
// the connection loop serves: the rest is served a slice per pass, other
// clients being served between slices, and the client's next request waits
// until the last name has been confirmed.
struct UnservedNames {
    bool patterns = false;     // PSUBSCRIBE / PUNSUBSCRIBE
    bool subscribing = false;  // (P)SUBSCRIBE
    // No names given: every subscription of the kind is dropped, oldest first.
    bool every = false;
    // Otherwise the names not yet served, back to back, each ending at its offset.
    std::string names;
    std::vector<size_t> ends;
    size_t next = 0;  // the first unserved name in `ends`
};

}  // namespace vorel
