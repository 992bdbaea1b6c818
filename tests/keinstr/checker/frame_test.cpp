// The checker's frame: pass order, name map, operand typing and interning, terminators,
// payload texts, and input that breaks the checker's preconditions.
#include <thread>

#include "tests/keinstr/checker/checker_fixture.hpp"

namespace keinstr::checker_test {
namespace {

using Frame = CheckerTest;

KeInstr iadd(std::uint32_t dest, Typeref t, Operand lhs, Operand rhs) {
    return IAdd{Name{dest}, t, std::move(lhs), std::move(rhs), OverflowSignednessPolicy::Wrap};
}

TEST_F(Frame, DuplicateDefinitionIsReportedBeforeAnyTypingRule) {
    const Typeref i32 = i(32);
    const Typeref f32 = f(FType::Fp32);
    // The first instruction is ill typed (fp32 iadd), but the redefinition of the
    // parameter %0 by the second one is found first.
    EXPECT_EQ(run({param(0, i32)}, {iadd(1, f32, r(0), r(0)), iadd(0, i32, r(0), r(0))}),
              "Multiple operations with shared destination target violate SSA requirements. The name `%0` is "
              "defined more than once within the same function.");
    EXPECT_EQ(run({param(3, i32), param(3, i32)}, {}),
              "Multiple operations with shared destination target violate SSA requirements. The name `%3` is "
              "defined more than once within the same function.");
}

TEST_F(Frame, OperandsAreTypedFromLaterDefinitionsAndUndefinedNamesReported) {
    const Typeref i32 = i(32);
    EXPECT_EQ(run({param(0, i32)}, {iadd(1, i32, r(0), r(2)), iadd(2, i32, r(0), r(0))}), "ok");
    EXPECT_EQ(run({param(0, i32)}, {iadd(1, i32, r(0), r(9))}),
              "A operand refers to an undefined name: `%9`. This name was never defined in the module.");
}

TEST_F(Frame, MessagesQuoteThePrintedInstructionAndRegistryTexts) {
    const Typeref i32 = i(32);
    EXPECT_EQ(run({param(0, i32)}, {iadd(1, i32, r(0), lit(8, 3))}),
              mismatch_msg("%1: i32 = iadd.wrap %0, i8 3", "i32", "i8"));
    // Function pointers print unresolved: the checker has no module.
    EXPECT_EQ(
        run({}, {iadd(1, i32, fnptr(), lit(32, 1))}),
        mismatch_msg("%1: i32 = iadd.wrap ptr <unresolved@00000000-0000-0000-0000-000000000000>, i32 1", "i32", "ptr"));
}

TEST_F(Frame, InstructionsAreCheckedBeforeAnyTerminator) {
    const Typeref i32 = i(32);
    Function fn;
    fn.params = {param(0, i32)};
    fn.body[Label{0}] = BasicBlock{Label{0}, {}, Ret{r(0)}};  // bad: no return type
    fn.body[Label{1}] = BasicBlock{Label{1}, {iadd(1, i32, r(0), lit(64, 1))}, Trap{}};
    EXPECT_EQ(outcome(type_check(fn, reg)), mismatch_msg("%1: i32 = iadd.wrap %0, i64 1", "i32", "i64"));

    fn.body[Label{1}].instructions.clear();
    EXPECT_EQ(outcome(type_check(fn, reg)), mismatch_msg("ret %0", "void", "i32"));
}

TEST_F(Frame, TerminatorRules) {
    const Typeref i1 = i(1);
    const Typeref i32 = i(32);
    const Typeref i64 = i(64);
    const Typeref v4i1 = vec(4, IType{1});
    struct Case {
        const char* name;
        Typeref param_type;
        KeTerminator term;
        std::optional<Typeref> ret;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"branch on i1", i1, Branch{r(0), Label{0}, Label{0}}, std::nullopt, "ok"},
        {"branch on a vector of i1", v4i1, Branch{r(0), Label{0}, Label{0}}, std::nullopt,
         mismatch_msg("branch %0, block_0, block_0", "i1", "<4 x i1>")},
        {"branch on i32", i32, Branch{r(0), Label{0}, Label{0}}, std::nullopt,
         mismatch_msg("branch %0, block_0, block_0", "i1", "i32")},
        {"ret value of the return type", i32, Ret{r(0)}, i32, "ok"},
        {"ret value of another type", i64, Ret{r(0)}, i32, mismatch_msg("ret %0", "i32", "i64")},
        {"ret value without a return type", i32, Ret{r(0)}, std::nullopt, mismatch_msg("ret %0", "void", "i32")},
        {"ret void with a return type", i32, Ret{}, i32, mismatch_msg("ret void", "i32", "void")},
        {"ret void without a return type", i32, Ret{}, std::nullopt, "ok"},
        {"ret undef of the return type", i32, Ret{undef(i32)}, i32, "ok"},
        {"ret literal of another width", i32, Ret{lit(8, 1)}, i32, mismatch_msg("ret i8 1", "i32", "i8")},
        {"jump", i32, Jump{Label{0}}, i32, "ok"},
        {"trap", i32, Trap{}, i32, "ok"},
        {"branch on an undefined register", i1, Branch{r(7), Label{0}, Label{0}}, std::nullopt,
         "A operand refers to an undefined name: `%7`. This name was never defined in the module."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run({param(0, c.param_type)}, {}, c.term, c.ret), c.want);
    }
}

TEST_F(Frame, FunctionWithOnlyTrapsAndNoBlocksChecks) {
    Function fn = Function::default_function();
    fn.body[Label{1}] = BasicBlock{Label{1}, {}, Trap{}};
    EXPECT_TRUE(type_check(fn, reg));
    EXPECT_TRUE(type_check(Function{}, reg));
}

TEST_F(Frame, ImmediatesInternTheirTypes) {
    const Typeref i32 = i(32);
    ASSERT_EQ(reg.len(), 1u);
    // A well-typed literal of an already registered type adds nothing.
    ASSERT_TRUE(check({param(0, i32)}, {iadd(1, i32, r(0), lit(32, 5))}));
    EXPECT_EQ(reg.len(), 1u);

    // Literals of new widths and kinds, and function pointers, are interned even when
    // the instruction turns out to be ill typed.
    EXPECT_FALSE(check({param(0, i32)}, {iadd(1, i32, r(0), lit(17, 5))}));
    EXPECT_EQ(reg.len(), 2u);
    EXPECT_TRUE(reg.get(reg.search_or_insert(int_type(17))).has_value());
    EXPECT_EQ(reg.len(), 2u);

    EXPECT_FALSE(check({}, {iadd(1, i32, flit(FType::Bf16, 2), lit(32, 1))}));
    EXPECT_FALSE(check({}, {iadd(1, i32, fnptr(), lit(32, 1))}));
    EXPECT_EQ(reg.len(), 4u);
    const std::size_t before = reg.len();
    EXPECT_EQ(reg.search_or_insert(float_type(FType::Bf16)), reg.search_or_insert(float_type(FType::Bf16)));
    reg.search_or_insert(ptr_type());
    EXPECT_EQ(reg.len(), before);
}

TEST_F(Frame, UndefOperandsAreTypedByTheirOwnTypeWithoutInterning) {
    const Typeref i32 = i(32);
    const Typeref missing{Uuid::from_bytes({1, 2, 3})};
    EXPECT_EQ(run({}, {iadd(1, i32, undef(i32), undef(i32))}), "ok");
    EXPECT_EQ(run({}, {iadd(1, i32, undef(missing), undef(i32))}),
              mismatch_msg(text(iadd(1, i32, undef(missing), undef(i32))), "i32", text(missing)));
    EXPECT_EQ(reg.len(), 1u);
}

// ---- input that breaks the checker's preconditions -----------------------------------

TEST_F(Frame, UnregisteredAndTypeVariableTypesAreTypeErrors) {
    const Typeref missing{Uuid::from_bytes({0x12, 0x34})};
    const Typeref var_a = Typeref::type_variable(0);
    ASSERT_EQ(text(missing), "<unknown type 12340000-0000-0000-0000-000000000000>");

    const KeInstr unknown_dest = iadd(1, missing, undef(missing), undef(missing));
    EXPECT_EQ(run({}, {unknown_dest}), mismatch_msg(text(unknown_dest), "iN or <N x iN>",
                                                    "<unknown type 12340000-0000-0000-0000-000000000000>"));

    const KeInstr var_dest = iadd(1, var_a, r(0), r(0));
    EXPECT_EQ(run({param(0, var_a)}, {var_dest}), mismatch_msg(text(var_dest), "iN or <N x iN>", "A"));

    EXPECT_EQ(run({param(0, var_a)}, {}, Branch{r(0), Label{0}, Label{0}}),
              mismatch_msg("branch %0, block_0, block_0", "i1", "A"));

    // Where a rule only compares handles, a type variable passes as in a generic function.
    EXPECT_EQ(run({param(0, var_a)}, {}, Ret{r(0)}, var_a), "ok");
}

TEST_F(Frame, InvokeWithDestinationButNoTypeIsATypeError) {
    const KeInstr call = Invoke{fnptr(), {}, Name{1}, std::nullopt, std::nullopt};
    EXPECT_EQ(run({}, {call}), mismatch_msg(text(call), "T", "void"));
}

TEST_F(Frame, ConcurrentChecksInterningIntoOneRegistryFinish) {
    const Typeref p = ptr();
    constexpr int kThreads = 4;
    constexpr std::uint32_t kWidths = 200;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Function fn;
            BasicBlock block{Label{0}, {}, Ret{}};
            // Every count literal of a new width interns a type while other threads read.
            for (std::uint32_t w = 1; w <= kWidths; ++w) {
                block.instructions.push_back(MAlloca{Name{w}, p, lit(w, 1), std::nullopt});
            }
            fn.body[Label{0}] = std::move(block);
            for (int round = 0; round < 5; ++round) {
                if (!type_check(fn, reg)) ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    // ptr, and every width from 1 to 200 registered exactly once.
    EXPECT_EQ(reg.len(), kWidths + 1);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0);
}

}  // namespace
}  // namespace keinstr::checker_test
