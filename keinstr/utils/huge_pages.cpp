#include "keinstr/utils/huge_pages.hpp"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace keinstr {

void* allocate_huge_pages(std::size_t bytes) noexcept {
    if (bytes == 0 || bytes > static_cast<std::size_t>(-1) - kHugePageBytes) return nullptr;
    const std::size_t rounded = huge_page_round(bytes);
    void* p = std::aligned_alloc(kHugePageBytes, rounded);
    if (p == nullptr) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: failure changes nothing.
    if (const std::size_t whole = bytes / kHugePageBytes * kHugePageBytes; whole != 0)
        (void)::madvise(p, whole, MADV_HUGEPAGE);
#endif
    return p;
}

void release_huge_page_tail(void* block, std::size_t used, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_NOHUGEPAGE)
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (block == nullptr || page_size <= 0 || used > size) return;
    const auto page = static_cast<std::size_t>(page_size);
    auto* base = static_cast<unsigned char*>(block);
    // Against huge pages first, so that nothing backs the tail with one again.
    (void)::madvise(base, size, MADV_NOHUGEPAGE);
    const std::size_t from = (used + page - 1) / page * page;
    if (from < size) (void)::madvise(base + from, size - from, MADV_DONTNEED);
#else
    (void)block;
    (void)used;
    (void)size;
#endif
}

}  // namespace keinstr
