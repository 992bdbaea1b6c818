#include "kecore/utils/semver.hpp"

#include <utility>

#include "keinstr/utils/debug_str.hpp"
#include "keinstr/utils/try.hpp"
#include "keinstr/utils/limits.hpp"

namespace kecore {

namespace {

// Most comparators one requirement may hold.
using keinstr::kMaxComparators;

std::unexpected<SemverError> fail(SemverErrorKind kind, SemverPosition pos = SemverPosition::Major, char32_t ch = 0) {
    return std::unexpected(SemverError{kind, pos, ch});
}

// The first character of a non-empty text (an invalid sequence reads as U+FFFD).
char32_t first_char(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) return b0;
    int n = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC0 ? 1 : -1;
    if (n < 0 || s.size() <= static_cast<std::size_t>(n)) return U'\uFFFD';
    char32_t c = b0 & (0x3F >> n);
    for (int i = 1; i <= n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) return U'\uFFFD';
        c = (c << 6) | (b & 0x3F);
    }
    return c;
}

std::string_view trim_spaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    return s;
}

bool strip_prefix(std::string_view& s, char c) {
    if (s.empty() || s.front() != c) return false;
    s.remove_prefix(1);
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

template <class T>
using Parsed = std::expected<std::pair<T, std::string_view>, SemverError>;

Parsed<std::uint64_t> numeric_identifier(std::string_view input, SemverPosition pos) {
    std::size_t len = 0;
    std::uint64_t value = 0;
    while (len < input.size() && is_digit(input[len])) {
        if (value == 0 && len > 0) return fail(SemverErrorKind::LeadingZero, pos);
        const std::uint64_t digit = static_cast<std::uint64_t>(input[len] - '0');
        if (value > (UINT64_MAX - digit) / 10) return fail(SemverErrorKind::Overflow, pos);
        value = value * 10 + digit;
        ++len;
    }
    if (len > 0) return std::pair(value, input.substr(len));
    if (!input.empty()) return fail(SemverErrorKind::UnexpectedChar, pos, first_char(input));
    return fail(SemverErrorKind::UnexpectedEnd, pos);
}

// A wildcard character at the front: '*', 'x' or 'X'.
std::optional<std::pair<char, std::string_view>> wildcard(std::string_view input) {
    if (!input.empty() && (input[0] == '*' || input[0] == 'x' || input[0] == 'X'))
        return std::pair(input[0], input.substr(1));
    return std::nullopt;
}

std::expected<std::string_view, SemverError> dot(std::string_view input, SemverPosition pos) {
    if (strip_prefix(input, '.')) return input;
    if (!input.empty()) return fail(SemverErrorKind::UnexpectedCharAfter, pos, first_char(input));
    return fail(SemverErrorKind::UnexpectedEnd, pos);
}

// Dot-separated identifiers of ASCII letters, digits and '-'. Empty when the text does
// not start with one; an empty segment otherwise fails; numeric pre-release segments
// may not have leading zeros.
Parsed<std::string_view> identifier(std::string_view input, SemverPosition pos) {
    std::size_t accumulated = 0;
    std::size_t segment = 0;
    bool segment_has_nondigit = false;
    for (;;) {
        const std::size_t at = accumulated + segment;
        const char c = at < input.size() ? input[at] : '\0';
        const bool more = at < input.size();
        if (more && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-')) {
            ++segment;
            segment_has_nondigit = true;
            continue;
        }
        if (more && is_digit(c)) {
            ++segment;
            continue;
        }
        const bool boundary_dot = more && c == '.';
        if (segment == 0) {
            if (accumulated == 0 && !boundary_dot) return std::pair(std::string_view(), input);
            return fail(SemverErrorKind::EmptySegment, pos);
        }
        if (pos == SemverPosition::Pre && segment > 1 && !segment_has_nondigit && input[accumulated] == '0')
            return fail(SemverErrorKind::LeadingZero, pos);
        accumulated += segment;
        if (boundary_dot) {
            accumulated += 1;
            segment = 0;
            segment_has_nondigit = false;
        } else {
            return std::pair(input.substr(0, accumulated), input.substr(accumulated));
        }
    }
}

struct ParsedComparator {
    Comparator comparator;
    SemverPosition pos;
    std::string_view rest;
};

std::pair<SemverOp, std::string_view> op(std::string_view input) {
    if (input.starts_with(">=")) return {SemverOp::GreaterEq, input.substr(2)};
    if (input.starts_with("<=")) return {SemverOp::LessEq, input.substr(2)};
    if (input.starts_with('=')) return {SemverOp::Exact, input.substr(1)};
    if (input.starts_with('>')) return {SemverOp::Greater, input.substr(1)};
    if (input.starts_with('<')) return {SemverOp::Less, input.substr(1)};
    if (input.starts_with('~')) return {SemverOp::Tilde, input.substr(1)};
    if (input.starts_with('^')) return {SemverOp::Caret, input.substr(1)};
    return {SemverOp::Caret, input};
}

std::expected<ParsedComparator, SemverError> comparator(std::string_view input) {
    auto [the_op, text] = op(input);
    const bool default_op = input.size() == text.size();
    text = trim_spaces(text);

    SemverPosition pos = SemverPosition::Major;
    auto major = KE_TRY(numeric_identifier(text, pos));
    text = major.second;
    bool has_wildcard = false;

    std::optional<std::uint64_t> minor;
    if (strip_prefix(text, '.')) {
        pos = SemverPosition::Minor;
        if (auto w = wildcard(text)) {
            has_wildcard = true;
            if (default_op) the_op = SemverOp::Wildcard;
            text = w->second;
        } else {
            auto m = KE_TRY(numeric_identifier(text, pos));
            minor = m.first;
            text = m.second;
        }
    }

    std::optional<std::uint64_t> patch;
    if (strip_prefix(text, '.')) {
        pos = SemverPosition::Patch;
        if (auto w = wildcard(text)) {
            if (default_op) the_op = SemverOp::Wildcard;
            text = w->second;
        } else if (has_wildcard) {
            return fail(SemverErrorKind::UnexpectedAfterWildcard);
        } else {
            auto p = KE_TRY(numeric_identifier(text, pos));
            patch = p.first;
            text = p.second;
        }
    }

    Prerelease pre;
    if (patch && text.starts_with('-')) {
        pos = SemverPosition::Pre;
        auto id = KE_TRY(identifier(text.substr(1), pos));
        if (id.first.empty()) return fail(SemverErrorKind::EmptySegment, pos);
        pre = Prerelease(std::string(id.first));
        text = id.second;
    }

    if (patch && text.starts_with('+')) {
        pos = SemverPosition::Build;
        auto id = KE_TRY(identifier(text.substr(1), pos));
        if (id.first.empty()) return fail(SemverErrorKind::EmptySegment, pos);
        text = id.second;
    }

    text = trim_spaces(text);
    return ParsedComparator{Comparator{the_op, major.first, minor, patch, std::move(pre)}, pos, text};
}

// Precedence of dot-separated identifiers, shared by pre-release and build metadata;
// `numeric` compares two all-digit identifiers.
template <class NumericCmp>
std::strong_ordering compare_identifiers(std::string_view lhs, std::string_view rhs, NumericCmp numeric) {
    const auto all_digits = [](std::string_view s) {
        for (char c : s)
            if (!is_digit(c)) return false;
        return true;
    };
    const auto next_segment = [](std::string_view& s, bool& done) {
        const auto dot_at = s.find('.');
        std::string_view seg = s.substr(0, dot_at);
        if (dot_at == std::string_view::npos) {
            done = true;
            s = {};
        } else {
            s.remove_prefix(dot_at + 1);
        }
        return seg;
    };
    bool lhs_done = false;
    bool rhs_done = false;
    while (!lhs_done) {
        const std::string_view l = next_segment(lhs, lhs_done);
        if (rhs_done) return std::strong_ordering::greater;
        const std::string_view r = next_segment(rhs, rhs_done);
        const bool ld = all_digits(l);
        const bool rd = all_digits(r);
        std::strong_ordering ord = std::strong_ordering::equal;
        if (ld && rd) {
            ord = numeric(l, r);
        } else if (ld) {
            return std::strong_ordering::less;
        } else if (rd) {
            return std::strong_ordering::greater;
        } else {
            ord = l <=> r;
        }
        if (ord != 0) return ord;
    }
    return rhs_done ? std::strong_ordering::equal : std::strong_ordering::less;
}

// Comparisons of the requirement operators, each on major, minor, patch, then pre.
bool matches_exact(const Comparator& c, const Version& v) {
    if (v.major != c.major) return false;
    if (c.minor && v.minor != *c.minor) return false;
    if (c.patch && v.patch != *c.patch) return false;
    return v.pre == c.pre;
}

bool matches_greater(const Comparator& c, const Version& v) {
    if (v.major != c.major) return v.major > c.major;
    if (!c.minor) return false;
    if (v.minor != *c.minor) return v.minor > *c.minor;
    if (!c.patch) return false;
    if (v.patch != *c.patch) return v.patch > *c.patch;
    return v.pre > c.pre;
}

bool matches_less(const Comparator& c, const Version& v) {
    if (v.major != c.major) return v.major < c.major;
    if (!c.minor) return false;
    if (v.minor != *c.minor) return v.minor < *c.minor;
    if (!c.patch) return false;
    if (v.patch != *c.patch) return v.patch < *c.patch;
    return v.pre < c.pre;
}

bool matches_tilde(const Comparator& c, const Version& v) {
    if (v.major != c.major) return false;
    if (c.minor && v.minor != *c.minor) return false;
    if (c.patch && v.patch != *c.patch) return v.patch > *c.patch;
    return v.pre >= c.pre;
}

bool matches_caret(const Comparator& c, const Version& v) {
    if (v.major != c.major) return false;
    if (!c.minor) return true;
    const std::uint64_t minor = *c.minor;
    if (!c.patch) return c.major > 0 ? v.minor >= minor : v.minor == minor;
    const std::uint64_t patch = *c.patch;
    if (c.major > 0) {
        if (v.minor != minor) return v.minor > minor;
        if (v.patch != patch) return v.patch > patch;
    } else if (minor > 0) {
        if (v.minor != minor) return false;
        if (v.patch != patch) return v.patch > patch;
    } else if (v.minor != minor || v.patch != patch) {
        return false;
    }
    return v.pre >= c.pre;
}

bool matches_impl(const Comparator& c, const Version& v) {
    switch (c.op) {
        case SemverOp::Exact:
        case SemverOp::Wildcard: return matches_exact(c, v);
        case SemverOp::Greater: return matches_greater(c, v);
        case SemverOp::GreaterEq: return matches_exact(c, v) || matches_greater(c, v);
        case SemverOp::Less: return matches_less(c, v);
        case SemverOp::LessEq: return matches_exact(c, v) || matches_less(c, v);
        case SemverOp::Tilde: return matches_tilde(c, v);
        case SemverOp::Caret: return matches_caret(c, v);
    }
    return false;
}

// A pre-release version may satisfy a comparator only when the comparator names the
// same major.minor.patch and has a pre-release itself.
bool pre_is_compatible(const Comparator& c, const Version& v) {
    return c.major == v.major && c.minor == v.minor && c.patch == v.patch && !c.pre.empty();
}

}  // namespace

