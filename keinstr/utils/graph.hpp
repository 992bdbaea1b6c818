// A small directed graph keyed by node values, with at most one edge per ordered
// pair of nodes. Nodes and edges keep the order in which they were first added;
// adding an edge for a pair that already has one replaces its weight.
//
// Storage is flat: nodes and edges in arrays, each node's outgoing edges as a
// chain through the edge array, and the node index as an open-addressing table
// of positions. Building a graph allocates a handful of arrays, not a block per
// node.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace keinstr {

template <class N, class W>
class DiGraph {
public:
    struct Edge {
        N from;
        N to;
        W weight;
        bool operator==(const Edge&) const = default;
    };

    void reserve(std::size_t nodes, std::size_t edges) {
        nodes_.reserve(nodes);
        first_out_.reserve(nodes);
        last_out_.reserve(nodes);
        edges_.reserve(edges);
        edge_target_.reserve(edges);
        next_out_.reserve(edges);
        grow_index(nodes);
    }

    // Adds `node` unless present; returns its position among the nodes.
    std::size_t add_node(const N& node) {
        std::size_t slot = index_slot(node);
        if (slots_.empty() || slots_[slot] == 0) {
            if (2 * (nodes_.size() + 1) > slots_.size()) {
                grow_index(nodes_.size() + 1);
                slot = index_slot(node);
            }
            const std::size_t pos = nodes_.size();
            nodes_.push_back(node);
            first_out_.push_back(kNone);
            last_out_.push_back(kNone);
            slots_[slot] = static_cast<std::uint32_t>(pos + 1);
            return pos;
        }
        return slots_[slot] - 1;
    }

    // Adds the edge from `from` to `to` (adding missing nodes), or replaces the
    // weight of the existing one. Returns the edge's position.
    std::size_t add_edge(const N& from, const N& to, W weight) {
        const std::size_t a = add_node(from);
        const std::size_t b = add_node(to);
        for (std::uint32_t e = first_out_[a]; e != kNone; e = next_out_[e]) {
            if (edge_target_[e] == b) {
                edges_[e].weight = std::move(weight);
                return e;
            }
        }
        const std::size_t e = edges_.size();
        edges_.push_back(Edge{from, to, std::move(weight)});
        edge_target_.push_back(static_cast<std::uint32_t>(b));
        next_out_.push_back(kNone);
        if (last_out_[a] == kNone) {
            first_out_[a] = static_cast<std::uint32_t>(e);
        } else {
            next_out_[last_out_[a]] = static_cast<std::uint32_t>(e);
        }
        last_out_[a] = static_cast<std::uint32_t>(e);
        return e;
    }

    bool contains_node(const N& node) const { return find_node(node).has_value(); }

    const Edge* find_edge(const N& from, const N& to) const {
        const auto a = find_node(from);
        const auto b = find_node(to);
        if (!a || !b) return nullptr;
        for (std::uint32_t e = first_out_[*a]; e != kNone; e = next_out_[e]) {
            if (edge_target_[e] == *b) return &edges_[e];
        }
        return nullptr;
    }

    // Targets of the edges leaving `node`, in the order the edges were added.
    std::vector<N> successors(const N& node) const {
        std::vector<N> out;
        const auto a = find_node(node);
        if (!a) return out;
        for (std::uint32_t e = first_out_[*a]; e != kNone; e = next_out_[e]) out.push_back(edges_[e].to);
        return out;
    }

    const std::vector<N>& nodes() const noexcept { return nodes_; }
    const std::vector<Edge>& edges() const noexcept { return edges_; }
    std::size_t node_count() const noexcept { return nodes_.size(); }
    std::size_t edge_count() const noexcept { return edges_.size(); }

    bool operator==(const DiGraph& other) const { return nodes_ == other.nodes_ && edges_ == other.edges_; }

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    // Slot of `node` in the index: the slot holding it, or the empty slot where it
    // would go. Only meaningful while the table is not empty.
    std::size_t index_slot(const N& node) const {
        if (slots_.empty()) return 0;
        const std::size_t mask = slots_.size() - 1;
        // Fibonacci hashing spreads small, consecutive keys over the table.
        std::size_t i = static_cast<std::size_t>((std::hash<N>{}(node)*0x9E3779B97F4A7C15ull) >> 32) & mask;
        while (slots_[i] != 0 && !(nodes_[slots_[i] - 1] == node)) i = (i + 1) & mask;
        return i;
    }

    std::optional<std::size_t> find_node(const N& node) const {
        if (slots_.empty()) return std::nullopt;
        const std::uint32_t s = slots_[index_slot(node)];
        if (s == 0) return std::nullopt;
        return s - 1;
    }

    // Rebuilds the index with room for `nodes` nodes at most half full.
    void grow_index(std::size_t nodes) {
        const std::size_t want = std::bit_ceil(std::max<std::size_t>(16, 2 * nodes));
        if (want <= slots_.size()) return;
        slots_.assign(want, 0);
        for (std::size_t pos = 0; pos < nodes_.size(); ++pos) {
            slots_[index_slot(nodes_[pos])] = static_cast<std::uint32_t>(pos + 1);
        }
    }

    std::vector<N> nodes_;
    std::vector<std::uint32_t> first_out_;  // per node: its first outgoing edge, or kNone
    std::vector<std::uint32_t> last_out_;   // per node: its last outgoing edge, or kNone
    std::vector<std::uint32_t> slots_;      // node index: position + 1, 0 when empty
    std::vector<Edge> edges_;
    std::vector<std::uint32_t> edge_target_;  // per edge: position of its target node
    std::vector<std::uint32_t> next_out_;     // per edge: the next edge of its source, or kNone
};

}  // namespace keinstr
