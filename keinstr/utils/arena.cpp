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
    chunk_bytes_ += huge ? huge_page_round(bytes) : bytes;
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
    if (!huge && expected_ != 0 && expected_ < kChunkBytes) {
        // When little is still expected (a small module), a chunk of that size: a
        // compile of a few lines should not take and give back 64 KiB.
        size = std::max(bytes, (expected_ + kSmallChunkUnit - 1) / kSmallChunkUnit * kSmallChunkUnit);
    } else if (!huge && expected_ == 0) {
        // Nothing (more) is expected: chunks follow what has been taken, each as
        // large as all before it, so that a few pieces take little more than
        // their own size and many take ordinary chunks.
        size = std::max(bytes, std::min(chunk_bytes_, kChunkBytes));
    }
    auto* chunk = static_cast<std::byte*>(take_chunk(size, huge));
    expected_ -= std::min(expected_, size);
    current_ = chunk;
    current_huge_ = huge;
    cur_ = chunk + bytes;
    end_ = chunk + size;
    return chunk;
}

void Arena::release_unused() noexcept {
    if (!current_huge_) return;
    release_huge_page_tail(current_, static_cast<std::size_t>(cur_ - current_),
                           static_cast<std::size_t>(end_ - current_));
    current_huge_ = false;
}

}  // namespace keinstr
