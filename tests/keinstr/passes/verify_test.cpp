#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "keinstr/passes/verify.hpp"
#include "tests/keinstr/passes/ir_builders.hpp"

namespace keinstr {
namespace {

using namespace keinstr::test;

// A function whose body is `blocks` empty blocks ending in trap (labels 0..n-1).
Function with_empty_blocks(std::size_t n) {
    Function f = function({}, {});
    for (std::uint32_t l = 0; l < n; ++l) f.body.emplace(Label{l}, block(l, {}));
    return f;
}

// Fills block `label` with `n` stores (no definitions, no register uses).
void fill_block(Function& f, std::uint32_t label, std::size_t n) {
    auto& instrs = f.body[Label{label}].instructions;
    f.body[Label{label}].label = Label{label};
    instrs.assign(n, store(undef(), undef()));
}

std::string name_of(const Function& f) { return f.display_name(); }

TEST(Verify, EachLimitAdmitsItsMaximumAndRefusesOneMore) {
    struct Case {
        const char* what;
        std::function<Function(std::size_t)> make;  // a function of the given size
        std::size_t max;
        std::function<Error(const Function&, std::size_t)> error;
    };
    const std::vector<Case> cases = {
        {"blocks", [](std::size_t n) { return with_empty_blocks(n); }, kMaxBasicBlocks,
         [](const Function& f, std::size_t n) {
             return Error{Error::TooManyBasicBlocks{name_of(f), n, kMaxBasicBlocks}};
         }},
        {"block instructions",
         [](std::size_t n) {
             Function f = with_empty_blocks(2);
             fill_block(f, 1, n);
             return f;
         },
         kMaxBlockInstructions,
         [](const Function& f, std::size_t n) {
             return Error{Error::TooManyBlockInstructions{Label{1}, name_of(f), n, kMaxBlockInstructions}};
         }},
        {"function instructions",
         [](std::size_t n) {
             // 16 blocks of 62500 make the maximum; the rest goes into one more block.
             Function f = with_empty_blocks(17);
             for (std::uint32_t l = 0; l < 16; ++l) fill_block(f, l, 62500);
             fill_block(f, 16, n - kMaxFunctionInstructions);
             return f;
         },
         kMaxFunctionInstructions,
         [](const Function& f, std::size_t n) {
             return Error{Error::TooManyInstructions{name_of(f), n, kMaxFunctionInstructions}};
         }},
        {"parameters",
         [](std::size_t n) {
             Function f = with_empty_blocks(1);
             for (std::uint32_t p = 0; p < n; ++p) f.params.emplace_back(Name{p}, kI32);
             return f;
         },
         kMaxParameters,
         [](const Function& f, std::size_t n) {
             return Error{Error::TooManyParameters{name_of(f), n, kMaxParameters}};
         }},
        {"wildcard types",
         [](std::size_t n) {
             // Every declared type variable is used by a parameter, so step 1 passes.
             Function f = with_empty_blocks(1);
             for (std::uint32_t v = 0; v < n; ++v) {
                 f.params.emplace_back(Name{v}, Typeref::type_variable(static_cast<std::uint16_t>(v)));
                 f.wildcard_types.insert(static_cast<std::uint16_t>(v));
             }
             return f;
         },
         kMaxWildcardTypes,
         [](const Function& f, std::size_t n) {
             return Error{Error::TooManyWildcardTypes{name_of(f), n, kMaxWildcardTypes}};
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(c.make(c.max).verify().has_value());
        const Function past_max = c.make(c.max + 1);
        auto r = past_max.verify();
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), c.error(past_max, c.max + 1));
    }
}

TEST(Verify, PerBlockLimitPassesWhileTotalFails) {
    // Twenty blocks of 60000 instructions: each block is fine, the total is not.
    Function f = with_empty_blocks(20);
    for (std::uint32_t l = 0; l < 20; ++l) fill_block(f, l, 60000);
    auto r = f.verify();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (Error{Error::TooManyInstructions{"f", 1200000, kMaxFunctionInstructions}}));
}

// Each case breaks the rule of one step and of every later step it can; the earliest
// step must be the one reported.
TEST(Verify, ChecksFireInOrder) {
    const KeInstr meta = MetaAssert{reg(0)};
    struct Case {
        const char* what;
        Function f;
        Error expected;
    };
    std::vector<Case> cases;

    {  // 1 before 2: undeclared type variable and a meta instruction.
        Function f = function({0}, {block(0, {meta, phi(1, {}), neg(1, reg(9))}, jump(7))});
        f.params[0].second = Typeref::type_variable(26);
        cases.push_back({"wildcards", f, Error{Error::UnsoundWildcardTypes{"f", {}, {"_26"}}}});
    }
    {  // 2 before 3.
        Function f = function({0}, {block(0, {neg(1, reg(0)), meta, phi(2, {})}, jump(7))});
        cases.push_back({"meta", f, Error{Error::MetaInstructionInRegularFunction{"f", meta.debug()}}});
    }
    {  // 3 before 4: a phi after another instruction, in block 4.
        Function f = function({0}, {block(0, {phi(1, {})}, jump(4)), block(4, {neg(2, reg(0)), phi(3, {})}, jump(7))});
        cases.push_back({"phi", f, Error{Error::PhiNotFirst{Label{4}}}});
    }
    {  // 4 before 5; of two missing branch targets the true label is reported.
        Function f = function({0, 0}, {block(0, {}, br(reg(0), 8, 9))});
        cases.push_back({"targets", f, Error{Error::UndefinedBlock{Label{8}, "f"}}});
    }
    {  // Only the false target missing: the true one is a block of the function.
        Function f = function({0, 0}, {block(0, {}, br(reg(0), 0, 9))});
        cases.push_back({"false target", f, Error{Error::UndefinedBlock{Label{9}, "f"}}});
    }
    {  // 5 before 6: the second definition of %1 is reported.
        Function f = function({0}, {block(0, {neg(1, reg(0)), neg(1, reg(42))}, ret(reg(43)))});
        cases.push_back({"ssa", f, Error{Error::SsaMultipleDefinitions{Name{1}}}});
    }
    {  // A parameter repeated among the parameters.
        Function f = function({3, 3}, {block(0, {})});
        cases.push_back({"params", f, Error{Error::SsaMultipleDefinitions{Name{3}}}});
    }
    {  // 6 before 11: an undefined register in a function without entry block.
        Function f = function({}, {block(1, {}, ret(reg(5)))});
        cases.push_back({"undefined", f, Error{Error::UndefinedName{Name{5}}}});
    }
    {  // Instruction operands before the terminator's.
        Function f = function({}, {block(0, {neg(1, reg(6))}, ret(reg(5)))});
        cases.push_back({"operand first", f, Error{Error::UndefinedName{Name{6}}}});
    }
    {  // 7 before 11: too many blocks, none of them block 0.
        Function f = function({}, {});
        for (std::uint32_t l = 1; l <= kMaxBasicBlocks + 1; ++l) f.body.emplace(Label{l}, block(l, {}));
        cases.push_back({"blocks", f, Error{Error::TooManyBasicBlocks{"f", kMaxBasicBlocks + 1, kMaxBasicBlocks}}});
    }
    {  // 9 before 10 before 11.
        Function f = function({}, {});
        for (std::uint32_t p = 0; p <= kMaxParameters; ++p) {
            f.params.emplace_back(Name{p}, Typeref::type_variable(static_cast<std::uint16_t>(p % 300)));
        }
        for (std::uint16_t v = 0; v < 300; ++v) f.wildcard_types.insert(v);
        cases.push_back({"parameters", f, Error{Error::TooManyParameters{"f", kMaxParameters + 1, kMaxParameters}}});
    }
    {  // A function without blocks fails only at the last step.
        Function f = function({}, {});
        cases.push_back({"entry", f, Error{Error::MissingEntryBlock{}}});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = c.f.verify();
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), c.expected);
    }
}

