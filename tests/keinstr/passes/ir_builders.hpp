// Small builders for hand-made IR in the pass tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "keinstr/ir/function.hpp"
#include "keinstr/ir/module.hpp"

namespace keinstr::test {

// A registered-looking handle (never a type-variable reference).
inline Typeref tref(std::uint8_t n) {
    Typeref t;
    t.uuid.bytes[0] = 0x01;
    t.uuid.bytes[15] = n;
    return t;
}
inline const Typeref kI32 = tref(32);

inline Operand reg(std::uint32_t n) { return Operand{Name{n}}; }
inline Operand imm(std::int64_t v) { return Operand{AnyConst{IConst{IType{32}, BigInt(v)}}}; }
inline Operand undef() { return Operand{kI32}; }
inline Operand fptr(FunctionPointer p) { return Operand{AnyConst{p}}; }

inline KeInstr add(std::uint32_t dest, Operand lhs, Operand rhs) {
    return IAdd{Name{dest}, kI32, std::move(lhs), std::move(rhs), OverflowSignednessPolicy::Wrap};
}
inline KeInstr neg(std::uint32_t dest, Operand value) { return INeg{Name{dest}, kI32, std::move(value)}; }
inline KeInstr phi(std::uint32_t dest, std::vector<PhiValue> values) {
    return Phi{Name{dest}, kI32, std::move(values)};
}
inline KeInstr store(Operand addr, Operand value) {
    return MStore{std::move(addr), std::move(value), std::nullopt, std::nullopt, false};
}
inline KeInstr call(Operand callee, std::vector<Operand> args, std::optional<std::uint32_t> dest = std::nullopt) {
    Invoke i;
    i.function = std::move(callee);
    i.args = std::move(args);
    if (dest) {
        i.dest = Name{*dest};
        i.ty = kI32;
    }
    return i;
}

inline BasicBlock block(std::uint32_t label, InstrList instrs, KeTerminator term = Trap{}) {
    return BasicBlock{Label{label}, std::move(instrs), std::move(term)};
}
inline KeTerminator br(Operand cond, std::uint32_t t, std::uint32_t f) {
    return Branch{std::move(cond), Label{t}, Label{f}};
}
inline KeTerminator jump(std::uint32_t target) { return Jump{Label{target}}; }
inline KeTerminator ret(std::optional<Operand> value = std::nullopt) { return Ret{std::move(value)}; }

// A named function with the given parameter registers (type kI32) and blocks.
inline Function function(std::vector<std::uint32_t> params, std::vector<BasicBlock> blocks) {
    Function f;
    f.uuid = Uuid::new_v4();
    f.name = "f";
    for (std::uint32_t p : params) f.params.emplace_back(Name{p}, kI32);
    for (auto& b : blocks) {
        const Label key = b.label;
        f.body.insert_or_assign(key, std::move(b));
    }
    return f;
}

}  // namespace keinstr::test
