#include "keinstr/modules/parser/lexer.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "keinstr/modules/parser/expected.hpp"
#include "keinstr/modules/parser/numeral.hpp"
#include "keinstr/utils/debug_str.hpp"
#include "keinstr/utils/unicode_tables.hpp"

namespace keinstr {

namespace {

// --- character classes ------------------------------------------------------------

enum : std::uint8_t { kIdent = 1, kBlank = 2, kNumeralStart = 4, kDot = 8, kMaySpace = 16 };

constexpr std::array<std::uint8_t, 256> make_ascii_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 'a'; c <= 'z'; ++c) t[c] |= kIdent;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] |= kIdent;
    for (int c = '0'; c <= '9'; ++c) t[c] |= kIdent | kNumeralStart;
    t['_'] |= kIdent;
    t['.'] |= kDot;
    t['+'] |= kNumeralStart;
    t['-'] |= kNumeralStart;
    // White_Space in ASCII, less the line feed.
    for (int c : {'\t', '\v', '\f', '\r', ' '}) t[c] |= kBlank;
    // Bytes that may begin spacing: blanks, comments, and non-ASCII bytes (which
    // may be Unicode blanks).
    for (int c = 0; c < 256; ++c)
        if ((t[c] & kBlank) || c == ';' || c >= 0x80) t[c] |= kMaySpace;
    return t;
}
constexpr std::array<std::uint8_t, 256> kAscii = make_ascii_classes();

inline std::uint8_t cls(char c) noexcept { return kAscii[static_cast<unsigned char>(c)]; }
inline bool is_ascii(char c) noexcept { return static_cast<unsigned char>(c) < 0x80; }

// --- word classification table -----------------------------------------------------

enum class WordKind : std::uint8_t { Import, Void, Visibility, CallingConvention, InstrOp, TerminatorOp, FType, Ordering };

struct WordEntry {
    std::string_view word;
    WordKind kind{};
    std::uint8_t value = 0;
};

// The reserved words of fixed spelling, by hash with linear probing. Words that
// are longer than every reserved word are never looked up.
class WordTable {
public:
    static constexpr std::size_t kSlots = 256;

    WordTable() {
        add("import", WordKind::Import, 0);
        add("void", WordKind::Void, 0);
        for (Visibility v : enum_values<Visibility>) add(word(v), WordKind::Visibility, enum_index(v));
        for (std::size_t i = 0; i < kNamedCallingConventionCount; ++i)
            add(kCallingConventionTexts[i], WordKind::CallingConvention, i);
        for (KeInstrOp op : enum_values<KeInstrOp>) add(word(op), WordKind::InstrOp, enum_index(op));
        for (KeTerminatorOp op : enum_values<KeTerminatorOp>) add(word(op), WordKind::TerminatorOp, enum_index(op));
        for (std::size_t i = 0; i < kFTypeCount; ++i) {
            auto f = static_cast<FType>(i);
            add(ftype_text(f), WordKind::FType, i);
        }
        for (MemoryOrdering o : enum_values<MemoryOrdering>) add(word(o), WordKind::Ordering, enum_index(o));
    }

    const WordEntry* find(std::string_view w) const noexcept {
        if (w.size() > kMaxLen || w.empty() || !(first_by_len_[w.size()] & bit(w[0]))) return nullptr;
        for (std::size_t i = hash(w);; i = (i + 1) % kSlots) {
            const WordEntry& e = slots_[i];
            if (e.word.empty()) return nullptr;
            if (e.word == w) return &e;
        }
    }

private:
    // Reserved words differ early, late or in length; mixing those is enough.
    static std::size_t hash(std::string_view w) noexcept {
        const auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(w[i])); };
        const std::uint32_t h = static_cast<std::uint32_t>(w.size()) * 0x9E3779B1u ^ b(0) * 0x85EBCA77u ^
                                b(w.size() - 1) * 0xC2B2AE3Du ^ b(w.size() / 2) * 0x27D4EB2Fu ^
                                b(w.size() > 1 ? 1 : 0) * 0x165667B1u;
        return (h ^ (h >> 16)) % kSlots;
    }

    // Bit of a word's first byte in `first_by_len_` (bytes fold onto 64 bits).
    static std::uint64_t bit(char c) noexcept { return std::uint64_t{1} << (static_cast<unsigned char>(c) & 63); }

    void add(std::string_view w, WordKind k, std::size_t value) {
        if (w.empty() || w.size() > kMaxLen) throw std::logic_error("reserved word of unexpected length");
        first_by_len_[w.size()] |= bit(w[0]);
        std::size_t i = hash(w);
        while (!slots_[i].word.empty()) {
            if (slots_[i].word == w) return;  // the first classification step that takes a word wins
            i = (i + 1) % kSlots;
        }
        slots_[i] = WordEntry{w, k, static_cast<std::uint8_t>(value)};
    }

    static constexpr std::size_t kMaxLen = 24;
    std::array<WordEntry, kSlots> slots_{};
    std::array<std::uint64_t, kMaxLen + 1> first_by_len_{};
};

