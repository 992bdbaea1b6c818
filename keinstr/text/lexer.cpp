// The token rules of the lexer (the token model is described in lexer.hpp).
//
// This file is the grammar of tokens: character classes, the rule a token's
// first byte selects, spacing, words, registers, numerals, strings and the
// finding that ends a run. The machinery beneath the rules lives beside it:
// byte_scan.hpp tests sixteen source bytes at once (SSE2, or a portable
// two-word form), and word_table.{hpp,cpp} classifies a word by one probe of a
// perfect hash.
//
// Checked and unchecked forms. The hot rules (`token`, `plain_word`,
// `register_name`, `newline_run`, `numeral`, `skip_spacing`) are each one body
// instantiated twice on `kChecked`: unchecked for a token that begins at least
// `kSlack` bytes before the end of the source, where the usual forms are read
// without a test for the end at every byte, and checked (`token_near_end`)
// within the last `kSlack` bytes. What their fast paths do not settle goes to
// the general rules out of line (`word`, `fraction`, `general_numeral`,
// `string_literal`, ...), which always check.
//
// The oracle: tests/keinstr/lexer/differential_test.cpp holds this lexer to a
// plain character-at-a-time walk of the same rules (reference_lexer.hpp), with
// each source in a buffer of exactly its size and every token in turn ending
// at its end.
#include "keinstr/text/lexer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "keinstr/text/byte_scan.hpp"
#include "keinstr/text/expected.hpp"
#include "keinstr/text/numeral.hpp"
#include "keinstr/text/word_table.hpp"
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
inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The token rule a token's first byte selects. Digits always begin a numeral (a
// numeral is tried before a word, and a run of digits is one); a sign may. A
// word begins with an ASCII identifier character (`Word`), a "!" (`MetaWord`)
// or, possibly, a non-ASCII character (`OtherWord`). Other ASCII bytes start no
// token at all.
enum class Start : std::uint8_t { None, Word, MetaWord, OtherWord, Numeral, Punct, Newline, Register, String };

// The one-character punctuation tokens.
constexpr std::pair<char, TokenDiscriminants> kPuncts[] = {
    {'(', TokenDiscriminants::LParen}, {')', TokenDiscriminants::RParen},   {'{', TokenDiscriminants::LBrace},
    {'}', TokenDiscriminants::RBrace}, {'[', TokenDiscriminants::LBracket}, {']', TokenDiscriminants::RBracket},
    {'<', TokenDiscriminants::LAngle}, {'>', TokenDiscriminants::RAngle},   {',', TokenDiscriminants::Comma},
    {':', TokenDiscriminants::Colon},  {'=', TokenDiscriminants::Equals},
};

constexpr std::array<Start, 256> make_starts() {
    std::array<Start, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const std::uint8_t k = kAscii[c];
        if (k & kNumeralStart)
            t[c] = Start::Numeral;
        else if (k & kIdent)
            t[c] = Start::Word;
        else if (c >= 0x80)
            t[c] = Start::OtherWord;
    }
    for (const auto& [c, kind] : kPuncts) t[static_cast<unsigned char>(c)] = Start::Punct;
    t['\n'] = Start::Newline;
    t['%'] = Start::Register;
    t['"'] = Start::String;
    t['!'] = Start::MetaWord;
    return t;
}
constexpr std::array<Start, 256> kStarts = make_starts();

constexpr std::array<TokenDiscriminants, 256> make_punct_kinds() {
    std::array<TokenDiscriminants, 256> t{};
    for (const auto& [c, kind] : kPuncts) t[static_cast<unsigned char>(c)] = kind;
    return t;
}
constexpr std::array<TokenDiscriminants, 256> kPunctKinds = make_punct_kinds();

// --- the scanner --------------------------------------------------------------------

// Returned by token rules that do not match.
constexpr std::size_t kNoToken = static_cast<std::size_t>(-1);

// A token that begins at least this many bytes before the end of the source
// is read without checking for the end at every byte: the fast paths for its
// usual forms read at most 22 bytes from where it begins (a numeral of 19
// digits after its sign, the byte after it and one of spacing), and leave
// longer forms to the checked rules.
constexpr std::size_t kSlack = 32;