// ---------------------------------------------------------------------------------------

std::string_view semver_position_text(SemverPosition pos) noexcept { return keinstr::word(pos); }

std::string_view semver_op_text(SemverOp op) noexcept { return keinstr::word(op); }

std::string SemverError::to_string() const {
    const std::string_view tmpl = keinstr::word(kind);
    // The character as a character literal; NUL as '\0' on every toolchain.
    const std::string quoted = ch == 0 ? std::string("'\\0'") : keinstr::debug_char(ch);
    std::string plain;
    keinstr::append_utf8(plain, ch);
    return fmt::format(fmt::runtime(tmpl), fmt::arg("pos", semver_position_text(position)), fmt::arg("ch", quoted),
                       fmt::arg("wc", plain));
}

std::strong_ordering Prerelease::operator<=>(const Prerelease& rhs) const noexcept {
    if (empty() || rhs.empty()) {
        // A release orders above its pre-releases.
        if (empty() && rhs.empty()) return std::strong_ordering::equal;
        return empty() ? std::strong_ordering::greater : std::strong_ordering::less;
    }
    // Identifiers have no leading zeros: a longer number is a larger one.
    return compare_identifiers(text_, rhs.text_, [](std::string_view l, std::string_view r) {
        if (l.size() != r.size()) return l.size() <=> r.size();
        return l <=> r;
    });
}

