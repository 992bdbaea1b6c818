// Borsh form of the IR: types, constants, operands, instructions, terminators,
// blocks, functions, external functions, modules and the type registry.
//
// Writers append a record to a BorshWriter, which keeps the first failure (check
// `status()` or `finish()` afterwards). Readers pull exactly one record from a
// BorshReader and fail with the reader's I/O error ("Unexpected length of input",
// "Unexpected variant tag: {}", ...). The out-parameter of a failed reader holds
// an unspecified partial value; `borsh_read<T>(reader)` discards it.
//
// Readers check the form only (tags, markers, UTF-8), never what the values mean.
// Ordered maps and sets accept entries in any order; where a key repeats, the
// entry read last is kept. No reader reserves memory on the word of a count
// beyond a small allowance, and none recurses on nesting found in the input.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "keinstr/ir/constants.hpp"
#include "keinstr/utils/enum_table.hpp"
#include "keinstr/ir/function.hpp"
#include "keinstr/ir/module.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/types/types.hpp"
#include "keinstr/utils/borsh.hpp"
#include "keinstr/utils/try.hpp"

namespace keinstr {

// ---- big integers ----------------------------------------------------------------
// u32 byte count, then the shortest two's-complement bytes, least significant first.
BorshResult<void> serialize_bigint_borsh(const BigInt& value, BorshWriter& w);
BorshResult<BigInt> deserialize_bigint_borsh(BorshReader& r);

// ---- writers ------------------------------------------------------------------------
void borsh_write(BorshWriter& w, const Typeref& v);
void borsh_write(BorshWriter& w, Name v);
void borsh_write(BorshWriter& w, Label v);
void borsh_write(BorshWriter& w, const IType& v);
void borsh_write(BorshWriter& w, FType v);
void borsh_write(BorshWriter& w, const ExtType& v);
void borsh_write(BorshWriter& w, const VcSize& v);
void borsh_write(BorshWriter& w, const PrimaryBasicType& v);
void borsh_write(BorshWriter& w, const PrimaryType& v);
void borsh_write(BorshWriter& w, const ArrayType& v);
void borsh_write(BorshWriter& w, const StructType& v);
void borsh_write(BorshWriter& w, const AnyType& v);
void borsh_write(BorshWriter& w, const IConst& v);
void borsh_write(BorshWriter& w, const FConst& v);
void borsh_write(BorshWriter& w, const FunctionPointer& v);
void borsh_write(BorshWriter& w, const AnyConst& v);
// An immediate operand's box: the constant it holds.
inline void borsh_write(BorshWriter& w, const ConstBox& v) { borsh_write(w, *v); }
void borsh_write(BorshWriter& w, const Operand& v);
void borsh_write(BorshWriter& w, const CallingConvention& v);
void borsh_write(BorshWriter& w, const MetaProbOperand& v);
void borsh_write(BorshWriter& w, const TerminationScope& v);
void borsh_write(BorshWriter& w, const AnalysisStatistic& v);
void borsh_write(BorshWriter& w, const KeInstr& v);
void borsh_write(BorshWriter& w, const KeTerminator& v);
void borsh_write(BorshWriter& w, const BasicBlock& v);
void borsh_write(BorshWriter& w, const Function& v);
void borsh_write(BorshWriter& w, const ExternalFunction& v);
// Functions in ascending UUID order, then external functions. A missing (null)
// function cannot be written and fails with invalid data.
void borsh_write(BorshWriter& w, const Module& v);
// u64 count, then UUID and type per entry in ascending UUID order; holds the
// registry's type map in shared mode for the whole write.
void borsh_write(BorshWriter& w, const TypeRegistry& v);

// Enumerations without payload: the tag byte alone.
template <TableEnum E>
void borsh_write(BorshWriter& w, E v) {
    w.tag(static_cast<std::uint8_t>(enum_index(v)));
}

// ---- readers ------------------------------------------------------------------------
BorshResult<void> borsh_read(BorshReader& r, Typeref& out);
BorshResult<void> borsh_read(BorshReader& r, Name& out);
BorshResult<void> borsh_read(BorshReader& r, Label& out);
BorshResult<void> borsh_read(BorshReader& r, IType& out);
BorshResult<void> borsh_read(BorshReader& r, FType& out);
BorshResult<void> borsh_read(BorshReader& r, ExtType& out);
BorshResult<void> borsh_read(BorshReader& r, VcSize& out);
BorshResult<void> borsh_read(BorshReader& r, PrimaryBasicType& out);
BorshResult<void> borsh_read(BorshReader& r, PrimaryType& out);
BorshResult<void> borsh_read(BorshReader& r, ArrayType& out);
BorshResult<void> borsh_read(BorshReader& r, StructType& out);
BorshResult<void> borsh_read(BorshReader& r, AnyType& out);
BorshResult<void> borsh_read(BorshReader& r, IConst& out);
BorshResult<void> borsh_read(BorshReader& r, FConst& out);
BorshResult<void> borsh_read(BorshReader& r, FunctionPointer& out);
BorshResult<void> borsh_read(BorshReader& r, AnyConst& out);
// Reads into a constant of its own, then boxes it (small integers are shared).
inline BorshResult<void> borsh_read(BorshReader& r, ConstBox& out) {
    AnyConst c;
    if (auto read = borsh_read(r, c); !read) return read;
    out = ConstBox(std::move(c));
    return {};
}
BorshResult<void> borsh_read(BorshReader& r, Operand& out);
BorshResult<void> borsh_read(BorshReader& r, CallingConvention& out);
BorshResult<void> borsh_read(BorshReader& r, MetaProbOperand& out);
BorshResult<void> borsh_read(BorshReader& r, TerminationScope& out);
BorshResult<void> borsh_read(BorshReader& r, AnalysisStatistic& out);
BorshResult<void> borsh_read(BorshReader& r, KeInstr& out);
BorshResult<void> borsh_read(BorshReader& r, KeTerminator& out);
BorshResult<void> borsh_read(BorshReader& r, BasicBlock& out);
BorshResult<void> borsh_read(BorshReader& r, Function& out);
BorshResult<void> borsh_read(BorshReader& r, ExternalFunction& out);
// Every function of the result is held by the module alone.
BorshResult<void> borsh_read(BorshReader& r, Module& out);
// The same, with the instruction arrays of every block in `instruction_arena`
// (none: the heap), which takes nothing else while the module is read. Each
// function shares the arena's ownership, so the arena stays while any of them
// does. What the functions keep is what they hold: when blocks or functions
// that the input repeated left arrays behind, the arrays kept are moved to an
// arena of their own size, and the pages of a huge page that no array took are
// given back. Copies go to the heap; a Function moved out of its shared pointer
// keeps its arrays in the arena without keeping the arena.
BorshResult<void> borsh_read(BorshReader& r, Module& out, const std::shared_ptr<Arena>& instruction_arena);

// A new, independent registry: the stored types, a reverse index derived from them,
// a fresh clock context with a random clock sequence, and a zero node id.
BorshResult<std::unique_ptr<TypeRegistry>> read_type_registry(BorshReader& r);

template <TableEnum E>
BorshResult<void> borsh_read(BorshReader& r, E& out) {
    auto t = KE_TRY(r.tag(static_cast<std::uint8_t>(enum_count<E>)));
    out = static_cast<E>(t);
    return {};
}

// One record as a value.
template <class T>
BorshResult<T> borsh_read(BorshReader& r) {
    T value{};
    KE_TRY(borsh_read(r, value));
    return value;
}

// ---- whole buffers --------------------------------------------------------------------
template <class T>
BorshResult<std::vector<std::uint8_t>> borsh_encode(const T& value) {
    std::vector<std::uint8_t> out;
    BorshWriter w(out);
    borsh_write(w, value);
    KE_TRY(w.status());
    return out;
}

// Reads one record from the front of `bytes`; what follows it is not examined.
template <class T>
BorshResult<T> borsh_decode(std::span<const std::uint8_t> bytes) {
    BorshReader r(bytes);
    return borsh_read<T>(r);
}

}  // namespace keinstr
