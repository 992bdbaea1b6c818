// Tokens of the textual IR.
//
// A `Token` is a small trivially copyable value: its kind, and a payload that
// is either an enumeration value, a view of text, or a number. Words, variant
// lists and register names are views into the source; string literals whose
// escapes had to be resolved, numbers that do not fit 64 bits and decimals
// live in a `TokenStore` beside the token list. A token is therefore valid
// while both the source text and the store it was made with are alive;
// copying a token copies the view.
//
// Variant lists are kept as their written text: the "." that follows the
// word and everything after it (".slt", ".term.reach", "." for one empty
// segment, "" for no segments). Segments never contain a ".", so two lists are
// equal exactly when these texts are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "keinstr/ir/calling_convention.hpp"
#include "keinstr/ir/enums.hpp"
#include "keinstr/text/expected.hpp"
#include "keinstr/types/types.hpp"
#include "keinstr/utils/bigint.hpp"
#include "keinstr/utils/decimal.hpp"
#include "keinstr/utils/uuid.hpp"

namespace keinstr {

// A number beyond 64 bits, with its decimal text when the lexer already has it.
struct BigNumber {
    BigInt value;
    std::string decimal_text;  // empty: render from `value`
};

// The token kinds in their fixed order: value / name, and the text of a kind
// without payload (empty for the kinds that carry one).
// clang-format off
#define KE_TOKEN_KIND_TABLE(X) \
    X(IType, "")             \
    X(FType, "")             \
    X(Ordering, "")          \
    X(Visibility, "")        \
    X(CallingConvention, "") \
    X(TerminatorOp, "")      \
    X(InstrOp, "")           \
    X(Void, "void")          \
    X(Import, "import")      \
    X(Identifier, "")        \
    X(MetaIdentifier, "")    \
    X(Uuid, "")              \
    X(Register, "")          \
    X(Number, "")            \
    X(Decimal, "")           \
    X(StringLiteral, "")     \
    X(LParen, "(")           \
    X(RParen, ")")           \
    X(LBrace, "{")           \
    X(RBrace, "}")           \
    X(LBracket, "[")         \
    X(RBracket, "]")         \
    X(LAngle, "<")           \
    X(RAngle, ">")           \
    X(Comma, ",")            \
    X(Colon, ":")            \
    X(Equals, "=")           \
    X(Newline, "\\n")
// clang-format on

// The payload-free kind of a token.
KE_DEFINE_TABLE_ENUM(TokenDiscriminants, token_kind, KE_TOKEN_KIND_TABLE)

inline constexpr std::size_t kTokenKindCount = enum_count<TokenDiscriminants>;

// "IType" .. "Newline".
std::string_view token_kind_name(TokenDiscriminants k) noexcept;
// The label of a rule that accepts any token of kind `k`: "token IType" .. "token Newline".
std::string_view token_kind_label(TokenDiscriminants k) noexcept;
inline Pattern token_kind_pattern(TokenDiscriminants k) noexcept { return Pattern::label(token_kind_label(k)); }

// Half-open range of byte offsets into the source. Offsets are kept in 32 bits
// (the lexer refuses sources of 4 GiB or more), so a token's span costs 8 bytes.
struct Span {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    constexpr Span() noexcept = default;
    // Both offsets must be below 4 GiB.
    constexpr Span(std::size_t s, std::size_t e) noexcept
        : start(static_cast<std::uint32_t>(s)), end(static_cast<std::uint32_t>(e)) {}
    constexpr bool operator==(const Span&) const = default;
};
static_assert(sizeof(Span) == 8);

// The segments of a variant list, iterated in order.
class Variants {
public:
    constexpr Variants() = default;
    // `written`: "" or the text starting at the first ".".
    constexpr explicit Variants(std::string_view written) : written_(written) {}

    // Walks the written text: `rest_` starts at the "." before the current
    // segment, and is empty at the end.
    class iterator {
    public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(std::string_view rest) : rest_(rest) {}
        std::string_view operator*() const {
            std::string_view body = rest_.substr(1);
            return body.substr(0, body.find('.'));
        }
        iterator& operator++() {
            std::size_t next = rest_.find('.', 1);
            rest_ = next == std::string_view::npos ? std::string_view{} : rest_.substr(next);
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator& o) const { return rest_.size() == o.rest_.size(); }

    private:
        std::string_view rest_;
    };

    iterator begin() const { return iterator(written_); }
    iterator end() const { return iterator(); }