std::strong_ordering BuildMetadata::operator<=>(const BuildMetadata& rhs) const noexcept {
    // Numbers by value, then fewer leading zeros first: 0 < 00 < 1 < 01 < 2 < 10.
    return compare_identifiers(text_, rhs.text_, [](std::string_view l, std::string_view r) {
        const auto lv = l.substr(std::min(l.find_first_not_of('0'), l.size()));
        const auto rv = r.substr(std::min(r.find_first_not_of('0'), r.size()));
        if (lv.size() != rv.size()) return lv.size() <=> rv.size();
        if (auto o = lv <=> rv; o != 0) return o;
        return l.size() <=> r.size();
    });
}

std::expected<Version, SemverError> Version::parse(std::string_view text) {
    if (text.empty()) return fail(SemverErrorKind::Empty);

    SemverPosition pos = SemverPosition::Major;
    auto major = KE_TRY(numeric_identifier(text, pos));
    auto after = KE_TRY(dot(major.second, pos));

    pos = SemverPosition::Minor;
    auto minor = KE_TRY(numeric_identifier(after, pos));
    after = KE_TRY(dot(minor.second, pos));

    pos = SemverPosition::Patch;
    auto patch = KE_TRY(numeric_identifier(after, pos));
    std::string_view rest = patch.second;

    Version v(major.first, minor.first, patch.first);
    if (rest.empty()) return v;

    if (strip_prefix(rest, '-')) {
        pos = SemverPosition::Pre;
        auto id = KE_TRY(identifier(rest, pos));
        if (id.first.empty()) return fail(SemverErrorKind::EmptySegment, pos);
        v.pre = Prerelease(std::string(id.first));
        rest = id.second;
    }
    if (strip_prefix(rest, '+')) {
        pos = SemverPosition::Build;
        auto id = KE_TRY(identifier(rest, pos));
        if (id.first.empty()) return fail(SemverErrorKind::EmptySegment, pos);
        v.build = BuildMetadata(std::string(id.first));
        rest = id.second;
    }
    if (!rest.empty()) return fail(SemverErrorKind::UnexpectedCharAfter, pos, first_char(rest));
    return v;
}

