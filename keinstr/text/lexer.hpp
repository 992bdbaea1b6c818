// Lexer of the textual IR: one forward pass over the source bytes.
//
// The source is read as a sequence of spaced tokens: blanks and comments, one
// token, blanks and comments again; each token's span covers all three, so the
// spans of a complete run tile the source. Recognised but invalid words and
// numerals still give a token and record a finding; the first character that
// starts no token ends the run with one expected/found finding, placed at the
// furthest position any alternative reached there.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "keinstr/text/bulk_allocator.hpp"
#include "keinstr/text/token.hpp"
#include "keinstr/ir/error.hpp"
#include "keinstr/utils/limits.hpp"

namespace keinstr {

// One lexing finding: a byte span of the source and the text of its reason.
struct LexError {
    Span span;
    std::string message;
    bool operator==(const LexError&) const = default;
};

// The tokens of a complete run, with their spans in a parallel list. Tokens
// view the source and the store: keep both alive while the tokens are used.
struct TokenList {
    std::vector<Token, BulkAllocator<Token>> tokens;
    std::vector<Span, BulkAllocator<Span>> spans;
    std::unique_ptr<TokenStore> store = std::make_unique<TokenStore>();
};

struct LexOutput {
    // Absent when lexing stopped before the end of the source.
    std::optional<TokenList> tokens;
    // In the order found; an unreadable character's finding comes last.
    std::vector<LexError> errors;

    bool ok() const noexcept { return tokens.has_value() && errors.empty(); }
};

// The longest source the lexer accepts is kMaxSourceBytes (utils/limits.hpp): offsets
// are kept in 32 bits.

// Lexes the whole source. A source longer than `kMaxSourceBytes` gives no
// tokens and one finding over its first byte.
LexOutput lex(std::string_view source);

// The same run as `lex`, a batch of tokens at a time, for a reader that needs
// only the tokens near its position. Tokens view the source and the lexer's
// store: keep both alive while the tokens are used.
class IncrementalLexer {
public:
    explicit IncrementalLexer(std::string_view source);
    ~IncrementalLexer();
    IncrementalLexer(const IncrementalLexer&) = delete;
    IncrementalLexer& operator=(const IncrementalLexer&) = delete;

    // Lexes up to out.size() further tokens into `out`; how many. Fewer than
    // asked only when the run has ended.
    std::size_t next(std::span<Token> out);
    // Lexes what is left of the run (its tokens are dropped) and hands over the
    // run's findings: none exactly when `lex` would have given a complete token
    // list without findings.
    std::vector<LexError> finish();

    // No run has more tokens than this: every token's span holds at least one
    // byte of the source, and the spans do not overlap.
    std::size_t token_bound() const noexcept { return source_bytes_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::vector<LexError> refused_;  // a source too large to lex
    std::size_t source_bytes_ = 0;   // 0 when refused (no tokens)
};

// Labels of the lexer's rules, as expected/found findings name them.
inline constexpr std::string_view kLabelNumeral = "numeral";
inline constexpr std::string_view kLabelStringLiteral = "string literal";
inline constexpr std::string_view kLabelRegister = "register";
inline constexpr std::string_view kLabelWord = "identifier or keyword or itype";
inline constexpr std::string_view kLabelSpacing = "whitespace or comment";
inline constexpr std::string_view kLabelComment = "comment";

// A lexing finding as the front end reports it: no file, the finding's own
// offsets, the text of its reason.
ParserError to_parser_error(const LexError& e);
std::vector<ParserError> to_parser_errors(std::span<const LexError> errors);

}  // namespace keinstr
