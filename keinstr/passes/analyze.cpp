#include "keinstr/passes/analyze.hpp"

#include <algorithm>
#include <stdexcept>
#include <variant>

#include "keinstr/ir/instruction_walk.hpp"
#include "keinstr/ir/record_fields.hpp"

namespace keinstr {

DestMap::DestMap(std::initializer_list<value_type> entries)
    : DestMap(from_definitions(std::vector<value_type>(entries))) {}

DestMap DestMap::from_definitions(std::vector<value_type> definitions) {
    DestMap map;
    const auto by_name = [](const value_type& a, const value_type& b) { return a.first < b.first; };
    const auto strictly_ascending = [&] {
        return std::adjacent_find(definitions.begin(), definitions.end(), [](const auto& a, const auto& b) {
                   return !(a.first < b.first);
               }) == definitions.end();
    };
    // Renumbered functions define their registers in ascending order.
    if (strictly_ascending()) {
        map.entries_ = std::move(definitions);
        return map;
    }
    std::uint32_t top = 0;
    for (const auto& [name, pos] : definitions) top = std::max(top, name.id);
    if (top < 2 * definitions.size() + 1024) {
        // Dense names: one slot per number, holding the last definition met.
        constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
        std::vector<std::uint32_t> last(std::size_t{top} + 1, kEmpty);
        for (std::size_t i = 0; i < definitions.size(); ++i)
            last[definitions[i].first.id] = static_cast<std::uint32_t>(i);
        map.entries_.reserve(definitions.size());
        for (const std::uint32_t i : last) {
            if (i != kEmpty) map.entries_.push_back(definitions[i]);
        }
        return map;
    }
    // Sparse names: sort, keeping the order of equal names, then keep the last of each run.
    std::stable_sort(definitions.begin(), definitions.end(), by_name);
    map.entries_.reserve(definitions.size());
    for (std::size_t i = 0; i < definitions.size(); ++i) {
        if (i + 1 < definitions.size() && definitions[i + 1].first == definitions[i].first) continue;
        map.entries_.push_back(definitions[i]);
    }
    return map;
}

DestMap::const_iterator DestMap::find(Name name) const noexcept {
    // With dense names an entry's place is its number less the first number.
    if (!entries_.empty() && name.id >= entries_.front().first.id) {
        const std::size_t at = name.id - entries_.front().first.id;
        if (at < entries_.size() && entries_[at].first == name)
            return entries_.begin() + static_cast<std::ptrdiff_t>(at);
    }
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), name,
                                     [](const value_type& e, Name n) { return e.first < n; });
    return it != entries_.end() && it->first == name ? it : entries_.end();
}

const InstructionPosition& DestMap::at(Name name) const {
    const auto it = find(name);
    if (it == end()) throw std::out_of_range("DestMap::at: no such register");
    return it->second;
}

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
    std::size_t instructions = 0;
    for (const auto& [label, block] : body) instructions += block.instructions.size();
    std::vector<DestMap::value_type> definitions;
    definitions.reserve(instructions);
    for (auto it = body.begin(); it != body.end(); ++it) {
        prefetch_next_block(body, it);
        const auto& [label, block] = *it;
        for (std::size_t i = 0; i < block.instructions.size(); ++i) {
            const std::optional<Name> dest = std::visit([](const auto& rec) { return record_fields::destination(rec); },
                                                        block.instructions[i].variant());
            if (dest) definitions.emplace_back(*dest, InstructionPosition{label, static_cast<std::uint32_t>(i)});
        }
    }
    return DestMap::from_definitions(std::move(definitions));
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
