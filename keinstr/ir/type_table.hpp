// Type handles compared and looked up in the hot loops of the passes (type checking,
// type remapping), where a handle is compared or looked up once or more per instruction.
#pragma once

#include <cstddef>
#include <utility>

#include "keinstr/utils/uuid_table.hpp"
#include "keinstr/types/types.hpp"

namespace keinstr {

// Equality of two handles (two 8-byte comparisons, inline).
inline bool same_type(const Typeref& a, const Typeref& b) noexcept { return a.uuid == b.uuid; }

// A flat table keyed by type handle (see UuidTable).
template <class V>
class TypeTable {
public:
    TypeTable() = default;
    // Room for `entries` entries without growing.
    explicit TypeTable(std::size_t entries) : table_(entries) {}

    std::size_t size() const noexcept { return table_.size(); }
    const V* find(const Typeref& key) const noexcept { return table_.find(key.uuid); }
    // Enters `key` with `value` unless present; the entry's value.
    V& try_emplace(const Typeref& key, V value) { return *table_.try_emplace(key.uuid, std::move(value)).first; }

private:
    UuidTable<V> table_;
};

}  // namespace keinstr
