#include "keinstr/text/name_numbers.hpp"

namespace keinstr {

NameNumbers::NameNumbers(std::initializer_list<std::string_view> names) {
    for (std::string_view n : names) number(n);
}

std::uint32_t NameNumbers::add(std::string_view name, std::uint64_t h, std::size_t i) {
    const auto n = static_cast<std::uint32_t>(names_.size());
    names_.emplace_back(name);
    hashes_.push_back(h);
    slots_[i] = slot_of(n, h);
    return n;
}

void NameNumbers::grow() {
    const std::size_t capacity = slots_.empty() ? 64 : slots_.size() * 2;
    slots_.assign(capacity, kEmpty);
    const std::size_t mask = capacity - 1;
    for (std::uint32_t n = 0; n < names_.size(); ++n) {
        std::size_t i = static_cast<std::size_t>(hashes_[n]) & mask;
        while (slots_[i] != kEmpty) i = (i + 1) & mask;
        slots_[i] = slot_of(n, hashes_[n]);
    }
}

void NameNumbers::clear() noexcept {
    // Only the slots in use are reset: a function with many names does not make
    // clearing after every later, small function expensive.
    if (!slots_.empty()) {
        const std::size_t mask = slots_.size() - 1;
        for (std::uint32_t n = 0; n < names_.size(); ++n) {
            std::size_t i = static_cast<std::size_t>(hashes_[n]) & mask;
            while (slots_[i] == kEmpty || number_in(slots_[i]) != n) i = (i + 1) & mask;
            slots_[i] = kEmpty;
        }
    }
    names_.clear();
    hashes_.clear();
}

}  // namespace keinstr
