// Shared helpers of the type-checker tests: a registry, type and operand builders, and a
// one-block function runner.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "keinstr/ir/function.hpp"
#include "keinstr/passes/type_check.hpp"
#include "keinstr/types/registry.hpp"

namespace keinstr::checker_test {

inline std::string mismatch_msg(std::string_view instr, std::string_view expected, std::string_view found) {
    return fmt::format("Type mismatch in instruction `{}`: expected type `{}`, but found type `{}`.", instr, expected,
                       found);
}

inline std::string oob_msg(std::size_t index, std::string_view type, std::size_t max, std::string_view instr) {
    return fmt::format(
        "The provided index `{}` is out of bounds for type `{}` with maximum index `{}` in instruction `{}`.", index,
        type, max, instr);
}

inline std::string outcome(const std::expected<void, Error>& r) { return r ? std::string("ok") : r.error().message(); }

class CheckerTest : public ::testing::Test {
protected:
    TypeRegistry reg{0, NodeId{}};
    // One session for every function a test checks, as for a module's functions: each
    // check below runs through it as well, and must agree with a checker of its own.
    TypeCheckSession session{reg};

    Typeref ty(AnyType t) { return reg.search_or_insert(std::move(t)); }
    Typeref i(std::uint32_t bits) { return ty(int_type(bits)); }
    Typeref f(FType k) { return ty(float_type(k)); }
    Typeref ptr() { return ty(ptr_type()); }
    Typeref vec(std::uint16_t lanes, PrimaryBasicType lane) {
        return ty(vector_type(VcSize::fixed(lanes), std::move(lane)));
    }
    Typeref svec(std::uint16_t lanes, PrimaryBasicType lane) {
        return ty(vector_type(VcSize::scalable(lanes), std::move(lane)));
    }
    Typeref arr(Typeref element, std::uint16_t count) { return ty(array_type(element, count)); }
    Typeref strct(std::vector<Typeref> elements, bool packed = false) {
        return ty(struct_type(std::move(elements), packed));
    }

    static Operand r(std::uint32_t n) { return Operand::reg(Name{n}); }
    static Operand lit(std::uint32_t bits, long long value) { return Operand::imm(IConst{IType{bits}, BigInt(value)}); }
    static Operand lit_big(std::uint32_t bits, BigInt value) {
        return Operand::imm(IConst{IType{bits}, std::move(value)});
    }
    static Operand flit(FType k, long long value) { return Operand::imm(FConst{k, Decimal(value)}); }
    static Operand fnptr() { return Operand::imm(FunctionPointer::internal(Uuid{})); }
    static Operand undef(Typeref t) { return Operand::undef(t); }
    static Param param(std::uint32_t n, Typeref t) { return Param{Name{n}, t}; }

    // One function with a single block 0.
    std::expected<void, Error> check(std::vector<Param> params, InstrList instrs, KeTerminator term = Ret{},
                                     std::optional<Typeref> ret = std::nullopt) {
        Function fn;
        fn.params = std::move(params);
        fn.return_type = ret;
        fn.body[Label{0}] = BasicBlock{Label{0}, std::move(instrs), std::move(term)};
        auto shared = session.check(fn);
        auto alone = type_check(fn, reg);
        EXPECT_EQ(shared, alone) << "session: " << outcome(shared) << "\nalone: " << outcome(alone);
        return alone;
    }

    std::string run(std::vector<Param> params, InstrList instrs, KeTerminator term = Ret{},
                    std::optional<Typeref> ret = std::nullopt) {
        return outcome(check(std::move(params), std::move(instrs), std::move(term), ret));
    }

    std::string text(const KeInstr& instr) { return instr.fmt(reg).to_string(); }
    std::string text(Typeref t) { return reg.fmt(t).to_string(); }

    // One instruction checked in a block that ends in `ret void`; `expected` empty means
    // the instruction is well typed, otherwise the TypeMismatch's expected and found texts.
    struct Row {
        std::string name;
        std::vector<Param> params;
        KeInstr instr;
        std::string expected;
        std::string found;
    };
    void expect_rows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            const std::string want =
                row.expected.empty() ? "ok" : mismatch_msg(text(row.instr), row.expected, row.found);
            EXPECT_EQ(run(row.params, {row.instr}), want);
        }
    }
};

}  // namespace keinstr::checker_test
