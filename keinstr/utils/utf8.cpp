#include "keinstr/utils/utf8.hpp"

#include <cstring>

#include <fmt/format.h>

namespace keinstr {

std::string Utf8Error::to_string() const {
    if (error_len) return fmt::format("invalid utf-8 sequence of {} bytes from index {}", *error_len, valid_up_to);
    return fmt::format("incomplete utf-8 byte sequence from index {}", valid_up_to);
}

namespace {

// Width of the sequence a lead byte starts; 0 for bytes that cannot start one.
constexpr int utf8_width(std::uint8_t b) noexcept {
    if (b < 0x80) return 1;
    if (b < 0xC2) return 0;
    if (b < 0xE0) return 2;
    if (b < 0xF0) return 3;
    if (b < 0xF5) return 4;
    return 0;
}

constexpr bool is_cont(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

std::optional<Utf8Error> check_utf8(std::span<const std::uint8_t> v) noexcept {
    const std::size_t len = v.size();
    std::size_t i = 0;
    while (i < len) {
        // ASCII run, a word at a time.
        while (i + 8 <= len) {
            std::uint64_t w;
            std::memcpy(&w, v.data() + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= len) break;
        const std::uint8_t first = v[i];
        if (first < 0x80) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        const auto fail = [&](std::optional<std::uint8_t> n) { return Utf8Error{start, n}; };
        // The byte after the current one, or none at the end of the input.
        const auto next = [&]() -> std::optional<std::uint8_t> {
            ++i;
            if (i >= len) return std::nullopt;
            return v[i];
        };
        switch (utf8_width(first)) {
            case 2: {
                auto b = next();
                if (!b) return fail(std::nullopt);
                if (!is_cont(*b)) return fail(1);
                break;
            }
            case 3: {
                auto b = next();
                if (!b) return fail(std::nullopt);
                const bool ok = (first == 0xE0 && *b >= 0xA0 && *b <= 0xBF) ||
                                (first >= 0xE1 && first <= 0xEC && is_cont(*b)) ||
                                (first == 0xED && *b >= 0x80 && *b <= 0x9F) ||
                                (first >= 0xEE && first <= 0xEF && is_cont(*b));
                if (!ok) return fail(1);
                b = next();
                if (!b) return fail(std::nullopt);
                if (!is_cont(*b)) return fail(2);
                break;
            }
            case 4: {
                auto b = next();
                if (!b) return fail(std::nullopt);
                const bool ok = (first == 0xF0 && *b >= 0x90 && *b <= 0xBF) ||
                                (first >= 0xF1 && first <= 0xF3 && is_cont(*b)) ||
                                (first == 0xF4 && *b >= 0x80 && *b <= 0x8F);
                if (!ok) return fail(1);
                b = next();
                if (!b) return fail(std::nullopt);
                if (!is_cont(*b)) return fail(2);
                b = next();
                if (!b) return fail(std::nullopt);
                if (!is_cont(*b)) return fail(3);
                break;
            }
            default:
                return fail(1);
        }
        ++i;
    }
    return std::nullopt;
}

}  // namespace keinstr
