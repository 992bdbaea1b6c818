#pragma once

// UTF-8: validation with the positions a failure is reported with, lossy decoding of one
// character at a time, and encoding.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace keinstr {

struct Utf8Error {
    std::size_t valid_up_to = 0;              // bytes of valid text before the failure
    std::optional<std::uint8_t> error_len;    // length of the invalid sequence; none when
                                              // the input ends inside a sequence
    // "invalid utf-8 sequence of {} bytes from index {}" or
    // "incomplete utf-8 byte sequence from index {}"
    std::string to_string() const;
    bool operator==(const Utf8Error&) const = default;
};

// Checks that `bytes` is well-formed UTF-8 (no surrogates, no overlong forms, nothing
// above U+10FFFF); returns the first failure.
std::optional<Utf8Error> check_utf8(std::span<const std::uint8_t> bytes) noexcept;
inline std::optional<Utf8Error> check_utf8(std::string_view text) noexcept {
    return check_utf8(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Appends the UTF-8 encoding of `c` (surrogates and values above U+10FFFF as U+FFFD).
void append_utf8(std::string& out, char32_t c);

// Decodes one UTF-8 character starting at text[pos]; advances pos. Invalid or
// truncated sequences yield U+FFFD and advance by the maximal invalid prefix (at least 1).
char32_t decode_utf8(std::string_view text, std::size_t& pos);

}  // namespace keinstr
