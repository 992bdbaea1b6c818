#include "keinstr/text/type_grammar.hpp"

#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace keinstr {

namespace {

constexpr std::string_view kPrimaryTypeLabel = "primary type";
constexpr std::string_view kArrayTypeLabel = "array type";
constexpr std::string_view kStructTypeLabel = "struct type";

using K = TokenDiscriminants;

PrimaryType to_primary(PrimaryBasicType basic) {
    return std::visit([](auto&& v) { return PrimaryType{std::move(v)}; }, std::move(basic));
}

std::optional<PrimaryType> vector_type_parser(Parser& p) {
    return p.atomic([&]() -> std::optional<PrimaryType> {
        if (!p.punct(K::LAngle)) return std::nullopt;
        const bool scalable = p.keyword(Keyword::Vscale);
        const std::size_t count_at = p.pos();
        const Token* count = p.kind(K::Number);
        if (!count) return std::nullopt;
        const std::uint16_t lanes = check_size(p, *count, TokenRange{count_at, count_at + 1}, SizeKind::Vector);
        if (!p.keyword(Keyword::X)) return std::nullopt;
        auto lane = primary_basic_type_parser(p);
        if (!lane) return std::nullopt;
        if (!p.punct(K::RAngle)) return std::nullopt;
        const VcSize size = scalable ? VcSize::scalable(lanes) : VcSize::fixed(lanes);
        return PrimaryType{VectorType{size, std::move(*lane)}};
    });
}

// The array alternative up to its element: "[" Number "x". On success a frame is
// pushed and the element follows; on failure the position is given back and the
// alternative's label applied.
bool open_array(Parser& p, TypeScratch& s) {
    const Furthest::Mark fm = p.label_begin();
    const Parser::Mark m = p.mark();
    if (p.punct(K::LBracket)) {
        const std::size_t count_at = p.pos();
        if (p.kind(K::Number) && p.keyword(Keyword::X)) {
            TypeFrame f;
            f.kind = TypeFrame::Kind::Array;
            f.start = m.pos;
            f.start_findings = m.findings;
            f.label = fm;
            f.count_token = count_at;
            f.elements_base = s.elements.size();
            s.frames.push_back(f);
            return true;
        }
    }
    p.rewind(m);
    p.label_end(fm, m.pos, kArrayTypeLabel);
    return false;
}

// The struct alternative up to its first element: ["packed"] "{".
bool open_struct(Parser& p, TypeScratch& s) {
    const Furthest::Mark fm = p.label_begin();
    const Parser::Mark m = p.mark();
    const bool packed = p.keyword(Keyword::Packed);
    if (p.punct(K::LBrace)) {
        TypeFrame f;
        f.kind = TypeFrame::Kind::Struct;
        f.packed = packed;
        f.start = m.pos;
        f.start_findings = m.findings;
        f.label = fm;
        f.elements_base = s.elements.size();
        f.item_pos = p.pos();
        f.item_findings = p.findings().size();
        s.frames.push_back(f);
        return true;
    }
    p.rewind(m);
    p.label_end(fm, m.pos, kStructTypeLabel);
    return false;
}

// Gives up the alternative of the innermost aggregate: back to its start, its
// label applied, its frame dropped.
void abandon(Parser& p, TypeScratch& s) {
    const TypeFrame f = s.frames.back();
    s.frames.pop_back();
    s.elements.resize(f.elements_base);
    p.rewind(Parser::Mark{f.start, f.start_findings});
    p.label_end(f.label, f.start, f.kind == TypeFrame::Kind::Array ? kArrayTypeLabel : kStructTypeLabel);
}

enum class Step : std::uint8_t { Enter, Complete, Fail };

// The struct's element list has ended: "}" completes the struct, anything else
// fails it.
Step close_struct(Parser& p, TypeScratch& s, Typeref& result) {
    const TypeFrame f = s.frames.back();
    if (p.punct(K::RBrace)) {
        std::vector<Typeref> elements(s.elements.begin() + static_cast<std::ptrdiff_t>(f.elements_base),
                                      s.elements.end());
        s.elements.resize(f.elements_base);
        s.frames.pop_back();
        result = p.state().intern(AnyType{StructType{std::move(elements), f.packed}});
        p.label_end(f.label, f.start, kStructTypeLabel);
        return Step::Complete;
    }
    abandon(p, s);
    return Step::Fail;
}

std::string decimal_text(const Token& number) {
    if (auto small = number.number_i64()) return std::to_string(*small);
    return to_decimal(number.number());
}

}  // namespace

