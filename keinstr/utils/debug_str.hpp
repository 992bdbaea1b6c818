#pragma once

#include <string>
#include <string_view>

#include "keinstr/utils/utf8.hpp"

namespace keinstr {

// Debug form of a UTF-8 string: in double quotes; escapes \" \\ \t \r \n \0, and
// \u{x} (lower-case hex, no padding) for every non-printable or grapheme-extending
// character. Invalid UTF-8 bytes are shown as the replacement character U+FFFD.
std::string debug_str(std::string_view text);
void write_debug_str(std::string& out, std::string_view text);

// Debug form of one character: in single quotes; escapes \' (not \") and otherwise as
// debug_str.
std::string debug_char(char32_t c);

// Escapes one character as inside debug_str (without quotes).
void write_escaped_char(std::string& out, char32_t c, bool in_string);

}  // namespace keinstr
