// A small directed graph keyed by node values, with at most one edge per ordered
// pair of nodes. Nodes and edges keep the order in which they were first added;
// adding an edge for a pair that already has one replaces its weight.
#pragma once

#include <cstddef>
#include <optional>
#include <unordered_map>
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
        out_.reserve(nodes);
        index_.reserve(nodes);
        edges_.reserve(edges);
    }

    // Adds `node` unless present; returns its position among the nodes.
    std::size_t add_node(const N& node) {
        auto [it, inserted] = index_.try_emplace(node, nodes_.size());
        if (inserted) {
            nodes_.push_back(node);
            out_.emplace_back();
        }
        return it->second;
    }

    // Adds the edge from `from` to `to` (adding missing nodes), or replaces the
    // weight of the existing one. Returns the edge's position.
    std::size_t add_edge(const N& from, const N& to, W weight) {
        const std::size_t a = add_node(from);
        const std::size_t b = add_node(to);
        for (std::size_t e : out_[a]) {
            if (edge_target_[e] == b) {
                edges_[e].weight = std::move(weight);
                return e;
            }
        }
        const std::size_t e = edges_.size();
        edges_.push_back(Edge{from, to, std::move(weight)});
        edge_target_.push_back(b);
        out_[a].push_back(e);
        return e;
    }

    bool contains_node(const N& node) const { return index_.contains(node); }

    const Edge* find_edge(const N& from, const N& to) const {
        auto a = index_.find(from);
        auto b = index_.find(to);
        if (a == index_.end() || b == index_.end()) return nullptr;
        for (std::size_t e : out_[a->second]) {
            if (edge_target_[e] == b->second) return &edges_[e];
        }
        return nullptr;
    }

    // Targets of the edges leaving `node`, in the order the edges were added.
    std::vector<N> successors(const N& node) const {
        std::vector<N> out;
        auto it = index_.find(node);
        if (it == index_.end()) return out;
        for (std::size_t e : out_[it->second]) out.push_back(edges_[e].to);
        return out;
    }

    const std::vector<N>& nodes() const noexcept { return nodes_; }
    const std::vector<Edge>& edges() const noexcept { return edges_; }
    std::size_t node_count() const noexcept { return nodes_.size(); }
    std::size_t edge_count() const noexcept { return edges_.size(); }

    bool operator==(const DiGraph& other) const { return nodes_ == other.nodes_ && edges_ == other.edges_; }

private:
    std::vector<N> nodes_;
    std::vector<std::vector<std::size_t>> out_;  // per node: positions of its outgoing edges
    std::unordered_map<N, std::size_t> index_;   // node -> position in nodes_
    std::vector<Edge> edges_;
    std::vector<std::size_t> edge_target_;  // per edge: position of its target node
};

}  // namespace keinstr
