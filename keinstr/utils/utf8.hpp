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
    std::size_t valid_up_to = 0;            // bytes of valid text before the failure
    std::optional<std::uint8_t> error_len;  // length of the invalid sequence; none when
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

// One sequence decoded from the front of some bytes: the one decoding step of
// check_utf8 and decode_utf8.
struct Utf8Sequence {
    char32_t value = 0;       // the character, when valid
    std::uint8_t length = 0;  // bytes taken: the sequence, or else its maximal invalid prefix (at least 1)
    bool valid = false;
    bool truncated = false;  // invalid only because the bytes end inside the sequence
};

// Decodes the sequence at p[0..n) (n > 0). Well-formed means no surrogates, no overlong
// forms and nothing above U+10FFFF: the second byte's range is narrowed after E0, ED, F0
// and F4, so every failure is found at the first byte that cannot continue.
[[gnu::always_inline]] inline Utf8Sequence decode_utf8_sequence(const std::uint8_t* p, std::size_t n) noexcept {
    const std::uint8_t first = p[0];
    if (first < 0x80) return {first, 1, true, false};
    // Width of the sequence the lead byte starts; 0 for bytes that cannot start one.
    const std::uint8_t width = first < 0xC2 ? 0 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : first < 0xF5 ? 4 : 0;
    if (width == 0) return {0, 1, false, false};
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (first == 0xE0)
        lo = 0xA0;
    else if (first == 0xED)
        hi = 0x9F;
    else if (first == 0xF0)
        lo = 0x90;
    else if (first == 0xF4)
        hi = 0x8F;
    char32_t c = first & (0x7F >> width);
    for (std::uint8_t i = 1; i < width; ++i) {
        if (std::size_t{i} >= n) return {0, i, false, true};
        const std::uint8_t b = p[i];
        if (b < lo || b > hi) return {0, i, false, false};
        c = (c << 6) | (b & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    return {c, width, true, false};
}

// Appends the UTF-8 encoding of `c` (surrogates and values above U+10FFFF as U+FFFD).
void append_utf8(std::string& out, char32_t c);

// Decodes one UTF-8 character starting at text[pos]; advances pos. Invalid or
// truncated sequences yield U+FFFD and advance by the maximal invalid prefix (at least 1).
char32_t decode_utf8(std::string_view text, std::size_t& pos);

}  // namespace keinstr