class Scanner {
public:
    Scanner(std::string_view src, TokenStore& store)
        : s_(src), words_(word_table()), store_(&store), pos_(skip_spacing(0)) {}

    // Lexes up to `cap` further tokens into `out` (and, when `kSpans`, their
    // spans into `spans`); how many. Fewer than asked only when the run has
    // ended: at the end of the source, or at a character that starts no token,
    // whose finding is then recorded.
    template <bool kSpans>
    std::size_t fill(Token* out, Span* spans, std::size_t cap) {
        if (stopped_) return 0;
        // The source is read through locals, which stores into the tokens
        // cannot change.
        const char* const d = s_.data();
        const std::size_t n = size();
        const std::size_t unchecked_end = n > kSlack ? n - kSlack : 0;
        // Each token's span begins where the previous one ended, which is where
        // the next token begins: only the first token of the run has spacing
        // before it, which the constructor skipped.
        std::size_t p = pos_;
        Token* t = out;
        Token* const t_end = out + cap;
        // Where the span of the token at p begins.
        const auto span_start = [&] { return first_ && t == out ? 0 : p; };
        for (; t != t_end; ++t) {
            std::size_t e;
            if (p < unchecked_end) [[likely]] {
                e = token<false>(d, n, p, *t);
            } else if (p < n) {
                e = token_near_end(p, *t);
            } else {
                // Spacing alone is read only together with a token.
                if (span_start() < n) fail(span_start());
                break;
            }
            if (e == kNoToken) [[unlikely]] {
                fail(span_start());
                break;
            }
            if constexpr (kSpans) spans[t - out] = Span{span_start(), e};
            p = e;
        }
        if (t != out) first_ = false;
        pos_ = p;
        return static_cast<std::size_t>(t - out);
    }

    std::vector<LexError> take_errors() noexcept { return std::move(errors_); }

    LexOutput run(TokenList list) {
        // Typical sources hold a token every three to four bytes; reserving
        // for one every three leaves room without touching the unused part.
        const std::size_t estimate = s_.size() / 3 + 16;
        list.tokens.reserve(estimate);
        list.spans.reserve(estimate);
        for (;;) {
            // Batches fill the reserved room, and grow the lists beyond it
            // only once it is full (the estimate was short).
            const std::size_t have = list.tokens.size();
            std::size_t room = std::min<std::size_t>(list.tokens.capacity() - have, 4096);
            if (room == 0) room = 4096;
            list.tokens.resize(have + room);
            list.spans.resize(have + room);
            const std::size_t got = fill<true>(list.tokens.data() + have, list.spans.data() + have, room);
            list.tokens.resize(have + got);
            list.spans.resize(have + got);
            if (got < room) break;
        }
        if (stopped_) return LexOutput{std::nullopt, std::move(errors_)};
        return LexOutput{std::move(list), std::move(errors_)};
    }

private:
    std::size_t size() const noexcept { return s_.size(); }

    // The attempt that began at `begin` (before its spacing) matched no token:
    // the run ends with its finding.
    [[gnu::noinline, gnu::cold]] void fail(std::size_t begin) {
        errors_.push_back(syntax_error(begin));
        stopped_ = true;
    }

    // Decodes the character at p; `len` receives its byte length.
    char32_t decode_at(std::size_t p, std::size_t& len) const noexcept {
        std::size_t q = p;
        char32_t c = decode_utf8(s_, q);
        len = q - p;
        return c;
    }

    // Blanks and comments from p. Between tokens there is mostly nothing or a
    // single space: those are settled here, the rest out of line. Unless
    // `kChecked`, the two bytes at p must lie in the source.
    template <bool kChecked = true>
    [[gnu::always_inline]] std::size_t skip_spacing(const char* d, std::size_t n, std::size_t p) const noexcept {
        if ((kChecked && p >= n) || !(cls(d[p]) & kMaySpace)) return p;
        if (d[p] == ' ' && (!kChecked || p + 1 < n) && !(cls(d[p + 1]) & kMaySpace)) return p + 1;
        return skip_spacing_run(p);
    }
    std::size_t skip_spacing(std::size_t p) const noexcept { return skip_spacing(s_.data(), size(), p); }

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

