#include "keinstr/utils/debug_str.hpp"

#include "keinstr/utils/unicode_tables.hpp"

namespace keinstr {

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
            if (in_string)
                out.append("\\\"");
            else
                out.push_back('"');
            return;
        case U'\'':
            if (in_string)
                out.push_back('\'');
            else
                out.append("\\'");
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
    // Printable ASCII other than the two characters a string escapes stands for
    // itself: such runs (nearly all of a message) are copied whole, without a
    // look into the Unicode tables per character.
    const auto plain = [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; };
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && plain(text[end])) ++end;
        out.append(text, pos, end - pos);
        pos = end;
        if (pos < text.size()) write_escaped_char(out, decode_utf8(text, pos), true);
    }
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
