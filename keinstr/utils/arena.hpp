// A monotonic arena: memory handed out in pieces and freed all at once.
//
// The compiler gives a module's instruction arrays to an arena while it parses:
// each piece is a bump of a pointer instead of a trip through the heap, pieces
// are packed without headers, nothing is freed piece by piece, and while much
// more memory is still expected the arena takes it in whole huge pages
// (keinstr/utils/huge_pages.hpp), one page fault per 2 MiB instead of one per
// 4 KiB.
//
// `ArenaAllocator` puts a standard container's memory in an arena, or on the
// heap when it has none. The arena must outlive every container holding memory
// of it, including any container move-constructed from one that did (a move
// takes the allocator along). Copies go to the heap; assignment and swap never
// move the allocator (as with std::pmr), so assigning arena-held elements to a
// heap container copies or moves the elements onto the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <vector>

namespace keinstr {

class Arena {
public:
    // Ordinary chunks; a piece larger than a quarter of one gets a chunk of its own.
    static constexpr std::size_t kChunkBytes = std::size_t{64} << 10;
    // Chunks for an estimate below kChunkBytes are multiples of this.
    static constexpr std::size_t kSmallChunkUnit = std::size_t{4} << 10;

    // `expected_bytes` is an estimate of all that will be allocated (0 when
    // unknown): while at least half a huge page of it is still expected, chunks
    // are huge pages; the rest comes in ordinary chunks. Once nothing more is
    // expected, each chunk is as large as all taken before it (the first one as
    // large as its piece), up to kChunkBytes. An estimate only tunes speed and
    // memory: any amount may be allocated.
    explicit Arena(std::size_t expected_bytes = 0) noexcept : expected_(expected_bytes) {}
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();

    // `bytes` bytes aligned to `align` (a power of two, at most alignof(max_align_t)).
    // Throws std::bad_alloc when memory is exhausted.
    void* allocate(std::size_t bytes, std::size_t align) {
        const std::size_t pad = (align - reinterpret_cast<std::uintptr_t>(cur_) % align) % align;
        if (bytes + pad <= static_cast<std::size_t>(end_ - cur_)) {
            std::byte* p = cur_ + pad;
            cur_ = p + bytes;
            return p;
        }
        return allocate_slow(bytes);
    }

    // Chunks taken so far, and how many of them are huge pages.
    std::size_t chunk_count() const noexcept { return chunks_.size(); }
    std::size_t huge_chunk_count() const noexcept { return huge_chunks_; }
    // Bytes of all chunks taken, less what the current chunk has not handed out:
    // what the pieces took, with their padding and the ends of chunks left behind.
    std::size_t used_bytes() const noexcept { return chunk_bytes_ - static_cast<std::size_t>(end_ - cur_); }

    // Gives the system back the whole pages of the current chunk that no piece has
    // taken yet, when that chunk is a huge page (which is backed whole once touched),
    // and keeps the system from backing the chunk with a huge page again. For an
    // arena that is done growing: the arena still hands those pages out, and they
    // are backed again as they are touched.
    void release_unused() noexcept;

private:
    void* allocate_slow(std::size_t bytes);
    void* take_chunk(std::size_t bytes, bool huge);

    std::byte* cur_ = nullptr;
    std::byte* end_ = nullptr;
    std::byte* current_ = nullptr;  // the chunk cur_ and end_ are in
    bool current_huge_ = false;
    std::size_t expected_ = 0;  // of the estimate, what no chunk has covered yet
    std::size_t huge_chunks_ = 0;
    std::size_t chunk_bytes_ = 0;
    std::vector<void*> chunks_;
};

template <class T>
class ArenaAllocator {
public:
    using value_type = T;
    using propagate_on_container_copy_assignment = std::false_type;
    using propagate_on_container_move_assignment = std::false_type;
    using propagate_on_container_swap = std::false_type;
    using is_always_equal = std::false_type;

    // The heap.
    ArenaAllocator() noexcept = default;
    explicit ArenaAllocator(Arena* arena) noexcept : arena_(arena) {}
    template <class U>
    ArenaAllocator(const ArenaAllocator<U>& other) noexcept : arena_(other.arena()) {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        if (arena_ == nullptr) return static_cast<T*>(::operator new(n * sizeof(T)));
        static_assert(alignof(T) <= alignof(std::max_align_t));
        return static_cast<T*>(arena_->allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (arena_ == nullptr) ::operator delete(p, n * sizeof(T));
    }

    // A copy of a container never refers to the arena: it may outlive it.
    ArenaAllocator select_on_container_copy_construction() const noexcept { return ArenaAllocator(); }

    Arena* arena() const noexcept { return arena_; }

    template <class U>
    bool operator==(const ArenaAllocator<U>& other) const noexcept {
        return arena_ == other.arena();
    }

private:
    Arena* arena_ = nullptr;
};

}  // namespace keinstr
