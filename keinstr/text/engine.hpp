// The grammar engine of the textual IR: a hand-written recursive-descent parser
// over the lexer's token list. Every grammar rule is a function taking the
// `Parser` and returning its value (an optional, or a bool for rules that append
// to a caller's list); the engine supplies the token primitives, backtracking,
// labels, separated lists and the collection of findings.
//
// The model every rule relies on:
//
// * Positions are token indexes. A rule that fails leaves the position where it
//   started (use `atomic` or `labelled` at the top of a rule with several
//   steps); ordered choice is "try each alternative in turn", optional parts are
//   "try and ignore failure". Backtracking is unlimited.
//
// * Findings are diagnostics emitted while parsing goes on (a bad size, an
//   unknown function, the per-instruction checks). They live in one list that is
//   rewound together with the position: a finding emitted inside an alternative
//   that is later abandoned is dropped. Effects on the parser `State` are never
//   undone: registers and labels numbered, types interned and resolver
//   placeholders made while trying an abandoned alternative stay.
//
// * Syntax failures are not findings: each failing primitive reports, to one
//   `Furthest` record, its position and the pattern it would have accepted
//   there. Only the furthest position counts; patterns at that position are
//   kept in first-seen order without duplicates. When the whole parse fails,
//   that record (position, the token found there or end of input, the patterns)
//   is the syntax diagnostic.
//
// * A labelled rule whose failures sit at its own start reports its label
//   instead of the patterns of the alternatives that failed there ("type",
//   "register", "operand list", ...). This applies whether or not the rule as a
//   whole succeeded (an empty operand list still leaves "operand list" behind at
//   the token where it stopped); failures further inside keep their own,
//   more specific patterns.
//
// * Tokens are matched by kind ("token Register"), by value (punctuation, `Void`,
//   `Newline` and terminator words, shown by their display text in quotes) or as
//   keywords: an `Identifier` carrying exactly the keyword's word and no variant
//   list (shown as the word in quotes).
//
// * A list separator is consumed only together with the item after it: when the
//   item after a separator fails, the separator is given back and the list ends.
//
// Hot path: matching a token allocates nothing; the furthest record and the
// scratch areas keep their capacity for the whole parse.
//
// Writing a rule: a function `std::optional<T> rule(Parser& p)` whose body is
// wrapped in `p.atomic(...)` (or `p.labelled("label", ...)` when failures at its
// start should read as one label) and returns `std::nullopt` at the first step
// that fails:
//
//     std::optional<Item> import_rule(Parser& p) {
//         return p.labelled("import statement", [&]() -> std::optional<Item> {
//             if (!p.punct(TokenDiscriminants::Import)) return std::nullopt;
//             const Token* text = p.kind(TokenDiscriminants::StringLiteral);
//             if (!text) return std::nullopt;
//             return Item{...};
//         });
//     }
//
// Ordered choice is `if (auto r = a(p)) return r; return b(p);`, an optional
// part is a call whose failure is ignored, a list is `p.separated(...)`, and a
// check that must not stop the parse calls `p.emit(span, message)`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keinstr/ir/enums.hpp"
#include "keinstr/ir/instr.hpp"
#include "keinstr/text/expected.hpp"
#include "keinstr/text/instr_pieces.hpp"
#include "keinstr/text/keywords.hpp"
#include "keinstr/text/state.hpp"
#include "keinstr/text/token.hpp"
#include "keinstr/text/token_window.hpp"
#include "keinstr/types/types.hpp"

