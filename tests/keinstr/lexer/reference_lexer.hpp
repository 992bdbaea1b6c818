// A plain character-at-a-time lexer with the library lexer's rules, kept as the
// oracle of the differential tests: no tables beyond the reserved words, no
// batching, no fast paths. Its output must equal `lex` exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "keinstr/text/expected.hpp"
#include "keinstr/text/lexer.hpp"
#include "keinstr/text/numeral.hpp"
#include "keinstr/utils/debug_str.hpp"
#include "keinstr/utils/unicode_tables.hpp"

namespace keinstr::test {

// Output of the reference walk: the tokens before the run ended, their spans,
// whether the run reached the end of the source, and the findings.
struct ReferenceOutput {
    std::vector<Token> tokens;
    std::vector<Span> spans;
    bool complete = false;
    std::vector<LexError> errors;
    TokenStore store;
};

class ReferenceLexer {
public:
    explicit ReferenceLexer(std::string_view src) : s_(src) { add_words(); }

    void run(ReferenceOutput& out) {
        store_ = &out.store;
        std::size_t pos = 0;
        while (pos < s_.size()) {
            const std::size_t p = skip_spacing(pos);
            Token t;
            std::size_t q = 0;
            if (!token(p, q, t)) {
                errors_.push_back(syntax_error(pos));
                out.errors = std::move(errors_);
                return;
            }
            const std::size_t end = skip_spacing(q);
            out.tokens.push_back(t);
            out.spans.push_back(Span{pos, end});
            pos = end;
        }
        out.complete = true;
        out.errors = std::move(errors_);
    }

private:
    enum class Kind { Import, Void, Visibility, CallingConvention, InstrOp, TerminatorOp, FType, Ordering };
    struct Entry {
        Kind kind;
        std::size_t value;
    };

    void add_words() {
        const auto add = [this](std::string_view w, Kind k, std::size_t v) { words_.emplace(w, Entry{k, v}); };
        add("import", Kind::Import, 0);
        add("void", Kind::Void, 0);
        for (Visibility v : enum_values<Visibility>) add(word(v), Kind::Visibility, enum_index(v));
        for (std::size_t i = 0; i < kNamedCallingConventionCount; ++i)
            add(kCallingConventionTexts[i], Kind::CallingConvention, i);
        for (KeInstrOp op : enum_values<KeInstrOp>) add(word(op), Kind::InstrOp, enum_index(op));
        for (KeTerminatorOp op : enum_values<KeTerminatorOp>) add(word(op), Kind::TerminatorOp, enum_index(op));
        for (std::size_t i = 0; i < kFTypeCount; ++i) add(ftype_text(static_cast<FType>(i)), Kind::FType, i);
        for (MemoryOrdering o : enum_values<MemoryOrdering>) add(word(o), Kind::Ordering, enum_index(o));
    }

    std::size_t size() const { return s_.size(); }
    static bool is_ascii(char c) { return static_cast<unsigned char>(c) < 0x80; }
    static bool is_ident_ascii(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    }
    static bool is_blank_ascii(char c) { return c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == ' '; }

    char32_t decode_at(std::size_t p, std::size_t& len) const {
        std::size_t q = p;
        const char32_t c = decode_utf8(s_, q);
        len = q - p;
        return c;
    }

    std::size_t skip_spacing(std::size_t p) const {
        while (p < size()) {
            const char c = s_[p];
            if (is_blank_ascii(c)) {
                ++p;
            } else if (c == ';') {
                while (p < size() && s_[p] != '\n') ++p;
            } else if (is_ascii(c)) {
                return p;
            } else {
                std::size_t len = 0;
                if (!is_white_space(decode_at(p, len))) return p;
                p += len;
            }
        }
        return p;
    }

    std::size_t scan_ident(std::size_t p, bool dots) const {
        while (p < size()) {
            const char c = s_[p];
            if (is_ident_ascii(c) || (dots && c == '.')) {
                ++p;
            } else if (is_ascii(c)) {
                return p;
            } else {
                std::size_t len = 0;
                if (!is_xid_continue(decode_at(p, len))) return p;
                p += len;
            }
        }
        return p;
    }

    void record(std::size_t start, std::size_t end, std::string message) {
        errors_.push_back(LexError{Span{start, end}, std::move(message)});
    }

