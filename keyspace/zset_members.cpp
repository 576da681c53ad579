// zset_members.cpp — the member table of a sorted set: member bytes to their
// record (bytes and score), by open addressing with linear probing. Removal
// shifts the rest of a probe run back instead of leaving markers, so lookups
// never walk over dead slots.
#include <utility>

#include "keyspace/zsets_internal.h"

namespace {

constexpr size_t kFirstSlots = 8;

}  // namespace

size_t ZsetMemberTable::position(std::string_view member, uint64_t hash) const {
    for (size_t i = home(hash);; i = (i + 1) & (slots_.size() - 1)) {
        const Slot& s = slots_[i];
        if (!s.rec || (s.hash == hash && s.rec->member == member)) return i;
    }
}

void ZsetMemberTable::prefetch(std::string_view member) const {
    if (used_ != 0) __builtin_prefetch(&slots_[home(hash_of(member))]);
}

ZsetRecord* ZsetMemberTable::find(std::string_view member) const {
    if (used_ == 0) return nullptr;
    return slots_[position(member, hash_of(member))].rec.get();
}

void ZsetMemberTable::grow() {
    std::vector<Slot> previous(slots_.empty() ? kFirstSlots : slots_.size() * 2);
    previous.swap(slots_);  // slots_ is now the larger, empty array
    for (Slot& s : previous) {
        if (s.rec) slots_[position(s.rec->member, s.hash)] = std::move(s);
    }
}

ZsetRecord* ZsetMemberTable::insert(std::string_view member, double score) {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    auto rec = std::make_unique<ZsetRecord>(ZsetRecord{score, std::string(member)});
    const uint64_t hash = hash_of(member);
    Slot& s = slots_[position(member, hash)];
    s.hash = hash;
    s.rec = std::move(rec);
    ++used_;
    return s.rec.get();
}

std::unique_ptr<ZsetRecord> ZsetMemberTable::erase(std::string_view member) {
    const size_t mask = slots_.size() - 1;
    size_t hole = position(member, hash_of(member));
    std::unique_ptr<ZsetRecord> out = std::move(slots_[hole].rec);
    --used_;
    // Pull back every later member of the run whose home does not lie between
    // the hole and its slot (cyclically): it would be unreachable past the hole.
    for (size_t j = (hole + 1) & mask; slots_[j].rec; j = (j + 1) & mask) {
        const size_t h = home(slots_[j].hash);
        const bool reachable = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
        if (reachable) continue;
        slots_[hole] = std::move(slots_[j]);
        hole = j;
    }
    slots_[hole] = Slot{};
    return out;
}
