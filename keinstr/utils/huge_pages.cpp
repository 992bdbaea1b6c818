#include "keinstr/utils/huge_pages.hpp"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace keinstr {

void* allocate_huge_pages(std::size_t bytes) noexcept {
    if (bytes == 0 || bytes > static_cast<std::size_t>(-1) - kHugePageBytes) return nullptr;
    const std::size_t rounded = huge_page_round(bytes);
    void* p = std::aligned_alloc(kHugePageBytes, rounded);
    if (p == nullptr) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    (void)::madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
    return p;
}

}  // namespace keinstr
