// Small lookup structures keyed by register Name, for passes that touch every
// register of a function: dense arrays for the usual small numbers, a hash map for
// the rest (register numbers come from untrusted input and may be anything).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "keinstr/ir/symbols.hpp"

namespace keinstr {

// Set of Names.
class NameSet {
public:
    // Names below `dense_limit` live in a bitmap; the others in a hash set.
    explicit NameSet(std::size_t dense_limit) : dense_((dense_limit + 63) / 64, 0) {}

    // True when `n` was not yet in the set.
    bool insert(Name n) {
        const std::size_t i = n.id;
        if (i / 64 < dense_.size()) {
            const std::uint64_t bit = std::uint64_t{1} << (i % 64);
            if (dense_[i / 64] & bit) return false;
            dense_[i / 64] |= bit;
            return true;
        }
        return sparse_.insert(n.id).second;
    }
    bool contains(Name n) const {
        const std::size_t i = n.id;
        if (i / 64 < dense_.size()) return (dense_[i / 64] >> (i % 64)) & 1;
        return sparse_.contains(n.id);
    }

private:
    std::vector<std::uint64_t> dense_;
    std::unordered_set<std::uint32_t> sparse_;
};

// Map from Name to Name.
class NameMap {
public:
    explicit NameMap(std::size_t dense_limit) : dense_(dense_limit, kNone) {}

    void assign(Name from, Name to) {
        if (from.id < dense_.size() && to.id != kNone) {
            dense_[from.id] = to.id;
            return;
        }
        if (from.id < dense_.size()) dense_[from.id] = kNone;
        sparse_.insert_or_assign(from.id, to.id);
    }
    std::optional<Name> find(Name from) const {
        if (from.id < dense_.size() && dense_[from.id] != kNone) return Name{dense_[from.id]};
        auto it = sparse_.find(from.id);
        if (it == sparse_.end()) return std::nullopt;
        return Name{it->second};
    }

private:
    // Marks an empty dense slot; a mapping to this value is kept in the hash map.
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    std::vector<std::uint32_t> dense_;
    std::unordered_map<std::uint32_t, std::uint32_t> sparse_;
};

}  // namespace keinstr
