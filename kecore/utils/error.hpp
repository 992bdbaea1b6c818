// KeError: the one error type of the runtime core.
//
// Every fallible runtime operation returns std::expected<T, KeError>. A
// KeError has a display text and nothing else; the host binding embeds that
// text in the exception it raises.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "keinstr/ir/error.hpp"
#include "keinstr/utils/io_error.hpp"
#include "keinstr/utils/utf8.hpp"

namespace kecore {

// I/O and UTF-8 failures are the IR library's own error types.
using keinstr::IoError;
using keinstr::Utf8Error;

// A failure to parse a TOML manifest, carried by its own message.
struct TomlParseError {
    std::string message;
    std::string to_string() const { return message; }
};

// Each variant owns its payload and formats it into its fixed text; the
// variants are declared in their fixed order (Io = 0 ... Duplicated = 7).
class KeError {
public:
    // "I/O error: {}"
    struct Io {
        IoError error;
        std::string message() const;
    };
    // "Failed to parse manifest file '{}': {}"
    struct ManifestParse {
        std::string path;
        TomlParseError error;
        std::string message() const;
    };
    // "An unknown error occurred: {}"
    struct Unknown {
        std::string text;
        std::string message() const;
    };
    // "Plugin with name '{}' not found"
    struct PluginNotFound {
        std::string name;
        std::string message() const;
    };
    // "UTF-8 conversion error: {}"
    struct Utf8 {
        Utf8Error error;
        std::string message() const;
    };
    // The IR error's own message, unchanged.
    struct Ir {
        keinstr::Error error;
        std::string message() const;
    };
    // "Failed to find {kind} with key '{key}'"
    struct NotFound {
        std::string key;
        std::string kind;
        std::string message() const;
    };
    // "Duplicated {kind} with key '{key}'"
    struct Duplicated {
        std::string key;
        std::string kind;
        std::string message() const;
    };

    using Variant = std::variant<Io, ManifestParse, Unknown, PluginNotFound, Utf8, Ir, NotFound, Duplicated>;

    template <class T>
        requires(!std::is_same_v<std::decay_t<T>, KeError> && std::is_constructible_v<Variant, T &&>)
    KeError(T&& v) : value_(std::forward<T>(v)) {}

    KeError(KeError&&) noexcept = default;
    KeError& operator=(KeError&&) noexcept = default;
    KeError(const KeError&) = default;
    KeError& operator=(const KeError&) = default;

    // Position of the variant in declaration order (Io = 0 ... Duplicated = 7).
    std::size_t index() const noexcept { return value_.index(); }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&value_);
    }

    // The display text: the message of the variant held.
    std::string message() const;

private:
    Variant value_;
};

}  // namespace kecore

template <>
struct fmt::formatter<kecore::KeError> : fmt::formatter<std::string_view> {
    auto format(const kecore::KeError& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.message(), ctx);
    }
};
