// A flat hash table keyed by 16-byte UUIDs (function UUIDs, type handles), for the
// lookups that passes make once per instruction. Open addressing with linear
// probing in a power-of-two table kept at most half full; no allocation per entry.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "keinstr/utils/uuid.hpp"

namespace keinstr {

// Mixes all 16 bytes: UUIDs of one origin often share whole halves (the node and
// clock sequence of time-based ones), so neither half alone is a good hash.
inline std::uint64_t uuid_hash(const Uuid& u) noexcept {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::memcpy(&a, u.bytes.data(), 8);
    std::memcpy(&b, u.bytes.data() + 8, 8);
    std::uint64_t x = a ^ (b * 0x9E3779B97F4A7C15ull);
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    x ^= x >> 32;
    return x;
}

template <class V>
class UuidTable {
public:
    UuidTable() = default;
    // Room for `entries` entries without growing.
    explicit UuidTable(std::size_t entries) { rehash(entries); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Enters `key` with `value` unless present; returns the entry's value and whether
    // it was entered.
    std::pair<V*, bool> try_emplace(const Uuid& key, V value) {
        if (2 * (size_ + 1) > slots_.size()) rehash(size_ + 1);
        Slot& s = slots_[probe(key)];
        if (s.used) return {&s.value, false};
        s.key = key;
        s.value = std::move(value);
        s.used = true;
        ++size_;
        return {&s.value, true};
    }

    // Enters `key` with `value`, replacing the value of an entry already present.
    void insert_or_assign(const Uuid& key, V value) {
        auto [v, inserted] = try_emplace(key, value);
        if (!inserted) *v = std::move(value);
    }

    const V* find(const Uuid& key) const noexcept {
        if (slots_.empty()) return nullptr;
        const Slot& s = slots_[probe(key)];
        return s.used ? &s.value : nullptr;
    }
    bool contains(const Uuid& key) const noexcept { return find(key) != nullptr; }

private:
    struct Slot {
        Uuid key{};
        V value{};
        bool used = false;
    };

    // The slot holding `key`, or the empty slot where it would go.
    std::size_t probe(const Uuid& key) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(uuid_hash(key)) & mask;
        while (slots_[i].used && !(slots_[i].key == key)) i = (i + 1) & mask;
        return i;
    }

    void rehash(std::size_t entries) {
        const std::size_t want = std::bit_ceil(std::max<std::size_t>(8, 2 * entries));
        if (want <= slots_.size()) return;
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(want, Slot{});
        for (Slot& s : old) {
            if (s.used) slots_[probe(s.key)] = std::move(s);
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

}  // namespace keinstr