std::string Version::to_string() const {
    std::string out = fmt::format("{}.{}.{}", major, minor, patch);
    if (!pre.empty()) out += "-" + pre.str();
    if (!build.empty()) out += "+" + build.str();
    return out;
}

bool Comparator::matches(const Version& v) const {
    return matches_impl(*this, v) && (v.pre.empty() || pre_is_compatible(*this, v));
}

std::string Comparator::to_string() const {
    std::string out(semver_op_text(op));
    out += fmt::format("{}", major);
    if (minor) {
        out += fmt::format(".{}", *minor);
        if (patch) {
            out += fmt::format(".{}", *patch);
            if (!pre.empty()) out += "-" + pre.str();
        } else if (op == SemverOp::Wildcard) {
            out += ".*";
        }
    } else if (op == SemverOp::Wildcard) {
        out += ".*";
    }
    return out;
}

std::expected<VersionReq, SemverError> VersionReq::parse(std::string_view text) {
    if (text.empty()) return fail(SemverErrorKind::Empty);
    text = trim_spaces(text);
    if (auto w = wildcard(text)) {
        const std::string_view rest = trim_spaces(w->second);
        if (rest.empty()) return VersionReq{};
        if (rest.starts_with(','))
            return fail(SemverErrorKind::WildcardNotTheOnlyComparator, SemverPosition::Major,
                        static_cast<char32_t>(w->first));
        return fail(SemverErrorKind::UnexpectedAfterWildcard);
    }

    VersionReq req;
    for (;;) {
        auto parsed = comparator(text);
        if (!parsed) {
            SemverError error = parsed.error();
            // A wildcard standing alone among other comparators.
            if (auto w = wildcard(text)) {
                const std::string_view rest = trim_spaces(w->second);
                if (rest.empty() || rest.starts_with(','))
                    error = SemverError{SemverErrorKind::WildcardNotTheOnlyComparator, SemverPosition::Major,
                                        static_cast<char32_t>(w->first)};
            }
            return std::unexpected(error);
        }
        req.comparators.push_back(std::move(parsed->comparator));
        std::string_view rest = parsed->rest;
        if (rest.empty()) return req;
        if (!strip_prefix(rest, ',')) return fail(SemverErrorKind::ExpectedCommaFound, parsed->pos, first_char(rest));
        if (req.comparators.size() == kMaxComparators) return fail(SemverErrorKind::ExcessiveComparators);
        text = trim_spaces(rest);
    }
}

VersionReq VersionReq::exact(const Version& v) {
    return VersionReq{{Comparator{SemverOp::Exact, v.major, v.minor, v.patch, v.pre}}};
}

bool VersionReq::matches(const Version& v) const {
    for (const auto& c : comparators)
        if (!matches_impl(c, v)) return false;
    if (v.pre.empty()) return true;
    for (const auto& c : comparators)
        if (pre_is_compatible(c, v)) return true;
    return false;
}

std::string VersionReq::to_string() const {
    if (comparators.empty()) return "*";
    std::string out;
    for (std::size_t i = 0; i < comparators.size(); ++i) {
        if (i > 0) out += ", ";
        out += comparators[i].to_string();
    }
    return out;
}

}  // namespace kecore
