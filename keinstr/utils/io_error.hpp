#pragma once

// I/O errors: what a byte source or sink reports, and what the borsh reader and writer
// report for malformed input.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "keinstr/utils/enum_table.hpp"

namespace keinstr {

// value / debug name, text shown when an error carries no message
// clang-format off
#define KE_IO_ERROR_KIND_TABLE(X)                 \
    X(InvalidData, "invalid data")                \
    X(UnexpectedEof, "unexpected end of file")    \
    X(WriteZero, "write zero")                    \
    X(OutOfMemory, "out of memory")               \
    X(Other, "other error")
// clang-format on
KE_DEFINE_TABLE_ENUM(IoErrorKind, io_error_kind, KE_IO_ERROR_KIND_TABLE)

std::string_view io_error_kind_text(IoErrorKind kind) noexcept;

// An I/O error: a kind, an optional message and, for an operating-system failure, its
// error number. It displays as its message, or, without one, as the text of its kind
// ("invalid data"); an error number is shown after it: "{message} (os error {code})".
class IoError {
public:
    explicit IoError(IoErrorKind kind) noexcept : kind_(kind) {}
    IoError(IoErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    // An operating-system failure: its error number (0 when none) and message.
    IoError(int os_code, std::string message)
        : kind_(IoErrorKind::Other), os_code_(os_code), message_(std::move(message)) {}

    IoErrorKind kind() const noexcept { return kind_; }
    // The operating system's error number; 0 when none.
    int os_code() const noexcept { return os_code_; }
    const std::optional<std::string>& message() const noexcept { return message_; }
    std::string to_string() const;

    bool operator==(const IoError&) const = default;

    // The malformed-input errors of the format, all of kind InvalidData.
    static IoError unexpected_length();  // "Unexpected length of input"
    static IoError invalid_variant_tag(std::uint8_t tag);
    static IoError invalid_bool(std::uint8_t byte);
    static IoError invalid_option(std::uint8_t byte);
    static IoError invalid_data() { return IoError(IoErrorKind::InvalidData); }

private:
    IoErrorKind kind_;
    int os_code_ = 0;
    std::optional<std::string> message_;
};

}  // namespace keinstr

template <>
struct fmt::formatter<keinstr::IoError> : fmt::formatter<std::string_view> {
    auto format(const keinstr::IoError& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
