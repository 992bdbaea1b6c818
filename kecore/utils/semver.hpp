#pragma once

// Semantic versions and version requirements.
//
// Version: MAJOR.MINOR.PATCH[-PRE][+BUILD], ordered by precedence (build metadata
// breaks ties last). VersionReq: comma-separated comparators (=, >, >=, <, <=, ~, ^,
// bare = caret, wildcards *, x, X, partial versions), at most 32 of them; a
// pre-release version satisfies a requirement only when some comparator names its
// major.minor.patch and carries a pre-release itself.

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "keinstr/utils/enum_table.hpp"

namespace kecore {

// value, text
// clang-format off
#define KECORE_SEMVER_POSITIONS(X)              \
    X(Major, "major version number")            \
    X(Minor, "minor version number")            \
    X(Patch, "patch version number")            \
    X(Pre, "pre-release identifier")            \
    X(Build, "build metadata")
// clang-format on

KE_DEFINE_TABLE_ENUM(SemverPosition, semver_position, KECORE_SEMVER_POSITIONS)

std::string_view semver_position_text(SemverPosition pos) noexcept;

// value, message template ({pos}: the position's text; {ch}: the character quoted as a
// character literal; {wc}: the wildcard character as it is)
// clang-format off
#define KECORE_SEMVER_ERRORS(X)                                                                  \
    X(Empty, "empty string, expected a semver version")                                          \
    X(UnexpectedEnd, "unexpected end of input while parsing {pos}")                              \
    X(LeadingZero, "invalid leading zero in {pos}")                                              \
    X(Overflow, "value of {pos} exceeds u64::MAX")                                               \
    X(EmptySegment, "empty identifier segment in {pos}")                                         \
    X(UnexpectedChar, "unexpected character {ch} while parsing {pos}")                           \
    X(UnexpectedCharAfter, "unexpected character {ch} after {pos}")                              \
    X(ExpectedCommaFound, "expected comma after {pos}, found {ch}")                              \
    X(WildcardNotTheOnlyComparator, "wildcard req ({wc}) must be the only comparator in the version req") \
    X(UnexpectedAfterWildcard, "unexpected character after wildcard in version req")             \
    X(ExcessiveComparators, "excessive number of version comparators")
// clang-format on

KE_DEFINE_TABLE_ENUM(SemverErrorKind, semver_error_kind, KECORE_SEMVER_ERRORS)

// A parse failure of a version or requirement; shown through to_string().
struct SemverError {
    SemverErrorKind kind = SemverErrorKind::Empty;
    SemverPosition position = SemverPosition::Major;  // where the kind names one
    char32_t ch = 0;                                  // where the kind names one
    std::string to_string() const;
    bool operator==(const SemverError&) const = default;
};

// Dot-separated pre-release identifiers; empty means none. Numeric identifiers order
// numerically and below alphanumeric ones; a version without pre-release orders above
// every version with one.
class Prerelease {
public:
    Prerelease() = default;
    // `text` must already be well formed (as Version::parse accepts it).
    explicit Prerelease(std::string text) : text_(std::move(text)) {}
    bool empty() const noexcept { return text_.empty(); }
    const std::string& str() const noexcept { return text_; }
    std::strong_ordering operator<=>(const Prerelease& rhs) const noexcept;
    bool operator==(const Prerelease&) const = default;

private:
    std::string text_;
};

// Dot-separated build identifiers; take part only in ordering ties.
class BuildMetadata {
public:
    BuildMetadata() = default;
    explicit BuildMetadata(std::string text) : text_(std::move(text)) {}
    bool empty() const noexcept { return text_.empty(); }
    const std::string& str() const noexcept { return text_; }
    std::strong_ordering operator<=>(const BuildMetadata& rhs) const noexcept;
    bool operator==(const BuildMetadata&) const = default;

private:
    std::string text_;
};

struct Version {
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    std::uint64_t patch = 0;
    Prerelease pre;
    BuildMetadata build;

    Version() = default;
    Version(std::uint64_t maj, std::uint64_t min, std::uint64_t pat) : major{maj}, minor{min}, patch{pat} {}

    static std::expected<Version, SemverError> parse(std::string_view text);
    // MAJOR.MINOR.PATCH, then "-" PRE and "+" BUILD when present.
    std::string to_string() const;

    std::strong_ordering operator<=>(const Version&) const = default;
    bool operator==(const Version&) const = default;
};

// value, text
// clang-format off
#define KECORE_SEMVER_OPS(X) \
    X(Exact, "=")            \
    X(Greater, ">")          \
    X(GreaterEq, ">=")       \
    X(Less, "<")             \
    X(LessEq, "<=")          \
    X(Tilde, "~")            \
    X(Caret, "^")            \
    X(Wildcard, "")
// clang-format on

KE_DEFINE_TABLE_ENUM(SemverOp, semver_op, KECORE_SEMVER_OPS)

std::string_view semver_op_text(SemverOp op) noexcept;

// One comparator of a requirement. Build metadata written in a comparator is accepted
// and dropped.
struct Comparator {
    SemverOp op = SemverOp::Caret;
    std::uint64_t major = 0;
    std::optional<std::uint64_t> minor;
    std::optional<std::uint64_t> patch;  // only with minor
    Prerelease pre;                      // only with patch

    // This comparator alone, with the pre-release rule.
    bool matches(const Version& v) const;
    std::string to_string() const;
    bool operator==(const Comparator&) const = default;
};

struct VersionReq {
    // Empty: "*", matching every version without pre-release.
    std::vector<Comparator> comparators;

    static std::expected<VersionReq, SemverError> parse(std::string_view text);
    // One exact comparator: "=" MAJOR.MINOR.PATCH with the version's pre-release (its
    // build metadata dropped).
    static VersionReq exact(const Version& v);

    bool matches(const Version& v) const;
    // Comparators joined by ", "; "*" when there are none.
    std::string to_string() const;
    bool operator==(const VersionReq&) const = default;
};

}  // namespace kecore

template <>
struct fmt::formatter<kecore::Version> : fmt::formatter<std::string_view> {
    auto format(const kecore::Version& v, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(v.to_string(), ctx);
    }
};

template <>
struct fmt::formatter<kecore::VersionReq> : fmt::formatter<std::string_view> {
    auto format(const kecore::VersionReq& r, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(r.to_string(), ctx);
    }
};

template <>
struct fmt::formatter<kecore::Comparator> : fmt::formatter<std::string_view> {
    auto format(const kecore::Comparator& c, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(c.to_string(), ctx);
    }
};

template <>
struct fmt::formatter<kecore::SemverError> : fmt::formatter<std::string_view> {
    auto format(const kecore::SemverError& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
