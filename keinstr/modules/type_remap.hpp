// Type remapping of many functions through one map: the map's entries hashed once,
// so that each type field costs one probe instead of a walk down an ordered map.
#pragma once

#include "keinstr/modules/function.hpp"
#include "keinstr/modules/uuid_table.hpp"
#include "keinstr/types/registry.hpp"

namespace keinstr {

class TypeRemapTable {
public:
    explicit TypeRemapTable(const TypeMap& map) : table_(map.size()) {
        for (const auto& [from, to] : map) table_.try_emplace(from.uuid, to);
    }

    // Rewrites `t` when it is a key of the map.
    void remap(Typeref& t) const noexcept {
        if (const Typeref* to = table_.find(t.uuid)) t = *to;
    }

private:
    UuidTable<Typeref> table_;
};

// Function::remap_types through the table.
void remap_function_types(Function& function, const TypeRemapTable& table);

}  // namespace keinstr
