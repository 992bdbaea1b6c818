#pragma once

// The IR's error catalogue. Every failure of keinstr is one alternative of Error (the
// front end's findings travel as a list of ParserError inside Error::ParserErrors), and
// each alternative owns its message text: callers never format an error themselves.
// The runtime's KeError (kecore/utils/error.hpp) carries an Error unchanged (KeError::Ir).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "keinstr/ir/symbols.hpp"
#include "keinstr/utils/uuid.hpp"

namespace keinstr {

// Kind of a function pointer (keinstr/ir/constants.hpp).
enum class FunctionPointerKind : std::uint8_t;

// One diagnostic of the textual front end.
struct ParserError {
    std::optional<std::string> file;  // none when the text did not come from a file
    std::size_t start = 0;            // first byte of the span
    std::size_t end = 0;              // one past the last byte
    std::string message;

    bool operator==(const ParserError&) const = default;
    // ParserError { file: None, start: 0, end: 3, message: "..." }
    std::string debug() const;
};

// A list of strings made when it is first read, for lists that cost more to
// build than most readers care for. The maker runs at most once; copies share
// its result. Equality compares the lists.
class DeferredStrings {
public:
    using value_type = std::string;
    using const_iterator = std::vector<std::string>::const_iterator;
    using iterator = const_iterator;
    using Maker = std::function<std::vector<std::string>()>;

    DeferredStrings() = default;
    DeferredStrings(std::initializer_list<std::string> items) : DeferredStrings(std::vector<std::string>(items)) {}
    DeferredStrings(std::vector<std::string> items);
    explicit DeferredStrings(Maker make);

    const std::vector<std::string>& get() const;
    std::size_t size() const { return get().size(); }
    bool empty() const { return get().empty(); }
    const std::string& operator[](std::size_t i) const { return get()[i]; }
    const_iterator begin() const { return get().begin(); }
    const_iterator end() const { return get().end(); }

