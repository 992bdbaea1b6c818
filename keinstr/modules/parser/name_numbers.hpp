// Dense numbering of names (register and label names of one function): each new
// name gets the count of names seen before it, so the numbers are exactly
// 0 .. size()-1 in order of first request.
//
// The grammar asks for a number at every register and label it reads and empties
// the table after every function, so the table is built for that: open
// addressing over a flat array (no allocation per name), names kept by number
// (short names stay inside their string), and clearing that costs the number of
// names held, not the table's capacity. Names are compared byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace keinstr {

class NameNumbers {
public:
    NameNumbers() = default;
    // Names numbered in the given order (a name given twice keeps its first number).
    NameNumbers(std::initializer_list<std::string_view> names);

    // The number of `name`, numbering it with size() on first request.
    std::uint32_t number(std::string_view name);
    // The number of `name`, if it has one.
    std::optional<std::uint32_t> find(std::string_view name) const noexcept;
    bool contains(std::string_view name) const noexcept { return find(name).has_value(); }
    // The name numbered `n` (n < size()).
    const std::string& name(std::uint32_t n) const noexcept { return names_[n]; }

    std::size_t size() const noexcept { return names_.size(); }
    bool empty() const noexcept { return names_.empty(); }
    // Forgets every name; the next name asked for gets 0 again.
    void clear() noexcept;

    // The same names with the same numbers.
    bool operator==(const NameNumbers& other) const noexcept { return names_ == other.names_; }

private:
    static std::uint64_t hash(std::string_view s) noexcept;
    // The slot holding `name` (hash `h`), or the empty slot where it would go.
    std::size_t probe(std::string_view name, std::uint64_t h) const noexcept;
    void grow();

    static constexpr std::uint32_t kEmpty = 0;  // slots hold number + 1
    std::vector<std::string> names_;            // by number
    std::vector<std::uint64_t> hashes_;         // by number
    std::vector<std::uint32_t> slots_;          // power-of-two size, or empty
};

}  // namespace keinstr
