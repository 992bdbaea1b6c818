// Allocator for the lexer's large output arrays (tokens, spans).
//
// Arrays of several megabytes are placed on 2 MiB boundaries and, where the
// system offers it, marked for transparent huge pages, so that filling them
// takes a few hundred page faults instead of tens of thousands. Smaller
// arrays come from the ordinary heap.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#include "keinstr/utils/huge_pages.hpp"

namespace keinstr {

template <class T>
struct BulkAllocator {
    using value_type = T;

    static constexpr std::size_t kBulkBytes = std::size_t{4} << 20;

    BulkAllocator() noexcept = default;
    template <class U>
    BulkAllocator(const BulkAllocator<U>&) noexcept {}

    static constexpr bool is_bulk(std::size_t n) noexcept { return n >= kBulkBytes / sizeof(T); }

    T* allocate(std::size_t n) {
        if (n > std::allocator_traits<std::allocator<T>>::max_size(std::allocator<T>{}))
            throw std::bad_array_new_length();
        if (!is_bulk(n)) return std::allocator<T>{}.allocate(n);
        void* p = allocate_huge_pages(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (!is_bulk(n)) return std::allocator<T>{}.deallocate(p, n);
        std::free(p);
    }

    template <class U>
    bool operator==(const BulkAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace keinstr
