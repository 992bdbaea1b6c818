// The blocks of a function by label: an ordered map kept as one sorted array.
//
// A function's blocks are walked far more often than they are added (every
// stage of the pipeline walks them in label order), so they are stored
// contiguously, in ascending label order, one allocation per function. Labels
// are numbered densely from 0 by the front end, so a lookup first tries the
// entry at the label's own index and falls back to a binary search.
//
// Adding a block after the last one is constant time; adding one in the middle
// shifts the blocks after it, so code that builds a whole body from blocks in
// any order should collect them and use `from_entries` (one sort).
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include "keinstr/ir/symbols.hpp"

namespace keinstr {

template <class V>
class LabelMap {
public:
    using key_type = Label;
    using mapped_type = V;
    using value_type = std::pair<Label, V>;
    using container_type = std::vector<value_type>;
    using iterator = typename container_type::iterator;
    using const_iterator = typename container_type::const_iterator;
    using size_type = std::size_t;

    LabelMap() = default;

    // The map of `entries` given in any order; of entries with the same label
    // the last one stays.
    static LabelMap from_entries(container_type entries) {
        LabelMap m;
        keep_last_per_label(entries);
        m.entries_ = std::move(entries);
        return m;
    }

    // Sorts `entries` by label and keeps, of entries with the same label, the
    // one that came last. Entries added afterwards still win over these.
    static void keep_last_per_label(container_type& entries) {
        const auto by_label = [](const value_type& a, const value_type& b) { return a.first < b.first; };
        if (!std::is_sorted(entries.begin(), entries.end(), by_label)) {
            std::stable_sort(entries.begin(), entries.end(), by_label);
        }
        // Keep the last of each run of equal labels.
        std::size_t out = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i + 1 < entries.size() && entries[i + 1].first == entries[i].first) continue;
            if (out != i) entries[out] = std::move(entries[i]);
            ++out;
        }
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(out), entries.end());
    }

    size_type size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    void clear() noexcept { entries_.clear(); }
    void reserve(size_type n) { entries_.reserve(n); }

    iterator begin() noexcept { return entries_.begin(); }
    iterator end() noexcept { return entries_.end(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }

    iterator find(Label label) noexcept { return entries_.begin() + static_cast<std::ptrdiff_t>(index_of(label)); }
    const_iterator find(Label label) const noexcept {
        return entries_.begin() + static_cast<std::ptrdiff_t>(index_of(label));
    }
    bool contains(Label label) const noexcept { return index_of(label) != entries_.size(); }

    V& at(Label label) {
        const std::size_t i = index_of(label);
        if (i == entries_.size()) throw std::out_of_range("no block with this label");
        return entries_[i].second;
    }
    const V& at(Label label) const {
        const std::size_t i = index_of(label);
        if (i == entries_.size()) throw std::out_of_range("no block with this label");
        return entries_[i].second;
    }

    // The value under `label`, a value-initialised one added when there is none.
    V& operator[](Label label) { return try_emplace(label).first->second; }

    // Adds `label` with a value made from `args` unless the label is present
    // (then nothing changes); the bool tells whether it was added.
    template <class... Args>
    std::pair<iterator, bool> try_emplace(Label label, Args&&... args) {
        if (entries_.empty() || entries_.back().first < label) {
            entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(label),
                                  std::forward_as_tuple(std::forward<Args>(args)...));
            return {entries_.end() - 1, true};
        }
        const auto it = lower(label);
        if (it != entries_.end() && it->first == label) return {it, false};
        const auto at = entries_.emplace(it, std::piecewise_construct, std::forward_as_tuple(label),
                                         std::forward_as_tuple(std::forward<Args>(args)...));
        return {at, true};
    }
    std::pair<iterator, bool> emplace(Label label, V value) { return try_emplace(label, std::move(value)); }
    // Adds `label` with `value`, or replaces the value it has.
    std::pair<iterator, bool> insert_or_assign(Label label, V value) {
        auto [it, added] = try_emplace(label);
        it->second = std::move(value);
        return {it, added};
    }

    // Removes the entry under `label`; the number removed.
    size_type erase(Label label) {
        const std::size_t i = index_of(label);
        if (i == entries_.size()) return 0;
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
        return 1;
    }

    bool operator==(const LabelMap&) const = default;

private:
    iterator lower(Label label) {
        return std::lower_bound(entries_.begin(), entries_.end(), label,
                                [](const value_type& e, Label l) { return e.first < l; });
    }

    // The entry's index, or size() when the label has none.
    std::size_t index_of(Label label) const noexcept {
        const std::size_t n = entries_.size();
        if (label.id < n && entries_[label.id].first == label) return label.id;
        const auto it = std::lower_bound(entries_.begin(), entries_.end(), label,
                                         [](const value_type& e, Label l) { return e.first < l; });
        return it != entries_.end() && it->first == label ? static_cast<std::size_t>(it - entries_.begin()) : n;
    }

    container_type entries_;
};

}  // namespace keinstr
