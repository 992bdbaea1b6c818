// Memory for large, densely used buffers, backed by transparent huge pages
// where the system offers them.
//
// Touching a fresh 4 KiB page costs a page fault; a buffer of a few megabytes
// that is filled once costs hundreds of them, which is a large share of the
// time of a pass that touches it once. A 2 MiB-aligned region advised for huge
// pages costs one fault per 2 MiB instead, but every huge page is backed
// whole as soon as any byte of it is touched: use this only for buffers that
// are (nearly) filled.
#pragma once

#include <cstddef>

namespace keinstr {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// `bytes` rounded up to whole huge pages.
constexpr std::size_t huge_page_round(std::size_t bytes) noexcept {
    return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

// A 2 MiB-aligned block of huge_page_round(bytes) bytes, whose huge pages that
// lie wholly within the first `bytes` are advised for transparent huge pages (the
// advice is best effort: without it the block is ordinary memory); the rest of a
// last, partly used huge page comes in ordinary pages as it is touched. Nullptr
// when memory is exhausted or the size overflows. Free with std::free.
void* allocate_huge_pages(std::size_t bytes) noexcept;

// For a block of `size` bytes from allocate_huge_pages of which only the first
// `used` bytes hold data: gives the system back the whole pages after them, and
// advises the block against huge pages, so that what it keeps is what it uses.
// Best effort, like the advice itself; the pages given back read as zero and are
// backed again when touched.
void release_huge_page_tail(void* block, std::size_t used, std::size_t size) noexcept;

}  // namespace keinstr
