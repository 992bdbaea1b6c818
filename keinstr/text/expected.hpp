// Furthest-failure bookkeeping of the textual front end, shared by the lexer
// (over characters) and the grammar (over tokens).
//
// Model. Every rule that fails reports the position where it gave up and the
// patterns it would have accepted there. Of all the failures seen while trying
// to go on, only those at the furthest position count: a farther failure
// replaces what was kept, one at the same position adds its patterns (first
// seen first, no duplicates), a nearer one is ignored. A labelled rule that
// fails right where it began reports its label instead of its inner patterns;
// if it got further before failing, the inner patterns stand.
//
// When a stage cannot go on, the kept position and patterns become one
// expected/found finding whose message is
//     found '<item>' expected <p1>, <p2>, or <p3>
// (or "found end of input ..."; "something else" when no pattern was named).
//
// Pattern texts are views: labels and literal texts must outlive the record
// (static strings, or text of the source).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keinstr {

enum class PatternKind : std::uint8_t {
    Label,          // a rule's label, shown as written ("numeral", "token Identifier")
    Literal,        // an expected item, shown in single quotes by its display text
    Any,            // any item at all: "any"
    SomethingElse,  // "something else"
    EndOfInput,     // "end of input"
};

// One alternative that would have been accepted.
struct Pattern {
    PatternKind kind = PatternKind::Label;
    std::string_view text;  // label text, or the literal's display text

    static constexpr Pattern label(std::string_view t) noexcept { return {PatternKind::Label, t}; }
    static constexpr Pattern literal(std::string_view t) noexcept { return {PatternKind::Literal, t}; }
    static constexpr Pattern any() noexcept { return {PatternKind::Any, {}}; }
    static constexpr Pattern something_else() noexcept { return {PatternKind::SomethingElse, {}}; }
    static constexpr Pattern end_of_input() noexcept { return {PatternKind::EndOfInput, {}}; }

    constexpr bool operator==(const Pattern&) const = default;

    // Equality with a shortcut for the usual case of two views of one static text.
    bool same_as(const Pattern& o) const noexcept {
        if (kind != o.kind || text.size() != o.text.size()) return false;
        return text.data() == o.text.data() || text == o.text;
    }
};

// Text of one pattern: a label as written, a literal in single quotes, or one of
// "any", "something else", "end of input".
inline void write_pattern(std::string& out, const Pattern& p) {
    switch (p.kind) {
        case PatternKind::Label: out += p.text; break;
        case PatternKind::Literal:
            out += '\'';
            out += p.text;
            out += '\'';
            break;
        case PatternKind::Any: out += "any"; break;
        case PatternKind::SomethingElse: out += "something else"; break;
        case PatternKind::EndOfInput: out += "end of input"; break;
    }
}

// "found '<found>' expected ..." ("found end of input expected ..." when `found`
// is absent). Alternatives: none -> "something else"; one -> it; several -> all
// but the last each followed by ", ", then "or " and the last.
inline std::string found_expected_text(std::optional<std::string_view> found, std::span<const Pattern> expected) {
    std::string out = "found ";
    if (found) {
        out += '\'';
        out += *found;
        out += '\'';
    } else {
        out += "end of input";
    }
    out += " expected ";
    if (expected.empty()) {
        out += "something else";
        return out;
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (i + 1 == expected.size() && i != 0) out += "or ";
        write_pattern(out, expected[i]);
        if (i + 1 != expected.size()) out += ", ";
    }
    return out;
}

// The furthest failure seen so far. Positions are whatever the stage counts in
// (byte offsets for the lexer, token indexes for the grammar).
class Furthest {
public:
    // State to hand back to `label_since`.
    struct Mark {
        std::size_t pos;
        std::size_t count;
        std::uint64_t events;
        bool set;
    };

    // A record that ignores every failure, for a run whose failures will not be
    // described (a run that fails is run again with a record that keeps them).
    void disable() noexcept { enabled_ = false; }
    bool enabled() const noexcept { return enabled_; }

    void clear() noexcept {
        set_ = false;
        pos_ = 0;
        expected_.clear();
        ++events_;
    }

    // A failure at `pos` that names no pattern (it still moves the position).
    void fail(std::size_t pos) {
        if (enabled_) reach(pos);
    }

    // A failure at `pos` that would have accepted `p`.
    void fail(std::size_t pos, Pattern p) {
        if (enabled_ && reach(pos)) add(p);
    }

    Mark mark() const noexcept { return Mark{pos_, expected_.size(), events_, set_}; }

    // Applies a rule's label: when the rule that began at `start` (with `m` taken
    // just before it ran) failed right at `start`, the patterns it added are
    // replaced by `label`.
    void label_since(const Mark& m, std::size_t start, Pattern label) {
        if (!enabled_ || events_ == m.events || !set_ || pos_ != start) return;
        if (m.set && m.pos == start) {
            expected_.resize(m.count);
        } else {
            expected_.clear();
        }
        add(label);
    }

    bool has_failure() const noexcept { return set_; }
    std::size_t position() const noexcept { return pos_; }
    std::span<const Pattern> expected() const noexcept { return expected_; }

    // The reason text of the kept failure, given the display text of the item
    // found at `position()` (absent at the end of the input).
    std::string reason(std::optional<std::string_view> found) const { return found_expected_text(found, expected_); }

private:
    // Counts a failure at `pos` and moves the record there when it lies further;
    // whether `pos` is now the furthest position.
    bool reach(std::size_t pos) {
        ++events_;
        if (!set_ || pos > pos_) {
            set_ = true;
            pos_ = pos;
            expected_.clear();
            return true;
        }
        return pos == pos_;
    }
    // `p` among the patterns at the furthest position, once.
    void add(const Pattern& p) {
        for (const Pattern& q : expected_)
            if (q.same_as(p)) return;
        expected_.push_back(p);
    }

    std::size_t pos_ = 0;
    bool set_ = false;
    std::uint64_t events_ = 0;
    bool enabled_ = true;
    std::vector<Pattern> expected_;
};

}  // namespace keinstr
