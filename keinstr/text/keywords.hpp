// Words of the textual IR that the lexer leaves as plain `Identifier` tokens but
// the grammar reads as keywords, and the "expected one of" word lists shown when
// an instruction's variant word names no value of its enumeration.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "keinstr/utils/enum_table.hpp"
#include "keinstr/text/token.hpp"

namespace keinstr {

// KW(value, word)
// clang-format off
#define KE_GRAMMAR_KEYWORD_TABLE(KW) \
    KW(Define, "define")             \
    KW(Ptr, "ptr")                   \
    KW(X, "x")                       \
    KW(Vscale, "vscale")             \
    KW(Packed, "packed")             \
    KW(Undef, "undef")               \
    KW(External, "external")         \
    KW(Align, "align")               \
    KW(Volatile, "volatile")
// clang-format on

#define KE_GRAMMAR_KEYWORD_VALUE_(v, w) v,
enum class Keyword : std::uint8_t { KE_GRAMMAR_KEYWORD_TABLE(KE_GRAMMAR_KEYWORD_VALUE_) };
#undef KE_GRAMMAR_KEYWORD_VALUE_

#define KE_GRAMMAR_KEYWORD_WORD_(v, w) std::string_view{w},
inline constexpr std::array kKeywordWords{KE_GRAMMAR_KEYWORD_TABLE(KE_GRAMMAR_KEYWORD_WORD_)};
#undef KE_GRAMMAR_KEYWORD_WORD_

constexpr std::string_view keyword_word(Keyword k) noexcept { return kKeywordWords[static_cast<std::size_t>(k)]; }

// A keyword is an `Identifier` token carrying exactly that word and no variant
// list: "ptr" is the keyword, "ptr.a", "Ptr" and "ptr." are not.
inline bool is_keyword(const Token& t, Keyword k) noexcept {
    if (!t.is(TokenDiscriminants::Identifier)) return false;
    // No keyword holds a ".", so "no variants and the word is the keyword" is
    // "the whole text is the keyword". Keywords are short: compared in line.
    const std::string_view text = t.full_word();
    const std::string_view word = keyword_word(k);
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (text[i] != word[i]) return false;
    return true;
}

// The words of a tabled enumeration in declared order joined by ", ": the list
// that fills the second placeholder of the "unknown ... variant: {} (expected one
// of: {})" messages.
template <TableEnum E>
std::string expected_keyword_list() {
    return joined_words<E>(", ");
}

}  // namespace keinstr
