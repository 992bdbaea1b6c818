#include <gtest/gtest.h>

#include <algorithm>

#include "kecore/utils/semver.hpp"

using namespace kecore;

namespace {

Version v(std::string_view text) {
    auto r = Version::parse(text);
    EXPECT_TRUE(r) << text << ": " << (r ? "" : r.error().to_string());
    return r.value_or(Version());
}

VersionReq req(std::string_view text) {
    auto r = VersionReq::parse(text);
    EXPECT_TRUE(r) << text << ": " << (r ? "" : r.error().to_string());
    return r.value_or(VersionReq());
}

}  // namespace

TEST(Semver, VersionParseAndDisplay) {
    struct Case {
        std::string_view text;
        std::uint64_t major, minor, patch;
        std::string_view pre, build;
    };
    const Case cases[] = {
        {"0.1.2", 0, 1, 2, "", ""},
        {"1.2.3-alpha.1", 1, 2, 3, "alpha.1", ""},
        {"1.2.3+build.5", 1, 2, 3, "", "build.5"},
        {"1.2.3-rc-1.0+001.x-y", 1, 2, 3, "rc-1.0", "001.x-y"},
        {"18446744073709551615.0.0", 18446744073709551615ULL, 0, 0, "", ""},
    };
    for (const auto& c : cases) {
        const Version ver = v(c.text);
        EXPECT_EQ(ver.major, c.major);
        EXPECT_EQ(ver.minor, c.minor);
        EXPECT_EQ(ver.patch, c.patch);
        EXPECT_EQ(ver.pre.str(), c.pre);
        EXPECT_EQ(ver.build.str(), c.build);
        EXPECT_EQ(ver.to_string(), c.text);
        EXPECT_EQ(fmt::format("v{}", ver), fmt::format("v{}", c.text));
    }
    EXPECT_EQ(Version(1, 2, 3).to_string(), "1.2.3");
}

TEST(Semver, VersionErrors) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", "empty string, expected a semver version"},
        {"1", "unexpected end of input while parsing major version number"},
        {"1.2", "unexpected end of input while parsing minor version number"},
        {"1.2.", "unexpected end of input while parsing patch version number"},
        {"a.b.c", "unexpected character 'a' while parsing major version number"},
        {"1.2.x", "unexpected character 'x' while parsing patch version number"},
        {"1,2.3", "unexpected character ',' after major version number"},
        {"01.2.3", "invalid leading zero in major version number"},
        {"1.00.3", "invalid leading zero in minor version number"},
        {"18446744073709551616.0.0", "value of major version number exceeds u64::MAX"},
        {"1.2.3-", "empty identifier segment in pre-release identifier"},
        {"1.2.3-a..b", "empty identifier segment in pre-release identifier"},
        {"1.2.3-01", "invalid leading zero in pre-release identifier"},
        {"1.2.3+", "empty identifier segment in build metadata"},
        {"1.2.3 ", "unexpected character ' ' after patch version number"},
        {"1.2.3-a$", "unexpected character '$' after pre-release identifier"},
        {"1.2.3+b!", "unexpected character '!' after build metadata"},
        {"1.2.3\xc3\xa9", "unexpected character '\xc3\xa9' after patch version number"},
        {std::string_view("1.2.\0", 5), "unexpected character '\\0' while parsing patch version number"},
        {"1.2.3\n", "unexpected character '\\n' after patch version number"},
        {"1.2.3'", "unexpected character '\\'' after patch version number"},
    };
    for (const auto& [text, message] : cases) {
        auto r = Version::parse(text);
        ASSERT_FALSE(r) << text;
        EXPECT_EQ(r.error().to_string(), message) << text;
    }
    // Leading zeros are allowed in build metadata and in alphanumeric pre-release parts.
    EXPECT_TRUE(Version::parse("1.2.3-0a+007"));
}

TEST(Semver, Precedence) {
    const std::string_view ascending[] = {
        "0.9.99",     "1.0.0-0",      "1.0.0-9",       "1.0.0-10",   "1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.beta",
        "1.0.0-beta", "1.0.0-beta.2", "1.0.0-beta.11", "1.0.0-rc.1", "1.0.0",       "1.0.0+0",       "1.0.0+00",
        "1.0.0+1",    "1.0.0+01",     "1.0.0+10",      "1.0.0+a",    "1.0.1",       "1.1.0",         "2.0.0",
    };
    for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
        EXPECT_LT(v(ascending[i]), v(ascending[i + 1])) << ascending[i] << " < " << ascending[i + 1];
        EXPECT_GT(v(ascending[i + 1]), v(ascending[i]));
    }
    EXPECT_EQ(v("1.0.0-a.1+x"), v("1.0.0-a.1+x"));
    EXPECT_NE(v("1.0.0+x"), v("1.0.0"));
}

