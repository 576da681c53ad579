// waits.h — what a parked client waits for, and the per-key indexes of parked
// clients and of WATCHed keys, so a write finds its waiters and watchers in O(1).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct Client;

// What a blocking command still has to do once one of its keys has data.
enum class WaitKind : uint8_t {
    ListPop,       // BLPOP / BRPOP: one element
    ListMultiPop,  // BLMPOP: up to count elements of one key
    ListMove,      // BLMOVE / BRPOPLPUSH: one element moved to dest
    ZsetPop,       // BZPOPMIN / BZPOPMAX: one member
    ZsetMultiPop,  // BZMPOP: up to count members of one key
};

struct BlockWait {
    WaitKind kind = WaitKind::ListPop;
    std::vector<std::string> keys;
    bool from_head = true;     // lists: pop at the head; sorted sets: the lowest scores
    std::string dest;          // ListMove: where the element goes
    bool dest_head = true;     // ListMove: pushed at the destination's head
    int64_t count = 1;         // the multi-pops
    bool count_given = false;
    int64_t deadline_ms = 0;   // 0 = no time-out
};

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// key -> clients, in the order they were added.
class KeyClients {
public:
    using Queue = std::deque<Client*>;
    void add(std::string_view key, Client* c);
    void remove(std::string_view key, const Client* c);
    // nullptr when nobody is listed under the key.
    Queue* find(std::string_view key);
    bool empty() const { return map_.empty(); }
    void clear() { map_.clear(); }

private:
    std::unordered_map<std::string, Queue, StringHash, std::equal_to<>> map_;
};
