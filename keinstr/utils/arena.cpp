#include "keinstr/utils/arena.hpp"

#include <algorithm>
#include <cstdlib>

#include "keinstr/utils/huge_pages.hpp"

namespace keinstr {

Arena::~Arena() {
    for (void* chunk : chunks_) std::free(chunk);
}

void* Arena::take_chunk(std::size_t bytes, bool huge) {
    // Room first, so that recording the chunk cannot fail once it is taken.
    if (chunks_.size() == chunks_.capacity()) chunks_.reserve(std::max<std::size_t>(16, 2 * chunks_.capacity()));
    void* chunk = huge ? allocate_huge_pages(bytes) : std::malloc(bytes);
    if (chunk == nullptr) throw std::bad_alloc();
    chunks_.push_back(chunk);
    if (huge) ++huge_chunks_;
    return chunk;
}

void* Arena::allocate_slow(std::size_t bytes) {
    // Chunks come from malloc or allocate_huge_pages: aligned for any piece.
    if (bytes > kChunkBytes / 4) {
        // A chunk of its own; the current chunk stays in use.
        const bool huge = bytes >= kHugePageBytes && expected_ >= bytes;
        void* p = take_chunk(bytes, huge);
        expected_ -= std::min(expected_, huge ? huge_page_round(bytes) : bytes);
        return p;
    }
    // A huge page is worth its memory when at least half of it is expected to be used.
    const bool huge = expected_ >= kHugePageBytes / 2;
    std::size_t size = huge ? kHugePageBytes : kChunkBytes;
    // When little is still expected (a small module), a chunk of that size: a
    // compile of a few lines should not take and give back 64 KiB.
    if (!huge && expected_ != 0 && expected_ < kChunkBytes)
        size = std::max(bytes, (expected_ + kSmallChunkUnit - 1) / kSmallChunkUnit * kSmallChunkUnit);
    auto* chunk = static_cast<std::byte*>(take_chunk(size, huge));
    expected_ -= std::min(expected_, size);
    cur_ = chunk + bytes;
    end_ = chunk + size;
    return chunk;
}

}  // namespace keinstr