// Uses are settled against every definition of the function, wherever it stands; of
// the undefined ones, the first in block order, instruction order, operand order (and
// a block's terminator after its instructions) is reported.
TEST(Verify, FirstUndefinedUseInWalkOrder) {
    constexpr std::uint32_t kSparse = 4000000000u;  // beyond the dense range of register numbers
    struct Case {
        const char* what;
        Function f;
        std::optional<std::uint32_t> undefined;  // none: the function verifies
    };
    const std::vector<Case> cases = {
        {"uses before their definitions, in an instruction and its own operand",
         function({}, {block(0, {phi(5, {}), neg(1, reg(2)), add(3, reg(3), reg(4))}, jump(1)),
                       block(1, {neg(2, reg(1)), neg(4, reg(kSparse)), neg(kSparse, imm(1))}, ret(reg(5)))}),
         std::nullopt},
        {"left operand before right", function({}, {block(0, {add(1, reg(9), reg(8))}, ret())}), 9},
        {"undefined after a later-defined use",
         function({}, {block(0, {add(1, reg(2), reg(8))}), block(1, {neg(2, imm(0))})}), 8},
        {"terminator before the next block's instructions",
         function({}, {block(0, {neg(1, reg(2))}, ret(reg(6))), block(1, {neg(2, reg(4))})}), 6},
        {"callee before arguments", function({}, {block(0, {call(reg(7), {reg(1), reg(8)}, 1)})}), 7},
        {"arguments in order", function({}, {block(0, {call(reg(1), {reg(2), reg(8), reg(7)}, 1), neg(2, imm(0))})}),
         8},
        {"phi values in order",
         function({}, {block(0, {phi(1, {{reg(1), Label{0}}, {reg(7), Label{0}}})}, ret(reg(8)))}), 7},
        {"store address before value", function({}, {block(0, {store(reg(kSparse), reg(3))})}), kSparse},
        {"a sparse register never defined", function({0}, {block(0, {neg(1, reg(0)), neg(2, reg(kSparse + 1))})}),
         kSparse + 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = c.f.verify();
        if (!c.undefined) {
            EXPECT_TRUE(r.has_value()) << r.error().message();
            continue;
        }
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), (Error{Error::UndefinedName{Name{*c.undefined}}}));
    }
}