TEST(Semver, RequirementParseAndDisplay) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"=0.1.2", "=0.1.2"},
        {"1.2.3", "^1.2.3"},
        {"^1.2", "^1.2"},
        {"  >= 1.2 ,  <2  ", ">=1.2, <2"},
        {">=0.1.0, <0.2.0", ">=0.1.0, <0.2.0"},
        {"~1", "~1"},
        {"<=1.2.3-rc.1", "<=1.2.3-rc.1"},
        {"=1.2.3-alpha.1+build.7", "=1.2.3-alpha.1"},
        {"*", "*"},
        {" x ", "*"},
        {"X", "*"},
        {"1.*", "1.*"},
        {"1.x.X", "1.*"},
        {"1.2.*", "1.2.*"},
        {"=1.*", "=1"},
        {">1.2.x", ">1.2"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(req(text).to_string(), shown) << text;
        EXPECT_EQ(req(shown), req(text)) << text;  // the display reads back the same
    }
    EXPECT_EQ(req("*").comparators.size(), 0u);
    EXPECT_EQ(VersionReq::exact(v("0.1.2")).to_string(), "=0.1.2");
    EXPECT_EQ(VersionReq::exact(v("0.1.2-rc.1+b7")).to_string(), "=0.1.2-rc.1");
}

TEST(Semver, RequirementErrors) {
    std::string many;
    for (int i = 0; i < 33; ++i) many += i ? ", 1" : "1";
    const std::pair<std::string, std::string_view> cases[] = {
        {"", "empty string, expected a semver version"},
        {">=", "unexpected end of input while parsing major version number"},
        {">= >= 0.0.2", "unexpected character '>' while parsing major version number"},
        {">== 0.0.2", "unexpected character '=' while parsing major version number"},
        {"a.0.0", "unexpected character 'a' while parsing major version number"},
        {std::string("\0", 1), "unexpected character '\\0' while parsing major version number"},
        {"1.", "unexpected end of input while parsing minor version number"},
        {"01", "invalid leading zero in major version number"},
        {"99999999999999999999", "value of major version number exceeds u64::MAX"},
        {"1.0.0-", "empty identifier segment in pre-release identifier"},
        {"1.2.3-01", "invalid leading zero in pre-release identifier"},
        {"1.2.3+4.", "empty identifier segment in build metadata"},
        {"1.*.", "unexpected character after wildcard in version req"},
        {"1.*.3", "unexpected character after wildcard in version req"},
        {"* 1", "unexpected character after wildcard in version req"},
        {"*, 1.0", "wildcard req (*) must be the only comparator in the version req"},
        {"1.0, *", "wildcard req (*) must be the only comparator in the version req"},
        {"1.0, x , 2", "wildcard req (x) must be the only comparator in the version req"},
        {", *", "unexpected character ',' while parsing major version number"},
        {"1.2.3 1.2.4", "expected comma after patch version number, found '1'"},
        {"1.2-beta", "expected comma after minor version number, found '-'"},
        {"1.2.3+4\xc3\xbf", "expected comma after build metadata, found '\xc3\xbf'"},
        {many, "excessive number of version comparators"},
    };
    for (const auto& [text, message] : cases) {
        auto r = VersionReq::parse(text);
        ASSERT_FALSE(r) << text;
        EXPECT_EQ(r.error().to_string(), message) << text;
    }
    many.resize(many.size() - 3);  // 32 comparators are allowed
    EXPECT_EQ(req(many).comparators.size(), 32u);
}

TEST(Semver, Matching) {
    struct Case {
        std::string_view req;
        std::string_view version;
        bool matches;
    };
    const Case cases[] = {
        {"=0.1.2", "0.1.2", true},
        {"=0.1.3", "0.1.2", false},
        {"=0.1.2", "0.1.2+build", true},
        {"^1.2.3", "1.2.3", true},
        {"^1.2.3", "1.9.0", true},
        {"^1.2.3", "1.2.2", false},
        {"^1.2.3", "2.0.0", false},
        {"^0.2.3", "0.2.9", true},
        {"^0.2.3", "0.3.0", false},
        {"^0.0.3", "0.0.3", true},
        {"^0.0.3", "0.0.4", false},
        {"^0", "0.9.9", true},
        {"^0.1", "0.2.0", false},
        {"^1.1", "1.5.0", true},
        {"~1.2.3", "1.2.9", true},
        {"~1.2.3", "1.3.0", false},
        {"~1", "1.9.0", true},
        {">=0.1.0, <0.2.0", "0.1.2", true},
        {">=0.1.0, <0.2.0", "0.2.0", false},
        {">1.2", "1.2.9", false},
        {">1.2", "1.3.0", true},
        {"<=1.2", "1.2.9", true},
        {"<=1.2", "1.3.0", false},
        {"<1", "0.99.99", true},
        {"1.2.*", "1.2.7", true},
        {"1.2.*", "1.3.0", false},
        {"*", "5.0.0", true},
        // Pre-releases match only a comparator of the same major.minor.patch with one.
        {"*", "1.0.0-alpha", false},
        {"=0.1.2-alpha", "0.1.2-alpha", true},
        {"=0.1.2-alpha", "0.1.2", false},
        {">=1.0.0-alpha", "1.0.0-beta", true},
        {">=1.0.0-alpha", "1.0.1-alpha", false},
        {">=1.0.0", "1.0.1-alpha", false},
        {">=1.0.0-beta", "1.0.0-alpha", false},
        {"^1.2.3-alpha", "1.2.3", true},
        {"^1.2.3-alpha", "1.2.4-beta", false},
        {"~1.2.3-beta", "1.2.3-beta.2", true},
        {">=1.2.3-rc.1, <2", "1.2.3-rc.2", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(req(c.req).matches(v(c.version)), c.matches) << c.req << " vs " << c.version;
        if (req(c.req).comparators.size() == 1) {
            EXPECT_EQ(req(c.req).comparators[0].matches(v(c.version)), c.matches) << c.req << " vs " << c.version;
        }
    }
}