std::uint16_t check_size(Parser& p, const Token& number, TokenRange span, SizeKind kind) {
    const std::string_view what = kind == SizeKind::Vector ? "vector" : "array";
    bool positive = false;
    bool too_large = false;
    std::int64_t value = 0;
    if (auto small = number.number_i64()) {
        value = *small;
        positive = value > 0;
        too_large = value > kMaxAggregateSize;
    } else {
        positive = number.number() > 0;
        too_large = positive;
    }
    if (!positive) {
        p.emit(span, fmt::format("{} size must be a positive non-zero integer", what));
        return 1;
    }
    if (too_large) {
        p.emit(span, fmt::format("{} size too large: maximum allowed is {}, got {}", what, kMaxAggregateSize,
                                 decimal_text(number)));
        return 1;
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<PrimaryBasicType> primary_basic_type_parser(Parser& p) {
    if (const Token* t = p.kind(K::IType)) return PrimaryBasicType{t->itype()};
    if (const Token* t = p.kind(K::FType)) return PrimaryBasicType{t->ftype()};
    if (p.keyword(Keyword::Ptr)) return PrimaryBasicType{PtrType{}};
    return std::nullopt;
}

std::optional<PrimaryType> primary_type_parser(Parser& p) {
    return p.labelled(kPrimaryTypeLabel, [&]() -> std::optional<PrimaryType> {
        if (auto basic = primary_basic_type_parser(p)) return to_primary(std::move(*basic));
        return vector_type_parser(p);
    });
}

// The recursive rule read with an explicit stack. Each frame is an array or
// struct whose element is being read; `Enter` starts a type at the position,
// `Complete` hands a finished type to the innermost frame, `Fail` tells it that
// its element failed. The frames reproduce exactly what the recursive rule
// does: the same alternatives in the same order, the same positions given back,
// the same labels applied, the same interning order.
std::optional<Typeref> type_parser(Parser& p) {
    TypeScratch& s = p.type_scratch();
    const std::size_t base = s.frames.size();
    Step step = Step::Enter;
    Typeref result{};
    for (;;) {
        switch (step) {
            case Step::Enter: {
                if (auto prim = primary_type_parser(p)) {
                    result = p.state().intern(AnyType{std::move(*prim)});
                    step = Step::Complete;
                } else if (open_array(p, s) || open_struct(p, s)) {
                    step = Step::Enter;
                } else {
                    step = Step::Fail;
                }
                break;
            }
            case Step::Complete: {
                if (s.frames.size() == base) return result;
                TypeFrame& f = s.frames.back();
                if (f.kind == TypeFrame::Kind::Array) {
                    if (p.punct(K::RBracket)) {
                        const TypeFrame done = f;
                        s.frames.pop_back();
                        const std::uint16_t count =
                            check_size(p, p.token(done.count_token), TokenRange{done.start, p.pos()}, SizeKind::Array);
                        result = p.state().intern(AnyType{ArrayType{result, count}});
                        p.label_end(done.label, done.start, kArrayTypeLabel);
                    } else {
                        abandon(p, s);
                        step = open_struct(p, s) ? Step::Enter : Step::Fail;
                    }
                    break;
                }
                s.elements.push_back(result);
                const Parser::Mark m = p.mark();
                if (p.punct(K::Comma)) {
                    f.item_pos = m.pos;
                    f.item_findings = m.findings;
                    step = Step::Enter;
                } else {
                    step = close_struct(p, s, result);
                }
                break;
            }
            case Step::Fail: {
                if (s.frames.size() == base) return std::nullopt;
                const TypeFrame& f = s.frames.back();
                if (f.kind == TypeFrame::Kind::Array) {
                    abandon(p, s);
                    step = open_struct(p, s) ? Step::Enter : Step::Fail;
                } else {
                    p.rewind(Parser::Mark{f.item_pos, f.item_findings});
                    step = close_struct(p, s, result);
                }
                break;
            }
        }
    }
}

namespace {

// Whether `t` can begin a type: IType, FType, "ptr", "<", "[", "packed" or "{".
bool may_start_type(const Token& t) noexcept {
    switch (t.kind()) {
        case K::IType:
        case K::FType:
        case K::LAngle:
        case K::LBracket:
        case K::LBrace: return true;
        case K::Identifier: return is_keyword(t, Keyword::Ptr) || is_keyword(t, Keyword::Packed);
        default: return false;
    }
}

}  // namespace

std::optional<Typeref> labelled_type_parser(Parser& p) {
    // Most attempts that fail (an optional type in front of a register operand)
    // fail on their first token; recorded directly, such a failure is exactly
    // what the labelled rule leaves behind: the label alone at that position.
    constexpr std::string_view kLabel = "type";
    const Token* t = p.peek();
    if (t == nullptr || !may_start_type(*t)) {
        p.furthest().fail(p.pos(), Pattern::label(kLabel));
        return std::nullopt;
    }
    // Shortcut: a scalar type is one token, complete as soon as it is read.
    if (p.phase() == ParsePhase::Quick) {
        if (auto scalar = scalar_type_at(p)) {
            p.skip_one();
            return scalar;
        }
    }
    return p.labelled(kLabel, [&] { return type_parser(p); });
}

std::optional<Typeref> scalar_type_at(Parser& p) {
    const Token* t = p.peek();
    if (t == nullptr) return std::nullopt;
    if (t->is(K::IType)) return p.state().intern_int(t->itype().num_bits);
    if (t->is(K::FType)) return p.state().intern_float(t->ftype());
    if (is_keyword(*t, Keyword::Ptr)) return p.state().intern_ptr();
    return std::nullopt;
}

}  // namespace keinstr
