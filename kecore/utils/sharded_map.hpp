// A concurrent map split into shards, each behind its own reader-writer lock,
// so that readers of different keys never contend.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

namespace kecore {

template <class Key, class Value, std::size_t Shards = 16, class Hash = std::hash<Key>>
class ShardedMap {
    static_assert(Shards > 0);

public:
    ShardedMap() = default;
    ShardedMap(const ShardedMap&) = delete;
    ShardedMap& operator=(const ShardedMap&) = delete;
    // Moving needs exclusive access to both maps (no reader may be active).
    ShardedMap(ShardedMap&& other) noexcept {
        for (std::size_t i = 0; i < Shards; ++i) shards_[i].map = std::move(other.shards_[i].map);
    }
    ShardedMap& operator=(ShardedMap&& other) noexcept {
        for (std::size_t i = 0; i < Shards; ++i) shards_[i].map = std::move(other.shards_[i].map);
        return *this;
    }

    // Inserts or replaces; returns the value replaced, if any.
    std::optional<Value> insert(const Key& key, Value value) {
        Shard& shard = shard_of(key);
        std::unique_lock lock(shard.mutex);
        auto [it, inserted] = shard.map.try_emplace(key, std::move(value));
        if (inserted) return std::nullopt;
        std::optional<Value> old(std::move(it->second));
        it->second = std::move(value);
        return old;
    }

    // Calls `read(const Value&)` under the shard's shared lock; false when
    // the key is absent.
    template <class Read>
    bool with(const Key& key, Read&& read) const {
        const Shard& shard = shard_of(key);
        std::shared_lock lock(shard.mutex);
        auto it = shard.map.find(key);
        if (it == shard.map.end()) return false;
        std::forward<Read>(read)(it->second);
        return true;
    }

    bool contains(const Key& key) const {
        const Shard& shard = shard_of(key);
        std::shared_lock lock(shard.mutex);
        return shard.map.contains(key);
    }

    std::size_t size() const {
        std::size_t total = 0;
        for (const Shard& shard : shards_) {
            std::shared_lock lock(shard.mutex);
            total += shard.map.size();
        }
        return total;
    }

private:
    struct Shard {
        mutable std::shared_mutex mutex;
        std::unordered_map<Key, Value, Hash> map;
    };

    Shard& shard_of(const Key& key) { return shards_[Hash{}(key) % Shards]; }
    const Shard& shard_of(const Key& key) const { return shards_[Hash{}(key) % Shards]; }

    std::array<Shard, Shards> shards_;
};

}  // namespace kecore
