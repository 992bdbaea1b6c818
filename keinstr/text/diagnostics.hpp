// Parse diagnostics: the syntax failure of a parse as a finding, the conversion of
// findings (token ranges) into `ParserError` records (byte offsets), and the token
// texts that travel with a parse failure.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "keinstr/text/engine.hpp"
#include "keinstr/text/token.hpp"
#include "keinstr/ir/error.hpp"

namespace keinstr {

// The furthest failure of a parse over `tokens` as an expected/found finding:
// over the token found there, or the empty range at the end of the input.
Finding syntax_failure(const Furthest& furthest, std::span<const Token> tokens);

// A parse finding with byte offsets: `spans[i]` is the byte range of token i and
// `source_len` the length of the source. The range [s, e) starts at token s (at
// `source_len` when s is the end of the token list) and ends where token e - 1
// ends (at the start when e is 0). Never fails: every range maps into
// [0, source_len], with start <= end.
ParserError to_parser_error(const Finding& finding, std::span<const Span> spans, std::size_t source_len);
std::vector<ParserError> to_parser_errors(std::span<const Finding> findings, std::span<const Span> spans,
                                          std::size_t source_len);

// The debug text of every token, in order.
std::vector<std::string> token_debug_texts(std::span<const Token> tokens);

}  // namespace keinstr
