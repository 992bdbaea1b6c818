// A session checks function after function with what it learnt about the registry's
// types: nothing of one function's registers, and nothing it could not be sure of,
// may carry over to the next.
#include "tests/keinstr/checker/checker_fixture.hpp"

namespace keinstr::checker_test {
namespace {

using Session = CheckerTest;

KeInstr iadd(std::uint32_t dest, Typeref t, Operand lhs, Operand rhs) {
    return IAdd{Name{dest}, t, std::move(lhs), std::move(rhs), OverflowSignednessPolicy::Wrap};
}

Function one_block(std::vector<Param> params, InstrList instrs, KeTerminator term = Ret{}) {
    Function fn;
    fn.params = std::move(params);
    fn.body[Label{0}] = BasicBlock{Label{0}, std::move(instrs), std::move(term)};
    return fn;
}

TEST_F(Session, RegistersOfOneFunctionAreUnknownToTheNext) {
    const Typeref i32 = i(32);
    struct Case {
        const char* what;
        std::uint32_t name;  // defined by the first function, used undefined by the second
    };
    const std::vector<Case> cases = {{"dense register", 3}, {"sparse register", 4000000000u}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TypeCheckSession fresh(reg);
        const Function defines = one_block({param(0, i32)}, {iadd(c.name, i32, r(0), r(0))});
        const Function uses = one_block({param(0, i32)}, {iadd(1, i32, r(0), r(c.name))});
        EXPECT_EQ(outcome(fresh.check(defines)), "ok");
        EXPECT_EQ(outcome(fresh.check(uses)),
                  fmt::format("A operand refers to an undefined name: `%{}`. This name was never defined in the "
                              "module.",
                              c.name));
        // Nor does a parameter or definition of the first count as a second definition.
        EXPECT_EQ(outcome(fresh.check(defines)), "ok");
    }
}

TEST_F(Session, TypesRegisteredAfterAFailedLookupAreSeen) {
    // Handles nothing has registered yet; another holder of the registry registers
    // them between two functions.
    const Typeref later_int{Uuid::from_bytes({0x51})};
    const Typeref later_struct{Uuid::from_bytes({0x52})};
    const Typeref i32 = i(32);
    const KeInstr add = iadd(1, later_int, undef(later_int), undef(later_int));
    const KeInstr extract = ExtractValue{Name{1}, i32, undef(later_struct), {0}};
    const Function adds = one_block({}, {add});
    const Function extracts = one_block({}, {extract});

    EXPECT_EQ(outcome(session.check(adds)),
              mismatch_msg(text(add), "iN or <N x iN>", "<unknown type 51000000-0000-0000-0000-000000000000>"));
    EXPECT_EQ(outcome(session.check(extracts)),
              mismatch_msg(text(extract), "aggregate type", "<unknown type 52000000-0000-0000-0000-000000000000>"));

    reg.insert_stored(later_int, int_type(32));
    reg.insert_stored(later_struct, struct_type({i32}));
    EXPECT_EQ(outcome(session.check(adds)), "ok");
    EXPECT_EQ(outcome(session.check(extracts)), "ok");
    EXPECT_EQ(session.check(adds), type_check(adds, reg));
    EXPECT_EQ(session.check(extracts), type_check(extracts, reg));
}

}  // namespace
}  // namespace keinstr::checker_test