    bool operator==(const DeferredStrings& o) const { return get() == o.get(); }
    bool operator==(const std::vector<std::string>& o) const { return get() == o; }

private:
    struct State {
        std::once_flag made;
        Maker make;  // empty once run
        std::vector<std::string> items;
    };
    std::shared_ptr<State> state_;
};

// The IR error: one variant per failure, each with its fixed message.
struct Error {
    struct SsaMultipleDefinitions {
        Name name;
        std::string message() const;
        bool operator==(const SsaMultipleDefinitions&) const = default;
    };
    struct MissingEntryBlock {
        std::string message() const;
        bool operator==(const MissingEntryBlock&) const = default;
    };
    struct UndefinedName {
        Name name;
        std::string message() const;
        bool operator==(const UndefinedName&) const = default;
    };
    struct UndefinedInternalFunction {
        std::string function;
        Uuid target;
        std::string message() const;
        bool operator==(const UndefinedInternalFunction&) const = default;
    };
    struct UndefinedExternalFunction {
        std::string function;
        Uuid target;
        std::string message() const;
        bool operator==(const UndefinedExternalFunction&) const = default;
    };
    struct UnsoundWildcardTypes {
        std::string function;
        std::vector<std::string> expected;
        std::vector<std::string> found;
        std::string message() const;
        bool operator==(const UnsoundWildcardTypes&) const = default;
    };
    struct MetaOperandInRegularInstruction {
        std::string message() const;
        bool operator==(const MetaOperandInRegularInstruction&) const = default;
    };
    struct PhiNotFirst {
        Label block;
        std::string message() const;
        bool operator==(const PhiNotFirst&) const = default;
    };
    struct UndefinedBlock {
        Label block;
        std::string function;
        std::string message() const;
        bool operator==(const UndefinedBlock&) const = default;
    };
    struct MetaInstructionInRegularFunction {
        std::string function;
        std::string instruction;
        std::string message() const;
        bool operator==(const MetaInstructionInRegularFunction&) const = default;
    };
    struct TooManyBasicBlocks {
        std::string function;
        std::size_t count;
        std::size_t max;
        std::string message() const;
        bool operator==(const TooManyBasicBlocks&) const = default;
    };
    struct TooManyBlockInstructions {
        Label block;
        std::string function;
        std::size_t count;
        std::size_t max;
        std::string message() const;
        bool operator==(const TooManyBlockInstructions&) const = default;
    };
    struct TooManyInstructions {
        std::string function;
        std::size_t count;
        std::size_t max;
        std::string message() const;
        bool operator==(const TooManyInstructions&) const = default;
    };
    struct TooManyParameters {
        std::string function;
        std::size_t count;
        std::size_t max;
        std::string message() const;
        bool operator==(const TooManyParameters&) const = default;
    };
    struct TooManyWildcardTypes {
        std::string function;
        std::size_t count;
        std::size_t max;
        std::string message() const;
        bool operator==(const TooManyWildcardTypes&) const = default;
    };
    struct DuplicateBlockLabel {
        Label block;
        std::string message() const;
        bool operator==(const DuplicateBlockLabel&) const = default;
    };
    struct FileNotAccessible {
        std::string path;
        std::string io_error;  // the operating system's description of the failure
        // The description of errno value `errnum` as "<strerror text> (os error N)".
        static FileNotAccessible from_errno(std::string path, int errnum);
        std::string message() const;
        bool operator==(const FileNotAccessible&) const = default;
    };
    struct ParserErrors {
        std::vector<ParserError> errors;
        DeferredStrings tokens;  // not shown by the message
        std::string message() const;
        bool operator==(const ParserErrors&) const = default;
    };
    struct FunctionAlreadyExists {
        std::string function;
        std::string message() const;
        bool operator==(const FunctionAlreadyExists&) const = default;
    };
    struct UndefinedInternalFunctions {
        std::vector<std::string> names;
        std::string message() const;
        bool operator==(const UndefinedInternalFunctions&) const = default;
    };
    struct DuplicateFunctionName {
        std::string function;
        std::string message() const;
        bool operator==(const DuplicateFunctionName&) const = default;
    };
    struct UnresolvedFunction {
        FunctionPointerKind kind;
        std::string function;
        std::string message() const;
        bool operator==(const UnresolvedFunction&) const = default;
    };
    struct TypeMismatch {
        std::string instruction;
        std::string expected;
        std::string found;
        std::string message() const;
        bool operator==(const TypeMismatch&) const = default;
    };
    struct IndexOutOfBounds {
        std::size_t index;
        std::string type;
        std::size_t max;
        std::string instruction;
        std::string message() const;
        bool operator==(const IndexOutOfBounds&) const = default;
    };

    // Variants in tag order.
    using Variant =
        std::variant<SsaMultipleDefinitions, MissingEntryBlock, UndefinedName, UndefinedInternalFunction,
                     UndefinedExternalFunction, UnsoundWildcardTypes, MetaOperandInRegularInstruction, PhiNotFirst,
                     UndefinedBlock, MetaInstructionInRegularFunction, TooManyBasicBlocks, TooManyBlockInstructions,
                     TooManyInstructions, TooManyParameters, TooManyWildcardTypes, DuplicateBlockLabel,
                     FileNotAccessible, ParserErrors, FunctionAlreadyExists, UndefinedInternalFunctions,
                     DuplicateFunctionName, UnresolvedFunction, TypeMismatch, IndexOutOfBounds>;
    Variant value;

    template <class T>
        requires std::is_constructible_v<Variant, T&&>
    Error(T&& v) : value(std::forward<T>(v)) {}

    bool operator==(const Error&) const = default;

    // The variant's tag (declared position).
    std::uint8_t tag() const noexcept { return static_cast<std::uint8_t>(value.index()); }
    template <class T>
    bool is() const noexcept {
        return std::holds_alternative<T>(value);
    }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&value);
    }

    // The variant's message.
    std::string message() const;
};

// Debug form of a list of strings: ["a", "b\n"].
std::string debug_string_list(const std::vector<std::string>& items);

}  // namespace keinstr

template <>
struct fmt::formatter<keinstr::Error> : fmt::formatter<std::string_view> {
    auto format(const keinstr::Error& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.message(), ctx);
    }
};