    bool token(std::size_t p, std::size_t& q, Token& t) {
        if (p >= size()) return false;
        const char c = s_[p];
        if ((c >= '0' && c <= '9') || c == '+' || c == '-') {
            if (auto m = match_numeral(s_, p)) {
                std::optional<std::string> error;
                t = numeral_token(s_.substr(p, m->end - p), m->form, *store_, error);
                if (error) record(p, m->end, *error);
                q = m->end;
                return true;
            }
            if (c == '+' || c == '-') return false;
        }
        static constexpr std::string_view kPunct = "(){}[]<>,:=";
        static constexpr TokenDiscriminants kPunctKinds[] = {
            TokenDiscriminants::LParen, TokenDiscriminants::RParen,   TokenDiscriminants::LBrace,
            TokenDiscriminants::RBrace, TokenDiscriminants::LBracket, TokenDiscriminants::RBracket,
            TokenDiscriminants::LAngle, TokenDiscriminants::RAngle,   TokenDiscriminants::Comma,
            TokenDiscriminants::Colon,  TokenDiscriminants::Equals};
        if (const std::size_t i = kPunct.find(c); i != std::string_view::npos) {
            t = Token::simple(kPunctKinds[i]);
            q = p + 1;
            return true;
        }
        if (c == '"') return string_literal(p, q, t);
        if (c == '\n') {
            q = p + 1;
            for (std::size_t r = skip_spacing(q); r < size() && s_[r] == '\n'; r = skip_spacing(q)) q = r + 1;
            q = skip_spacing(q);
            t = Token::simple(TokenDiscriminants::Newline);
            return true;
        }
        if (c == '%') {
            q = scan_ident(p + 1, true);
            t = Token::register_name(s_.substr(p + 1, q - p - 1));
            return true;
        }
        std::size_t h = p + (c == '!');
        const std::size_t head_start = h;
        h = scan_ident(h, false);
        if (h == head_start) return false;
        const std::size_t head_end = h;
        while (h < size() && s_[h] == '.') h = scan_ident(h + 1, false);
        classify(p, head_end, h, t);
        q = h;
        return true;
    }

    bool string_literal(std::size_t p, std::size_t& q, Token& t) {
        std::string text;
        bool escaped = false;
        for (std::size_t i = p + 1; i < size();) {
            const char c = s_[i];
            if (c == '"') {
                t = escaped ? store_->string_literal(std::move(text))
                            : Token::string_literal(s_.substr(p + 1, i - p - 1));
                q = i + 1;
                return true;
            }
            if (c != '\\') {
                text += c;
                ++i;
                continue;
            }
            escaped = true;
            if (i + 1 >= size()) return false;
            const char e = s_[i + 1];
            std::size_t len = 1;
            if (!is_ascii(e)) decode_at(i + 1, len);
            if (len == 1)
                text += e == 't' ? '\t' : e == 'r' ? '\r' : e == 'n' ? '\n' : e;
            else
                text.append(s_.substr(i + 1, len));
            i += 1 + len;
        }
        return false;
    }

    void classify(std::size_t p, std::size_t head_end, std::size_t end, Token& t) {
        const std::string_view w = s_.substr(p, head_end - p);
        const bool has_variants = end != head_end;
        const bool bang = w[0] == '!';
        const auto it = words_.find(w);
        const Entry* e = it == words_.end() ? nullptr : &it->second;
        const auto is = [&](Kind k) { return e != nullptr && e->kind == k; };
        const auto variant_error = [&](std::string_view what) {
            if (has_variants)
                record(p, end, fmt::format("{} '{}' does not take any variants, but variants were provided", what, w));
        };
        if (!bang && !has_variants && is(Kind::Import)) {
            t = Token::simple(TokenDiscriminants::Import);
        } else if (!bang && !has_variants && is(Kind::Void)) {
            t = Token::simple(TokenDiscriminants::Void);
        } else if (!bang && is(Kind::Visibility)) {
            t = Token::visibility(static_cast<Visibility>(e->value));
            variant_error("visibility");
        } else if (!bang && is(Kind::CallingConvention)) {
            t = Token::calling_convention(CallingConvention(static_cast<CallingConventionKind>(e->value)));
            variant_error("calling convention");
        } else if (!bang && e == nullptr && w.starts_with("cc") && w.size() >= 3 && CallingConvention::from_str(w)) {
            t = Token::calling_convention(*CallingConvention::from_str(w));
            variant_error("calling convention");
        } else if (is(Kind::InstrOp)) {
            t = Token::instr_op(static_cast<KeInstrOp>(e->value), s_.substr(head_end, end - head_end));
        } else if (is(Kind::TerminatorOp)) {
            t = Token::terminator_op(static_cast<KeTerminatorOp>(e->value));
            variant_error("terminator operation");
        } else if (bang) {
            t = Token::meta_identifier(s_.substr(p + 1, end - p - 1));
        } else if (has_variants) {
            t = Token::identifier(s_.substr(p, end - p));
        } else if (is(Kind::FType)) {
            t = Token::ftype(static_cast<FType>(e->value));
        } else if (is(Kind::Ordering)) {
            t = Token::ordering(static_cast<MemoryOrdering>(e->value));
        } else if (w[0] == 'i' && w.find_first_not_of("0123456789", 1) == std::string_view::npos) {
            integer_type(p, end, w, t);
        } else {
            t = Token::identifier(w);
        }
    }