const WordTable& word_table() {
    static const WordTable table;
    return table;
}

// --- the scanner --------------------------------------------------------------------

class Scanner {
public:
    Scanner(std::string_view src, TokenStore& store) : s_(src), words_(word_table()), store_(&store) {}

    // The next token of the run into `slot` and its span into `span`; false when
    // the run has ended (at the end of the source, or at a character that
    // starts no token, whose finding is then recorded).
    bool next(Token& slot, Span& span) {
        if (pos_ >= s_.size() || stopped_) return false;
        const std::size_t begin = pos_;
        const std::size_t p = skip_spacing(pos_);
        std::size_t q = 0;
        slot_ = &slot;
        if (!token(p, q)) {
            // The attempt gives back its spacing; the source is not at its end.
            errors_.push_back(syntax_error(begin));
            stopped_ = true;
            return false;
        }
        pos_ = skip_spacing(q);
        span = Span{begin, pos_};
        return true;
    }

    // True when the run ended before the end of the source.
    bool stopped() const noexcept { return stopped_; }
    std::vector<LexError> take_errors() noexcept { return std::move(errors_); }

    LexOutput run(TokenList list) {
        // Typical sources hold a token every three to four bytes; reserving
        // for one every three leaves room without touching the unused part.
        const std::size_t estimate = s_.size() / 3 + 16;
        list.tokens.reserve(estimate);
        list.spans.reserve(estimate);
        for (;;) {
            Token& slot = list.tokens.emplace_back();
            Span span;
            if (!next(slot, span)) {
                list.tokens.pop_back();
                break;
            }
            list.spans.push_back(span);
        }
        if (stopped_) return LexOutput{std::nullopt, std::move(errors_)};
        return LexOutput{std::move(list), std::move(errors_)};
    }

private:
    std::size_t size() const noexcept { return s_.size(); }

    // Decodes the character at p; `len` receives its byte length.
    char32_t decode_at(std::size_t p, std::size_t& len) const noexcept {
        std::size_t q = p;
        char32_t c = decode_utf8(s_, q);
        len = q - p;
        return c;
    }

    // Blanks and comments from p. Between tokens there is mostly nothing or a
    // single space: those are settled here, the rest out of line.
    std::size_t skip_spacing(std::size_t p) const noexcept {
        const char* d = s_.data();
        const std::size_t n = size();
        if (p >= n || !(cls(d[p]) & kMaySpace)) return p;
        if (d[p] == ' ' && p + 1 < n && !(cls(d[p + 1]) & kMaySpace)) return p + 1;
        return skip_spacing_run(p);
    }

