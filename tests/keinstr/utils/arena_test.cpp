#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "keinstr/utils/arena.hpp"
#include "keinstr/utils/huge_pages.hpp"

using namespace keinstr;

namespace {

constexpr std::size_t MiB = std::size_t{1} << 20;

bool aligned(const void* p, std::size_t align) { return reinterpret_cast<std::uintptr_t>(p) % align == 0; }

}  // namespace

TEST(HugePages, WholeAlignedPagesOrNothing) {
    EXPECT_EQ(huge_page_round(1), kHugePageBytes);
    EXPECT_EQ(huge_page_round(kHugePageBytes), kHugePageBytes);
    EXPECT_EQ(huge_page_round(kHugePageBytes + 1), 2 * kHugePageBytes);

    for (const std::size_t bytes : {std::size_t{1}, kHugePageBytes, kHugePageBytes + 5}) {
        auto* p = static_cast<unsigned char*>(allocate_huge_pages(bytes));
        ASSERT_NE(p, nullptr) << bytes;
        EXPECT_TRUE(aligned(p, kHugePageBytes));
        // The whole rounded block is usable.
        const std::size_t rounded = huge_page_round(bytes);
        std::memset(p, 0xA5, rounded);
        EXPECT_EQ(p[rounded - 1], 0xA5);
        std::free(p);
    }
    EXPECT_EQ(allocate_huge_pages(0), nullptr);
    EXPECT_EQ(allocate_huge_pages(std::numeric_limits<std::size_t>::max()), nullptr);
    EXPECT_EQ(allocate_huge_pages(std::numeric_limits<std::size_t>::max() - kHugePageBytes + 2), nullptr);
}

TEST(Arena, PiecesAreAlignedDisjointAndKeepTheirContents) {
    Arena arena;
    struct Piece {
        unsigned char* p;
        std::size_t size;
        unsigned char fill;
    };
    std::vector<Piece> pieces;
    const std::size_t aligns[] = {1, 2, 4, 8, 16};
    // Sizes across chunk boundaries, including pieces that get chunks of their own.
    for (std::size_t i = 0; i < 3000; ++i) {
        const std::size_t size = i % 97 == 0 ? Arena::kChunkBytes / 4 + i : 1 + (i * 37) % 700;
        const std::size_t align = aligns[i % 5];
        auto* p = static_cast<unsigned char*>(arena.allocate(size, align));
        ASSERT_TRUE(aligned(p, align)) << i;
        const auto fill = static_cast<unsigned char>(i);
        std::memset(p, fill, size);
        pieces.push_back({p, size, fill});
    }
    // No later piece overwrote an earlier one.
    for (const Piece& piece : pieces) {
        for (std::size_t k = 0; k < piece.size; k += 61) ASSERT_EQ(piece.p[k], piece.fill);
        ASSERT_EQ(piece.p[piece.size - 1], piece.fill);
    }
    EXPECT_EQ(arena.huge_chunk_count(), 0u);  // nothing was expected
}

TEST(Arena, LargePieceLeavesTheCurrentChunkInUse) {
    Arena arena(Arena::kChunkBytes);
    char* a = static_cast<char*>(arena.allocate(100, 8));
    EXPECT_EQ(arena.chunk_count(), 1u);
    (void)arena.allocate(Arena::kChunkBytes, 8);  // a chunk of its own
    EXPECT_EQ(arena.chunk_count(), 2u);
    char* b = static_cast<char*>(arena.allocate(100, 8));
    EXPECT_EQ(arena.chunk_count(), 2u);
    EXPECT_EQ(b, a + 104);  // 100 rounded up to the alignment
}

TEST(Arena, SmallEstimateTakesAChunkOfItsSize) {
    // 5000 bytes expected: a first chunk of 8 KiB (whole 4 KiB units), then
    // ordinary chunks once the estimate is used up.
    Arena arena(5000);
    auto* first = static_cast<unsigned char*>(arena.allocate(1024, 8));
    for (int i = 1; i < 8; ++i) std::memset(arena.allocate(1024, 8), 3, 1024);
    EXPECT_EQ(arena.chunk_count(), 1u);
    std::memset(first, 4, 1024);
    (void)arena.allocate(1024, 8);
    EXPECT_EQ(arena.chunk_count(), 2u);
    // A first piece larger than the estimate still fits its chunk.
    Arena small(100);
    std::memset(arena.allocate(10000, 8), 5, 10000);
    std::memset(small.allocate(10000, 8), 5, 10000);
    EXPECT_EQ(small.chunk_count(), 1u);

    // Without an estimate, chunks follow what was taken: the first is its piece's
    // size, each next one as large as all before it.
    Arena none;
    for (int i = 0; i < 2; ++i) std::memset(none.allocate(88, 8), 6, 88);
    EXPECT_EQ(none.chunk_count(), 2u);  // 88 and 88 bytes
    for (int i = 0; i < 2; ++i) std::memset(none.allocate(88, 8), 6, 88);
    EXPECT_EQ(none.chunk_count(), 3u);  // then 176
    EXPECT_EQ(none.used_bytes(), 4 * 88u);
}

