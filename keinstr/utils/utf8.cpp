#include "keinstr/utils/utf8.hpp"

#include <cstring>

#include <fmt/format.h>

namespace keinstr {

std::string Utf8Error::to_string() const {
    if (error_len) return fmt::format("invalid utf-8 sequence of {} bytes from index {}", *error_len, valid_up_to);
    return fmt::format("incomplete utf-8 byte sequence from index {}", valid_up_to);
}

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
        const Utf8Sequence seq = decode_utf8_sequence(v.data() + i, len - i);
        if (!seq.valid) return Utf8Error{i, seq.truncated ? std::nullopt : std::optional<std::uint8_t>(seq.length)};
        i += seq.length;
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
    const Utf8Sequence seq =
        decode_utf8_sequence(reinterpret_cast<const std::uint8_t*>(text.data()) + pos, text.size() - pos);
    pos += seq.length;
    return seq.valid ? seq.value : 0xFFFD;
}

}  // namespace keinstr
