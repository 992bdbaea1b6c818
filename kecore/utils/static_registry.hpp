// Process-wide registries filled at load time.
//
// A registry is a singly linked list of static entries with an atomic head.
// Each component adds its own entry from a static registrar object while the
// library is loaded, before any entry point can run; nothing lists the
// components centrally. Entries are never removed or changed afterwards, so
// lookups walk the list without locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <iterator>
#include <string_view>

namespace kecore {

template <class Entry>
class StaticRegistry {
public:
    struct Node {
        Entry entry;
        const Node* next = nullptr;
    };

    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = const Entry*;
        using reference = const Entry&;

        Iterator() = default;
        explicit Iterator(const Node* node) : node_(node) {}
        reference operator*() const { return node_->entry; }
        pointer operator->() const { return &node_->entry; }
        Iterator& operator++() {
            node_ = node_->next;
            return *this;
        }
        Iterator operator++(int) {
            Iterator old = *this;
            node_ = node_->next;
            return old;
        }
        bool operator==(const Iterator&) const = default;

    private:
        const Node* node_ = nullptr;
    };

    constexpr StaticRegistry() noexcept = default;
    StaticRegistry(const StaticRegistry&) = delete;
    StaticRegistry& operator=(const StaticRegistry&) = delete;

    // Prepends `node`: it becomes the head, so the list runs from the most
    // recently registered entry to the first one.
    void add(Node& node) noexcept {
        const Node* head = head_.load(std::memory_order_relaxed);
        do {
            node.next = head;
        } while (!head_.compare_exchange_weak(head, &node, std::memory_order_release, std::memory_order_relaxed));
    }

    Iterator begin() const noexcept { return Iterator(head_.load(std::memory_order_acquire)); }
    Iterator end() const noexcept { return Iterator(); }

    // The first entry (from the head) whose key equals `key` exactly: same
    // length, same bytes, no case folding or trimming.
    const Entry* find(std::string_view key) const noexcept {
        for (const Entry& entry : *this) {
            if (std::string_view(entry.key()) == key) return &entry;
        }
        return nullptr;
    }

private:
    std::atomic<const Node*> head_{nullptr};
};

// A static object whose construction registers one entry. Define it at
// namespace scope in the component's own source file.
template <class Entry>
class Registrar {
public:
    Registrar(StaticRegistry<Entry>& registry, Entry entry) noexcept : node_{entry, nullptr} { registry.add(node_); }
    Registrar(const Registrar&) = delete;
    Registrar& operator=(const Registrar&) = delete;

private:
    typename StaticRegistry<Entry>::Node node_;
};

}  // namespace kecore
