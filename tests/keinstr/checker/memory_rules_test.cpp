// Typing rules of the memory, aggregate, call, cast, phi and select instructions.
#include "tests/keinstr/checker/checker_fixture.hpp"

namespace keinstr::checker_test {
namespace {

using MemoryRules = CheckerTest;
using CallPhiSelectRules = CheckerTest;
using GepRules = CheckerTest;
using AggregateRules = CheckerTest;
using CastRules = CheckerTest;

const std::string kUndefined9 =
    "A operand refers to an undefined name: `%9`. This name was never defined in the module.";

TEST_F(MemoryRules, AddressesAndCounts) {
    const Typeref i8 = i(8), i32 = i(32), i64 = i(64);
    const Typeref p = ptr();
    const Typeref v2p = vec(2, PtrType{});
    const Typeref v2i32 = vec(2, IType{32});
    expect_rows({
        {"load through ptr, any result",
         {param(0, p)},
         MLoad{Name{1}, v2i32, r(0), 4, MemoryOrdering::SeqCst, true},
         "",
         ""},
        {"load through i64",
         {param(0, i64)},
         MLoad{Name{1}, i32, r(0), std::nullopt, std::nullopt, false},
         "ptr",
         "i64"},
        {"load through <2 x ptr>",
         {param(0, v2p)},
         MLoad{Name{1}, i32, r(0), std::nullopt, std::nullopt, false},
         "ptr",
         "<2 x ptr>"},
        {"store of an undefined value through ptr",
         {param(0, p)},
         MStore{r(0), r(9), std::nullopt, std::nullopt, false},
         "",
         ""},
        {"store through i32",
         {param(0, i32)},
         MStore{r(0), lit(8, 1), std::nullopt, std::nullopt, false},
         "ptr",
         "i32"},
        {"store through a function pointer", {}, MStore{fnptr(), lit(8, 1), std::nullopt, std::nullopt, false}, "", ""},
        {"alloca with an i8 count", {param(0, i8)}, MAlloca{Name{1}, i32, r(0), std::nullopt}, "", ""},
        {"alloca with a <2 x i32> count", {param(0, v2i32)}, MAlloca{Name{1}, p, r(0), 8}, "iN", "<2 x i32>"},
        {"alloca with an fp count", {}, MAlloca{Name{1}, p, flit(FType::Fp32, 1), std::nullopt}, "iN", "fp32"},
    });
    EXPECT_EQ(run({}, {MLoad{Name{1}, i32, r(9), std::nullopt, std::nullopt, false}}), kUndefined9);
}

TEST_F(CallPhiSelectRules, Invoke) {
    const Typeref i32 = i(32);
    const Typeref p = ptr();
    expect_rows({
        {"invoke of an i32 register",
         {param(0, i32)},
         Invoke{r(0), {}, std::nullopt, std::nullopt, std::nullopt},
         "ptr",
         "i32"},
        {"invoke through ptr with any arguments",
         {param(0, p)},
         Invoke{r(0), {r(9), lit(3, 1), flit(FType::Fp16, 2)}, Name{1}, i32, CallingConvention::numbered(7)},
         "",
         ""},
        {"invoke of a function pointer", {}, Invoke{fnptr(), {}, std::nullopt, std::nullopt, std::nullopt}, "", ""},
        {"invoke of an undef fp32",
         {},
         Invoke{undef(f(FType::Fp32)), {}, std::nullopt, std::nullopt, std::nullopt},
         "ptr",
         "fp32"},
    });
}

TEST_F(CallPhiSelectRules, PhiAndSelect) {
    const Typeref i1 = i(1), i32 = i(32), i64 = i(64);
    const Typeref v2i1 = vec(2, IType{1});
    const Typeref s = strct({i32, i64});
    expect_rows({
        {"phi without pairs", {}, Phi{Name{1}, i32, {}}, "", ""},
        {"phi of a struct type", {param(0, s)}, Phi{Name{1}, s, {{r(0), Label{0}}, {undef(s), Label{7}}}}, "", ""},
        {"phi with an i64 literal",
         {param(0, i32)},
         Phi{Name{1}, i32, {{r(0), Label{0}}, {lit(64, 0), Label{0}}}},
         "i32",
         "i64"},
        {"select of i32", {param(0, i1), param(1, i32)}, Select{Name{2}, r(0), r(1), lit(32, 0), i32}, "", ""},
        {"select on i32", {param(0, i32)}, Select{Name{2}, r(0), r(0), r(0), i32}, "i1", "i32"},
        {"select on <2 x i1>",
         {param(0, v2i1), param(1, i32)},
         Select{Name{2}, r(0), r(1), r(1), i32},
         "i1",
         "<2 x i1>"},
        {"select, true value differs",
         {param(0, i1), param(1, i64)},
         Select{Name{2}, r(0), r(1), r(9), i32},
         "i32",
         "i64"},
        {"select, false value differs",
         {param(0, i1), param(1, i32)},
         Select{Name{2}, r(0), r(1), lit(8, 0), i32},
         "i32",
         "i8"},
        {"select, condition before values", {param(0, i64)}, Select{Name{2}, r(0), r(0), r(0), i32}, "i1", "i64"},
    });
    EXPECT_EQ(run({param(0, i1)}, {Select{Name{2}, r(0), r(9), lit(8, 0), i32}}), kUndefined9);
}

TEST_F(GepRules, DestinationBaseIndicesThenWalk) {
    const Typeref i8 = i(8), i32 = i(32), i64 = i(64);
    const Typeref p = ptr();
    const Typeref f32 = f(FType::Fp32);
    const Typeref pair = strct({i32, f32});
    const Typeref arr_pairs = arr(pair, 2);
    const Typeref v4i16 = vec(4, IType{16});
    const Typeref missing{Uuid::from_bytes({9, 9})};
    const auto gep = [&](Typeref in_ty, OperandList indices, Typeref d = Typeref{}) -> KeInstr {
        return MGetElementPtr{Name{1}, d == Typeref{} ? p : d, in_ty, r(0), std::move(indices)};
    };
    expect_rows({
        {"single index: in_ty is not consulted", {param(0, p)}, gep(missing, {lit(64, 5)}), "", ""},
        {"struct field 1 through an array",
         {param(0, p)},
         gep(arr_pairs, {lit(64, 0), lit(32, 1), lit(32, 1)}),
         "",
         ""},
        {"array index is not bounded",
         {param(0, p), param(2, i8)},
         gep(arr_pairs, {lit(64, 0), r(2), lit(32, 0)}),
         "",
         ""},
        {"vector lanes are not bounded", {param(0, p)}, gep(v4i16, {lit(64, 0), lit(64, 99)}), "", ""},
        {"result not ptr", {param(0, p)}, gep(pair, {lit(64, 0)}, i64), "ptr", "i64"},
        {"base not ptr", {param(0, i64)}, gep(pair, {lit(64, 0)}), "ptr", "i64"},
        {"fp index, shown as an operand", {param(0, p)}, gep(pair, {lit(64, 0), flit(FType::Fp32, 1)}), "iN", "fp32 1"},
        {"vector index, shown as an operand",
         {param(0, p), param(2, vec(2, IType{32}))},
         gep(pair, {r(2)}),
         "iN",
         "%2"},
        {"register as a struct index",
         {param(0, p), param(2, i32)},
         gep(pair, {lit(64, 0), r(2)}),
         "constant integer",
         "%2"},
        {"negative struct index", {param(0, p)}, gep(pair, {lit(64, 0), lit(32, -1)}), "constant integer", "i32 -1"},
        {"struct index of 2^32",
         {param(0, p)},
         gep(pair, {lit(64, 0), lit_big(64, BigInt(1) << 32)}),
         "constant integer",
         "i64 4294967296"},
        {"walk into a scalar", {param(0, p)}, gep(pair, {lit(64, 0), lit(32, 0), lit(32, 0)}), "aggregate type", "i32"},
        {"walk from an unregistered type",
         {param(0, p)},
         gep(missing, {lit(64, 0), lit(32, 0)}),
         "aggregate type",
         text(missing)},
        {"walk from a type variable",
         {param(0, p)},
         gep(Typeref::type_variable(1), {lit(64, 0), lit(32, 0)}),
         "aggregate type",
         "B"},
    });
}

TEST_F(GepRules, StructIndexBoundsAndEmptyStructs) {
    const Typeref p = ptr();
    const Typeref pair = strct({i(32), f(FType::Fp32)});
    const Typeref empty = strct({});
    const KeInstr past_end = MGetElementPtr{Name{1}, p, pair, r(0), {lit(64, 0), lit(32, 2)}};
    EXPECT_EQ(run({param(0, p)}, {past_end}), oob_msg(2, "{i32, fp32}", 1, text(past_end)));
    // No index is valid for a struct without elements; the largest index saturates at 0.
    const KeInstr into_empty = MGetElementPtr{Name{1}, p, empty, r(0), {lit(64, 0), lit(32, 0)}};
    EXPECT_EQ(run({param(0, p)}, {into_empty}), oob_msg(0, "{}", 0, text(into_empty)));
    // Every index is typed before the walk starts.
    EXPECT_EQ(run({param(0, p)}, {MGetElementPtr{Name{1}, p, pair, r(0), {lit(64, 0), lit(32, 7), r(9)}}}),
              kUndefined9);
}

// One run meets the same struct again and again (its elements are looked up once):
// every element is reached by its own index, and a later bad index still fails.
TEST_F(GepRules, RepeatedStructWalksInOneFunction) {
    const Typeref p = ptr();
    const Typeref i32 = i(32), f32 = f(FType::Fp32);
    const Typeref pair = strct({i32, f32});
    const Typeref nest = strct({pair, pair, i32});
    InstrList ok;
    for (std::uint32_t n = 1; n <= 6; ++n) {
        ok.push_back(MGetElementPtr{Name{n}, p, nest, r(0), {lit(64, 0), lit(32, n % 2), lit(32, n % 2)}});
        ok.push_back(ExtractValue{Name{100 + n}, n % 2 ? f32 : i32, r(50), {n % 2, n % 2}});
    }
    // ExtractValue of {pair, pair, i32} with indices {1, 1} reaches f32, {0, 0} reaches i32.
    EXPECT_EQ(run({param(0, p), param(50, nest)}, ok), "ok");
    InstrList bad = ok;
    bad.push_back(ExtractValue{Name{200}, f32, r(50), {1, 2}});
    EXPECT_EQ(run({param(0, p), param(50, nest)}, bad), oob_msg(2, "{i32, fp32}", 1, text(bad.back())));
}

TEST_F(GepRules, SteppingIntoAVectorInternsItsLaneType) {
    const Typeref p = ptr();
    const Typeref v4i16 = vec(4, IType{16});
    const Typeref outer = arr(v4i16, 2);
    i(64);  // the type of the index literals: only the lane type is new
    const std::size_t before = reg.len();
    ASSERT_EQ(before, 4u);
    ASSERT_EQ(run({param(0, p)}, {MGetElementPtr{Name{1}, p, outer, r(0), {lit(64, 0), lit(64, 1), lit(64, 2)}}}),
              "ok");
    EXPECT_EQ(reg.len(), before + 1);
    EXPECT_TRUE(reg.get(reg.search_or_insert(int_type(16))).has_value());
    EXPECT_EQ(reg.len(), before + 1);
}

TEST_F(AggregateRules, ExtractValue) {
    const Typeref i8 = i(8), i32 = i(32), i64 = i(64);
    const Typeref a4 = arr(i32, 4);
    const Typeref v4f32 = vec(4, FType::Fp32);
    const Typeref sv4f32 = svec(4, FType::Fp32);
    const Typeref s = strct({i8, a4, v4f32}, true);
    expect_rows({
        {"last array element", {param(0, a4)}, ExtractValue{Name{1}, i32, r(0), {3}}, "", ""},
        {"nested path", {param(0, s)}, ExtractValue{Name{1}, i32, r(0), {1, 2}}, "", ""},
        {"vector lane", {param(0, s)}, ExtractValue{Name{1}, f(FType::Fp32), r(0), {2, 3}}, "", ""},
        {"no indices yields the aggregate", {param(0, s)}, ExtractValue{Name{1}, s, r(0), {}}, "", ""},
        {"reached type differs from the result", {param(0, a4)}, ExtractValue{Name{1}, i64, r(0), {0}}, "i32", "i64"},
        {"scalable vector",
         {param(0, sv4f32)},
         ExtractValue{Name{1}, f(FType::Fp32), r(0), {0}},
         "aggregate type",
         "<vscale 4 x fp32>"},
        {"index into a scalar", {param(0, s)}, ExtractValue{Name{1}, i8, r(0), {0, 0}}, "aggregate type", "i8"},
        {"index into ptr", {param(0, ptr())}, ExtractValue{Name{1}, i8, r(0), {0}}, "aggregate type", "ptr"},
    });
}

TEST_F(AggregateRules, ExtractValueBounds) {
    const Typeref i32 = i(32);
    const Typeref a4 = arr(i32, 4);
    const Typeref v4f32 = vec(4, FType::Fp32);
    const Typeref s = strct({i32, a4});
    struct Case {
        const char* name;
        Typeref aggregate;
        IndexList indices;
        std::size_t index;
        std::string type;
        std::size_t max;
    };
    const std::vector<Case> cases = {
        {"array", a4, {4}, 4, "[ 4 x i32 ]", 3},
        {"struct", s, {2}, 2, "{i32, [ 4 x i32 ]}", 1},
        {"nested array", s, {1, 4294967295u}, 4294967295u, "[ 4 x i32 ]", 3},
        {"fixed vector", v4f32, {4}, 4, "<4 x fp32>", 3},
        // Aggregates without elements: the largest index saturates at 0.
        {"empty array", arr(i32, 0), {0}, 0, "[ 0 x i32 ]", 0},
        {"empty struct", strct({}, true), {0}, 0, "packed {}", 0},
        {"vector without lanes", vec(0, IType{32}), {0}, 0, "<0 x i32>", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const KeInstr instr = ExtractValue{Name{1}, i32, r(0), c.indices};
        EXPECT_EQ(run({param(0, c.aggregate)}, {instr}), oob_msg(c.index, c.type, c.max, text(instr)));
    }
}

TEST_F(AggregateRules, InsertValue) {
    const Typeref i16 = i(16), i32 = i(32);
    const Typeref a4 = arr(i32, 4);
    const Typeref s = strct({i16, a4});
    expect_rows({
        {"into a nested array", {param(0, s)}, InsertValue{Name{1}, s, r(0), lit(32, 7), {1, 3}}, "", ""},
        {"aggregate differs from the result",
         {param(0, a4)},
         InsertValue{Name{1}, s, r(0), lit(32, 7), {0}},
         "{i16, [ 4 x i32 ]}",
         "[ 4 x i32 ]"},
        {"value differs from the element", {param(0, s)}, InsertValue{Name{1}, s, r(0), lit(32, 7), {0}}, "i16", "i32"},
        {"aggregate check before the walk",
         {param(0, a4)},
         InsertValue{Name{1}, s, r(0), lit(32, 7), {9}},
         "{i16, [ 4 x i32 ]}",
         "[ 4 x i32 ]"},
    });
    const KeInstr past_end = InsertValue{Name{1}, s, r(0), lit(16, 7), {1, 4}};
    EXPECT_EQ(run({param(0, s)}, {past_end}), oob_msg(4, "[ 4 x i32 ]", 3, text(past_end)));
    // Both operands are typed before anything is compared.
    EXPECT_EQ(run({param(0, a4)}, {InsertValue{Name{1}, s, r(0), r(9), {0}}}), kUndefined9);
}

TEST_F(CastRules, ShapeThenElementRulesThenRelation) {
    const Typeref i8 = i(8), i16 = i(16), i32 = i(32), i64 = i(64), i80 = i(80);
    const Typeref fp16 = f(FType::Fp16), bf16 = f(FType::Bf16), fp32 = f(FType::Fp32), fp64 = f(FType::Fp64);
    const Typeref fp128 = f(FType::Fp128), x86 = f(FType::X86Fp80), ppc = f(FType::PPCFp128);
    const Typeref p = ptr();
    const Typeref v4i8 = vec(4, IType{8}), v4i16 = vec(4, IType{16}), sv4i8 = svec(4, IType{8});
    const Typeref v2i32 = vec(2, IType{32}), v2f32 = vec(2, FType::Fp32), v2i64 = vec(2, IType{64});
    const Typeref v2p = vec(2, PtrType{});
    const auto cast = [](Typeref to, CastVariant v) -> KeInstr { return Cast{Name{1}, to, r(0), v}; };
    using CV = CastVariant;
    expect_rows({
        // shape
        {"zext into a vector", {param(0, i8)}, cast(v4i16, CV::ZExt), "<4 x T>", "i8"},
        {"zext out of a vector", {param(0, v4i8)}, cast(i16, CV::ZExt), "T", "<4 x i8>"},
        {"fixed and scalable lanes differ", {param(0, sv4i8)}, cast(v4i16, CV::ZExt), "<4 x T>", "<vscale 4 x i8>"},
        {"shape before element kinds", {param(0, fp32)}, cast(vec(2, IType{8}), CV::Trunc), "<2 x T>", "fp32"},
        // integer widths
        {"trunc i16 to i8", {param(0, i16)}, cast(i8, CV::Trunc), "", ""},
        {"trunc i8 to i16", {param(0, i8)}, cast(i16, CV::Trunc), "iN where N < 8", "i16"},
        {"trunc to the same width", {param(0, i8)}, cast(i8, CV::Trunc), "iN where N < 8", "i8"},
        {"zext i8 to i16", {param(0, i8)}, cast(i16, CV::ZExt), "", ""},
        {"zext <4 x i8> to <4 x i16>", {param(0, v4i8)}, cast(v4i16, CV::ZExt), "", ""},
        {"sext i32 to i16", {param(0, i32)}, cast(i16, CV::SExt), "iN where N > 32", "i16"},
        {"trunc from fp", {param(0, fp32)}, cast(i8, CV::Trunc), "iN", "fp32"},
        {"sext into fp", {param(0, i8)}, cast(fp32, CV::SExt), "iN", "fp32"},
        // fp sizes
        {"fptrunc fp64 to fp32", {param(0, fp64)}, cast(fp32, CV::FpTrunc), "", ""},
        {"fptrunc fp64 to fp128", {param(0, fp64)}, cast(fp128, CV::FpTrunc), "one of fp16, bf16, fp32", "fp128"},
        {"fptrunc fp128 to ppc_fp128",
         {param(0, fp128)},
         cast(ppc, CV::FpTrunc),
         "one of fp16, bf16, fp32, fp64, x86_fp80",
         "ppc_fp128"},
        {"fptrunc from fp16: nothing is smaller", {param(0, fp16)}, cast(bf16, CV::FpTrunc), "one of ", "bf16"},
        {"fpext fp16 to bf16",
         {param(0, fp16)},
         cast(bf16, CV::FpExt),
         "one of fp32, fp64, fp128, x86_fp80, ppc_fp128",
         "bf16"},
        {"fpext fp64 to x86_fp80", {param(0, fp64)}, cast(x86, CV::FpExt), "", ""},
        {"fpext x86_fp80 to fp64", {param(0, x86)}, cast(fp64, CV::FpExt), "one of fp128, ppc_fp128", "fp64"},
        {"fpext from an integer", {param(0, i32)}, cast(fp64, CV::FpExt), "fp", "i32"},
        // conversions
        {"fptoui fp32 to i8", {param(0, fp32)}, cast(i8, CV::FpToUI), "", ""},
        {"fptosi from an integer", {param(0, i32)}, cast(i32, CV::FpToSI), "fp", "i32"},
        {"uitofp into an integer", {param(0, i32)}, cast(i32, CV::UIToFp), "fp", "i32"},
        {"sitofp <2 x i32> to <2 x fp32>", {param(0, v2i32)}, cast(v2f32, CV::SIToFp), "", ""},
        {"sitofp from fp", {param(0, fp32)}, cast(fp64, CV::SIToFp), "iN", "fp32"},
        // pointers
        {"ptrtoint ptr to i64", {param(0, p)}, cast(i64, CV::PtrToInt), "", ""},
        {"ptrtoint <2 x ptr> to <2 x i64>", {param(0, v2p)}, cast(v2i64, CV::PtrToInt), "ptr", "<2 x ptr>"},
        {"ptrtoint ptr to fp32", {param(0, p)}, cast(fp32, CV::PtrToInt), "iN", "fp32"},
        {"inttoptr i64 to ptr", {param(0, i64)}, cast(p, CV::IntToPtr), "", ""},
        {"inttoptr <2 x i64> to <2 x ptr>", {param(0, v2i64)}, cast(v2p, CV::IntToPtr), "ptr", "<2 x ptr>"},
        {"inttoptr from ptr", {param(0, p)}, cast(p, CV::IntToPtr), "iN", "ptr"},
        // bitcast
        {"bitcast fp32 to i32", {param(0, fp32)}, cast(i32, CV::Bitcast), "", ""},
        {"bitcast x86_fp80 to i80", {param(0, x86)}, cast(i80, CV::Bitcast), "", ""},
        {"bitcast <2 x i32> to <2 x fp32>", {param(0, v2i32)}, cast(v2f32, CV::Bitcast), "", ""},
        {"bitcast fp32 to i64", {param(0, fp32)}, cast(i64, CV::Bitcast), "type of size 32", "i64"},
        {"bitcast ptr to i64", {param(0, p)}, cast(i64, CV::Bitcast), "iN or fp or <K x iN> or <K x fp>", "ptr"},
        {"bitcast i64 to ptr", {param(0, i64)}, cast(p, CV::Bitcast), "iN or fp or <K x iN> or <K x fp>", "ptr"},
        // unknown types fail the element rules, never the program
        {"cast from an unregistered type",
         {param(0, Typeref{Uuid::from_bytes({7})})},
         cast(i8, CV::ZExt),
         "iN",
         "<unknown type 07000000-0000-0000-0000-000000000000>"},
    });
}

}  // namespace
}  // namespace keinstr::checker_test