#if defined(__linux__)
// Whether the page holding `p` is in memory.
bool resident(const void* p) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    unsigned char in = 0;
    const auto start = reinterpret_cast<std::uintptr_t>(p) / page * page;
    return mincore(reinterpret_cast<void*>(start), page, &in) == 0 && (in & 1) != 0;
}

// A huge page backs its whole 2 MiB at the first byte touched; once the arena is
// done, what no piece took is given back, and the pieces keep their contents.
TEST(Arena, ReleaseGivesBackWhatNoPieceTook) {
    Arena arena(4 * MiB);
    auto* p = static_cast<unsigned char*>(arena.allocate(10000, 8));
    std::memset(p, 7, 10000);
    ASSERT_EQ(arena.huge_chunk_count(), 1u);
    EXPECT_EQ(arena.used_bytes(), 10000u);
    arena.release_unused();
    EXPECT_TRUE(resident(p + 9999));
    for (std::size_t at = 64 << 10; at < kHugePageBytes; at += 256 << 10) EXPECT_FALSE(resident(p + at)) << at;
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(p[9999], 7);
    // The arena still hands out the rest.
    auto* q = static_cast<unsigned char*>(arena.allocate(100000, 8));
    EXPECT_EQ(q, p + 10000);
    std::memset(q, 8, 100000);
    EXPECT_EQ(q[99999], 8);
}
#endif

TEST(Arena, HugeChunksWhileHalfAPageIsStillExpected) {
    const auto fill = [](Arena& arena, std::size_t bytes) {
        for (std::size_t done = 0; done < bytes; done += 4096) std::memset(arena.allocate(4096, 8), 1, 4096);
    };
    {
        // 3 MiB expected: two huge pages (the second while 1 MiB is still
        // expected), then ordinary chunks for anything beyond.
        Arena arena(3 * MiB);
        fill(arena, 4 * MiB + 4096);
        EXPECT_EQ(arena.huge_chunk_count(), 2u);
        EXPECT_EQ(arena.chunk_count(), 3u);
    }
    {
        // Less than half a page expected: ordinary chunks only.
        Arena arena(MiB - 1);
        fill(arena, 2 * MiB);
        EXPECT_EQ(arena.huge_chunk_count(), 0u);
        EXPECT_EQ(arena.chunk_count(), 2 * MiB / Arena::kChunkBytes);
    }
    {
        // An estimate far too large costs nothing until memory is asked for.
        Arena arena(std::size_t{1} << 40);
        EXPECT_EQ(arena.chunk_count(), 0u);
        fill(arena, 4096);
        EXPECT_EQ(arena.huge_chunk_count(), 1u);
    }
    {
        // A piece of several huge pages, expected: huge pages of its own.
        Arena arena(8 * MiB);
        void* p = arena.allocate(5 * MiB, 16);
        EXPECT_TRUE(aligned(p, kHugePageBytes));
        EXPECT_EQ(arena.huge_chunk_count(), 1u);
        std::memset(p, 2, 5 * MiB);
    }
}

TEST(ArenaAllocator, CopiesGoToTheHeapMovesKeepTheArena) {
    using List = std::vector<std::uint64_t, ArenaAllocator<std::uint64_t>>;
    Arena arena;
    const ArenaAllocator<std::uint64_t> in_arena(&arena);
    List a({1, 2, 3}, in_arena);
    EXPECT_EQ(a.get_allocator().arena(), &arena);
    EXPECT_EQ(arena.chunk_count(), 1u);

    const List copy = a;
    EXPECT_EQ(copy.get_allocator().arena(), nullptr);
    EXPECT_EQ(copy, a);

    List moved = std::move(a);
    EXPECT_EQ(moved.get_allocator().arena(), &arena);

    // Assignment keeps each side's memory: the elements move onto the heap.
    List heap;
    heap = std::move(moved);
    EXPECT_EQ(heap.get_allocator().arena(), nullptr);
    EXPECT_EQ(heap, copy);
    List other(in_arena);
    other = copy;
    EXPECT_EQ(other.get_allocator().arena(), &arena);
    EXPECT_EQ(other, copy);

    // Equal exactly when they share an arena (or both use the heap).
    EXPECT_EQ(in_arena, ArenaAllocator<char>(&arena));
    EXPECT_NE(in_arena, ArenaAllocator<std::uint64_t>());
    EXPECT_EQ(ArenaAllocator<int>(), ArenaAllocator<char>());
}
