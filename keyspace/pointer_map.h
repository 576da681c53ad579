// pointer_map.h — a flat map from an object's address to one small value: one
// array of slots, linear probing, backward-shift deletion, no tombstones.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

// Keys are addresses of live, 8-aligned objects (never null, so a null key
// marks an empty slot). The capacity is zero or a power of two of at least
// kMinCapacity; the table doubles before its load passes 3/4, halves when it
// falls under 1/8 and gives its array back when emptied. A failed allocation
// while growing throws std::bad_alloc and leaves the table as it was; erase
// never throws (a shrink that cannot allocate keeps the larger array). A
// pointer returned by find is valid until the next insert or erase.
template <class T, class V>
class PointerMap {
    static_assert(std::is_trivially_copyable_v<V> && std::is_default_constructible_v<V>);

public:
    struct Slot {
        const T* key;
        V value;
    };
    static constexpr uint64_t kMinCapacity = 8;

    PointerMap() = default;
    PointerMap(PointerMap&& other) noexcept { *this = std::move(other); }
    PointerMap& operator=(PointerMap&& other) noexcept {
        slots_ = std::move(other.slots_);
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
        shift_ = other.shift_;
        return *this;
    }

    uint64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint64_t capacity() const { return capacity_; }

    V* find(const T* key) { return const_cast<V*>(std::as_const(*this).find(key)); }
    const V* find(const T* key) const {
        if (size_ == 0) return nullptr;
        for (uint64_t i = home(key);; i = (i + 1) & (capacity_ - 1)) {
            const Slot& s = slots_[i];
            if (s.key == key) return &s.value;
            if (s.key == nullptr) return nullptr;
        }
    }

    // True when the key was new. May throw std::bad_alloc (only when new).
    bool insert_or_assign(const T* key, V value) {
        if (V* held = find(key)) {
            *held = value;
            return false;
        }
        if ((size_ + 1) * 4 > capacity_ * 3) rehash(capacity_ ? capacity_ * 2 : kMinCapacity);
        place(slots_.get(), key, value);
        size_++;
        return true;
    }

    // Room for n keys without growing; may throw std::bad_alloc, changing nothing.
    void reserve(uint64_t n) {
        if (n == 0) return;  // an empty table holds no array
        uint64_t want = kMinCapacity;
        while (n * 4 > want * 3) want *= 2;
        if (want > capacity_) rehash(want);
    }

    // True when the key was there; its value is then stored at *removed when given.
    bool erase(const T* key, V* removed = nullptr) {
        if (size_ == 0) return false;
        const uint64_t mask = capacity_ - 1;
        uint64_t hole = home(key);
        while (slots_[hole].key != key) {
            if (slots_[hole].key == nullptr) return false;
            hole = (hole + 1) & mask;
        }
        if (removed) *removed = slots_[hole].value;
        // Pull later members of the probe run back into the hole when the hole
        // lies between their home and where they sit, so every member stays
        // reachable from its home without passing an empty slot.
        for (uint64_t j = (hole + 1) & mask; slots_[j].key != nullptr; j = (j + 1) & mask) {
            if (((j - home(slots_[j].key)) & mask) >= ((j - hole) & mask)) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = Slot{};
        size_--;
        if (size_ == 0) {
            clear();
        } else if (capacity_ > kMinCapacity && size_ * 8 < capacity_) {
            try {
                rehash(capacity_ / 2);
            } catch (const std::bad_alloc&) {
                // Kept at its size: still correct, only sparser.
            }
        }
        return true;
    }

    void clear() {
        slots_.reset();
        capacity_ = 0;
        size_ = 0;
    }

    // Fibonacci hashing of the address without its alignment bits; the top
    // log2(capacity) bits of the product are the key's first slot.
    static uint64_t hash(const T* key) {
        return (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) >> 3) * 0x9E3779B97F4A7C15ull;
    }

private:
    uint64_t home(const T* key) const { return hash(key) >> shift_; }

    void place(Slot* slots, const T* key, V value) const {
        uint64_t i = home(key);
        while (slots[i].key != nullptr) i = (i + 1) & (capacity_ - 1);
        slots[i] = Slot{key, value};
    }

    // Moves every member into a fresh array of `capacity` slots. The array is
    // allocated before anything changes.
    void rehash(uint64_t capacity) {
        std::unique_ptr<Slot[]> fresh(new Slot[capacity]());
        std::unique_ptr<Slot[]> old = std::move(slots_);
        const uint64_t old_capacity = capacity_;
        slots_ = std::move(fresh);
        capacity_ = capacity;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        for (uint64_t i = 0; i < old_capacity; i++)
            if (old[i].key != nullptr) place(slots_.get(), old[i].key, old[i].value);
    }

    std::unique_ptr<Slot[]> slots_;
    uint64_t capacity_ = 0;
    uint64_t size_ = 0;
    unsigned shift_ = 64;
};