namespace keinstr {

// Half-open range of token indexes [start, end).
struct TokenRange {
    std::size_t start = 0;
    std::size_t end = 0;
    constexpr bool operator==(const TokenRange&) const = default;
};

// A diagnostic emitted while parsing went on.
struct Finding {
    TokenRange span;
    std::string message;
    bool operator==(const Finding&) const = default;
};

// Scratch of the iterative type rule (kept in the parser so that its capacity is
// reused from one type to the next).
struct TypeFrame {
    enum class Kind : std::uint8_t { Array, Struct };
    Kind kind = Kind::Array;
    bool packed = false;
    std::size_t start = 0;           // first token of the aggregate
    std::size_t start_findings = 0;  // findings count when it began
    Furthest::Mark label{};          // furthest record before its alternative began
    std::size_t count_token = 0;     // array: index of the element-count token
    std::size_t elements_base = 0;   // struct: its first element in the element stack
    std::size_t item_pos = 0;        // struct: where a failed element gives back to
    std::size_t item_findings = 0;
};

struct TypeScratch {
    std::vector<TypeFrame> frames;
    std::vector<Typeref> elements;
};

// Display text of a fixed token as expected-lists quote it ("(", ",", "\\n",
// "void", "Branch", ...). Static storage.
std::string_view fixed_token_text(TokenDiscriminants payload_free_kind);
std::string_view fixed_token_text(KeTerminatorOp op);

// The two phases of parsing a source (see parse.cpp). `Quick` reads the tokens
// as they are lexed and keeps no failures (`parse_on_demand`); a source that
// parses is done after it. `Diagnose` runs only when the quick phase gave no
// items: it parses the complete token list again, keeping every failure, so that
// its errors can say what failed where (`parse_with_state`). In the quick phase
// a rule may take a shortcut that gives the same outcome (the same value,
// position, findings and state effects) without the failures it would have
// recorded; each shortcut is guarded by `p.phase() == ParsePhase::Quick`.
enum class ParsePhase : std::uint8_t { Quick, Diagnose };

class Parser {
public:
    // Over a complete token list. `tokens` and `state` must outlive the parser.
    Parser(std::span<const Token> tokens, State& state) : window_(tokens), state_(&state) {}
    // Over the tokens of `lexer`, lexed as the rules ask for them. `lexer` and
    // `state` must outlive the parser.
    Parser(IncrementalLexer& lexer, State& state) : window_(lexer), state_(&state) {}
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // ---- input ---------------------------------------------------------------
    std::size_t pos() const noexcept { return pos_; }
    bool at_end() { return at(pos_) == nullptr; }
    // The token at the position, or nullptr at the end of the input.
    const Token* peek() { return at(pos_); }
    // A token at or after the last committed position (see `commit`).
    const Token& token(std::size_t index) { return *at(index); }
    // The rules will not come back before the current position (between two
    // items of a module): the tokens before it may be dropped.
    void commit() { window_.release_before(pos_); }

    State& state() noexcept { return *state_; }

    // The phase of this parse: quick when failures are not kept (see
    // `Furthest::disable`), diagnose when they are.
    ParsePhase phase() const noexcept { return furthest_.enabled() ? ParsePhase::Diagnose : ParsePhase::Quick; }
    // Moves past the token at the position, which the caller has looked at.
    void skip_one() noexcept { ++pos_; }
    // Whether the token at the position is of kind `k` (records nothing).
    bool next_is(TokenDiscriminants k) { return next_is(0, k); }
    // Whether the token `ahead` places after the position is of kind `k`
    // (records nothing).
    bool next_is(std::size_t ahead, TokenDiscriminants k) {
        const Token* t = at(pos_ + ahead);
        return t != nullptr && t->kind() == k;
    }

    // ---- backtracking --------------------------------------------------------
    struct Mark {
        std::size_t pos;
        std::size_t findings;
    };
    Mark mark() const noexcept { return Mark{pos_, findings_.size()}; }
    // Goes back to `m`: the position, and the findings emitted since.
    void rewind(const Mark& m) noexcept {
        pos_ = m.pos;
        if (findings_.size() > m.findings) findings_.resize(m.findings);
    }

    // ---- primitives ----------------------------------------------------------
    // Each consumes one token on success; on failure it records its pattern at the
    // position (the pattern is only made when failures are kept) and consumes
    // nothing.