    void integer_type(std::size_t p, std::size_t end, std::string_view w, Token& t) {
        const std::string_view digits = w.substr(1);
        std::uint64_t width = 0;
        bool too_large = false;
        for (char c : digits) {
            width = width * 10 + static_cast<std::uint64_t>(c - '0');
            too_large |= width > 0xFFFF'FFFFull;
            if (too_large) break;
        }
        if (digits.empty()) {
            record(p, end, fmt::format("invalid integer type width '': cannot parse integer from empty string"));
        } else if (too_large) {
            record(p, end,
                   fmt::format("invalid integer type width '{}': number too large to fit in target type", digits));
        } else if (width < 1 || width > IType::kMaxBits) {
            record(p, end,
                   fmt::format("cannot create IType with width {} (must be between 1 and {})", width, IType::kMaxBits));
        } else {
            t = Token::itype(static_cast<std::uint32_t>(width));
            return;
        }
        t = Token::identifier(w);
    }

    // The finding of an attempt at `begin` that matched no token: the furthest
    // position any alternative reached.
    LexError syntax_error(std::size_t begin) const {
        Furthest f;
        const std::size_t p = skip_spacing(begin);
        const bool at_end = p >= size();
        const char c = at_end ? '\0' : s_[p];
        f.fail(p, Pattern::label(kLabelSpacing));
        if (c == '+' || c == '-') {
            f.fail(p + 1);
            f.fail(p + 1, Pattern::literal("0"));
        } else {
            f.fail(p, Pattern::label(kLabelNumeral));
        }
        if (c == '"') {
            // Unclosed: did it end in a lone backslash?
            bool dangling = false;
            for (std::size_t i = p + 1; i < size(); ++i) {
                if (s_[i] != '\\') continue;
                if (i + 1 >= size()) {
                    dangling = true;
                    break;
                }
                std::size_t len = 1;
                if (!is_ascii(s_[i + 1])) decode_at(i + 1, len);
                i += len;
            }
            if (dangling) {
                f.fail(size(), Pattern::any());
            } else {
                f.fail(size(), Pattern::literal("\\"));
                f.fail(size(), Pattern::literal("\""));
            }
        } else {
            f.fail(p, Pattern::label(kLabelStringLiteral));
        }
        for (std::string_view punct : {"(", ")", "{", "}", "[", "]", "<", ">", ",", ":", "="})
            f.fail(p, Pattern::literal(punct));
        f.fail(p, Pattern::label(kLabelSpacing));
        f.fail(p, Pattern::literal("\n"));
        f.fail(p, Pattern::label(kLabelRegister));
        if (c == '!')
            f.fail(p + 1);
        else
            f.fail(p, Pattern::label(kLabelWord));
        f.fail(begin, Pattern::end_of_input());
        const std::size_t at = f.position();
        if (at >= size()) return LexError{Span{size(), size()}, f.reason(std::nullopt)};
        std::size_t len = 0;
        std::string shown;
        append_utf8(shown, decode_at(at, len));
        return LexError{Span{at, at + len}, f.reason(shown)};
    }

    std::string_view s_;
    std::map<std::string_view, Entry> words_;
    TokenStore* store_ = nullptr;
    std::vector<LexError> errors_;
};

inline void reference_lex(std::string_view src, ReferenceOutput& out) { ReferenceLexer(src).run(out); }

}  // namespace keinstr::test
