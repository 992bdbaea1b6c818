// Basic blocks, functions and external functions.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "keinstr/ir/block_map.hpp"
#include "keinstr/ir/calling_convention.hpp"
#include "keinstr/ir/enums.hpp"
#include "keinstr/ir/instr.hpp"
#include "keinstr/ir/symbols.hpp"
#include "keinstr/ir/terminator.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/types/types.hpp"
#include "keinstr/utils/arena.hpp"
#include "keinstr/utils/uuid.hpp"

namespace keinstr {

struct Error;  // keinstr/ir/error.hpp

// A block's instructions. The compiler allocates them in an arena while it
// parses (see extend_module_from_string); copies, and all other lists, are on
// the heap.
using InstrList = std::vector<KeInstr, ArenaAllocator<KeInstr>>;

struct BasicBlock {
    Label label;             // equals the block's key in its function's body
    InstrList instructions;  // in execution order
    KeTerminator terminator = Trap{};

    bool operator==(const BasicBlock&) const = default;
};

// A function's blocks in ascending label order.
using BlockMap = LabelMap<BasicBlock>;

using Param = std::pair<Name, Typeref>;

// The members are ordered to leave no padding between them: a loaded module
// holds one of these for each of its functions.
struct Function {
    Uuid uuid;
    std::optional<std::string> name;
    std::vector<Param> params;
    BlockMap body;                           // Label 0 is the entry block
    std::set<std::uint16_t> wildcard_types;  // type variables the function declares
    std::optional<CallingConvention> cconv;
    std::optional<Typeref> return_type;
    std::optional<Uuid> aux_uuid;  // carried through storage unchanged
    std::optional<Visibility> visibility;
    bool meta_function = false;

    bool operator==(const Function&) const = default;

    // The default function the front end starts from: a fresh random (v4)
    // UUID and one empty block 0 ending in trap; everything else empty.
    // (A value-initialised Function has a nil UUID and no blocks.)
    static Function default_function();

    // The name when present, else the UUID's 36-character text.
    std::string display_name() const;

    // True when some instruction of some block is a meta instruction.
    bool should_be_meta_function() const;

    // Empties `out`, then adds the number of every parameter type and every
    // instruction-referenced type that is a type-variable reference.
    void generate_wildcard_types(std::set<std::uint16_t>& out) const;

    // Rewrites every type reference that is a key of `map`: parameter types,
    // the return type, the instructions' type fields, and the type of every
    // undef operand (of instructions and terminators), so that the function
    // refers only to handles of the target registry.
    void remap_types(const TypeMap& map);

    // Verification of the function's own rules (keinstr/passes/verify.cpp).
    std::expected<void, Error> verify() const;
    // Dense renumbering of registers in definition order (keinstr/passes/ssa.cpp).
    void normalize_ssa();
    // Control-flow graph over block labels (keinstr/passes/analyze.hpp).
    class FlowGraph derive_function_flow() const;
    // Register -> defining instruction position (keinstr/passes/analyze.hpp).
    class DestMap derive_dest_map() const;
    // Graph and destination map of a shared function (keinstr/passes/analyze.hpp).
    static struct FunctionAnalysis analyze(std::shared_ptr<const Function> function);
};

// A function of another unit, known by its signature.
struct ExternalFunction {
    Uuid uuid;
    std::string name;
    CallingConvention cconv;
    std::vector<Typeref> params;
    std::optional<Typeref> return_type;

    bool operator==(const ExternalFunction&) const = default;

    // Rewrites the parameter types and the return type through `map`.
    void remap_types(const TypeMap& map);
};

}  // namespace keinstr
