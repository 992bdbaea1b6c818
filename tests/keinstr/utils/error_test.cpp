#include <gtest/gtest.h>

#include <cerrno>

#include "keinstr/ir/constants.hpp"
#include "keinstr/ir/error.hpp"

using namespace keinstr;

namespace {
const Uuid kU = *Uuid::parse("0190f5d2-6a1b-6c3e-8f00-112233445566");
}

TEST(Error, EveryMessageWithItsPayload) {
    struct Case {
        Error error;
        std::uint8_t tag;
        std::string message;
    };
    const Case cases[] = {
        {Error::SsaMultipleDefinitions{Name{5}}, 0,
         "Multiple operations with shared destination target violate SSA requirements. The name `%5` is defined "
         "more than once within the same function."},
        {Error::MissingEntryBlock{}, 1,
         "By convention, the entrypoint basic block of a function must have label `label_0`. No such basic block "
         "was found."},
        {Error::UndefinedName{Name{12}}, 2,
         "A operand refers to an undefined name: `%12`. This name was never defined in the module."},
        {Error::UndefinedInternalFunction{"main", kU}, 3,
         "An instruction of function `main` refers to an internal function referenced by "
         "`0190f5d2-6a1b-6c3e-8f00-112233445566` that is not defined within the module."},
        {Error::UndefinedExternalFunction{"f", kU}, 4,
         "An instruction of function `f` refers to an external function referenced by "
         "`0190f5d2-6a1b-6c3e-8f00-112233445566` that is not defined within the module."},
        {Error::UnsoundWildcardTypes{"g", {"A", "B"}, {"A", "_26"}}, 5,
         "Unsound wildcard type usage in function `g`: expected wildcard types `[\"A\", \"B\"]`, but found "
         "`[\"A\", \"_26\"]`."},
        {Error::MetaOperandInRegularInstruction{}, 6,
         "Meta operands are only available internally for properties and attributes constructions. They SHOULD "
         "NOT appear in regular instructions."},
        {Error::PhiNotFirst{Label{3}}, 7,
         "Phi instructions must be the first instructions in a basic block or follow other phi instructions. The "
         "basic block `block_3` contains a phi instruction that is not the first instruction."},
        {Error::UndefinedBlock{Label{9}, "h"}, 8,
         "The basic block `block_9` referenced in function `h` is not defined within the function."},
        {Error::MetaInstructionInRegularFunction{"k", "!assert i1 %0"}, 9,
         "Meta instructions are only available internally for properties and attributes constructions. They "
         "SHOULD NOT appear in regular instructions. Function `k` contains a meta-instruction `!assert i1 %0`."},
        {Error::TooManyBasicBlocks{"f", 70000, 65535}, 10,
         "Function `f` contains 70000 basic blocks, exceeding the maximum allowed of 65535."},
        {Error::TooManyBlockInstructions{Label{0}, "f", 11, 10}, 11,
         "Basic block `block_0` in function `f` contains 11 instructions, exceeding the maximum allowed of 10."},
        {Error::TooManyInstructions{"f", 2, 1}, 12,
         "Function `f` contains 2 instructions, exceeding the maximum allowed of 1."},
        {Error::TooManyParameters{"f", 300, 255}, 13,
         "Function `f` contains 300 parameters, exceeding the maximum allowed of 255."},
        {Error::TooManyWildcardTypes{"f", 27, 26}, 14,
         "Function `f` contains 27 wildcard types, exceeding the maximum allowed of 26."},
        {Error::DuplicateBlockLabel{Label{4}}, 15,
         "A basic block with label `block_4` already exists in the function."},
        {Error::FileNotAccessible{"/x/y.ke", "No such file or directory (os error 2)"}, 16,
         "The provided file `/x/y.ke` does not exist or is not accessible: No such file or directory (os error 2)"},
        {Error::ParserErrors{{ParserError{std::nullopt, 0, 3, "unexpected \"x\"\n"}}, {"tok"}}, 17,
         "Parser errors occurred: [ParserError { file: None, start: 0, end: 3, message: \"unexpected "
         "\\\"x\\\"\\n\" }]"},
        {Error::ParserErrors{{ParserError{"a.ke", 1, 2, "m1"}, ParserError{std::nullopt, 5, 5, "m2"}}, {}}, 17,
         "Parser errors occurred: [ParserError { file: Some(\"a.ke\"), start: 1, end: 2, message: \"m1\" }, "
         "ParserError { file: None, start: 5, end: 5, message: \"m2\" }]"},
        {Error::ParserErrors{}, 17, "Parser errors occurred: []"},
        {Error::FunctionAlreadyExists{"dup"}, 18, "A function with the name `dup` already exists in the module."},
        {Error::UndefinedInternalFunctions{{}}, 19,
         "The following internal functions were referenced but not defined within the module: []"},
        {Error::UndefinedInternalFunctions{{"a", "b\tc"}}, 19,
         "The following internal functions were referenced but not defined within the module: [\"a\", \"b\\tc\"]"},
        {Error::DuplicateFunctionName{"dup"}, 20, "A function with the name `dup` already exists in the module."},
        {Error::UnresolvedFunction{FunctionPointerKind::External, "puts"}, 21,
         "The external function `puts` was referenced but not defined within the module as either an internal or "
         "external function."},
        {Error::UnresolvedFunction{FunctionPointerKind::Internal, "go"}, 21,
         "The internal function `go` was referenced but not defined within the module as either an internal or "
         "external function."},
        {Error::TypeMismatch{"%2 = iadd i32 %0, %1", "i32", "fp64"}, 22,
         "Type mismatch in instruction `%2 = iadd i32 %0, %1`: expected type `i32`, but found type `fp64`."},
        {Error::IndexOutOfBounds{4, "[ 4 x i8 ]", 3, "%1 = extractvalue"}, 23,
         "The provided index `4` is out of bounds for type `[ 4 x i8 ]` with maximum index `3` in instruction "
         "`%1 = extractvalue`."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.tag(), c.tag);
        EXPECT_EQ(c.error.message(), c.message);
        EXPECT_EQ(fmt::format("{}", c.error), c.message);
    }
    EXPECT_EQ(std::variant_size_v<Error::Variant>, 24u);
}

TEST(Error, FileNotAccessibleFromErrno) {
    const auto e = Error::FileNotAccessible::from_errno("p", ENOENT);
    EXPECT_EQ(e.io_error, "No such file or directory (os error 2)");
}
