// Control-flow and destination analysis of one function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "keinstr/utils/graph.hpp"
#include "keinstr/ir/function.hpp"
#include "keinstr/ir/operand.hpp"
#include "keinstr/ir/symbols.hpp"

namespace keinstr {

// Control-flow graph over block labels; an edge carries the branch condition (the
// first edge of a branch) or nothing.
class FlowGraph : public DiGraph<Label, std::optional<Operand>> {};

// Where an instruction sits: the block's key in the body and its index in the block.
struct InstructionPosition {
    Label block;
    std::uint32_t index = 0;
    bool operator==(const InstructionPosition&) const = default;
};

// Register -> position of the instruction that defines it: an ordered map, read-only
// once built, held as one array of entries in ascending register order (no node per
// register).
class DestMap {
public:
    using key_type = Name;
    using mapped_type = InstructionPosition;
    using value_type = std::pair<Name, InstructionPosition>;
    using const_iterator = std::vector<value_type>::const_iterator;
    using iterator = const_iterator;
    using size_type = std::size_t;

    DestMap() = default;
    // Entries in any order; where a name repeats, the entry given last is kept.
    DestMap(std::initializer_list<value_type> entries);

    // Definitions in the order they were met; where a name repeats, the entry met
    // last is kept.
    static DestMap from_definitions(std::vector<value_type> definitions);

    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

    const_iterator find(Name name) const noexcept;
    bool contains(Name name) const noexcept { return find(name) != end(); }
    std::size_t count(Name name) const noexcept { return contains(name) ? 1 : 0; }
    // The position of `name`; throws std::out_of_range when it has none (as a map's at).
    const InstructionPosition& at(Name name) const;

    bool operator==(const DestMap&) const = default;

private:
    std::vector<value_type> entries_;  // strictly ascending names
};

struct FunctionAnalysis {
    std::shared_ptr<const Function> function;
    FlowGraph function_flow;
    DestMap dest_map;
};

}  // namespace keinstr
