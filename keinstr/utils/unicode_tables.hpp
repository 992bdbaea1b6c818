#pragma once

// Character property lookups over tables generated from the Unicode Character Database
// by scripts/gen_unicode_tables.py.

namespace keinstr {

bool is_xid_start(char32_t c) noexcept;
bool is_xid_continue(char32_t c) noexcept;
bool is_white_space(char32_t c) noexcept;
bool is_grapheme_extend(char32_t c) noexcept;
// Printable: an assigned character that is not a control, format, surrogate, private-use,
// line/paragraph separator, nor a space separator other than U+0020.
bool is_printable(char32_t c) noexcept;

}  // namespace keinstr