    std::size_t size() const noexcept;
    bool empty() const noexcept { return written_.empty(); }
    std::string_view operator[](std::size_t i) const noexcept;  // i < size()
    std::string_view written() const noexcept { return written_; }
    // The segments joined by "." (the written text without its leading ".").
    std::string_view joined() const noexcept { return written_.empty() ? written_ : written_.substr(1); }

    bool operator==(const Variants& o) const noexcept { return written_ == o.written_; }

private:
    std::string_view written_;
};

class Token {
public:
    constexpr Token() noexcept : kind_(TokenDiscriminants::Newline), w_{nullptr, 0} {}

    // Payload-free kinds (`Void`, `Import`, punctuation, `Newline`).
    static Token simple(TokenDiscriminants k) noexcept;

    static Token itype(std::uint32_t bits) noexcept;
    static Token ftype(FType f) noexcept;
    static Token ordering(MemoryOrdering o) noexcept;
    static Token visibility(Visibility v) noexcept;
    static Token calling_convention(CallingConvention cc) noexcept;
    static Token terminator_op(KeTerminatorOp op) noexcept;
    // `variants`: "" or the written list starting with "." (".eq").
    static Token instr_op(KeInstrOp op, std::string_view variants = {}) noexcept;
    // `written`: the word with its variant list as written ("entry", "a.b.c", "a.").
    static Token identifier(std::string_view written) noexcept;
    // `written`: as for `identifier`, without the leading "!".
    static Token meta_identifier(std::string_view written) noexcept;
    static Token uuid(const Uuid& u) noexcept;
    static Token register_name(std::string_view name) noexcept;
    // A number that fits 64 bits; larger ones come from `TokenStore::number`.
    static Token number(std::int64_t value) noexcept;
    // A string literal whose text outlives the token (the store's `string_literal`
    // keeps one that must be owned).
    static Token string_literal(std::string_view text) noexcept;

    TokenDiscriminants kind() const noexcept { return kind_; }
    bool is(TokenDiscriminants k) const noexcept { return kind_ == k; }

    // Payload accessors; each requires the matching kind.
    IType itype() const noexcept { return IType{num_}; }
    FType ftype() const noexcept { return static_cast<FType>(code_); }
    MemoryOrdering ordering() const noexcept { return static_cast<MemoryOrdering>(code_); }
    Visibility visibility() const noexcept { return static_cast<Visibility>(code_); }
    CallingConvention calling_convention() const noexcept;
    KeTerminatorOp terminator_op() const noexcept { return static_cast<KeTerminatorOp>(code_); }
    KeInstrOp instr_op() const noexcept { return static_cast<KeInstrOp>(code_); }
    // `Identifier`, `MetaIdentifier` (without "!"): the word before the variants.
    std::string_view word() const noexcept {
        const std::string_view t = full_word();
        return t.substr(0, t.find('.'));
    }
    // `Identifier`, `MetaIdentifier`, `InstrOp`: the variant list.
    Variants variants() const noexcept {
        const std::string_view t = full_word();
        if (kind_ == TokenDiscriminants::InstrOp) return Variants(t);  // only the list is kept
        const std::size_t dot = t.find('.');
        return Variants(dot == std::string_view::npos ? std::string_view{} : t.substr(dot));
    }
    // `Identifier`, `MetaIdentifier`: the word and its variants joined by "."
    // (the name of a label or a function).
    std::string_view full_word() const noexcept { return {w_.ptr, w_.len}; }
    // `Register`: the name after "%". `StringLiteral`: the resolved text.
    std::string_view text() const noexcept { return {w_.ptr, w_.len}; }
    Uuid uuid() const noexcept { return Uuid{uuid_}; }
    // `Number`: the value.
    BigInt number() const;
    // `Number`: the value when it fits 64 bits.
    std::optional<std::int64_t> number_i64() const noexcept;
    // `Decimal`: the value.
    const Decimal& decimal() const noexcept { return *dec_; }

    // Same kind and equal payloads (numbers by value, decimals numerically).
    friend bool operator==(const Token& a, const Token& b);

    // Display text, as diagnostics quote it.
    std::string to_string() const;
    void write(std::string& out) const;
    // Debug text, as the token list of a parse failure shows it.
    std::string debug() const;

private:
    friend class TokenStore;
    explicit constexpr Token(TokenDiscriminants k) noexcept : kind_(k), w_{nullptr, 0} {}
    static Token text_token(TokenDiscriminants k, std::string_view text) noexcept;

