// Control-flow and destination analysis of one function.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "keinstr/analysis/graph.hpp"
#include "keinstr/modules/function.hpp"
#include "keinstr/modules/operand.hpp"
#include "keinstr/modules/symbols.hpp"

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

// Register -> position of the instruction that defines it.
using DestMap = std::map<Name, InstructionPosition>;

struct FunctionAnalysis {
    std::shared_ptr<const Function> function;
    FlowGraph function_flow;
    DestMap dest_map;
};

}  // namespace keinstr
