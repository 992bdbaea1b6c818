#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "keinstr/passes/analyze.hpp"
#include "tests/keinstr/passes/ir_builders.hpp"

namespace keinstr {
namespace {

using namespace keinstr::test;
using Edge = FlowGraph::Edge;

std::vector<Label> labels(std::initializer_list<std::uint32_t> ids) {
    std::vector<Label> out;
    for (auto id : ids) out.push_back(Label{id});
    return out;
}

TEST(Analyze, GraphShapes) {
    struct Case {
        const char* what;
        Function f;
        std::vector<Label> nodes;
        std::vector<Edge> edges;
    };
    const std::vector<Case> cases = {
        {"ret and trap only",
         function({}, {block(0, {}, ret()), block(3, {}, Trap{}), block(1, {}, ret(imm(0)))}),
         labels({0, 1, 3}),
         {}},
        {"branch: weighted true edge, unweighted false edge",
         function({0}, {block(0, {}, br(reg(0), 2, 1)), block(1, {}, ret()), block(2, {}, ret())}),
         labels({0, 1, 2}),
         {Edge{Label{0}, Label{2}, reg(0)}, Edge{Label{0}, Label{1}, std::nullopt}}},
        {"branch to one label twice: one unweighted edge",
         function({0}, {block(0, {}, br(reg(0), 1, 1)), block(1, {}, ret())}),
         labels({0, 1}),
         {Edge{Label{0}, Label{1}, std::nullopt}}},
        {"constant condition is copied onto the edge",
         function({}, {block(0, {}, br(imm(1), 1, 2)), block(1, {}, ret()), block(2, {}, ret())}),
         labels({0, 1, 2}),
         {Edge{Label{0}, Label{1}, imm(1)}, Edge{Label{0}, Label{2}, std::nullopt}}},
        {"two jumps into one block and a self loop",
         function({}, {block(0, {}, jump(2)), block(1, {}, jump(2)), block(2, {}, jump(2))}),
         labels({0, 1, 2}),
         {Edge{Label{0}, Label{2}, std::nullopt}, Edge{Label{1}, Label{2}, std::nullopt},
          Edge{Label{2}, Label{2}, std::nullopt}}},
        {"a jump to a missing label adds that label as a node",
         function({}, {block(0, {}, jump(9)), block(1, {}, br(undef(), 7, 0))}),
         labels({0, 1, 9, 7}),
         {Edge{Label{0}, Label{9}, std::nullopt}, Edge{Label{1}, Label{7}, undef()},
          Edge{Label{1}, Label{0}, std::nullopt}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const FlowGraph g = c.f.derive_function_flow();
        EXPECT_EQ(g.nodes(), c.nodes);
        EXPECT_EQ(g.edges(), c.edges);
    }
}

TEST(Analyze, ConditionOnEdgeIsIndependentOfTheFunction) {
    auto f = std::make_shared<Function>(
        function({}, {block(0, {}, br(imm(5), 1, 2)), block(1, {}, ret()), block(2, {}, ret())}));
    const FunctionAnalysis a = Function::analyze(f);
    std::get<Branch>(f->body.at(Label{0}).terminator).condition = imm(6);
    const Edge* e = a.function_flow.find_edge(Label{0}, Label{1});
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->weight, imm(5));
}

TEST(Analyze, DestinationMap) {
    // Block 1 defines %1 again (unverified input): the later definition wins.
    const Function f = function(
        {0},
        {
            block(1, {store(reg(0), reg(0)), neg(1, reg(0)), MetaAssert{reg(1)}, call(imm(0), {}), call(imm(0), {}, 4)},
                  ret()),
            block(0, {neg(1, reg(0)), add(2, reg(1), reg(1))}, jump(1)),
            block(2, {}, ret()),
        });
    const DestMap expected = {
        {Name{1}, InstructionPosition{Label{1}, 1}},
        {Name{2}, InstructionPosition{Label{0}, 1}},
        {Name{4}, InstructionPosition{Label{1}, 4}},
    };
    EXPECT_EQ(f.derive_dest_map(), expected);
}

// The map keeps one entry per name in ascending order, the last definition of a name
// winning, whatever the spread of the numbers.
TEST(Analyze, DestinationMapShapes) {
    using Entry = DestMap::value_type;
    const auto at = [](std::uint32_t block, std::uint32_t index) { return InstructionPosition{Label{block}, index}; };
    struct Case {
        const char* what;
        std::vector<Entry> definitions;  // in the order met
        std::vector<Entry> expected;
    };
    const std::vector<Case> cases = {
        {"ascending",
         {{Name{2}, at(0, 0)}, {Name{3}, at(0, 1)}, {Name{9}, at(1, 0)}},
         {{Name{2}, at(0, 0)}, {Name{3}, at(0, 1)}, {Name{9}, at(1, 0)}}},
        {"dense, out of order, repeated",
         {{Name{5}, at(0, 0)}, {Name{1}, at(0, 1)}, {Name{5}, at(2, 3)}, {Name{0}, at(3, 0)}},
         {{Name{0}, at(3, 0)}, {Name{1}, at(0, 1)}, {Name{5}, at(2, 3)}}},
        {"sparse, repeated",
         {{Name{4000000000u}, at(0, 0)},
          {Name{7}, at(0, 1)},
          {Name{4000000000u}, at(1, 2)},
          {Name{3000000000u}, at(1, 3)}},
         {{Name{7}, at(0, 1)}, {Name{3000000000u}, at(1, 3)}, {Name{4000000000u}, at(1, 2)}}},
        {"empty", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const DestMap m = DestMap::from_definitions(c.definitions);
        EXPECT_EQ(std::vector<Entry>(m.begin(), m.end()), c.expected);
        EXPECT_EQ(m.size(), c.expected.size());
        for (const auto& [name, pos] : c.expected) {
            ASSERT_TRUE(m.contains(name));
            EXPECT_EQ(m.at(name), pos);
            EXPECT_EQ(m.find(name)->first, name);
        }
        for (const Name missing : {Name{4}, Name{8}, Name{3500000000u}}) {
            EXPECT_EQ(m.count(missing), 0u);
            EXPECT_EQ(m.find(missing), m.end());
            EXPECT_THROW((void)m.at(missing), std::out_of_range);
        }
    }
}

// More nodes than reserved, edges added in mixed order.
TEST(Analyze, GraphGrowsPastItsReservation) {
    DiGraph<Label, int> g;
    g.reserve(2, 2);
    constexpr std::uint32_t n = 1000;
    for (std::uint32_t i = 0; i < n; ++i) g.add_edge(Label{i}, Label{(i * 7 + 3) % n}, static_cast<int>(i));
    for (std::uint32_t i = 0; i < n; i += 2) g.add_edge(Label{i}, Label{i + n}, -1);
    // Replacing a weight keeps the edge's place.
    g.add_edge(Label{10}, Label{73}, 99);
    ASSERT_EQ(g.edge_count(), n + n / 2);
    EXPECT_EQ(g.node_count(), n + n / 2);
    for (std::uint32_t i = 0; i < n; ++i) {
        const Label target{(i * 7 + 3) % n};
        const auto* e = g.find_edge(Label{i}, target);
        ASSERT_NE(e, nullptr) << i;
        EXPECT_EQ(e->weight, i == 10 ? 99 : static_cast<int>(i));
        std::vector<Label> expected{target};
        if (i % 2 == 0) expected.push_back(Label{i + n});
        EXPECT_EQ(g.successors(Label{i}), expected);
    }
    EXPECT_EQ(g.edges()[10].weight, 99);
    EXPECT_TRUE(g.contains_node(Label{n + 2}));
    EXPECT_FALSE(g.contains_node(Label{n + 1}));
    EXPECT_EQ(g.find_edge(Label{n}, Label{0}), nullptr);
    EXPECT_TRUE(g.successors(Label{5 * n}).empty());
}

TEST(Analyze, HoldsTheHandedOverReference) {
    auto f = std::make_shared<const Function>(function({}, {block(0, {}, jump(0))}));
    const Function* raw = f.get();
    FunctionAnalysis a = Function::analyze(std::move(f));
    EXPECT_EQ(a.function.get(), raw);
    EXPECT_EQ(a.function.use_count(), 1);
    EXPECT_EQ(a.function_flow.successors(Label{0}), labels({0}));
    EXPECT_TRUE(a.dest_map.empty());
}

}  // namespace
}  // namespace keinstr
