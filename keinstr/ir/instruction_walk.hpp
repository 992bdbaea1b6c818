// Helpers of the passes that walk every instruction of a module once (verification,
// type checking, type remapping, analysis, renumbering).
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "keinstr/ir/function.hpp"

namespace keinstr {

// ---- prefetching ---------------------------------------------------------------------
//
// A function's blocks lie in one array, but each block's instructions are an allocation
// of their own, a few hundred bytes long: the processor sees no stream to follow from
// one block to the next, and a walk that is cold in cache waits on memory at every
// block. Asking for the next block's instructions while the current one is worked on
// hides most of that wait. Hints only: they never change a result.

// Asks for the first lines of `block`'s instructions.
inline void prefetch_instructions(const BasicBlock& block) noexcept {
    constexpr std::size_t kLine = 64;
    constexpr std::size_t kMaxBytes = 1024;
    const char* data = reinterpret_cast<const char*>(block.instructions.data());
    const std::size_t bytes = std::min(block.instructions.size() * sizeof(KeInstr), kMaxBytes);
    for (std::size_t offset = 0; offset < bytes; offset += kLine) __builtin_prefetch(data + offset);
}

// Prefetches the instructions of the block after `it` in `blocks`, if there is one.
template <class It>
void prefetch_next_block(const BlockMap& blocks, It it) noexcept {
    if (++it != blocks.end()) prefetch_instructions(it->second);
}

// ---- operands of a record ------------------------------------------------------------

// Calls f(operand) for every operand of the record `rec`, in `KeInstr::operands` order
// (the fields' declared order: the single operands, then the one list). `Rec` may be
// const, and then so are the operands.
template <class Rec, class F>
void for_each_operand(Rec& rec, F&& f) {
    std::remove_const_t<Rec>::visit_fields(rec, [&](std::string_view, auto& field) {
        using T = std::remove_cvref_t<decltype(field)>;
        if constexpr (std::is_same_v<T, Operand>) {
            f(field);
        } else if constexpr (std::is_same_v<T, MetaProbOperand>) {
            f(field.operand);
        } else if constexpr (std::is_same_v<T, OperandList>) {
            for (auto& op : field) f(op);
        } else if constexpr (std::is_same_v<T, PhiValues>) {
            for (auto& value : field) f(value.first);
        }
    });
}

}  // namespace keinstr
