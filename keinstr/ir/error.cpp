#include "keinstr/ir/error.hpp"

#include "keinstr/ir/constants.hpp"

#include <cstring>

#include "keinstr/utils/debug_str.hpp"

namespace keinstr {

std::string_view function_pointer_kind_text(FunctionPointerKind k) noexcept {
    return k == FunctionPointerKind::External ? "external" : "internal";
}

std::string debug_string_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out.append(", ");
        write_debug_str(out, items[i]);
    }
    out.push_back(']');
    return out;
}

DeferredStrings::DeferredStrings(std::vector<std::string> items) : state_(std::make_shared<State>()) {
    state_->items = std::move(items);
}

DeferredStrings::DeferredStrings(Maker make) : state_(std::make_shared<State>()) { state_->make = std::move(make); }

const std::vector<std::string>& DeferredStrings::get() const {
    static const std::vector<std::string> kNone;
    if (!state_) return kNone;
    std::call_once(state_->made, [s = state_.get()] {
        if (!s->make) return;
        s->items = s->make();
        s->make = nullptr;
    });
    return state_->items;
}

std::string ParserError::debug() const {
    std::string out = "ParserError { file: ";
    if (file) {
        out.append("Some(");
        write_debug_str(out, *file);
        out.push_back(')');
    } else {
        out.append("None");
    }
    out.append(fmt::format(", start: {}, end: {}, message: ", start, end));
    write_debug_str(out, message);
    out.append(" }");
    return out;
}

std::string Error::SsaMultipleDefinitions::message() const {
    return fmt::format(
        "Multiple operations with shared destination target violate SSA requirements. The name `{}` is defined "
        "more than once within the same function.",
        name.debug());
}

std::string Error::MissingEntryBlock::message() const {
    return "By convention, the entrypoint basic block of a function must have label `label_0`. No such basic block "
           "was found.";
}

std::string Error::UndefinedName::message() const {
    return fmt::format("A operand refers to an undefined name: `{}`. This name was never defined in the module.",
                       name.debug());
}

std::string Error::UndefinedInternalFunction::message() const {
    return fmt::format(
        "An instruction of function `{}` refers to an internal function referenced by `{}` that is not defined "
        "within the module.",
        function, target.to_string());
}

std::string Error::UndefinedExternalFunction::message() const {
    return fmt::format(
        "An instruction of function `{}` refers to an external function referenced by `{}` that is not defined "
        "within the module.",
        function, target.to_string());
}

std::string Error::UnsoundWildcardTypes::message() const {
    return fmt::format("Unsound wildcard type usage in function `{}`: expected wildcard types `{}`, but found `{}`.",
                       function, debug_string_list(expected), debug_string_list(found));
}

std::string Error::MetaOperandInRegularInstruction::message() const {
    return "Meta operands are only available internally for properties and attributes constructions. They SHOULD "
           "NOT appear in regular instructions.";
}

std::string Error::PhiNotFirst::message() const {
    return fmt::format(
        "Phi instructions must be the first instructions in a basic block or follow other phi instructions. The "
        "basic block `{}` contains a phi instruction that is not the first instruction.",
        block.to_string());
}

std::string Error::UndefinedBlock::message() const {
    return fmt::format("The basic block `{}` referenced in function `{}` is not defined within the function.",
                       block.to_string(), function);
}

std::string Error::MetaInstructionInRegularFunction::message() const {
    return fmt::format(
        "Meta instructions are only available internally for properties and attributes constructions. They SHOULD "
        "NOT appear in regular instructions. Function `{}` contains a meta-instruction `{}`.",
        function, instruction);
}

std::string Error::TooManyBasicBlocks::message() const {
    return fmt::format("Function `{}` contains {} basic blocks, exceeding the maximum allowed of {}.", function, count,
                       max);
}

std::string Error::TooManyBlockInstructions::message() const {
    return fmt::format(
        "Basic block `{}` in function `{}` contains {} instructions, exceeding the maximum allowed of {}.",
        block.to_string(), function, count, max);
}

std::string Error::TooManyInstructions::message() const {
    return fmt::format("Function `{}` contains {} instructions, exceeding the maximum allowed of {}.", function, count,
                       max);
}

std::string Error::TooManyParameters::message() const {
    return fmt::format("Function `{}` contains {} parameters, exceeding the maximum allowed of {}.", function, count,
                       max);
}

std::string Error::TooManyWildcardTypes::message() const {
    return fmt::format("Function `{}` contains {} wildcard types, exceeding the maximum allowed of {}.", function,
                       count, max);
}

std::string Error::DuplicateBlockLabel::message() const {
    return fmt::format("A basic block with label `{}` already exists in the function.", block.to_string());
}

Error::FileNotAccessible Error::FileNotAccessible::from_errno(std::string path, int errnum) {
    char buf[256] = {};
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = nullptr;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    text = strerror_r(errnum, buf, sizeof buf);
#else
    text = strerror_r(errnum, buf, sizeof buf) == 0 ? buf : "Unknown error";
#endif
    return FileNotAccessible{std::move(path), fmt::format("{} (os error {})", text, errnum)};
}

std::string Error::FileNotAccessible::message() const {
    return fmt::format("The provided file `{}` does not exist or is not accessible: {}", path, io_error);
}

std::string Error::ParserErrors::message() const {
    std::string list = "[";
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (i != 0) list.append(", ");
        list.append(errors[i].debug());
    }
    list.push_back(']');
    return "Parser errors occurred: " + list;
}

std::string Error::FunctionAlreadyExists::message() const {
    return fmt::format("A function with the name `{}` already exists in the module.", function);
}

std::string Error::UndefinedInternalFunctions::message() const {
    return "The following internal functions were referenced but not defined within the module: " +
           debug_string_list(names);
}

std::string Error::DuplicateFunctionName::message() const {
    return fmt::format("A function with the name `{}` already exists in the module.", function);
}

std::string Error::UnresolvedFunction::message() const {
    return fmt::format(
        "The {} function `{}` was referenced but not defined within the module as either an internal or external "
        "function.",
        function_pointer_kind_text(kind), function);
}

std::string Error::TypeMismatch::message() const {
    return fmt::format("Type mismatch in instruction `{}`: expected type `{}`, but found type `{}`.", instruction,
                       expected, found);
}

std::string Error::IndexOutOfBounds::message() const {
    return fmt::format(
        "The provided index `{}` is out of bounds for type `{}` with maximum index `{}` in instruction `{}`.", index,
        type, max, instruction);
}

std::string Error::message() const {
    return std::visit([](const auto& v) { return v.message(); }, value);
}

}  // namespace keinstr