TEST(Verify, AcceptsWellFormedShapes) {
    const KeInstr meta = MetaAssert{reg(0)};
    // A loop whose phi uses a register defined later in block order.
    Function loop =
        function({0}, {block(0, {}, jump(1)),
                       block(1, {phi(1, {{reg(0), Label{0}}, {reg(2), Label{1}}}), phi(3, {}), add(2, reg(1), imm(1))},
                             br(reg(2), 1, 2)),
                       block(2, {}, ret(reg(2)))});
    EXPECT_TRUE(loop.verify().has_value());

    Function meta_fn = function({0}, {block(0, {meta})});
    meta_fn.meta_function = true;
    EXPECT_TRUE(meta_fn.verify().has_value());

    // Type variables used by parameters and instruction types, declared exactly.
    Function generic = function({0}, {block(0, {INeg{Name{1}, Typeref::type_variable(1), reg(0)}})});
    generic.params[0].second = Typeref::type_variable(0);
    generic.wildcard_types = {0, 1};
    EXPECT_TRUE(generic.verify().has_value());
}

TEST(Verify, WildcardMismatchListsDeclaredThenFound) {
    Function f = function({0}, {block(0, {})});
    f.params[0].second = Typeref::type_variable(2);
    f.wildcard_types = {0, 25, 26};
    f.name.reset();
    auto r = f.verify();
    ASSERT_FALSE(r.has_value());
    // An unnamed function is named by its UUID.
    EXPECT_EQ(r.error(), (Error{Error::UnsoundWildcardTypes{f.uuid.to_string(), {"A", "Z", "_26"}, {"C"}}}));
}

