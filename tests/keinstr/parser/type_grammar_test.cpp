// Type grammar: the written forms, interning, the size checks and their spans,
// the expected lists of failures, and nesting far beyond any call stack.

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>

#include "grammar_fixture.hpp"
#include "keinstr/text/type_grammar.hpp"

namespace keinstr {
namespace {

using test::Grammar;

struct TypeCase {
    const char* text;
    std::function<Typeref(const Grammar&)> expected;
};

TEST(TypeGrammar, WrittenFormsInternTheirTypes) {
    const TypeCase cases[] = {
        {"i32", [](const Grammar& g) { return g.i(32); }},
        {"fp64", [](const Grammar& g) { return g.intern(float_type(FType::Fp64)); }},
        {"ptr", [](const Grammar& g) { return g.intern(ptr_type()); }},
        {"< 4 x i32 >", [](const Grammar& g) { return g.intern(vector_type(VcSize::fixed(4), IType{32})); }},
        {"<vscale 2 x fp32>", [](const Grammar& g) { return g.intern(vector_type(VcSize::scalable(2), FType::Fp32)); }},
        {"<4 x ptr>", [](const Grammar& g) { return g.intern(vector_type(VcSize::fixed(4), PtrType{})); }},
        {"<65535 x i1>", [](const Grammar& g) { return g.intern(vector_type(VcSize::fixed(65535), IType{1})); }},
        {"[4 x i32]", [](const Grammar& g) { return g.intern(array_type(g.i(32), 4)); }},
        {"[0x10 x i8]", [](const Grammar& g) { return g.intern(array_type(g.i(8), 16)); }},
        {"[65535 x i8]", [](const Grammar& g) { return g.intern(array_type(g.i(8), 65535)); }},
        {"{}", [](const Grammar& g) { return g.intern(struct_type({}, false)); }},
        {"packed {}", [](const Grammar& g) { return g.intern(struct_type({}, true)); }},
        {"{ i32, ptr }",
         [](const Grammar& g) {
             return g.intern(struct_type({g.i(32), g.intern(ptr_type())}));
         }},
        {"packed {i8, [2 x {i1}]}",
         [](const Grammar& g) {
             const Typeref inner = g.intern(struct_type({g.i(1)}));
             return g.intern(struct_type({g.i(8), g.intern(array_type(inner, 2))}, true));
         }},
        {"[2 x [3 x {i8, <2 x fp32>}]]",
         [](const Grammar& g) {
             const Typeref v = g.intern(vector_type(VcSize::fixed(2), FType::Fp32));
             const Typeref s = g.intern(struct_type({g.i(8), v}));
             return g.intern(array_type(g.intern(array_type(s, 3)), 2));
         }},
        {"{i32, i32}",
         [](const Grammar& g) {
             return g.intern(struct_type({g.i(32), g.i(32)}));
         }},
    };
    for (const TypeCase& c : cases) {
        Grammar g(c.text);
        const auto got = labelled_type_parser(g.parser);
        ASSERT_TRUE(got) << c.text << ": " << g.failure();
        EXPECT_TRUE(g.parser.at_end()) << c.text;
        EXPECT_TRUE(g.parser.findings().empty()) << c.text;
        const std::size_t interned = g.registry.len();
        EXPECT_EQ(*got, c.expected(g)) << c.text;
        // Everything the expectation names was interned by the parse already.
        EXPECT_EQ(g.registry.len(), interned) << c.text;
    }
}

TEST(TypeGrammar, PackedAndPlainStructsDiffer) {
    Grammar g("{i8} packed {i8} {i8}");
    const auto a = type_parser(g.parser);
    const auto b = type_parser(g.parser);
    const auto c = type_parser(g.parser);
    ASSERT_TRUE(a && b && c);
    EXPECT_NE(*a, *b);
    EXPECT_EQ(*a, *c);
    EXPECT_EQ(g.registry.len(), 3u);  // i8, {i8}, packed {i8}
}

struct SizeCase {
    const char* text;
    AnyType (*expected)(const Grammar&);
    std::vector<Finding> findings;
};

TEST(TypeGrammar, SizeChecksFallBackToOneAndReportTheirSpan) {
    const SizeCase cases[] = {
        // Array findings span the whole array type, "[" to "]".
        {"[0 x i8]",
         [](const Grammar& g) { return array_type(g.i(8), 1); },
         {{{0, 5}, "array size must be a positive non-zero integer"}}},
        {"[-3 x i8]",
         [](const Grammar& g) { return array_type(g.i(8), 1); },
         {{{0, 5}, "array size must be a positive non-zero integer"}}},
        {"[-99999999999999999999999 x i8]",
         [](const Grammar& g) { return array_type(g.i(8), 1); },
         {{{0, 5}, "array size must be a positive non-zero integer"}}},
        {"[65536 x i8]",
         [](const Grammar& g) { return array_type(g.i(8), 1); },
         {{{0, 5}, "array size too large: maximum allowed is 65535, got 65536"}}},
        {"[99999999999999999999999 x i8]",
         [](const Grammar& g) { return array_type(g.i(8), 1); },
         {{{0, 5}, "array size too large: maximum allowed is 65535, got 99999999999999999999999"}}},
        {"[0x10000 x {}]",
         [](const Grammar& g) { return array_type(g.intern(struct_type({})), 1); },
         {{{0, 6}, "array size too large: maximum allowed is 65535, got 65536"}}},
        // Vector findings span the count.
        {"<0 x i8>",
         [](const Grammar&) { return vector_type(VcSize::fixed(1), IType{8}); },
         {{{1, 2}, "vector size must be a positive non-zero integer"}}},
        {"<70000 x i8>",
         [](const Grammar&) { return vector_type(VcSize::fixed(1), IType{8}); },
         {{{1, 2}, "vector size too large: maximum allowed is 65535, got 70000"}}},
        {"<vscale 65536 x i1>",
         [](const Grammar&) { return vector_type(VcSize::scalable(1), IType{1}); },
         {{{2, 3}, "vector size too large: maximum allowed is 65535, got 65536"}}},
        // Inner findings first, each at its own span.
        {"[2 x [0 x i8]]",
         [](const Grammar& g) { return array_type(g.intern(array_type(g.i(8), 1)), 2); },
         {{{3, 8}, "array size must be a positive non-zero integer"}}},
        {"{[0 x i8], <0 x i1>}",
         [](const Grammar& g) {
             return struct_type({g.intern(array_type(g.i(8), 1)), g.intern(vector_type(VcSize::fixed(1), IType{1}))});
         },
         {{{1, 6}, "array size must be a positive non-zero integer"},
          {{8, 9}, "vector size must be a positive non-zero integer"}}},
    };
    for (const SizeCase& c : cases) {
        Grammar g(c.text);
        const auto got = labelled_type_parser(g.parser);
        ASSERT_TRUE(got) << c.text;
        EXPECT_TRUE(g.parser.at_end()) << c.text;
        EXPECT_EQ(*got, g.intern(c.expected(g))) << c.text;
        EXPECT_EQ(g.parser.findings(), c.findings) << c.text;
    }
}

struct FailCase {
    const char* text;
    bool labelled;
    const char* failure;
};

TEST(TypeGrammar, FailuresNameWhatWasExpected) {
    const FailCase cases[] = {
        {":", true, "found ':' expected type"},
        {"ptr.a", true, "found 'ptr.a' expected type"},
        {":", false, "found ':' expected primary type, array type, or struct type"},
        {"[4 x :]", true, "found ':' expected primary type, array type, or struct type"},
        {"{i32,}", true, "found '}' expected primary type, array type, or struct type"},
        {"{,i32}", true, "found ',' expected primary type, array type, struct type, or '}'"},
        {"{i32 i32}", true, "found 'i32' expected ',', or '}'"},
        {"<4 x [2 x i8]>", true, "found '[' expected token IType, token FType, or 'ptr'"},
        {"<4 x <2 x i8>>", true, "found '<' expected token IType, token FType, or 'ptr'"},
        {"<4 x i32", true, "found end of input expected '>'"},
        {"<X 4 x i32>", true, "found 'X' expected 'vscale', or token Number"},
        {"[4.0 x i8]", true, "found '4.0' expected token Number"},
        {"[4 i8]", true, "found 'i8' expected 'x'"},
        {"[4 x i8", true, "found end of input expected ']'"},
        {"packed [4 x i8]", true, "found '[' expected '{'"},
    };
    for (const FailCase& c : cases) {
        Grammar g(c.text);
        const auto got = c.labelled ? labelled_type_parser(g.parser) : type_parser(g.parser);
        EXPECT_FALSE(got) << c.text;
        EXPECT_EQ(g.parser.pos(), 0u) << c.text;
        EXPECT_EQ(g.failure(), c.failure) << c.text;
        EXPECT_TRUE(g.parser.findings().empty()) << c.text;
    }
}

TEST(TypeGrammar, InterningSurvivesAFailedParse) {
    Grammar g("[2 x {i8, [0 x i16]} ");
    EXPECT_FALSE(labelled_type_parser(g.parser));
    // The inner size finding is dropped with the failed outer array; the completed
    // inner types stay interned.
    EXPECT_TRUE(g.parser.findings().empty());
    EXPECT_EQ(g.failure(), "found end of input expected ']'");
    EXPECT_EQ(g.registry.len(), 4u);
    g.intern(struct_type({g.i(8), g.intern(array_type(g.i(16), 1))}));
    EXPECT_EQ(g.registry.len(), 4u);
}

// ---- nesting depth ----------------------------------------------------------

constexpr std::size_t kDepth = 100000;

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

// Runs `f` on a thread with a 256 KiB stack.
void on_small_stack(const std::function<void()>& f) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    auto trampoline = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()>*>(&f)), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
}

