#include <gtest/gtest.h>

#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "keinstr/ir/constants.hpp"
#include "keinstr/ir/operand.hpp"
#include "keinstr/types/registry.hpp"

using namespace keinstr;

namespace {
const Uuid kU = *Uuid::parse("0190f5d2-6a1b-6c3e-8f00-112233445566");
const std::string kUs = "0190f5d2-6a1b-6c3e-8f00-112233445566";

AnyConst dec(FType t, const char* text) { return FConst{t, *Decimal::parse(text)}; }
}  // namespace

TEST(Constants, Texts) {
    struct Case {
        AnyConst c;
        std::string text;
    };
    const Case cases[] = {
        {IConst{IType{32}, BigInt(-5)}, "i32 -5"},
        {IConst::from(0), "i64 0"},
        {IConst::from(18446744073709551615ULL), "i64 18446744073709551615"},
        {IConst{IType{1}, BigInt("-123456789012345678901234567890")}, "i1 -123456789012345678901234567890"},
        {dec(FType::Fp64, "2.5"), "fp64 2.5"},
        {dec(FType::Fp32, "2.50"), "fp32 2.50"},
        {dec(FType::X86Fp80, "-1e2"), "x86_fp80 -100"},
        {dec(FType::PPCFp128, "0.001"), "ppc_fp128 0.001"},
        {FunctionPointer::internal(kU), "ptr <unresolved@" + kUs + ">"},
        {FunctionPointer::external(kU), "ptr external <unresolved@" + kUs + ">"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.c.fmt(), c.text);
}

TEST(Constants, FunctionPointerWithModuleAnswers) {
    using S = FunctionPointerTarget::State;
    struct Case {
        FunctionPointer ptr;
        FunctionPointerTarget target;
        std::string text;
    };
    const Case cases[] = {
        {FunctionPointer::internal(kU), {S::Named, "main"}, "ptr %main"},
        {FunctionPointer::internal(kU), {S::Unnamed, ""}, "ptr @" + kUs},
        {FunctionPointer::internal(kU), {S::Missing, ""}, "ptr <invalid@" + kUs + ">"},
        {FunctionPointer::external(kU), {S::Named, "puts"}, "ptr external %puts"},
        {FunctionPointer::external(kU), {S::Missing, ""}, "ptr external <invalid@" + kUs + ">"},
        {FunctionPointer::external(kU), {S::Unnamed, ""}, "ptr external <invalid@" + kUs + ">"},
    };
    for (const auto& c : cases) {
        std::string out;
        write_function_pointer_target(out, c.ptr, c.target);
        EXPECT_EQ(out, c.text);
    }
}

TEST(Constants, EqualityUsesNumericDecimals) {
    EXPECT_EQ(dec(FType::Fp64, "2.5"), dec(FType::Fp64, "2.50"));
    EXPECT_NE(dec(FType::Fp64, "2.5"), dec(FType::Fp32, "2.5"));
    EXPECT_EQ(AnyConst{IConst::from(7)}, AnyConst(IConst{IType{64}, BigInt(7)}));
    EXPECT_NE(AnyConst{IConst::from(7)}, AnyConst(IConst{IType{32}, BigInt(7)}));
    EXPECT_NE(AnyConst{FunctionPointer::internal(kU)}, AnyConst{FunctionPointer::external(kU)});
}

TEST(Constants, DebugForms) {
    EXPECT_EQ(AnyConst(IConst{IType{32}, BigInt(-5)}).debug(), "Int(IConst { ty: IType { num_bits: 32 }, value: -5 })");
    EXPECT_EQ(dec(FType::Fp64, "2.50").debug(), "Float(FConst { ty: Fp64, value: Decimal(\"2.50\") })");
    EXPECT_EQ(AnyConst{FunctionPointer::external(kU)}.debug(), "FuncPtr(External(" + kUs + "))");
    EXPECT_EQ(Operand::reg(Name{3}).debug(), "Reg(%3)");
    EXPECT_EQ(Operand::imm(IConst::from(1)).debug(), "Imm(Int(IConst { ty: IType { num_bits: 64 }, value: 1 }))");
    EXPECT_EQ(Operand::undef(Typeref{kU}).debug(), "Undef(Typeref(" + kUs + "))");
}

TEST(Operand, Display) {
    TypeRegistry reg(0, NodeId{});
    const Typeref i32 = reg.search_or_insert(int_type(32));
    const Typeref missing{kU};
    struct Case {
        Operand op;
        const TypeRegistry* registry;
        std::string text;
    };
    const Case cases[] = {
        {Operand::reg(Name{7}), nullptr, "%7"},
        {Operand::imm(IConst{IType{8}, BigInt(-1)}), &reg, "i8 -1"},
        {Operand::imm(FunctionPointer::internal(kU)), &reg, "ptr <unresolved@" + kUs + ">"},
        {Operand::undef(i32), &reg, "i32 undef"},
        {Operand::undef(i32), nullptr, "undef"},
        {Operand::undef(missing), &reg, "<unknown type " + kUs + "> undef"},
        {Operand::undef(Typeref::type_variable(1)), &reg, "B undef"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.op.fmt_with(c.registry), c.text);
}

TEST(ConstBox, BehavesAsAValue) {
    static_assert(std::is_nothrow_move_constructible_v<ConstBox> && std::is_nothrow_move_assignable_v<ConstBox>);
    static_assert(std::is_nothrow_move_constructible_v<Operand> && std::is_nothrow_move_assignable_v<Operand>);
    const AnyConst big = IConst{IType{200}, BigInt(1) << 190};

    // Copies are deep: changing one leaves the other as it was.
    ConstBox a(big);
    ConstBox b(a);
    std::get<IConst>(b.get_mut()).value += 1;
    EXPECT_EQ(*a, big);
    EXPECT_NE(a, b);
    b = a;
    EXPECT_EQ(b, a);
    EXPECT_NE(&*b, &*a);
    const ConstBox& same = b;
    b = same;  // self-assignment keeps the value
    EXPECT_EQ(*b, big);

    // Equality compares the held constants, not their addresses.
    EXPECT_EQ(ConstBox(dec(FType::Fp64, "2.5")), ConstBox(dec(FType::Fp64, "2.50")));
    EXPECT_NE(ConstBox(FunctionPointer::internal(kU)), ConstBox(FunctionPointer::external(kU)));

    // A moved-from or default box reads as the default constant, and can be refilled.
    ConstBox c(std::move(a));
    EXPECT_EQ(*c, big);
    EXPECT_EQ(*a, AnyConst{});
    EXPECT_EQ(a, ConstBox(AnyConst{}));
    EXPECT_EQ(ConstBox{}, a);
    a.get_mut() = FunctionPointer::internal(kU);
    EXPECT_EQ(a->debug(), "FuncPtr(Internal(" + kUs + "))");
    a = ConstBox{};
    EXPECT_EQ(*a, AnyConst{});
}

TEST(ConstBox, SmallIntegersAreSharedAndStillValues) {
    const auto icst = [](std::uint32_t width, std::int64_t v) { return AnyConst{IConst{IType{width}, BigInt(v)}}; };
    // The factory and the boxed constant hold the same value, inside and outside
    // the shared range, for every width.
    for (std::uint32_t width : {1u, 7u, 8u, 16u, 32u, 64u, 65u}) {
        for (std::int64_t v : {std::int64_t{-1025}, std::int64_t{-1024}, std::int64_t{-1}, std::int64_t{0},
                               std::int64_t{1023}, std::int64_t{1024}, std::int64_t{1} << 62}) {
            const ConstBox made = ConstBox::integer(width, v);
            EXPECT_EQ(*made, icst(width, v)) << width << " " << v;
            EXPECT_EQ(made, ConstBox(icst(width, v))) << width << " " << v;
        }
    }
    // Shared: one constant behind every box of the same small integer of a usual
    // width, whichever way the box was made; not shared: a constant per box.
    EXPECT_EQ(&*ConstBox::integer(64, 3), &*ConstBox(icst(64, 3)));
    EXPECT_EQ(&*ConstBox::integer(1, -1024), &*ConstBox::integer(1, -1024));
    EXPECT_NE(&*ConstBox::integer(64, 3), &*ConstBox::integer(32, 3));
    const ConstBox outside = ConstBox::integer(64, 1024);
    EXPECT_NE(&*outside, &*ConstBox::integer(64, 1024));
    EXPECT_NE(&*ConstBox::integer(7, 3), &*ConstBox::integer(7, 3));

    // Changing a box of a shared constant changes that box alone.
    const ConstBox three = ConstBox::integer(64, 3);
    ConstBox copy = three;
    EXPECT_EQ(&*copy, &*three);
    std::get<IConst>(copy.get_mut()).value = 4;
    EXPECT_EQ(*copy, icst(64, 4));
    EXPECT_EQ(*three, icst(64, 3));
    EXPECT_EQ(*ConstBox::integer(64, 3), icst(64, 3));
    // Moving and overwriting boxes of shared constants never frees them.
    ConstBox moved = std::move(copy);
    moved = ConstBox::integer(64, 3);
    moved = ConstBox{};
    EXPECT_EQ(*ConstBox::integer(64, 3), icst(64, 3));
}

TEST(ConstBox, SharedIntegersAreMadeOnceAcrossThreads) {
    // Threads racing to make the same shared constants all get the one that won.
    constexpr int kThreads = 8;
    std::vector<std::vector<const AnyConst*>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&seen, t] {
            for (std::int64_t v = 700; v < 1000; ++v) seen[t].push_back(&*ConstBox::integer(16, v));
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
    EXPECT_EQ(*seen[0][5], (AnyConst{IConst{IType{16}, BigInt(705)}}));
}

TEST(Operand, UndefTypesAreIndependentValues) {
    const Typeref t{kU};
    const Operand original = Operand::undef(t);
    Operand copy = original;
    ASSERT_EQ(copy, original);
    copy.as_undef()->uuid = Uuid::nil();
    EXPECT_EQ(*original.as_undef(), t);
    EXPECT_NE(copy, original);
    EXPECT_EQ(Operand::undef(t), Operand{Typeref{kU}});
    EXPECT_NE(Operand::undef(Typeref{}), Operand::reg(Name{0}));
    EXPECT_EQ(Operand::reg(Name{1}).as_undef(), nullptr);

    // A moved-from undef operand reads as the nil type and can be given one again.
    Operand moved = std::move(copy);
    EXPECT_EQ(*moved.as_undef(), Typeref{});
    ASSERT_TRUE(copy.is_undef());
    EXPECT_EQ(*std::as_const(copy).as_undef(), Typeref{});
    *copy.as_undef() = t;
    EXPECT_EQ(copy, original);
}

TEST(Operand, ImmediatesAreIndependentValues) {
    const Operand original = Operand::imm(FunctionPointer::internal(kU));
    Operand copy = original;
    ASSERT_EQ(copy, original);
    std::get<FunctionPointer>(*copy.as_imm_mut()).kind = FunctionPointerKind::External;
    EXPECT_EQ(original.fmt_with(), "ptr <unresolved@" + kUs + ">");
    EXPECT_EQ(copy.fmt_with(), "ptr external <unresolved@" + kUs + ">");
    EXPECT_NE(copy, original);

    // Equal constants make equal operands; an immediate never equals a register or undef.
    EXPECT_EQ(Operand::imm(IConst::from(3)), (Operand{AnyConst{IConst{IType{64}, BigInt(3)}}}));
    EXPECT_NE(Operand::imm(IConst::from(0)), Operand::reg(Name{0}));
    EXPECT_NE(Operand::imm(AnyConst{}), Operand::undef(Typeref{}));
    EXPECT_EQ(Operand::reg(Name{1}).as_imm(), nullptr);
    EXPECT_EQ(Operand::reg(Name{1}).as_imm_mut(), nullptr);
}

TEST(Symbols, LabelAndNameForms) {
    EXPECT_EQ(Label{0}.to_string(), "block_0");
    EXPECT_EQ(Label{0}.to_string(true), "label block_0");
    EXPECT_EQ(fmt::format("{} {:#}", Label{3}, Label{3}), "block_3 label block_3");
    EXPECT_EQ(Label{3}.debug(), "Label(3)");
    EXPECT_EQ(Name{5}.debug(), "%5");
    EXPECT_EQ(fmt::format("{}", Name{5}), "%5");
    EXPECT_LT(Name{2}, Name{10});
}