TEST(Verify, FunctionPointers) {
    Module m;
    Function other = function({}, {block(0, {}, ret())});
    ExternalFunction ext{Uuid::new_v4(), "puts", CallingConvention{}, {}, std::nullopt};
    m.insert_function(other);
    m.external_functions.emplace(ext.uuid, ext);

    const Uuid missing = Uuid::new_v4();
    Function self = function({}, {});
    const auto body_calling = [&](FunctionPointer p) {
        Function f = self;
        f.body.insert_or_assign(Label{0}, block(0, {call(fptr(p), {})}, ret()));
        return f;
    };

    // A function may name itself before it is in the module.
    EXPECT_TRUE(m.verify_func(body_calling(FunctionPointer::internal(self.uuid))).has_value());
    EXPECT_TRUE(m.verify_func(body_calling(FunctionPointer::internal(other.uuid))).has_value());
    EXPECT_TRUE(m.verify_func(body_calling(FunctionPointer::external(ext.uuid))).has_value());

    auto r = m.verify_func(body_calling(FunctionPointer::internal(missing)));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (Error{Error::UndefinedInternalFunction{"f", missing}}));

    // Internal and external keys never mix.
    r = m.verify_func(body_calling(FunctionPointer::external(other.uuid)));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (Error{Error::UndefinedExternalFunction{"f", other.uuid}}));

    // Terminator operands are not examined.
    Function returns_pointer = function({}, {block(0, {}, ret(fptr(FunctionPointer::internal(missing))))});
    EXPECT_TRUE(m.verify_func(returns_pointer).has_value());
}

TEST(Verify, ModuleWalksFunctionsInUuidOrder) {
    EXPECT_TRUE(Module{}.verify().has_value());

    Module m;
    Function a = function({}, {block(0, {}, ret(reg(1)))});
    Function b = function({}, {block(0, {}, ret(reg(2)))});
    a.uuid.bytes[0] = 0x10;
    b.uuid.bytes[0] = 0x20;
    m.insert_function(b);
    m.insert_function(a);
    auto r = m.verify();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (Error{Error::UndefinedName{Name{1}}}));

    // Own rules come before the module's rules for one function.
    Function c = function({}, {block(0, {call(fptr(FunctionPointer::internal(Uuid::new_v4())), {})}, ret(reg(3)))});
    c.uuid.bytes[0] = 0x01;
    m.insert_function(c);
    r = m.verify();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (Error{Error::UndefinedName{Name{3}}}));

    // A function pointer to nothing is reported only after every own rule passed,
    // the last one (the entry block) included; of two such pointers, the first.
    Module pointers;
    const Uuid nowhere = Uuid::new_v4();
    const Uuid elsewhere = Uuid::new_v4();
    Function d = function({}, {block(1,
                                     {call(fptr(FunctionPointer::internal(nowhere)), {}),
                                      call(fptr(FunctionPointer::external(elsewhere)), {})},
                                     ret())});
    pointers.insert_function(d);
    r = pointers.verify();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (Error{Error::MissingEntryBlock{}}));
    d.body.emplace(Label{0}, block(0, {}, jump(1)));
    pointers.insert_function(d);
    r = pointers.verify();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), (Error{Error::UndefinedInternalFunction{"f", nowhere}}));
    // Pointers to functions of the module, or to the function itself, pass.
    Function e = function({}, {block(0, {call(fptr(FunctionPointer::internal(d.uuid)), {})}, ret())});
    d.body.at(Label{1}).instructions = {call(fptr(FunctionPointer::internal(e.uuid)), {}),
                                        call(fptr(FunctionPointer::internal(d.uuid)), {})};
    pointers.insert_function(d);
    pointers.insert_function(e);
    EXPECT_TRUE(pointers.verify().has_value());

    // External functions are not verified.
    Module only_external;
    only_external.external_functions.emplace(Uuid::new_v4(), ExternalFunction{});
    EXPECT_TRUE(only_external.verify().has_value());
}

}  // namespace
}  // namespace keinstr