    // Identifier characters (and "." when `dots`) from p: a block at a time
    // while ASCII, the rest of the source and other characters one at a time.
    [[gnu::always_inline]] std::size_t scan_ident(std::size_t p, bool dots = false) const noexcept {
        const char* d = s_.data();
        const std::size_t n = size();
        while (n - p >= 16) {
            const Block16 b(d + p);
            const unsigned stops = ~(b.ident() | (dots ? b.equal('.') : 0u)) & 0xFFFFu;
            if (stops == 0) {
                p += 16;
                continue;
            }
            p += static_cast<std::size_t>(std::countr_zero(stops));
            if (!(b.high() & stops & (0u - stops))) return p;
            break;  // at a non-ASCII byte
        }
        return scan_ident_tail(p, dots);
    }

    [[gnu::noinline]] std::size_t scan_ident_tail(std::size_t p, bool dots) const noexcept {
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

    // The source text [p, q) (p <= q <= size()).
    std::string_view text(std::size_t p, std::size_t q) const noexcept { return {s_.data() + p, q - p}; }

    bool all_digits(std::size_t p, std::size_t q) const noexcept {
        for (; p < q; ++p)
            if (!is_digit(s_[p])) return false;
        return true;
    }

    void record(std::size_t start, std::size_t end, std::string message) {
        errors_.push_back(LexError{Span{start, end}, std::move(message)});
    }

    // One token at p (which lies in the source) into `t`: the end of the token
    // and the spacing after it, or kNoToken when no token rule matches. The
    // usual kinds are told apart by tests in the order of their frequency,
    // which the processor predicts better than one jump by a table. Unless
    // `kChecked`, p lies at least `kSlack` bytes before the end.
    template <bool kChecked>
    [[gnu::always_inline]] std::size_t token(const char* d, std::size_t n, std::size_t p, Token& t) {
        const auto c = static_cast<unsigned char>(d[p]);
        const Start start = kStarts[c];
        if (start == Start::Punct) {
            t = Token::simple(kPunctKinds[c]);
            return skip_spacing<kChecked>(d, n, p + 1);
        }
        if (start == Start::Word) return plain_word<kChecked>(d, n, p, t);
        if (start == Start::Register) return register_name<kChecked>(d, n, p, t);
        if (start == Start::Newline) {
            t = Token::simple(TokenDiscriminants::Newline);
            return newline_run<kChecked>(d, n, p);
        }
        if (start == Start::Numeral) return numeral<kChecked>(d, n, p, t);
        return rare_token(p, start, t);
    }

    // A token in the last `kSlack` bytes of the source.
    [[gnu::noinline]] std::size_t token_near_end(std::size_t p, Token& t) {
        return token<true>(s_.data(), size(), p, t);
    }

    // A register at p: "%", then identifier characters and ".". One block
    // settles a name that is ASCII and ends within it.
    template <bool kChecked>
    [[gnu::always_inline]] std::size_t register_name(const char* d, std::size_t n, std::size_t p, Token& t) {
        const std::size_t first = p + 1;
        if (!kChecked || n - first >= 16) {
            const Block16 b(d + first);
            const unsigned stops = ~(b.ident() | b.equal('.')) & 0xFFFFu;
            const std::size_t q = first + static_cast<std::size_t>(std::countr_zero(stops));
            if (stops != 0 && is_ascii(d[q])) {
                t = Token::register_name({d + first, q - first});
                return skip_spacing<kChecked>(d, n, q);  // q + 2 <= p + 18
            }
        }
        const std::size_t q = scan_ident(first, true);
        t = Token::register_name(text(first, q));
        return skip_spacing(q);
    }

    // Meta words, words that begin with a non-ASCII character, and string
    // literals; no token at a byte that starts none.
    [[gnu::noinline]] std::size_t rare_token(std::size_t p, Start start, Token& t) {
        std::size_t q = kNoToken;
        switch (start) {
            case Start::MetaWord: q = word(p, p + 1, t, true); break;
            case Start::OtherWord: q = word(p, p, t, false); break;
            case Start::String: q = string_literal(p, t); break;
            default: break;
        }
        return q == kNoToken ? q : skip_spacing(q);
    }

    // One or more of (spacing, line feed, spacing), starting at a line feed.
    // Indentation by spaces is skipped here, other spacing out of line.
    template <bool kChecked>
    [[gnu::always_inline]] std::size_t newline_run(const char* d, std::size_t n, std::size_t p) const noexcept {
        std::size_t q = p + 1;
        if constexpr (!kChecked) {
            // Up to seven spaces of indentation, then a token: one load
            // settles them (q + 8 <= p + 9).
            const std::uint64_t x = load8(d + q) ^ 0x2020'2020'2020'2020ull;
            if (x != 0) {
                const std::size_t r = q + static_cast<std::size_t>(std::countr_zero(x)) / 8;
                if (!(cls(d[r]) & kMaySpace) && d[r] != '\n') return r;
            }
        }
        for (;;) {
            while (q < n && d[q] == ' ') ++q;
            if (q < n && (cls(d[q]) & kMaySpace)) q = skip_spacing_run(q);
            if (q >= n || d[q] != '\n') return q;
            ++q;
        }
    }

    // A numeral at p (a digit or a sign). A decimal integer of at most 18
    // digits that no letter, digit, "_" or "." follows is converted here, a
    // fraction by `fraction`; every other literal, and a sign without digits,
    // goes to the general rules.
    template <bool kChecked>
    [[gnu::always_inline]] std::size_t numeral(const char* d, std::size_t n, std::size_t p, Token& t) {
        const std::size_t first = p + (d[p] == '+' || d[p] == '-');
        std::size_t e = first;
        std::uint64_t v = 0;
        // At most 19 digits: unchecked, e stays below p + 21.
        const std::size_t limit = kChecked ? std::min(first + 19, n) : first + 19;
        for (unsigned digit; e < limit && (digit = static_cast<unsigned char>(d[e]) - unsigned{'0'}) < 10; ++e)
            v = v * 10 + digit;
        if (e > first && e - first <= 18 && ((kChecked && e >= n) || !(cls(d[e]) & (kIdent | kDot)))) {
            const auto value = static_cast<std::int64_t>(v);
            t = Token::number(d[p] == '-' ? -value : value);
            return skip_spacing<kChecked>(d, n, e);
        }
        const std::size_t q =
            e > first && (!kChecked || e < n) && d[e] == '.' ? fraction(p, first, e, t) : general_numeral(p, t);
        return q == kNoToken ? q : skip_spacing(q);
    }

    // A numeral at p whose digits [first, point) are followed by ".": digits
    // "." digits, at most 18 digits in all, that no letter, digit, "_" or "."
    // follows (so without an exponent), is converted here as the general
    // rules would; every other literal goes to them.
    [[gnu::noinline]] std::size_t fraction(std::size_t p, std::size_t first, std::size_t point, Token& t) {
        const char* d = s_.data();
        const std::size_t n = size();
        std::size_t e = point + 1;
        while (e < n && is_digit(d[e])) ++e;
        const std::size_t fraction_digits = e - point - 1;
        if (fraction_digits == 0 || (point - first) + fraction_digits > 18 || (e < n && (cls(d[e]) & (kIdent | kDot))))
            return general_numeral(p, t);
        std::int64_t mantissa = 0;  // below 10^18
        for (std::size_t i = first; i < e; ++i)
            if (i != point) mantissa = mantissa * 10 + (d[i] - '0');
        t = store_->decimal(
            Decimal(BigInt(d[p] == '-' ? -mantissa : mantissa), static_cast<std::int64_t>(fraction_digits)));
        return e;
    }

    [[gnu::noinline]] std::size_t general_numeral(std::size_t p, Token& t) {
        const std::optional<NumeralMatch> m = match_numeral(s_, p);
        if (!m) return kNoToken;
        const std::string_view literal = s_.substr(p, m->end - p);
        std::optional<std::string> error;
        t = numeral_token(literal, m->form, *store_, error);
        if (error) record(p, m->end, std::move(*error));
        return m->end;
    }

    [[gnu::noinline]] std::size_t string_literal(std::size_t p, Token& t) {
        std::size_t i = p + 1;
        // Fast path: no escape before the closing quote.
        while (i < size() && s_[i] != '"' && s_[i] != '\\') ++i;
        if (i >= size()) return kNoToken;
        if (s_[i] == '"') {
            t = Token::string_literal(s_.substr(p + 1, i - p - 1));
            return i + 1;
        }
        std::string resolved(s_.substr(p + 1, i - p - 1));
        while (i < size()) {
            const char c = s_[i];
            if (c == '"') {
                t = store_->string_literal(std::move(resolved));
                return i + 1;
            }
            if (c != '\\') {
                resolved += c;
                ++i;
                continue;
            }
            if (i + 1 >= size()) return kNoToken;
            const char e = s_[i + 1];
            if (is_ascii(e)) {
                resolved += e == 't' ? '\t' : e == 'r' ? '\r' : e == 'n' ? '\n' : e;
                i += 2;
            } else {
                std::size_t len = 0;
                decode_at(i + 1, len);
                resolved.append(s_.substr(i + 1, len));
                i += 1 + len;
            }
        }
        return kNoToken;
    }

    // A word at p: an optional "!" (`bang`), identifier characters from
    // `head_start` (after the "!"), then its variant list (every "." and
    // identifier character that follows). The end of the word, without the
    // spacing after it.
    [[gnu::noinline]] std::size_t word(std::size_t p, std::size_t head_start, Token& t, bool bang) {
        const std::size_t head_end = scan_ident(head_start);
        if (head_end == head_start) return kNoToken;
        std::size_t end = head_end;
        if (end < size() && s_[end] == '.') end = scan_ident(end + 1, true);
        const std::size_t len = head_end - p;
        const WordEntry* e =
            len <= WordTable::kMaxLen ? words_.find(WordTable::key(s_.data() + p, len, size() - p)) : nullptr;
        classify(s_.data(), p, head_end, end, e, bang, t);
        return end;
    }

    // A word at p without "!" (so p holds an identifier character), and the
    // spacing after it. One block settles a word that is ASCII and ends within
    // it: the head ends at the first ".", the variant list at the first byte
    // that is neither "." nor an identifier character.
    template <bool kChecked>
    [[gnu::always_inline]] std::size_t plain_word(const char* d, std::size_t n, std::size_t p, Token& t) {
        if (!kChecked || n - p >= 16) {
            const Block16 b(d + p);
            const unsigned dots = b.equal('.');
            const unsigned stops = ~(b.ident() | dots) & 0xFFFFu;
            const unsigned first_stop = stops & (0u - stops);
            if (stops != 0 && !(b.high() & first_stop)) {
                const unsigned head_dots = dots & (first_stop - 1);
                const std::size_t end = p + static_cast<std::size_t>(std::countr_zero(stops));
                const std::size_t head_end =
                    head_dots ? p + static_cast<std::size_t>(std::countr_zero(head_dots)) : end;
                const WordEntry* e = words_.find(WordTable::short_key(b.prefix(head_end - p)));
                classify(d, p, head_end, end, e, false, t);
                return skip_spacing<kChecked>(d, n, end);  // end + 2 <= p + 17
            }
        }
        // Matches: p holds an identifier character.
        return skip_spacing(word(p, p, t, false));
    }

    // Word classification: the word is [p, head_end) with its "!" (`bang`),
    // the variant list [head_end, end); `e` is the word's table entry.
    [[gnu::always_inline]] void classify(const char* d, std::size_t p, std::size_t head_end, std::size_t end,
                                         const WordEntry* e, bool bang, Token& t) {
        const std::size_t len = head_end - p;
        const bool has_variants = end != head_end;
        if (e) {
            if (!has_variants && !bang) {
                if (e->kind == WordKind::InstrOp)
                    t = Token::instr_op(static_cast<KeInstrOp>(e->value), {d + head_end, 0});
                else
                    t = e->plain;
                return;
            }
            // With variants or a "!" before it, only these kinds keep their meaning.
            switch (e->kind) {
                case WordKind::Visibility:
                    if (bang) break;
                    t = Token::visibility(static_cast<Visibility>(e->value));
                    if (has_variants) variant_error("visibility", p, head_end, end);
                    return;
                case WordKind::CallingConvention:
                    if (bang) break;
                    t = Token::calling_convention(CallingConvention(static_cast<CallingConventionKind>(e->value)));
                    if (has_variants) variant_error("calling convention", p, head_end, end);
                    return;
                case WordKind::InstrOp:
                    t = Token::instr_op(static_cast<KeInstrOp>(e->value), text(head_end, end));
                    return;
                case WordKind::TerminatorOp:
                    t = Token::terminator_op(static_cast<KeTerminatorOp>(e->value));
                    if (has_variants) variant_error("terminator operation", p, head_end, end);
                    return;
                default: break;
            }
        } else if (!bang && len >= 3 && d[p] == 'c' && d[p + 1] == 'c') {
            if (numbered_calling_convention(p, head_end, end, t)) return;
        }
        if (bang) {
            t = Token::meta_identifier({d + p + 1, end - p - 1});
        } else if (has_variants) {
            t = Token::identifier({d + p, end - p});
        } else if (d[p] == 'i' && all_digits(p + 1, head_end)) {
            integer_type(p, end, t);
        } else {
            t = Token::identifier({d + p, head_end - p});
        }
    }

    [[gnu::noinline]] bool numbered_calling_convention(std::size_t p, std::size_t head_end, std::size_t end, Token& t) {
        const std::optional<CallingConvention> cc = CallingConvention::from_str(s_.substr(p, head_end - p));
        if (!cc) return false;
        t = Token::calling_convention(*cc);
        if (end != head_end) variant_error("calling convention", p, head_end, end);
        return true;
    }

    [[gnu::noinline, gnu::cold]] void variant_error(std::string_view what, std::size_t p, std::size_t head_end,
                                                    std::size_t end) {
        record(p, end,
               fmt::format("{} '{}' does not take any variants, but variants were provided", what,
                           s_.substr(p, head_end - p)));
    }

    // "i" followed by decimal digits (possibly none), without variants: the
    // word is [p, end). Widths of up to nine digits are settled here.
    [[gnu::always_inline]] void integer_type(std::size_t p, std::size_t end, Token& t) {
        const std::string_view digits = text(p + 1, end);
        if (!digits.empty() && digits.size() <= 9) {
            std::uint32_t width = 0;  // below 10^9: no overflow
            for (char c : digits) width = width * 10 + static_cast<std::uint32_t>(c - '0');
            if (width >= 1 && width <= IType::kMaxBits) {
                t = Token::itype(width);
                return;
            }
        }
        any_integer_type(p, end, t);
    }

    [[gnu::noinline]] void any_integer_type(std::size_t p, std::size_t end, Token& t) {
        const std::string_view w = s_.substr(p, end - p);
        const std::string_view digits = w.substr(1);
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
            t = Token::itype(static_cast<std::uint32_t>(width));
            return;
        }
        t = Token::identifier(w);
    }

    // --- the finding that ends a run ---------------------------------------------
    //
    // Replays the failed attempt that began at `begin` through every alternative,
    // keeping the furthest failure (see expected.hpp). Nothing was recorded
    // during the attempt itself: a token rule records findings only once it has
    // matched, and an attempt whose token matched cannot fail.
    LexError syntax_error(std::size_t begin) const {
        static constexpr std::array<std::string_view, 11> kPunct{"(", ")", "{", "}", "[", "]", "<", ">", ",", ":", "="};
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
    std::size_t pos_ = 0;  // where the next token begins
    bool first_ = true;    // no token has been read yet
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
        source_bytes_ = source.size();
    }
}

IncrementalLexer::~IncrementalLexer() = default;

std::size_t IncrementalLexer::next(std::span<Token> out) {
    if (!impl_) return 0;
    return impl_->scanner.fill<false>(out.data(), nullptr, out.size());
}

std::vector<LexError> IncrementalLexer::finish() {
    if (!impl_) return std::move(refused_);
    std::array<Token, 256> dropped;
    while (impl_->scanner.fill<false>(dropped.data(), nullptr, dropped.size()) == dropped.size()) {
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
