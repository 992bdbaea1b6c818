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

void append_utf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

char32_t decode_utf8(std::string_view text, std::size_t& pos) {
    const auto b0 = static_cast<unsigned char>(text[pos]);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    std::size_t len = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, c = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, c = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, c = b0 & 0x07, min = 0x10000;
    } else {
        ++pos;
        return 0xFFFD;
    }
    std::size_t i = 1;
    for (; i < len; ++i) {
        if (pos + i >= text.size()) break;
        const auto b = static_cast<unsigned char>(text[pos + i]);
        if ((b & 0xC0) != 0x80) break;
        const char32_t next = (c << 6) | (b & 0x3F);
        // Reject overlong forms, surrogates and values past U+10FFFF as early as possible.
        if (i == 1) {
            const char32_t top = next << (6 * (len - 2));
            if ((len == 3 && (top < 0x800 || (top >= 0xD800 && top <= 0xDFFF))) ||
                (len == 4 && (top < 0x10000 || top > 0x10FFFF)))
                break;
        }
        c = next;
    }
    if (i < len || c < min) {
        pos += i;
        return 0xFFFD;
    }
    pos += len;
    return c;
}

}  // namespace keinstr
