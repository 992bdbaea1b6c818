#include <gtest/gtest.h>

#include <memory>

#include "keinstr/modules/analyze.hpp"
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
        {"ret and trap only", function({}, {block(0, {}, ret()), block(3, {}, Trap{}), block(1, {}, ret(imm(0)))}),
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
    const Function f = function({0}, {
                                         block(1, {store(reg(0), reg(0)), neg(1, reg(0)), MetaAssert{reg(1)},
                                                   call(imm(0), {}), call(imm(0), {}, 4)},
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
