// A slot map: values stored in numbered slots, handed out as versioned keys.
//
// Slot 0 is reserved (version 0) and never handed out, so the first value
// inserted gets index 1, version 1. A slot's version is odd while it holds a
// value. Values are never removed (nothing in the runtime unloads a module),
// so every insertion takes a new slot at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace kecore {

// Failure of an insertion into a slot map that has no index left.
struct SlotMapFull {
    static constexpr std::string_view kText = "SlotMap is full";
};

// `Key` needs a constructor Key(index, version) and accessors index() and
// version(). `MaxSlots` is the number of slots (the reserved one included)
// the map can ever hold; index MaxSlots itself is never used.
template <class Key, class Value, std::uint32_t MaxSlots = 0xFFFFFFFFu>
class SlotMap {
    static_assert(MaxSlots >= 1, "the reserved slot needs room");

public:
    SlotMap() { slots_.push_back(Slot{0, std::nullopt}); }

    // Inserts the value made by `make(key)` (which learns its own key first).
    // Nothing is made when the map is full.
    template <class Make>
    std::expected<Key, SlotMapFull> insert_with_key(Make&& make) {
        if (slots_.size() >= MaxSlots) return std::unexpected(SlotMapFull{});
        const Key key(static_cast<std::uint32_t>(slots_.size()), 1u);
        slots_.push_back(Slot{1u, std::nullopt});
        try {
            slots_.back().value.emplace(std::forward<Make>(make)(key));
        } catch (...) {
            slots_.pop_back();
            throw;
        }
        ++len_;
        return key;
    }

    std::expected<Key, SlotMapFull> insert(Value value) {
        return insert_with_key([&](const Key&) { return std::move(value); });
    }

    // The value under `key`, or null when the key is not one this map issued
    // (wrong index or version).
    const Value* get(const Key& key) const noexcept {
        if (key.index() == 0 || key.index() >= slots_.size()) return nullptr;
        const Slot& slot = slots_[key.index()];
        if (slot.version != key.version() || !slot.value) return nullptr;
        return &*slot.value;
    }

    std::size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }

    // Destroys every value, in slot order. The slots stay (now vacant, with
    // even versions), so keys issued before are never issued again.
    void clear() noexcept {
        for (Slot& slot : slots_) {
            if (slot.value) {
                slot.value.reset();
                ++slot.version;
            }
        }
        len_ = 0;
    }

private:
    struct Slot {
        std::uint32_t version;
        std::optional<Value> value;
    };
    std::vector<Slot> slots_;
    std::size_t len_ = 0;
};

}  // namespace kecore
