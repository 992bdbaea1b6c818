#include "keinstr/modules/analyze.hpp"

namespace keinstr {

FlowGraph Function::derive_function_flow() const {
    FlowGraph graph;
    graph.reserve(body.size(), 3 * body.size());
    for (const auto& [label, block] : body) graph.add_node(label);
    for (const auto& [label, block] : body) {
        if (const auto* br = std::get_if<Branch>(&block.terminator)) {
            graph.add_edge(label, br->true_label, br->condition);
            // Same target twice: this replaces the weighted edge, leaving one unweighted.
            graph.add_edge(label, br->false_label, std::nullopt);
        } else if (const auto* jump = std::get_if<Jump>(&block.terminator)) {
            graph.add_edge(label, jump->target, std::nullopt);
        }
    }
    return graph;
}

DestMap Function::derive_dest_map() const {
    DestMap map;
    for (const auto& [label, block] : body) {
        for (std::size_t i = 0; i < block.instructions.size(); ++i) {
            if (auto dest = block.instructions[i].destination()) {
                map.insert_or_assign(*dest, InstructionPosition{label, static_cast<std::uint32_t>(i)});
            }
        }
    }
    return map;
}

FunctionAnalysis Function::analyze(std::shared_ptr<const Function> function) {
    FunctionAnalysis analysis;
    if (function) {
        analysis.function_flow = function->derive_function_flow();
        analysis.dest_map = function->derive_dest_map();
    }
    analysis.function = std::move(function);
    return analysis;
}

}  // namespace keinstr
