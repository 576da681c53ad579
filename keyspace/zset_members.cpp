// zset_members.cpp — the member records of a sorted set and its member table:
// member bytes to their record, by open addressing with linear probing. Removal
// shifts the rest of a probe run back instead of leaving markers, so lookups
// never walk over dead slots.
#include <cstring>
#include <new>
#include <utility>

#include "keyspace/zsets_internal.h"

namespace {

constexpr size_t kFirstSlots = 8;

}  // namespace

ZsetRecord::Owned ZsetRecord::make(double score, std::string_view member, uint32_t hash) {
    if (member.size() > UINT32_MAX) throw std::bad_alloc();
    void* block = ::operator new(block_bytes(member.size()));
    Owned rec(new (block) ZsetRecord(score, hash, static_cast<uint32_t>(member.size())));
    if (!member.empty()) std::memcpy(rec->bytes(), member.data(), member.size());
    rec->bytes()[member.size()] = '\0';
    return rec;
}

size_t ZsetMemberTable::position(std::string_view member, uint32_t hash) const {
    for (size_t i = home(hash);; i = (i + 1) & (slots_.size() - 1)) {
        const ZsetRecord* r = slots_[i].get();
        if (!r || (r->hash() == hash && r->member() == member)) return i;
    }
}

void ZsetMemberTable::prefetch(std::string_view member) const {
    if (used_ != 0) __builtin_prefetch(&slots_[home(hash_of(member))]);
}

ZsetRecord* ZsetMemberTable::find(std::string_view member) const {
    if (used_ == 0) return nullptr;
    return slots_[position(member, hash_of(member))].get();
}

// Members are distinct, so each goes to the first empty slot from its home.
void ZsetMemberTable::grow() {
    std::vector<Slot> previous(slots_.empty() ? kFirstSlots : slots_.size() * 2);
    previous.swap(slots_);  // slots_ is now the larger, empty array
    const size_t mask = slots_.size() - 1;
    for (Slot& s : previous) {
        if (!s) continue;
        size_t i = home(s->hash());
        while (slots_[i]) i = (i + 1) & mask;
        slots_[i] = std::move(s);
    }
}

ZsetRecord* ZsetMemberTable::insert(std::string_view member, double score) {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    const uint32_t hash = hash_of(member);
    Slot rec = ZsetRecord::make(score, member, hash);
    Slot& s = slots_[position(member, hash)];
    s = std::move(rec);
    ++used_;
    return s.get();
}

ZsetRecord::Owned ZsetMemberTable::erase(std::string_view member) {
    const size_t mask = slots_.size() - 1;
    size_t hole = position(member, hash_of(member));
    Slot out = std::move(slots_[hole]);
    --used_;
    // Pull back every later member of the run whose home does not lie between
    // the hole and its slot (cyclically): it would be unreachable past the hole.
    for (size_t j = (hole + 1) & mask; slots_[j]; j = (j + 1) & mask) {
        const size_t h = home(slots_[j]->hash());
        const bool reachable = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
        if (reachable) continue;
        slots_[hole] = std::move(slots_[j]);
        hole = j;
    }
    slots_[hole].reset();
    return out;
}
