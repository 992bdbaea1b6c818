// ModuleKey: the key of a loaded module in its instance's module slots.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace kecore {

class ModuleKey {
public:
    // The null key (never issued by a slot map).
    constexpr ModuleKey() noexcept = default;
    constexpr ModuleKey(std::uint32_t index, std::uint32_t version) noexcept : index_(index), version_(version) {}

    static constexpr ModuleKey null() noexcept { return ModuleKey(); }
    constexpr bool is_null() const noexcept { return index_ == kNullIndex; }

    constexpr std::uint32_t index() const noexcept { return index_; }
    constexpr std::uint32_t version() const noexcept { return version_; }

    constexpr auto operator<=>(const ModuleKey&) const = default;

    // ModuleKey(1v1); the null key shows ModuleKey(null).
    std::string debug() const;

private:
    static constexpr std::uint32_t kNullIndex = 0xFFFFFFFFu;
    std::uint32_t index_ = kNullIndex;
    std::uint32_t version_ = 1;
};

}  // namespace kecore