TEST(TypeGrammar, DeepNestingParsesOnASmallStack) {
    Grammar arrays(repeat("[1 x ", kDepth) + "i32" + repeat("]", kDepth));
    Grammar structs(repeat("{", kDepth) + repeat("}", kDepth));
    Grammar mixed(repeat("packed {[2 x ", kDepth) + "i8" + repeat("]}", kDepth));
    Grammar unclosed(repeat("[1 x {", kDepth) + "i32");
    std::optional<Typeref> a, s, m, u;
    on_small_stack([&] {
        a = labelled_type_parser(arrays.parser);
        s = labelled_type_parser(structs.parser);
        m = labelled_type_parser(mixed.parser);
        u = labelled_type_parser(unclosed.parser);
    });

    ASSERT_TRUE(a);
    EXPECT_TRUE(arrays.parser.at_end());
    Typeref expected = arrays.i(32);
    for (std::size_t i = 0; i < kDepth; ++i) expected = arrays.intern(array_type(expected, 1));
    EXPECT_EQ(*a, expected);
    EXPECT_EQ(arrays.registry.len(), kDepth + 1);

    ASSERT_TRUE(s);
    Typeref st = structs.intern(struct_type({}));
    for (std::size_t i = 1; i < kDepth; ++i) st = structs.intern(struct_type({st}));
    EXPECT_EQ(*s, st);
    EXPECT_EQ(structs.registry.len(), kDepth);

    ASSERT_TRUE(m);
    EXPECT_TRUE(mixed.parser.at_end());
    EXPECT_EQ(mixed.registry.len(), 2 * kDepth + 1);

    EXPECT_FALSE(u);
    EXPECT_EQ(unclosed.parser.pos(), 0u);
    EXPECT_EQ(unclosed.failure(), "found end of input expected ',', or '}'");
    EXPECT_EQ(unclosed.registry.len(), 1u);
}

}  // namespace
}  // namespace keinstr
