#include "keinstr/text/expected.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace keinstr {
namespace {

TEST(FoundExpected, ReasonTexts) {
    const Pattern p = Pattern::label("p");
    const Pattern q = Pattern::literal(",");
    const Pattern r = Pattern::end_of_input();
    struct Case {
        std::optional<std::string_view> found;
        std::vector<Pattern> expected;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"x", {}, "found 'x' expected something else"},
        {std::nullopt, {p}, "found end of input expected p"},
        {"x", {p, q}, "found 'x' expected p, or ','"},
        {"\\n", {p, q, r}, "found '\\n' expected p, ',', or end of input"},
        {"x",
         {Pattern::any(), Pattern::something_else(), Pattern::label("token Identifier")},
         "found 'x' expected any, something else, or token Identifier"},
    };
    for (const Case& c : cases) EXPECT_EQ(found_expected_text(c.found, c.expected), c.text);
}

std::vector<Pattern> kept(const Furthest& f) { return {f.expected().begin(), f.expected().end()}; }

TEST(Furthest, KeepsOnlyTheFurthestPositionInFirstSeenOrder) {
    const Pattern a = Pattern::label("a"), b = Pattern::label("b"), c = Pattern::literal("c");
    Furthest f;
    EXPECT_FALSE(f.has_failure());
    f.fail(3, a);
    f.fail(3, b);
    f.fail(3, a);  // no duplicates
    f.fail(1, c);  // nearer: ignored
    EXPECT_EQ(f.position(), 3u);
    EXPECT_EQ(kept(f), (std::vector<Pattern>{a, b}));
    f.fail(5);  // farther, naming nothing: replaces
    EXPECT_EQ(f.position(), 5u);
    EXPECT_TRUE(kept(f).empty());
    EXPECT_EQ(f.reason(std::nullopt), "found end of input expected something else");
    f.fail(5, c);
    EXPECT_EQ(f.reason("?"), "found '?' expected 'c'");
    f.clear();
    EXPECT_FALSE(f.has_failure());
}

TEST(Furthest, LabelsApplyOnlyToFailuresAtTheRuleStart) {
    const Pattern inner1 = Pattern::literal("("), inner2 = Pattern::literal("["), old = Pattern::label("old");
    const Pattern label = Pattern::label("type");

    // The rule failed where it began: its patterns become its label; earlier
    // patterns at the same position stay in front.
    Furthest f;
    f.fail(4, old);
    auto m = f.mark();
    f.fail(4, inner1);
    f.fail(4, inner2);
    f.label_since(m, 4, label);
    EXPECT_EQ(kept(f), (std::vector<Pattern>{old, label}));

    // Nearer earlier failures are replaced by the label alone.
    Furthest g;
    g.fail(2, old);
    m = g.mark();
    g.fail(4, inner1);
    g.label_since(m, 4, label);
    EXPECT_EQ(g.position(), 4u);
    EXPECT_EQ(kept(g), (std::vector<Pattern>{label}));

    // The rule got further before failing: its inner patterns stand.
    Furthest h;
    m = h.mark();
    h.fail(4, inner1);
    h.fail(6, inner2);
    h.label_since(m, 4, label);
    EXPECT_EQ(h.position(), 6u);
    EXPECT_EQ(kept(h), (std::vector<Pattern>{inner2}));

    // A rule that recorded nothing leaves the record alone.
    Furthest k;
    k.fail(4, old);
    m = k.mark();
    k.label_since(m, 4, label);
    EXPECT_EQ(kept(k), (std::vector<Pattern>{old}));
}

}  // namespace
}  // namespace keinstr
