// Typing rules of the integer, floating-point, comparison and meta instructions.
#include "tests/keinstr/checker/checker_fixture.hpp"

namespace keinstr::checker_test {
namespace {

using IntegerRules = CheckerTest;
using FloatRules = CheckerTest;
using CompareRules = CheckerTest;
using MetaRules = CheckerTest;

constexpr auto kWrap = OverflowSignednessPolicy::Wrap;

TEST_F(IntegerRules, DestinationKindThenEachOperandAgainstTheDestination) {
    const Typeref i8 = i(8), i16 = i(16), i32 = i(32), i64 = i(64);
    const Typeref f32 = f(FType::Fp32);
    const Typeref v4i32 = vec(4, IType{32}), sv4i32 = svec(4, IType{32});
    const Typeref v4f32 = vec(4, FType::Fp32);
    expect_rows({
        {"iadd over <4 x i32>", {param(0, v4i32)}, IAdd{Name{1}, v4i32, r(0), r(0), kWrap}, "", ""},
        {"iadd over <vscale 4 x i32>", {param(0, sv4i32)}, IAdd{Name{1}, sv4i32, r(0), r(0), kWrap}, "", ""},
        {"iadd with an fp32 destination",
         {param(0, f32)},
         IAdd{Name{1}, f32, r(0), r(0), kWrap},
         "iN or <N x iN>",
         "fp32"},
        {"imul with an fp vector destination",
         {param(0, v4f32)},
         IMul{Name{1}, v4f32, r(0), r(0), kWrap},
         "iN or <N x iN>",
         "<4 x fp32>"},
        {"isht with an i8 shift amount",
         {param(0, i32)},
         ISht{Name{1}, i32, r(0), lit(8, 3), IShiftVariant::Lsl},
         "i32",
         "i8"},
        {"idiv with an i64 dividend",
         {param(0, i64), param(1, i32)},
         IDiv{Name{2}, i32, r(0), r(1), IntegerSignedness::Signed},
         "i32",
         "i64"},
        {"irem with an i64 divisor",
         {param(0, i32), param(1, i64)},
         IRem{Name{2}, i32, r(0), r(1), IntegerSignedness::Unsigned},
         "i32",
         "i64"},
        {"scalar operand in a vector operation",
         {param(0, v4i32), param(1, i32)},
         ISub{Name{2}, v4i32, r(0), r(1), kWrap},
         "<4 x i32>",
         "i32"},
        {"and over i1", {param(0, i(1))}, IAnd{Name{1}, i(1), r(0), lit(1, 1)}, "", ""},
        {"or, xor, implies, equiv share the rule", {param(0, i16)}, IEquiv{Name{1}, i16, r(0), lit(8, 1)}, "i16", "i8"},
        {"ineg of a narrower value", {param(0, i16)}, INeg{Name{1}, i32, r(0)}, "i32", "i16"},
        {"not of the destination type", {param(0, i8)}, INot{Name{1}, i8, r(0)}, "", ""},
        {"xor with a ptr destination", {param(0, i8)}, IXor{Name{1}, ptr(), r(0), r(0)}, "iN or <N x iN>", "ptr"},
        {"implies with an fp literal",
         {param(0, i32)},
         IImplies{Name{1}, i32, flit(FType::Fp32, 1), r(0)},
         "i32",
         "fp32"},
    });
}

TEST_F(IntegerRules, OperandsAreTypedOneAfterTheOther) {
    const Typeref i32 = i(32), i64 = i(64);
    // lhs mismatches before rhs, an undefined register, is looked at.
    const KeInstr lhs_bad = IAdd{Name{1}, i32, r(0), r(9), kWrap};
    EXPECT_EQ(run({param(0, i64)}, {lhs_bad}), mismatch_msg(text(lhs_bad), "i32", "i64"));
    // An undefined lhs is reported before a mismatching rhs.
    EXPECT_EQ(run({param(0, i64)}, {IAdd{Name{1}, i32, r(9), r(0), kWrap}}),
              "A operand refers to an undefined name: `%9`. This name was never defined in the module.");
    // The destination's kind comes before the operands.
    const KeInstr dest_bad = IAdd{Name{1}, f(FType::Fp64), r(9), r(9), kWrap};
    EXPECT_EQ(run({}, {dest_bad}), mismatch_msg(text(dest_bad), "iN or <N x iN>", "fp64"));
}

TEST_F(FloatRules, DestinationKindThenEachOperandAgainstTheDestination) {
    const Typeref i32 = i(32);
    const Typeref f32 = f(FType::Fp32), f64 = f(FType::Fp64);
    const Typeref v2f32 = vec(2, FType::Fp32), sv2f64 = svec(2, FType::Fp64);
    expect_rows({
        {"fadd over fp64", {param(0, f64)}, FAdd{Name{1}, f64, r(0), flit(FType::Fp64, 2)}, "", ""},
        {"fsub over <vscale 2 x fp64>", {param(0, sv2f64)}, FSub{Name{1}, sv2f64, r(0), r(0)}, "", ""},
        {"fneg over <2 x fp32>", {param(0, v2f32)}, FNeg{Name{1}, v2f32, r(0)}, "", ""},
        {"fmul with an i32 destination", {param(0, i32)}, FMul{Name{1}, i32, r(0), r(0)}, "fp or <N x fp>", "i32"},
        {"fdiv with an integer vector destination",
         {},
         FDiv{Name{1}, vec(2, IType{32}), r(0), r(0)},
         "fp or <N x fp>",
         "<2 x i32>"},
        {"frem with an fp32 literal in fp64",
         {param(0, f64)},
         FRem{Name{1}, f64, r(0), flit(FType::Fp32, 1)},
         "fp64",
         "fp32"},
        {"fneg of another kind", {param(0, f32)}, FNeg{Name{1}, f64, r(0)}, "fp64", "fp32"},
    });
}

TEST_F(CompareRules, ResultKindThenOperandAgreementThenOperandKindAndShape) {
    const Typeref i1 = i(1), i32 = i(32), i64 = i(64);
    const Typeref f16 = f(FType::Fp16);
    const Typeref v2i1 = vec(2, IType{1}), v4i1 = vec(4, IType{1}), sv4i1 = svec(4, IType{1});
    const Typeref sv2i1 = svec(2, IType{1});
    const Typeref v2i32 = vec(2, IType{32}), v4i32 = vec(4, IType{32});
    const Typeref v2f64 = vec(2, FType::Fp64), sv2f64 = svec(2, FType::Fp64);
    constexpr auto eq = ICmpVariant::Eq;
    constexpr auto oeq = FCmpVariant::Oeq;
    expect_rows({
        {"icmp over i64", {param(0, i64)}, ICmp{Name{1}, i1, r(0), r(0), eq}, "", ""},
        {"icmp over <4 x i32>", {param(0, v4i32)}, ICmp{Name{1}, v4i1, r(0), r(0), eq}, "", ""},
        {"icmp with an i32 result", {param(0, i32)}, ICmp{Name{1}, i32, r(0), r(0), eq}, "i1 or <N x i1>", "i32"},
        {"icmp, scalar result over vectors", {param(0, v2i32)}, ICmp{Name{1}, i1, r(0), r(0), eq}, "iN", "<2 x i32>"},
        {"icmp, vector result over scalars", {param(0, i32)}, ICmp{Name{1}, v2i1, r(0), r(0), eq}, "<2 x iN>", "i32"},
        {"icmp, lane counts differ", {param(0, v4i32)}, ICmp{Name{1}, v2i1, r(0), r(0), eq}, "<2 x iN>", "<4 x i32>"},
        {"icmp, fixed operands for a scalable result",
         {param(0, v4i32)},
         ICmp{Name{1}, sv4i1, r(0), r(0), eq},
         "<vscale 4 x iN>",
         "<4 x i32>"},
        {"icmp, operands disagree", {param(0, i32), param(1, i64)}, ICmp{Name{2}, i1, r(0), r(1), eq}, "i32", "i64"},
        {"icmp over fp", {param(0, f16)}, ICmp{Name{1}, i1, r(0), r(0), eq}, "iN", "fp16"},
        {"fcmp over fp16", {param(0, f16)}, FCmp{Name{1}, i1, r(0), r(0), oeq}, "", ""},
        {"fcmp over <vscale 2 x fp64>", {param(0, sv2f64)}, FCmp{Name{1}, sv2i1, r(0), r(0), oeq}, "", ""},
        {"fcmp, fixed operands for a scalable result",
         {param(0, v2f64)},
         FCmp{Name{1}, sv2i1, r(0), r(0), oeq},
         "<vscale 2 x fp>",
         "<2 x fp64>"},
        {"fcmp over integers", {param(0, i32)}, FCmp{Name{1}, i1, r(0), r(0), oeq}, "fp", "i32"},
        {"fcmp with an fp result", {param(0, f16)}, FCmp{Name{1}, f16, r(0), r(0), oeq}, "i1 or <N x i1>", "fp16"},
        {"fcmp, vector result over integer vectors",
         {param(0, v2i32)},
         FCmp{Name{1}, v2i1, r(0), r(0), oeq},
         "<2 x fp>",
         "<2 x i32>"},
    });
}

TEST_F(CompareRules, BothOperandsAreTypedBeforeTheyAreCompared) {
    const Typeref i1 = i(1), i32 = i(32);
    // rhs is undefined: reported although lhs alone would already disagree with nothing.
    EXPECT_EQ(run({param(0, i32)}, {ICmp{Name{1}, i1, r(0), r(8), ICmpVariant::Ne}}),
              "A operand refers to an undefined name: `%8`. This name was never defined in the module.");
    // The result kind comes before the operands are typed.
    const KeInstr bad = FCmp{Name{1}, i32, r(8), r(9), FCmpVariant::Ord};
    EXPECT_EQ(run({}, {bad}), mismatch_msg(text(bad), "i1 or <N x i1>", "i32"));
    // Agreement comes before the kind: fp lhs with an integer rhs reports the disagreement.
    const KeInstr disagree = ICmp{Name{1}, i1, flit(FType::Fp32, 1), lit(32, 1), ICmpVariant::Eq};
    EXPECT_EQ(run({}, {disagree}), mismatch_msg(text(disagree), "fp32", "i32"));
}

TEST_F(MetaRules, ResultKindsAndConditions) {
    const Typeref i1 = i(1), i2 = i(2), i8 = i(8), i64 = i(64);
    const Typeref f32 = f(FType::Fp32);
    const Typeref v2i1 = vec(2, IType{1});
    const Typeref p = ptr();
    expect_rows({
        {"!assert on i1", {param(0, i1)}, MetaAssert{r(0)}, "", ""},
        {"!assert on <2 x i1>", {param(0, v2i1)}, MetaAssert{r(0)}, "i1", "<2 x i1>"},
        {"!assume on i8", {param(0, i8)}, MetaAssume{r(0)}, "i1", "i8"},
        {"!isdef of anything", {}, MetaIsDef{Name{1}, i1, r(42)}, "", ""},
        {"!isdef with an i8 result", {}, MetaIsDef{Name{1}, i8, lit(1, 0)}, "i1", "i8"},
        {"!prob over i64",
         {param(0, i64)},
         MetaProb{Name{1}, f32, MetaProbOperand{MetaProbVariant::Probability, r(0)}},
         "",
         ""},
        {"!prob over fp",
         {param(0, f32)},
         MetaProb{Name{1}, f32, MetaProbOperand{MetaProbVariant::Variance, r(0)}},
         "",
         ""},
        {"!prob over ptr",
         {param(0, p)},
         MetaProb{Name{1}, f32, MetaProbOperand{MetaProbVariant::ExpectedValue, r(0)}},
         "fp or iN",
         "ptr"},
        {"!prob over a vector",
         {param(0, v2i1)},
         MetaProb{Name{1}, f32, MetaProbOperand{MetaProbVariant::Probability, r(0)}},
         "fp or iN",
         "<2 x i1>"},
        {"!prob with an integer result",
         {param(0, p)},
         MetaProb{Name{1}, i64, MetaProbOperand{MetaProbVariant::Probability, r(0)}},
         "fp",
         "i64"},
        {"!analysis into i2", {}, MetaAnalysisStat{Name{1}, i2, ExecutionCount{}}, "", ""},
        {"!analysis into i1", {}, MetaAnalysisStat{Name{1}, i1, ExecutionCount{}}, "iN (N >= 2)", "i1"},
        {"!analysis into fp32", {}, MetaAnalysisStat{Name{1}, f32, ExecutionCount{}}, "iN (N >= 2)", "fp32"},
        {"!forall of any type", {}, MetaForall{Name{1}, p}, "", ""},
    });
}

TEST_F(MetaRules, ProbResultIsCheckedBeforeItsOperandIsTyped) {
    const KeInstr bad = MetaProb{Name{1}, i(32), MetaProbOperand{MetaProbVariant::Probability, r(9)}};
    EXPECT_EQ(run({}, {bad}), mismatch_msg(text(bad), "fp", "i32"));
    EXPECT_EQ(run({}, {MetaProb{Name{1}, f(FType::Fp32), MetaProbOperand{MetaProbVariant::Probability, r(9)}}}),
              "A operand refers to an undefined name: `%9`. This name was never defined in the module.");
}

}  // namespace
}  // namespace keinstr::checker_test