    // Any token of kind `k` (pattern "token K").
    const Token* kind(TokenDiscriminants k) {
        if (const Token* t = at(pos_); t && t->kind() == k) {
            ++pos_;
            return t;
        }
        if (furthest_.enabled()) furthest_.fail(pos_, token_kind_pattern(k));
        return nullptr;
    }
    // The payload-free token of kind `k` (punctuation, `Void`, `Import`, `Newline`),
    // matched by value (pattern: its display text in quotes).
    bool punct(TokenDiscriminants k) {
        if (const Token* t = at(pos_); t && t->kind() == k) {
            ++pos_;
            return true;
        }
        if (furthest_.enabled()) furthest_.fail(pos_, Pattern::literal(fixed_token_text(k)));
        return false;
    }
    // The keyword `k`: an `Identifier` with exactly that word and no variants.
    bool keyword(Keyword k) {
        if (const Token* t = at(pos_); t && is_keyword(*t, k)) {
            ++pos_;
            return true;
        }
        if (furthest_.enabled()) furthest_.fail(pos_, Pattern::literal(keyword_word(k)));
        return false;
    }
    // The `TerminatorOp` token of `op`.
    bool terminator(KeTerminatorOp op) {
        if (const Token* t = at(pos_); t && t->is(TokenDiscriminants::TerminatorOp) && t->terminator_op() == op) {
            ++pos_;
            return true;
        }
        if (furthest_.enabled()) furthest_.fail(pos_, Pattern::literal(fixed_token_text(op)));
        return false;
    }
    // A token accepted by `pred`; a rejected token names no pattern ("something
    // else" when nothing else is expected there).
    template <class Pred>
    const Token* filter(Pred&& pred) {
        if (const Token* t = at(pos_); t && pred(*t)) {
            ++pos_;
            return t;
        }
        furthest_.fail(pos_);
        return nullptr;
    }
    // The end of the input.
    bool end() {
        if (at(pos_) == nullptr) return true;
        furthest_.fail(pos_, Pattern::end_of_input());
        return false;
    }

    // ---- combinators ---------------------------------------------------------
    // Runs `body`; when its result is false (an empty optional, false), goes back to
    // where it started.
    template <class F>
    auto atomic(F&& body) -> decltype(body()) {
        const Mark m = mark();
        auto result = body();
        if (!result) rewind(m);
        return result;
    }

    // `atomic`, and the failures `body` left at its own start are reported as
    // `label` (see the model above).
    template <class F>
    auto labelled(std::string_view label, F&& body) -> decltype(body()) {
        if (!furthest_.enabled()) return atomic(body);
        const Furthest::Mark fm = furthest_.mark();
        const Mark m = mark();
        auto result = body();
        if (!result) rewind(m);
        furthest_.label_since(fm, m.pos, Pattern::label(label));
        return result;
    }

    // Label bookkeeping for rules that cannot wrap their body in a lambda (the
    // iterative type rule): `label_begin` before the rule, `label_end` after it.
    Furthest::Mark label_begin() const noexcept { return furthest_.mark(); }
    void label_end(const Furthest::Mark& fm, std::size_t start, std::string_view label) {
        furthest_.label_since(fm, start, Pattern::label(label));
    }

    // Items separated by the payload-free token `sep`, without a leading or
    // trailing separator. `item` is a callable returning bool (true: one item
    // parsed, its value stored by the callable; false: the item failed and left the
    // position where it started). Returns the number of items read; the caller
    // decides whether that many is enough.
    template <class Item>
    std::size_t separated(TokenDiscriminants sep, Item&& item) {
        if (!item()) return 0;
        std::size_t count = 1;
        for (;;) {
            const Mark m = mark();
            if (!punct(sep)) break;
            if (!item()) {
                rewind(m);
                break;
            }
            ++count;
        }
        return count;
    }

    // ---- findings ------------------------------------------------------------
    void emit(TokenRange span, std::string message) { findings_.push_back(Finding{span, std::move(message)}); }
    const std::vector<Finding>& findings() const noexcept { return findings_; }
    std::vector<Finding> take_findings() noexcept { return std::exchange(findings_, {}); }

    const Furthest& furthest() const noexcept { return furthest_; }
    Furthest& furthest() noexcept { return furthest_; }

    // Scratch areas of the type rule, of the instruction line and of a block's
    // instructions (their capacity is reused from one use to the next). The block
    // scratch is used as a stack: a rule appends above the size it found and
    // gives that size back when it is done.
    TypeScratch& type_scratch() noexcept { return type_scratch_; }
    InstrPieces& instr_scratch() noexcept { return instr_scratch_; }
    std::vector<KeInstr>& block_scratch() noexcept { return block_scratch_; }

private:
    const Token* at(std::size_t i) { return window_.get(i); }

    TokenWindow window_;
    State* state_;
    std::size_t pos_ = 0;
    std::vector<Finding> findings_;
    Furthest furthest_;
    TypeScratch type_scratch_;
    InstrPieces instr_scratch_;
    std::vector<KeInstr> block_scratch_;
};

// Any token of kind `k` (the rule the grammar labels "token K").
inline const Token* just_match(Parser& p, TokenDiscriminants k) { return p.kind(k); }

}  // namespace keinstr