    [[gnu::noinline]] std::size_t skip_spacing_run(std::size_t p) const noexcept {
        const char* d = s_.data();
        const std::size_t n = size();
        while (p < n) {
            const char c = d[p];
            if (cls(c) & kBlank) {
                ++p;
            } else if (c == ';') {
                const void* nl = std::memchr(d + p, '\n', n - p);
                p = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - d) : n;
            } else if (is_ascii(c)) {
                return p;
            } else {
                const std::size_t q = skip_unicode_blank(p);
                if (q == p) return p;
                p = q;
            }
        }
        return p;
    }

    // Non-ASCII blanks from p (never a line feed).
    [[gnu::noinline]] std::size_t skip_unicode_blank(std::size_t p) const noexcept {
        while (p < size() && !is_ascii(s_[p])) {
            std::size_t len = 0;
            if (!is_white_space(decode_at(p, len))) return p;
            p += len;
        }
        return p;
    }

    // Identifier characters (and "." when `dots`) from p. ASCII runs stay in
    // this loop; other characters are decoded out of line.
    std::size_t scan_ident(std::size_t p, bool dots = false) const noexcept {
        const std::uint8_t mask = dots ? (kIdent | kDot) : kIdent;
        const char* d = s_.data();
        const std::size_t n = size();
        while (p < n) {
            const char c = d[p];
            if (cls(c) & mask) {
                ++p;
                continue;
            }
            if (is_ascii(c)) return p;
            const std::size_t q = skip_unicode_ident(p);
            if (q == p) return p;
            p = q;
        }
        return p;
    }

    // Non-ASCII identifier characters from p.
    [[gnu::noinline]] std::size_t skip_unicode_ident(std::size_t p) const noexcept {
        while (p < size() && !is_ascii(s_[p])) {
            std::size_t len = 0;
            if (!is_xid_continue(decode_at(p, len))) return p;
            p += len;
        }
        return p;
    }

    // The token of the rule that matched, written into the slot `run` opened.
    void push(Token t) { *slot_ = t; }

    void record(std::size_t start, std::size_t end, std::string message) {
        errors_.push_back(LexError{Span{start, end}, std::move(message)});
    }

    // One token rule at p; on success pushes the token and sets q to its end.
    bool token(std::size_t p, std::size_t& q) {
        if (p >= size()) return false;
        const char c = s_[p];
        if (cls(c) & kNumeralStart) {
            if (auto m = match_numeral(s_, p)) {
                numeral(p, *m);
                q = m->end;
                return true;
            }
            if (c == '+' || c == '-') return false;
        }
        switch (c) {
            case '"': return string_literal(p, q);
            case '(': return simple(TokenDiscriminants::LParen, p, q);
            case ')': return simple(TokenDiscriminants::RParen, p, q);
            case '{': return simple(TokenDiscriminants::LBrace, p, q);
            case '}': return simple(TokenDiscriminants::RBrace, p, q);
            case '[': return simple(TokenDiscriminants::LBracket, p, q);
            case ']': return simple(TokenDiscriminants::RBracket, p, q);
            case '<': return simple(TokenDiscriminants::LAngle, p, q);
            case '>': return simple(TokenDiscriminants::RAngle, p, q);
            case ',': return simple(TokenDiscriminants::Comma, p, q);
            case ':': return simple(TokenDiscriminants::Colon, p, q);
            case '=': return simple(TokenDiscriminants::Equals, p, q);
            case '\n': q = newline_run(p); return true;
            case '%': {
                q = scan_ident(p + 1, true);
                push(Token::register_name(s_.substr(p + 1, q - p - 1)));
                return true;
            }
            default: return word(p, q);
        }
    }

    bool simple(TokenDiscriminants k, std::size_t p, std::size_t& q) {
        push(Token::simple(k));
        q = p + 1;
        return true;
    }

    // One or more of (spacing, line feed, spacing), starting at a line feed.
    std::size_t newline_run(std::size_t p) {
        std::size_t q = p + 1;
        for (;;) {
            const std::size_t r = skip_spacing(q);
            if (r < size() && s_[r] == '\n') {
                q = r + 1;
            } else {
                q = r;
                break;
            }
        }
        push(Token::simple(TokenDiscriminants::Newline));
        return q;
    }

    void numeral(std::size_t p, const NumeralMatch& m) {
        const std::string_view literal = s_.substr(p, m.end - p);
        std::optional<std::string> error;
        push(numeral_token(literal, m.form, *store_, error));
        if (error) record(p, m.end, std::move(*error));
    }

    bool string_literal(std::size_t p, std::size_t& q) {
        std::size_t i = p + 1;
        // Fast path: no escape before the closing quote.
        while (i < size() && s_[i] != '"' && s_[i] != '\\') ++i;
        if (i >= size()) return false;
        if (s_[i] == '"') {
            push(Token::string_literal(s_.substr(p + 1, i - p - 1)));
            q = i + 1;
            return true;
        }
        std::string text(s_.substr(p + 1, i - p - 1));
        while (i < size()) {
            const char c = s_[i];
            if (c == '"') {
                push(store_->string_literal(std::move(text)));
                q = i + 1;
                return true;
            }
            if (c != '\\') {
                text += c;
                ++i;
                continue;
            }
            if (i + 1 >= size()) return false;
            const char e = s_[i + 1];
            if (is_ascii(e)) {
                text += e == 't' ? '\t' : e == 'r' ? '\r' : e == 'n' ? '\n' : e;
                i += 2;
            } else {
                std::size_t len = 0;
                decode_at(i + 1, len);
                text.append(s_.substr(i + 1, len));
                i += 1 + len;
            }
        }
        return false;
    }

    bool word(std::size_t p, std::size_t& q) {
        std::size_t h = p;
        if (s_[h] == '!') ++h;
        const std::size_t head_start = h;
        h = scan_ident(h);
        if (h == head_start) return false;
        const std::size_t head_end = h;
        while (h < size() && s_[h] == '.') h = scan_ident(h + 1);
        classify(p, head_end, h);
        q = h;
        return true;
    }

    // Word classification: the word is [p, head_end) with its "!", the variant
    // list [head_end, end).
    void classify(std::size_t p, std::size_t head_end, std::size_t end) {
        const std::string_view w = s_.substr(p, head_end - p);
        const std::string_view variants = s_.substr(head_end, end - head_end);
        const bool has_variants = !variants.empty();
        const bool bang = w[0] == '!';
        const WordEntry* e = words_.find(w);
        const WordKind k = e ? e->kind : WordKind::Import;
        const auto variant_error = [&](std::string_view what) {
            if (has_variants)
                record(p, end, fmt::format("{} '{}' does not take any variants, but variants were provided", what, w));
        };

        if (!bang) {
            if (e && !has_variants && k == WordKind::Import) return push(Token::simple(TokenDiscriminants::Import));
            if (e && !has_variants && k == WordKind::Void) return push(Token::simple(TokenDiscriminants::Void));
            if (e && k == WordKind::Visibility) {
                push(Token::visibility(static_cast<Visibility>(e->value)));
                return variant_error("visibility");
            }
            if (e && k == WordKind::CallingConvention) {
                push(Token::calling_convention(CallingConvention(static_cast<CallingConventionKind>(e->value))));
                return variant_error("calling convention");
            }
            if (!e && w.size() >= 3 && w[0] == 'c' && w[1] == 'c') {
                if (auto cc = CallingConvention::from_str(w)) {
                    push(Token::calling_convention(*cc));
                    return variant_error("calling convention");
                }
            }
        }
        if (e && k == WordKind::InstrOp) return push(Token::instr_op(static_cast<KeInstrOp>(e->value), variants));
        if (e && k == WordKind::TerminatorOp) {
            push(Token::terminator_op(static_cast<KeTerminatorOp>(e->value)));
            return variant_error("terminator operation");
        }
        if (bang) return push(Token::meta_identifier(s_.substr(p + 1, end - p - 1)));
        if (has_variants) return push(Token::identifier(s_.substr(p, end - p)));
        if (e && k == WordKind::FType) return push(Token::ftype(static_cast<FType>(e->value)));
        if (e && k == WordKind::Ordering) return push(Token::ordering(static_cast<MemoryOrdering>(e->value)));
        if (w[0] == 'i') {
            const std::string_view digits = w.substr(1);
            bool all_digits = true;
            for (char c : digits) all_digits &= c >= '0' && c <= '9';
            if (all_digits) return integer_type(p, end, w, digits);
        }
        push(Token::identifier(w));
    }

    // "i" followed by decimal digits (possibly none).
    void integer_type(std::size_t p, std::size_t end, std::string_view w, std::string_view digits) {
        const char* reason = nullptr;
        std::uint64_t width = 0;
        if (digits.empty()) reason = "cannot parse integer from empty string";
        for (char c : digits) {
            width = width * 10 + static_cast<std::uint64_t>(c - '0');
            if (width > 0xFFFF'FFFFull) {
                reason = "number too large to fit in target type";
                break;
            }
        }
        if (reason) {
            record(p, end, fmt::format("invalid integer type width '{}': {}", digits, reason));
        } else if (width < 1 || width > IType::kMaxBits) {
            record(p, end,
                   fmt::format("cannot create IType with width {} (must be between {} and {})", width, 1,
                               IType::kMaxBits));
        } else {
            return push(Token::itype(static_cast<std::uint32_t>(width)));
        }
        push(Token::identifier(w));
    }

    // --- the finding that ends a run ---------------------------------------------
    //
    // Replays the failed attempt that began at `begin` through every alternative,
    // keeping the furthest failure (see expected.hpp). Nothing was recorded
    // during the attempt itself: a token rule records findings only once it has
    // matched, and an attempt whose token matched cannot fail.
    LexError syntax_error(std::size_t begin) const {
        static constexpr std::array<std::string_view, 11> kPunct{"(", ")", "{", "}", "[", "]",
                                                                  "<", ">", ",", ":", "="};
        Furthest f;
        const std::size_t p = skip_spacing(begin);
        // Spacing (after the previous token and before this one) stops here.
        f.fail(p, Pattern::label(kLabelSpacing));
        const char c = p < size() ? s_[p] : '\0';
        const bool at_end = p >= size();
        // Numeral: a sign, then no digit (the prefixed forms wanted their "0").
        if (!at_end && (c == '+' || c == '-')) {
            f.fail(p + 1);
            f.fail(p + 1, Pattern::literal("0"));
        } else {
            f.fail(p, Pattern::label(kLabelNumeral));
        }
        // String literal: unclosed, so it ran to the end of the source.
        if (!at_end && c == '"') {
            if (dangling_escape(p)) {
                f.fail(size(), Pattern::any());
            } else {
                f.fail(size(), Pattern::literal("\\"));
                f.fail(size(), Pattern::literal("\""));
            }
        } else {
            f.fail(p, Pattern::label(kLabelStringLiteral));
        }
        for (std::string_view punct : kPunct) f.fail(p, Pattern::literal(punct));
        // Run of line breaks: its own spacing, then the line feed.
        f.fail(p, Pattern::label(kLabelSpacing));
        f.fail(p, Pattern::literal("\n"));
        f.fail(p, Pattern::label(kLabelRegister));
        // Word: a "!" not followed by an identifier character.
        if (!at_end && c == '!')
            f.fail(p + 1);
        else
            f.fail(p, Pattern::label(kLabelWord));
        // The run as a whole wanted the end of the source where the attempt began.
        f.fail(begin, Pattern::end_of_input());

        const std::size_t at = f.position();
        if (at >= size()) return LexError{Span{size(), size()}, f.reason(std::nullopt)};
        std::size_t len = 0;
        const char32_t found = decode_at(at, len);
        std::string shown;
        append_utf8(shown, found);
        return LexError{Span{at, at + len}, f.reason(shown)};
    }

    // Whether the unclosed string literal at p ends in a lone backslash.
    bool dangling_escape(std::size_t p) const noexcept {
        std::size_t i = p + 1;
        while (i < size()) {
            if (s_[i] == '\\') {
                if (i + 1 >= size()) return true;
                std::size_t len = 1;
                if (!is_ascii(s_[i + 1])) decode_at(i + 1, len);
                i += 1 + len;
            } else {
                ++i;
            }
        }
        return false;
    }

    std::string_view s_;
    const WordTable& words_;
    TokenStore* store_ = nullptr;
    Token* slot_ = nullptr;
    std::size_t pos_ = 0;
    bool stopped_ = false;
    std::vector<LexError> errors_;
};

