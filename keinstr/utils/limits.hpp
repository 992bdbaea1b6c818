#pragma once

// The limits on untrusted input, all in one place: source text and storage bytes come
// from users, and each bound below keeps a hostile or damaged input from costing
// unbounded time or memory. Past a limit the input is refused with an error (or, where
// noted, handled in a bounded way); it never aborts.
//
// | name                      | value      | bounds                                     | past it                                                  |
// |---------------------------|------------|--------------------------------------------|----------------------------------------------------------|
// | kMaxSourceBytes           | 2^32 - 1   | bytes of one source text                   | the lexer refuses the source ("source of N bytes is too  |
// |                           |            | (offsets are kept in 32 bits)              | large to lex (at most M bytes)")                         |
// | kMaxIntBits               | 8388607    | width of an integer type iN                | the lexer refuses the type token                         |
// | kMaxAggregateSize         | 65535      | element count of an array or vector type   | "... size too large: maximum allowed is 65535, got N"    |
// |                           |            | written in source                          |                                                          |
// | kMaxBasicBlocks           | 65536      | blocks of one function                     | verification fails: TooManyBasicBlocks                   |
// | kMaxBlockInstructions     | 65536      | instructions of one block                  | verification fails: TooManyBlockInstructions             |
// | kMaxFunctionInstructions  | 1000000    | instructions of one function               | verification fails: TooManyInstructions                  |
// | kMaxParameters            | 4096       | parameters of one function                 | verification fails: TooManyParameters                    |
// | kMaxWildcardTypes         | 256        | wildcard types of one function             | verification fails: TooManyWildcardTypes                 |
// | kMaxTypeTextBytes         | 4 MiB      | text of one type as displayed              | the text is cut and ends in "..." (only a damaged        |
// |                           |            |                                            | registry sharing components exponentially gets there)    |
// | kMaxComparators           | 32         | comparators of one version requirement     | the requirement is refused (ExcessiveComparators)        |
// | kMaxBytesReserve          | 1 MiB      | room reserved for a string or byte count   | the rest is grown as the bytes arrive                    |
// |                           |            | before its bytes arrive                    |                                                          |
// | kMaxListReserveBytes      | 4 KiB      | room always allowed for a list's count     | (a step: see BorshReader::list_reserve)                  |
// | kMaxUpFrontListBytes      | 16 MiB     | room reserved for a list's count, even     | the list grows as its elements arrive                    |
// |                           |            | when the bytes in hand could hold it       |                                                          |
//
// Nothing of ours is included here: every layer may use this header.

#include <cstddef>
#include <cstdint>

namespace keinstr {

// ---- source text ---------------------------------------------------------------------
inline constexpr std::size_t kMaxSourceBytes = 0xFFFF'FFFFu;
inline constexpr std::uint32_t kMaxIntBits = 8388607;
inline constexpr std::uint16_t kMaxAggregateSize = 65535;

// ---- functions (checked by verification, for text and storage alike) -----------------
inline constexpr std::size_t kMaxBasicBlocks = 65536;
inline constexpr std::size_t kMaxBlockInstructions = 65536;
inline constexpr std::size_t kMaxFunctionInstructions = 1000000;
inline constexpr std::size_t kMaxParameters = 4096;
inline constexpr std::size_t kMaxWildcardTypes = 256;

// ---- types ---------------------------------------------------------------------------
inline constexpr std::size_t kMaxTypeTextBytes = std::size_t{4} << 20;

// ---- version requirements (storage header) -------------------------------------------
inline constexpr std::size_t kMaxComparators = 32;

// ---- storage bytes: memory reserved on the word of a stored count or length ----------
inline constexpr std::size_t kMaxBytesReserve = 1024 * 1024;
inline constexpr std::size_t kMaxListReserveBytes = 4096;
inline constexpr std::size_t kMaxUpFrontListBytes = std::size_t{16} << 20;

}  // namespace keinstr
