// Type remapping of many functions through one map: the map's entries hashed once,
// so that each type field costs one probe instead of a walk down an ordered map.
#pragma once

#include "keinstr/ir/function.hpp"
#include "keinstr/ir/type_table.hpp"
#include "keinstr/types/registry.hpp"

namespace keinstr {

class TypeRemapTable {
public:
    explicit TypeRemapTable(const TypeMap& map) : table_(map.size()) {
        for (const auto& [from, to] : map) {
            table_.try_emplace(from, to);
            if (!same_type(from, to)) identity_ = false;
        }
    }

    // True when every key maps to itself: remapping changes nothing.
    bool is_identity() const noexcept { return identity_; }

    // Rewrites `t` when it is a key of the map.
    void remap(Typeref& t) const noexcept {
        if (const Typeref* to = table_.find(t)) t = *to;
    }

private:
    TypeTable<Typeref> table_;
    bool identity_ = true;
};

}  // namespace keinstr
