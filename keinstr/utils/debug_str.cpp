#include "keinstr/utils/debug_str.hpp"

#include "keinstr/utils/unicode_tables.hpp"

namespace keinstr {

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

namespace {
constexpr char kHex[] = "0123456789abcdef";

void write_unicode_escape(std::string& out, char32_t c) {
    out.append("\\u{");
    std::string digits;
    auto v = static_cast<std::uint32_t>(c);
    do {
        digits.push_back(kHex[v & 0xF]);
        v >>= 4;
    } while (v != 0);
    out.append(digits.rbegin(), digits.rend());
    out.push_back('}');
}
}  // namespace

void write_escaped_char(std::string& out, char32_t c, bool in_string) {
    switch (c) {
        case U'\0': out.append("\\0"); return;
        case U'\t': out.append("\\t"); return;
        case U'\r': out.append("\\r"); return;
        case U'\n': out.append("\\n"); return;
        case U'\\': out.append("\\\\"); return;
        case U'"':
            if (in_string) out.append("\\\"");
            else out.push_back('"');
            return;
        case U'\'':
            if (in_string) out.push_back('\'');
            else out.append("\\'");
            return;
        default: break;
    }
    if (is_grapheme_extend(c) || !is_printable(c)) {
        write_unicode_escape(out, c);
        return;
    }
    append_utf8(out, c);
}

void write_debug_str(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < text.size()) write_escaped_char(out, decode_utf8(text, pos), true);
    out.push_back('"');
}

std::string debug_str(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    write_debug_str(out, text);
    return out;
}

std::string debug_char(char32_t c) {
    std::string out = "'";
    write_escaped_char(out, c, false);
    out.push_back('\'');
    return out;
}

}  // namespace keinstr
