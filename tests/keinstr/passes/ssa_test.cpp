#include <gtest/gtest.h>

#include "keinstr/passes/verify.hpp"
#include "tests/keinstr/passes/ir_builders.hpp"

namespace keinstr {
namespace {

using namespace keinstr::test;

// A parsed-looking function: names given in order of first sight, so neither dense
// nor in definition order. Block 5 comes first in the text, block 0 second.
//   params %7, %3
//   block 5: %1 = phi [%0, 0], [%2, 5]; %2 = %1 + %3; branch %2, 5, 6
//   block 0: store %7, %7; %0 = -%7; invoke f() (no result); jump 5
//   block 6: !assert-free, ret %2
Function parsed_order() {
    return function({7, 3}, {
                                block(5, {phi(1, {{reg(0), Label{0}}, {reg(2), Label{5}}}), add(2, reg(1), reg(3))},
                                      br(reg(2), 5, 6)),
                                block(0, {store(reg(7), reg(7)), neg(0, reg(7)), call(imm(0), {reg(3)})}, jump(5)),
                                block(6, {}, ret(reg(2))),
                            });
}

TEST(NormalizeSsa, NumbersParametersThenDefinitionsInBlockOrder) {
    Function f = parsed_order();
    f.normalize_ssa();
    // params: %7 -> 0, %3 -> 1; block 0: %0 -> 2 (the store and the call without
    // result take no number); block 5: %1 -> 3, %2 -> 4.
    const Function expected = [&] {
        Function e = function(
            {0, 1},
            {
                block(5, {phi(3, {{reg(2), Label{0}}, {reg(4), Label{5}}}), add(4, reg(3), reg(1))}, br(reg(4), 5, 6)),
                block(0, {store(reg(0), reg(0)), neg(2, reg(0)), call(imm(0), {reg(1)})}, jump(5)),
                block(6, {}, ret(reg(4))),
            });
        e.uuid = f.uuid;
        return e;
    }();
    EXPECT_EQ(f, expected);
    EXPECT_TRUE(f.verify().has_value());

    // A second pass changes nothing.
    Function again = f;
    again.normalize_ssa();
    EXPECT_EQ(again, f);
}

TEST(NormalizeSsa, EveryDestinationKindIsRenumbered) {
    Function f = function({9}, {block(0,
                                      {
                                          call(reg(9), {}, 20),
                                          MLoad{Name{21}, kI32, reg(20), 4u, std::nullopt, false},
                                          Select{Name{22}, reg(21), reg(20), reg(9), kI32},
                                          MetaForall{Name{23}, kI32},
                                      },
                                      ret(reg(22)))});
    f.normalize_ssa();
    const auto& instrs = f.body.at(Label{0}).instructions;
    ASSERT_EQ(instrs.size(), 4u);
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(instrs[i].destination(), Name{i + 1});
    EXPECT_EQ(std::get<Invoke>(instrs[0]).function, reg(0));
    EXPECT_EQ(std::get<MLoad>(instrs[1]).addr, reg(1));
    EXPECT_EQ(std::get<Select>(instrs[2]).condition, reg(2));
    EXPECT_EQ(std::get<Select>(instrs[2]).false_value, reg(0));
    EXPECT_EQ(f.body.at(Label{0}).terminator, ret(reg(3)));
}

TEST(NormalizeSsa, DoubleDefinitionGetsTwoNumbersAndUsesTakeTheLast) {
    // %4 is a parameter and defined again by an instruction.
    Function f = function({4}, {block(0, {neg(4, imm(1)), neg(5, reg(4))}, ret(reg(4)))});
    f.normalize_ssa();
    EXPECT_EQ(f.params[0].first, Name{0});
    const auto& b = f.body.at(Label{0});
    EXPECT_EQ(b.instructions[0], neg(1, imm(1)));
    EXPECT_EQ(b.instructions[1], neg(2, reg(1)));
    EXPECT_EQ(b.terminator, ret(reg(1)));
}

TEST(NormalizeSsa, ConstantsAndValuelessTerminatorsStay) {
    Function f = function({}, {block(0, {}, br(imm(1), 1, 2)), block(1, {}, ret()), block(2, {}, ret(undef()))});
    const Function before = f;
    f.normalize_ssa();
    EXPECT_EQ(f, before);
}

// A register that is used but never defined must not take the number of a defined
// register: it gets a number after all definitions, in order of first use, and
// verification then reports it.
TEST(NormalizeSsa, UndefinedRegistersGetFreshNumbers) {
    // Defined: %7 (param) -> 0, %3 -> 1. Used but undefined: %1 first (instruction
    // operand), then %0 (phi value of a later block), then %1 again, then %9 in a
    // terminator. Old numbers 0 and 1 are the new numbers of defined registers.
    Function f = function({7}, {
                                   block(0, {neg(3, reg(1))}, jump(1)),
                                   block(1, {phi(2, {{reg(0), Label{0}}}), add(4, reg(1), reg(2))}, ret(reg(9))),
                               });
    f.normalize_ssa();
    const auto& b0 = f.body.at(Label{0});
    const auto& b1 = f.body.at(Label{1});
    // Definitions: %3 -> 1, %2 -> 2, %4 -> 3. Undefined: %1 -> 4, %0 -> 5, %9 -> 6.
    EXPECT_EQ(b0.instructions[0], neg(1, reg(4)));
    EXPECT_EQ(b1.instructions[0], phi(2, {{reg(5), Label{0}}}));
    EXPECT_EQ(b1.instructions[1], add(3, reg(4), reg(2)));
    EXPECT_EQ(b1.terminator, ret(reg(6)));

    auto r = f.verify();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (Error{Error::UndefinedName{Name{4}}}));

    // Stable under a second pass as well.
    Function again = f;
    again.normalize_ssa();
    EXPECT_EQ(again, f);
}

TEST(NormalizeSsa, HugeRegisterNumbersAreHandled) {
    Function f = function({0xFFFFFFFFu}, {block(0, {neg(0xFFFFFFF0u, reg(0xFFFFFFFFu))}, ret(reg(0xFFFFFFFEu)))});
    f.normalize_ssa();
    EXPECT_EQ(f.params[0].first, Name{0});
    EXPECT_EQ(f.body.at(Label{0}).instructions[0], neg(1, reg(0)));
    EXPECT_EQ(f.body.at(Label{0}).terminator, ret(reg(2)));
}

}  // namespace
}  // namespace keinstr