LexError too_large(std::size_t size) {
    return LexError{Span{0, 1},
                    fmt::format("source of {} bytes is too large to lex (at most {} bytes)", size, kMaxSourceBytes)};
}

}  // namespace

LexOutput lex(std::string_view source) {
    if (source.size() > kMaxSourceBytes) {
        LexOutput out;
        out.errors.push_back(too_large(source.size()));
        return out;
    }
    TokenList list;
    TokenStore& store = *list.store;
    return Scanner(source, store).run(std::move(list));
}

struct IncrementalLexer::Impl {
    explicit Impl(std::string_view source) : scanner(source, store) {}
    TokenStore store;
    Scanner scanner;
};

IncrementalLexer::IncrementalLexer(std::string_view source) {
    if (source.size() > kMaxSourceBytes) {
        refused_.push_back(too_large(source.size()));
    } else {
        impl_ = std::make_unique<Impl>(source);
    }
}

IncrementalLexer::~IncrementalLexer() = default;

std::size_t IncrementalLexer::next(std::span<Token> out) {
    if (!impl_) return 0;
    Span span;
    std::size_t n = 0;
    while (n < out.size() && impl_->scanner.next(out[n], span)) ++n;
    return n;
}

std::vector<LexError> IncrementalLexer::finish() {
    if (!impl_) return std::move(refused_);
    Token token;
    Span span;
    while (impl_->scanner.next(token, span)) {
    }
    return impl_->scanner.take_errors();
}

ParserError to_parser_error(const LexError& e) {
    return ParserError{std::nullopt, e.span.start, e.span.end, e.message};
}

std::vector<ParserError> to_parser_errors(std::span<const LexError> errors) {
    std::vector<ParserError> out;
    out.reserve(errors.size());
    for (const LexError& e : errors) out.push_back(to_parser_error(e));
    return out;
}

}  // namespace keinstr
