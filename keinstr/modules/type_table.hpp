// Type handles compared and looked up in the hot loops of the passes (type checking,
// type remapping), where a handle is compared or looked up once or more per instruction.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "keinstr/modules/uuid_table.hpp"
#include "keinstr/types/types.hpp"

namespace keinstr {

// Equality of two handles as two 8-byte comparisons, inline.
inline bool same_type(const Typeref& a, const Typeref& b) noexcept {
    std::uint64_t a0 = 0, a1 = 0, b0 = 0, b1 = 0;
    std::memcpy(&a0, a.uuid.bytes.data(), 8);
    std::memcpy(&a1, a.uuid.bytes.data() + 8, 8);
    std::memcpy(&b0, b.uuid.bytes.data(), 8);
    std::memcpy(&b1, b.uuid.bytes.data() + 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// A flat table keyed by type handle: open addressing, linear probing, at most half full,
// keys compared with `same_type`.
template <class V>
class TypeTable {
public:
    TypeTable() = default;
    // Room for `entries` entries without growing.
    explicit TypeTable(std::size_t entries) { reserve(entries); }

    std::size_t size() const noexcept { return size_; }

    const V* find(const Typeref& key) const noexcept {
        if (slots_.empty()) return nullptr;
        const Slot& s = slots_[probe(key)];
        return s.used ? &s.value : nullptr;
    }

    // Enters `key` with `value` unless present; the entry's value.
    V& try_emplace(const Typeref& key, V value) {
        if (2 * (size_ + 1) > slots_.size()) reserve(size_ + 1);
        Slot& s = slots_[probe(key)];
        if (!s.used) {
            s = Slot{key, std::move(value), true};
            ++size_;
        }
        return s.value;
    }

private:
    struct Slot {
        Typeref key{};
        V value{};
        bool used = false;
    };

    // The slot holding `key`, or the empty slot where it would go.
    std::size_t probe(const Typeref& key) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(uuid_hash(key.uuid)) & mask;
        while (slots_[i].used && !same_type(slots_[i].key, key)) i = (i + 1) & mask;
        return i;
    }

    void reserve(std::size_t entries) {
        const std::size_t want = std::bit_ceil(std::max<std::size_t>(16, 2 * entries));
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
