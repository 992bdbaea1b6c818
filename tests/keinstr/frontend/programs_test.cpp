// Whole programs: parsed, verified and type-checked as the compiler would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keinstr/passes/type_check.hpp"
#include "tests/keinstr/frontend/frontend_fixture.hpp"

namespace keinstr::test {
namespace {

constexpr const char* kArithmetic = R"(; integer helpers
define i32 max(%a: i32, %b: i32) {
entry:
  %c: i1 = icmp.sgt %a, %b
  branch %c, left, right
left:
  jump done
right:
  jump done
done:
  %m: i32 = phi [%a, left], [%b, right]
  ret %m
}

define i64 sum_to(%n: i64) {
entry:
  jump loop
loop: ; the back edge feeds the phis
  %i: i64 = phi [i64 0, entry], [%next, loop]
  %acc: i64 = phi [i64 0, entry], [%acc2, loop]
  %acc2: i64 = iadd.wrap %acc, %i
  %next: i64 = iadd.wrap %i, i64 1
  %more: i1 = icmp.slt %next, %n
  branch %more, loop, exit
exit: ret %acc2
}
)";

constexpr const char* kMemoryAndCalls = R"(
define i32 hidden fastcc apply(%x: i32) {
entry:
  %slot: ptr = alloca i64 1, align 8
  store %slot, ptr max, align 8
  %f: ptr = load.acquire %slot, align 8, volatile
  %r: i32 = invoke %f, %x, i32 7
  %direct: i32 = invoke ptr max, %r, i32 0
  ret %direct
}

define {i32, [4 x i8]} pack(%v: i32, %p: ptr) {
entry:
  %e: ptr = getelementptr {i32, [4 x i8]}, %p, i64 0, i32 1, i64 2
  %b: i8 = load %e
  %s0: {i32, [4 x i8]} = insertvalue {i32, [4 x i8]} undef, %v, i32 0
  %s1: {i32, [4 x i8]} = insertvalue %s0, %b, i32 1, i32 3
  %back: i32 = extractvalue %s1, i32 0
  %w: i64 = cast.sext %back
  %f: fp64 = cast.sitofp %w
  %g: fp64 = fmul %f, fp64 0.5
  %h: fp32 = cast.fptrunc %g
  %big: i1 = fcmp.ogt %h, fp32 1.0e3
  %pick: i32 = select %big, %back, i32 -1
  store %p, %pick
  ret %s1
}

define void !lemma(%a: i32, %b: i32) {
entry:
  %m: i32 = invoke ptr max, %a, %b
  %ge: i1 = icmp.sge %m, %a
  !assume %ge
  %ok: i1 = icmp.sge %m, %b
  !assert %ok
  ret void
}

define void run() {
entry:
  %total: i64 = invoke ptr sum_to, i64 10
  %cb: ptr = invoke ptr apply, i32 3
  invoke ptr lemma, i32 1, i32 2
  ret void
}
)";

void expect_well_typed(const Frontend& fe) {
    ASSERT_TRUE(fe.module.verify());
    for (const auto& [uuid, f] : fe.module.functions) {
        auto checked = type_check(*f, fe.registry);
        EXPECT_TRUE(checked) << f->display_name() << ": " << (checked ? "" : checked.error().message());
    }
}

TEST(Programs, OneSourceWithEverything) {
    Frontend fe;
    const std::string source = std::string(kArithmetic) + kMemoryAndCalls;
    auto r = fe.parse(source);
    ASSERT_TRUE(r) << describe(r);
    EXPECT_EQ(fe.module.functions.size(), 6u);
    expect_well_typed(fe);

    const Function& apply = fe.function("apply");
    EXPECT_EQ(apply.visibility, Visibility::Hidden);
    EXPECT_EQ(apply.cconv, CallingConvention(CallingConventionKind::FastC));
    EXPECT_TRUE(fe.function("lemma").meta_function);

    // The loop's phis refer to definitions that come after them.
    const Function& sum = fe.function("sum_to");
    const BasicBlock& loop = sum.body.at(Label{1});
    const auto* phi = std::get_if<Phi>(&loop.instructions.at(0).variant());
    ASSERT_NE(phi, nullptr);
    const std::optional<Name> next = loop.instructions.at(3).destination();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(phi->values.at(1).first, Operand::reg(*next));
    EXPECT_EQ(phi->values.at(1).second, Label{1});

    // Calls name the functions they call.
    const Function& run = fe.function("run");
    const auto* call = std::get_if<Invoke>(&run.body.at(Label{0}).instructions.at(0).variant());
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->function, Operand::imm(AnyConst{FunctionPointer::internal(sum.uuid)}));
}

TEST(Programs, LaterSourcesCallFunctionsOfEarlierOnes) {
    Frontend fe;
    auto first = fe.parse(kArithmetic);
    ASSERT_TRUE(first) << describe(first);
    auto second = fe.parse(kMemoryAndCalls);
    ASSERT_TRUE(second) << describe(second);
    EXPECT_EQ(fe.module.functions.size(), 6u);
    expect_well_typed(fe);
}

TEST(Programs, RegistersAreRenumberedDenselyInDefinitionOrder) {
    Frontend fe;
    auto r = fe.parse(R"(
define i32 f(%z: i32, %y: i32) {
a:
  jump b
c:
  %late: i32 = iadd.wrap %early, %z
  ret %late
b:
  %early: i32 = iadd.wrap %y, %y
  jump c
}
)");
    ASSERT_TRUE(r) << describe(r);
    expect_well_typed(fe);
    const Function& f = fe.function("f");
    // Labels number in order of first mention: a 0, b 1, c 2; registers by
    // definition in label order: %z 0, %y 1, %early (in b) 2, %late (in c) 3.
    EXPECT_EQ(f.body.at(Label{1}).instructions.at(0).destination(), Name{2});
    EXPECT_EQ(f.body.at(Label{2}).instructions.at(0).destination(), Name{3});
    EXPECT_EQ(f.body.at(Label{2}).terminator, KeTerminator{Ret{Operand::reg(Name{3})}});
}

TEST(Programs, EachBlockKeepsExactlyItsOwnInstructions) {
    Frontend fe;
    auto r = fe.parse(R"(
define i32 f(%a: i32) {
entry:
  %b: i32 = iadd.wrap %a, %a
  %c: i32 = iadd.wrap %b, %a
  %d: i32 = iadd.wrap %c, %b
  jump empty
empty:
  jump last
last:
  %e: i32 = iadd.wrap %d, %d
  ret %e
}

define i32 g(%x: i32) {
only:
  %y: i32 = iadd.wrap %x, %x
  ret %y
}
)");
    ASSERT_TRUE(r) << describe(r);
    const Function& f = fe.function("f");
    ASSERT_EQ(f.body.size(), 3u);
    EXPECT_EQ(f.body.at(Label{0}).instructions.size(), 3u);
    EXPECT_EQ(f.body.at(Label{1}).instructions.size(), 0u);
    EXPECT_EQ(f.body.at(Label{2}).instructions.size(), 1u);
    EXPECT_EQ(f.body.at(Label{2}).instructions.at(0).destination(), Name{4});
    const Function& g = fe.function("g");
    ASSERT_EQ(g.body.size(), 1u);
    EXPECT_EQ(g.body.begin()->second.instructions.size(), 1u);
}

}  // namespace
}  // namespace keinstr::test