    // 24 bytes: the kind, a small code, a 32-bit number and one 16-byte payload.
    TokenDiscriminants kind_;
    std::uint8_t code_ = 0;  // enumeration value; for `Number`, 1 when the value lives in the store
    std::uint32_t num_ = 0;  // IType width, number of a numbered calling convention
    union {
        struct {
            const char* ptr;
            std::size_t len;
        } w_;  // word with its variant list, register name, string text
        std::array<std::uint8_t, 16> uuid_;
        std::int64_t small_;
        const BigNumber* big_;
        const Decimal* dec_;
    };
};

inline Token Token::simple(TokenDiscriminants k) noexcept {
    Token t(k);
    t.w_ = {nullptr, 0};
    return t;
}

inline Token Token::text_token(TokenDiscriminants k, std::string_view text) noexcept {
    Token t(k);
    t.w_ = {text.data(), text.size()};
    return t;
}

inline Token Token::itype(std::uint32_t bits) noexcept {
    Token t = simple(TokenDiscriminants::IType);
    t.num_ = bits;
    return t;
}

inline Token Token::ftype(FType f) noexcept {
    Token t = simple(TokenDiscriminants::FType);
    t.code_ = static_cast<std::uint8_t>(f);
    return t;
}

inline Token Token::ordering(MemoryOrdering o) noexcept {
    Token t = simple(TokenDiscriminants::Ordering);
    t.code_ = static_cast<std::uint8_t>(o);
    return t;
}

inline Token Token::visibility(Visibility v) noexcept {
    Token t = simple(TokenDiscriminants::Visibility);
    t.code_ = static_cast<std::uint8_t>(v);
    return t;
}

inline Token Token::calling_convention(CallingConvention cc) noexcept {
    Token t = simple(TokenDiscriminants::CallingConvention);
    t.code_ = cc.tag();
    t.num_ = cc.number();
    return t;
}

inline Token Token::terminator_op(KeTerminatorOp op) noexcept {
    Token t = simple(TokenDiscriminants::TerminatorOp);
    t.code_ = static_cast<std::uint8_t>(op);
    return t;
}

inline Token Token::instr_op(KeInstrOp op, std::string_view variants) noexcept {
    Token t = text_token(TokenDiscriminants::InstrOp, variants);
    t.code_ = static_cast<std::uint8_t>(op);
    return t;
}

inline Token Token::identifier(std::string_view written) noexcept {
    return text_token(TokenDiscriminants::Identifier, written);
}

inline Token Token::meta_identifier(std::string_view written) noexcept {
    return text_token(TokenDiscriminants::MetaIdentifier, written);
}

inline Token Token::uuid(const Uuid& u) noexcept {
    Token t(TokenDiscriminants::Uuid);
    t.uuid_ = u.bytes;
    return t;
}

inline Token Token::register_name(std::string_view name) noexcept {
    return text_token(TokenDiscriminants::Register, name);
}

inline Token Token::number(std::int64_t value) noexcept {
    Token t = simple(TokenDiscriminants::Number);
    t.small_ = value;
    return t;
}

inline Token Token::string_literal(std::string_view text) noexcept {
    return text_token(TokenDiscriminants::StringLiteral, text);
}

static_assert(sizeof(Token) == 24);
static_assert(std::is_trivially_copyable_v<Token>);

// Owner of the payloads that cannot be views into the source. Addresses stay
// valid for the store's lifetime (also when the store is moved).
class TokenStore {
public:
    TokenStore() = default;
    TokenStore(const TokenStore&) = delete;
    TokenStore& operator=(const TokenStore&) = delete;
    TokenStore(TokenStore&&) = default;
    TokenStore& operator=(TokenStore&&) = default;

    // A `Number` token (kept inline when it fits 64 bits). `decimal_text`, when
    // given, is the value's decimal text, kept so that rendering a huge
    // base-10 literal does not convert it back digit by digit.
    Token number(BigInt value, std::string decimal_text = {});
    Token decimal(Decimal value);
    Token string_literal(std::string text);

private:
    std::deque<BigNumber> bigs_;
    std::deque<Decimal> decimals_;
    std::deque<std::string> strings_;
};

// "BigDecimal(sign=Plus, scale=1, digits=[15])": the debug form of a decimal in
// token lists.
std::string decimal_debug_text(const Decimal& d);

}  // namespace keinstr
