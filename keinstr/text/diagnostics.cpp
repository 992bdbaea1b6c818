#include "keinstr/text/diagnostics.hpp"

#include <algorithm>
#include <optional>
#include <string_view>

namespace keinstr {

Finding syntax_failure(const Furthest& furthest, std::span<const Token> tokens) {
    const std::size_t n = tokens.size();
    const std::size_t pos = furthest.has_failure() ? std::min(furthest.position(), n) : n;
    if (pos >= n) return Finding{TokenRange{n, n}, furthest.reason(std::nullopt)};
    return Finding{TokenRange{pos, pos + 1}, furthest.reason(tokens[pos].to_string())};
}

ParserError to_parser_error(const Finding& finding, std::span<const Span> spans, std::size_t source_len) {
    const std::size_t n = spans.size();
    const std::size_t s = finding.span.start;
    const std::size_t e = std::min(finding.span.end, n);

    ParserError out{std::nullopt, source_len, source_len, finding.message};
    if (s >= n) return out;  // at the end of the input
    out.start = std::min<std::size_t>(spans[s].start, source_len);
    out.end = e >= 1 ? std::min<std::size_t>(spans[e - 1].end, source_len) : out.start;
    if (out.end < out.start) out.end = out.start;
    return out;
}

std::vector<ParserError> to_parser_errors(std::span<const Finding> findings, std::span<const Span> spans,
                                          std::size_t source_len) {
    std::vector<ParserError> out;
    out.reserve(findings.size());
    for (const Finding& f : findings) out.push_back(to_parser_error(f, spans, source_len));
    return out;
}

std::vector<std::string> token_debug_texts(std::span<const Token> tokens) {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const Token& t : tokens) out.push_back(t.debug());
    return out;
}

}  // namespace keinstr
