// Compact renderings of lexer output for table-driven tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "keinstr/text/lexer.hpp"

namespace keinstr::test {

// Each token as "<debug text>@<start>-<end>".
inline std::vector<std::string> token_lines(const LexOutput& out) {
    std::vector<std::string> lines;
    if (!out.tokens) return lines;
    for (std::size_t i = 0; i < out.tokens->tokens.size(); ++i) {
        const Span s = out.tokens->spans[i];
        lines.push_back(fmt::format("{}@{}-{}", out.tokens->tokens[i].debug(), s.start, s.end));
    }
    return lines;
}

// Each finding as "<start>-<end>: <message>".
inline std::vector<std::string> error_lines(const LexOutput& out) {
    std::vector<std::string> lines;
    for (const LexError& e : out.errors) lines.push_back(fmt::format("{}-{}: {}", e.span.start, e.span.end, e.message));
    return lines;
}

// The expected list of a failure at a character that starts no token, after
// the end of a previous token (so the end of input is expected there too).
inline constexpr std::string_view kAnyTokenOrEnd =
    "whitespace or comment, numeral, string literal, '(', ')', '{', '}', '[', ']', '<', '>', ',', ':', '=', "
    "'\n', register, identifier or keyword or itype, or end of input";

// The same list where the attempt began before leading spacing (the end of
// input was expected at an earlier position and does not count).
inline constexpr std::string_view kAnyToken =
    "whitespace or comment, numeral, string literal, '(', ')', '{', '}', '[', ']', '<', '>', ',', ':', '=', "
    "'\n', register, or identifier or keyword or itype";

// One lexing case: the source, its token lines and its finding lines.
struct LexCase {
    std::string source;
    std::vector<std::string> tokens;
    std::vector<std::string> errors;
};

inline void check(const std::vector<LexCase>& cases) {
    for (const LexCase& c : cases) {
        SCOPED_TRACE("source: " + c.source);
        const LexOutput out = lex(c.source);
        EXPECT_EQ(token_lines(out), c.tokens);
        EXPECT_EQ(error_lines(out), c.errors);
    }
}

}  // namespace keinstr::test
