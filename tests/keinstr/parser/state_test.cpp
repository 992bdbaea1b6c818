// Parser state: numbering by first request, clear, the token readers, the
// resolver and generator hooks.

#include <gtest/gtest.h>

#include "grammar_fixture.hpp"

namespace keinstr {
namespace {

TEST(State, NumbersByFirstRequestAndClears) {
    TypeRegistry reg(0, NodeId{});
    State s(nullptr, nullptr, reg);
    std::vector<std::uint32_t> got;
    for (const char* n : {"a", "b", "a", "c", ""}) got.push_back(s.get_register(n).id);
    EXPECT_EQ(got, (std::vector<std::uint32_t>{0, 1, 0, 2, 3}));
    // Labels number on their own; the same word is independent in each map.
    EXPECT_EQ(s.get_label("a").id, 0u);
    EXPECT_EQ(s.get_label("bb").id, 1u);
    EXPECT_EQ(s.get_label("bb.exit").id, 2u);
    EXPECT_EQ(s.get_register("a").id, 0u);
    s.clear();
    EXPECT_TRUE(s.registers.empty());
    EXPECT_TRUE(s.labels.empty());
    EXPECT_EQ(s.get_register("z").id, 0u);
    EXPECT_EQ(s.get_label("z").id, 0u);
    EXPECT_EQ(s.type_registry, &reg);
}

TEST(State, TokenReaders) {
    test::Grammar g("%x.y bb.then. !f.a f");
    const auto& t = g.lexed.tokens;
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(read_register(g.state, t[0]).id, 0u);
    EXPECT_TRUE(g.state.registers.contains("x.y"));
    EXPECT_EQ(read_label(g.state, t[1]).id, 0u);
    EXPECT_TRUE(g.state.labels.contains("bb.then."));
    EXPECT_EQ(read_function_name(t[2]), (FunctionName{"f.a", true}));
    EXPECT_EQ(read_function_name(t[3]), (FunctionName{"f", false}));
}

TEST(State, ResolverAndGenerator) {
    TypeRegistry reg(0, NodeId{});
    int calls = 0;
    auto gen = std::make_shared<const UuidGenerator>([&] {
        ++calls;
        return test::uuid_of(7);
    });
    test::FakeResolver r;
    r.known["f"] = test::uuid_of(1);
    State s(r.make(), gen, reg);
    EXPECT_EQ(s.new_function_uuid(), test::uuid_of(7));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s.resolve_function("f", true), test::uuid_of(1));
    EXPECT_EQ(s.resolve_function("g", false), std::nullopt);
    EXPECT_EQ(r.asked, (std::vector<std::pair<std::string, bool>>{{"f", true}, {"g", false}}));

    // Without hooks: no function resolves, and UUIDs are fresh version-4 ones.
    State bare(nullptr, nullptr, reg);
    EXPECT_EQ(bare.resolve_function("f", false), std::nullopt);
    const Uuid a = bare.new_function_uuid();
    EXPECT_EQ(a.version(), 4);
    EXPECT_NE(a, bare.new_function_uuid());
    EXPECT_EQ((*random_uuid_generator())().version(), 4);
}

}  // namespace
}  // namespace keinstr
