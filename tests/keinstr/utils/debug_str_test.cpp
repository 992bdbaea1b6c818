#include <gtest/gtest.h>

#include "keinstr/utils/debug_str.hpp"
#include "keinstr/utils/unicode_tables.hpp"

using namespace keinstr;

TEST(DebugStr, Escapes) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"a\"b", "\"a\\\"b\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"t\tr\rn\n", "\"t\\tr\\rn\\n\""},
        {std::string("nul\0x", 5), "\"nul\\0x\""},
        {"it's", "\"it's\""},                                          // single quote stays in strings
        {"\x01\x7f", "\"\\u{1}\\u{7f}\""},                             // controls
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},                            // printable non-ASCII kept
        {"e\xcc\x81", "\"e\\u{301}\""},                                // combining acute: grapheme extend
        {"\xe2\x80\x8b", "\"\\u{200b}\""},                             // zero width space (Cf)
        {"\xc2\xa0", "\"\\u{a0}\""},                                   // no-break space (Zs)
        {" ", "\" \""},                                                // plain space is printable
        {"\xe2\x80\xa8", "\"\\u{2028}\""},                             // line separator
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},                  // emoji
        {"\xf3\xb0\x80\x80", "\"\\u{f0000}\""},                        // private use
        {"\xff", "\"\xef\xbf\xbd\""},                                  // invalid byte -> U+FFFD
        {"\xe2\x82", "\"\xef\xbf\xbd\""},                              // truncated sequence
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // encoded surrogate
    };
    for (const auto& c : cases) EXPECT_EQ(debug_str(c.in), c.out) << c.in;
}

TEST(DebugStr, AsciiRunsAgreeWithTheCharacterByCharacterForm) {
    // Runs of plain ASCII are copied whole; every ASCII character between them
    // must still read as it does alone.
    for (int c = 0; c < 0x80; ++c) {
        std::string escaped;
        write_escaped_char(escaped, static_cast<char32_t>(c), true);
        const std::string in = std::string("ab") + static_cast<char>(c) + "cd" + static_cast<char>(c);
        EXPECT_EQ(debug_str(in), "\"ab" + escaped + "cd" + escaped + "\"") << c;
    }
}

TEST(DebugStr, CharForm) {
    EXPECT_EQ(debug_char(U'a'), "'a'");
    EXPECT_EQ(debug_char(U'\''), "'\\''");
    EXPECT_EQ(debug_char(U'"'), "'\"'");
    EXPECT_EQ(debug_char(U'\n'), "'\\n'");
    EXPECT_EQ(debug_char(0x301), "'\\u{301}'");
    EXPECT_EQ(debug_char(0xD800), "'\\u{d800}'");
}

TEST(UnicodeTables, SpotChecks) {
    struct Case {
        char32_t c;
        bool xid_start, xid_continue, white_space, grapheme_extend, printable;
    };
    const Case cases[] = {
        {U'a', true, true, false, false, true},        {U'_', false, true, false, false, true},
        {U'7', false, true, false, false, true},       {U' ', false, false, true, false, true},
        {U'\t', false, false, true, false, false},     {0x85, false, false, true, false, false},  // next line
        {0x3000, false, false, true, false, false},                                               // ideographic space
        {0x00E9, true, true, false, false, true},                                                 // e acute
        {0x0301, false, true, false, true, true},                                                 // combining acute
        {0x200C, false, false, false, true, false},     // zero width non-joiner
        {0x4E00, true, true, false, false, true},       // CJK ideograph (range entry)
        {0x9FFF, true, true, false, false, true},       // end of that range (UCD 15)
        {0xAC00, true, true, false, false, true},       // Hangul syllable
        {0x0378, false, false, false, false, false},    // unassigned
        {0x10FFFF, false, false, false, false, false},  // noncharacter
        {0x1F600, false, false, false, false, true},    // emoji
        {0xE0100, false, true, false, true, true},      // variation selector 17
        {0x110000, false, false, false, false, false},  // beyond Unicode
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<unsigned>(c.c));
        EXPECT_EQ(is_xid_start(c.c), c.xid_start);
        EXPECT_EQ(is_xid_continue(c.c), c.xid_continue);
        EXPECT_EQ(is_white_space(c.c), c.white_space);
        EXPECT_EQ(is_grapheme_extend(c.c), c.grapheme_extend);
        EXPECT_EQ(is_printable(c.c), c.printable);
    }
}
