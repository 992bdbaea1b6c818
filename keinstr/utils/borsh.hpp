#pragma once

// Borsh: the little-endian, field-after-field byte form of the IR.
//
// BorshWriter appends to a byte vector, or buffers and hands chunks to a sink callback.
// BorshReader reads from a byte span, or pulls chunks from a source callback. Both work
// in a single forward pass; neither knows the total length in advance.
//
// Writers keep the first failure (sticky): after it every write is a no-op, and
// `status()` / `finish()` report it. Readers return std::expected per value.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "keinstr/utils/bigint.hpp"
#include "keinstr/utils/io_error.hpp"
#include "keinstr/utils/limits.hpp"
#include "keinstr/utils/try.hpp"
#include "keinstr/utils/utf8.hpp"
#include "keinstr/utils/uuid.hpp"

// The per-value fast paths of the writer and reader: a bounds check and a copy, which
// must not cost a call (their slow paths are out of line).
#define KEINSTR_BORSH_HOT [[gnu::always_inline]]

namespace keinstr {

// The reader and writer fail with I/O errors (io_error.hpp).
using BorshError = IoError;

template <class T>
using BorshResult = std::expected<T, BorshError>;

// ---------------------------------------------------------------------------------------
// Big integers: shortest two's complement, least significant byte first; zero is 00.

// The bytes without the count.
std::vector<std::uint8_t> bigint_to_signed_bytes_le(const BigInt& value);
// Any two's-complement little-endian form (redundant sign bytes allowed); empty is zero.
BigInt bigint_from_signed_bytes_le(std::span<const std::uint8_t> bytes);
// The value of a big integer that fits 64 bits, or none.
std::optional<std::int64_t> bigint_to_i64(const BigInt& value) noexcept;
// The shortest two's-complement bytes of `value` into `out` (room for 8); returns the
// byte count.
inline std::size_t i64_to_signed_bytes_le(std::int64_t value, std::uint8_t* out) noexcept {
    std::size_t n = 0;
    for (;;) {
        const auto b = static_cast<std::uint8_t>(value & 0xFF);
        out[n++] = b;
        value >>= 8;  // arithmetic shift
        // Done once the rest is pure sign and the last byte written carries that sign.
        if ((value == 0 && !(b & 0x80)) || (value == -1 && (b & 0x80))) return n;
    }
}
// The value of at most 8 two's-complement bytes.
inline std::int64_t i64_from_signed_bytes_le(const std::uint8_t* bytes, std::size_t n) noexcept {
    if (n == 0) return 0;
    std::uint64_t u = 0;
    for (std::size_t i = 0; i < n; ++i) u |= std::uint64_t{bytes[i]} << (8 * i);
    if (n < 8 && (bytes[n - 1] & 0x80)) u |= ~std::uint64_t{0} << (8 * n);  // sign extension
    return static_cast<std::int64_t>(u);
}

// ---------------------------------------------------------------------------------------
// Writer

// Receives one chunk of bytes; a failure is passed through to the writer's caller.
using ByteSink = std::function<BorshResult<void>(std::span<const std::uint8_t>)>;

class BorshWriter {
public:
    static constexpr std::size_t kSinkBufferSize = 32 * 1024;

    // Appends straight to `out`: after every write `out` holds all bytes written.
    explicit BorshWriter(std::vector<std::uint8_t>& out) noexcept : out_(&out) {}
    // Buffers up to `buffer_size` bytes, then hands them to `sink`. Call finish() at the
    // end to hand over the rest.
    explicit BorshWriter(ByteSink sink, std::size_t buffer_size = kSinkBufferSize);

    BorshWriter(const BorshWriter&) = delete;
    BorshWriter& operator=(const BorshWriter&) = delete;

    KEINSTR_BORSH_HOT BorshWriter& u8(std::uint8_t v) { return put_fixed<1>(&v); }
    KEINSTR_BORSH_HOT BorshWriter& u16(std::uint16_t v) { return put_le(v); }
    KEINSTR_BORSH_HOT BorshWriter& u32(std::uint32_t v) { return put_le(v); }
    KEINSTR_BORSH_HOT BorshWriter& u64(std::uint64_t v) { return put_le(v); }
    KEINSTR_BORSH_HOT BorshWriter& i64(std::int64_t v) { return put_le(static_cast<std::uint64_t>(v)); }
    KEINSTR_BORSH_HOT BorshWriter& boolean(bool v) { return u8(v ? 1 : 0); }
    // Variant tag of an enumeration (its declared index).
    KEINSTR_BORSH_HOT BorshWriter& tag(std::uint8_t index) { return u8(index); }
    KEINSTR_BORSH_HOT BorshWriter& fixed16(const std::array<std::uint8_t, 16>& bytes) {
        return put_fixed<16>(bytes.data());
    }
    KEINSTR_BORSH_HOT BorshWriter& uuid(const Uuid& u) { return fixed16(u.bytes); }
    // Bytes as they are, without a count.
    BorshWriter& raw(std::span<const std::uint8_t> bytes) { return put(bytes.data(), bytes.size()); }

    // A count or length as u32; above u32::MAX fails with invalid data (no message).
    KEINSTR_BORSH_HOT BorshWriter& length(std::size_t n) {
        if (n > 0xFFFFFFFFu) [[unlikely]] {
            fail(BorshError::invalid_data());
            return *this;
        }
        return u32(static_cast<std::uint32_t>(n));
    }
    // u32 byte count, then the bytes.
    BorshWriter& string(std::string_view text);
    BorshWriter& bytes(std::span<const std::uint8_t> bytes);
    // u32 byte count, then the shortest two's-complement little-endian bytes.
    BorshWriter& bigint(const BigInt& value);

    // 0, or 1 then write_value(writer, value).
    template <class T, class F>
    BorshWriter& option(const std::optional<T>& value, F&& write_value) {
        if (!value) return u8(0);
        u8(1);
        std::invoke(write_value, *this, *value);
        return *this;
    }

    // u32 count, then write_elem(writer, element) for each element in order. Works for
    // lists, ordered sets (std::set iterates in ascending order) and any sized range.
    template <class Range, class F>
    BorshWriter& seq(const Range& range, F&& write_elem) {
        length(std::size(range));
        for (const auto& elem : range) {
            if (!ok()) break;
            std::invoke(write_elem, *this, elem);
        }
        return *this;
    }

    // Ordered map: u32 count, then key and value of each entry in the map's order.
    template <class Map, class FK, class FV>
    BorshWriter& map(const Map& m, FK&& write_key, FV&& write_value) {
        length(std::size(m));
        for (const auto& [k, v] : m) {
            if (!ok()) break;
            std::invoke(write_key, *this, k);
            std::invoke(write_value, *this, v);
        }
        return *this;
    }

    // The free room of the sink buffer (none in vector mode and after a failure). A
    // caller may put a record there directly, checking the room itself, then commit()
    // the bytes it used; bytes left uncommitted are not part of the output. (In vector
    // mode a caller puts the record elsewhere and hands it over with raw().)
    std::span<std::uint8_t> free_room() noexcept { return {cur_, static_cast<std::size_t>(end_ - cur_)}; }
    void commit(std::size_t used) noexcept { cur_ += used; }

    // Records a failure met by a caller's own writer; the first failure wins.
    void fail(BorshError error);

    bool ok() const noexcept { return !error_.has_value(); }
    // The first failure so far, if any (in sink mode a sink failure shows only after the
    // buffered bytes were handed over).
    BorshResult<void> status() const;
    // Hands any buffered bytes to the sink, then reports status().
    BorshResult<void> finish();

    // Bytes accepted so far (including those still buffered).
    std::uint64_t bytes_written() const noexcept { return written_ + static_cast<std::uint64_t>(cur_ - base_); }

private:
    // Writes go to the free room [cur_, end_) of the sink buffer when they fit; all
    // else (vector mode, which has no room, a full buffer, a failed writer, whose room
    // is emptied) takes put_slow.
    template <std::size_t N>
    KEINSTR_BORSH_HOT BorshWriter& put_fixed(const std::uint8_t* data) {
        if (static_cast<std::size_t>(end_ - cur_) >= N) [[likely]] {
            std::memcpy(cur_, data, N);
            cur_ += N;
            return *this;
        }
        if (out_ != nullptr && !error_) {
            // Vector mode: the vector grows by the value.
            const std::size_t old = out_->size();
            out_->resize(old + N);
            std::memcpy(out_->data() + old, data, N);
            written_ += N;
            return *this;
        }
        return put_slow(data, N);
    }
    template <class T>
    KEINSTR_BORSH_HOT BorshWriter& put_le(T v) {
        std::uint8_t b[sizeof(T)];
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(b, &v, sizeof(T));
        } else {
            for (std::size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
        return put_fixed<sizeof(T)>(b);
    }
    KEINSTR_BORSH_HOT BorshWriter& put(const std::uint8_t* data, std::size_t n) {
        if (static_cast<std::size_t>(end_ - cur_) >= n) [[likely]] {
            if (n) std::memcpy(cur_, data, n);
            cur_ += n;
            return *this;
        }
        return put_slow(data, n);
    }
    BorshWriter& put_slow(const std::uint8_t* data, std::size_t n);
    // Hands the buffered bytes to the sink.
    void flush();

    std::uint8_t* cur_ = nullptr;
    std::uint8_t* end_ = nullptr;
    std::uint8_t* base_ = nullptr;              // start of the sink buffer (null in vector mode and after a failure)
    std::vector<std::uint8_t>* out_ = nullptr;  // vector mode only
    std::unique_ptr<std::uint8_t[]> buffer_;    // sink mode only
    ByteSink sink_;
    std::size_t buffer_size_ = 0;
    // Bytes appended to the vector or handed to the sink (in sink mode, those buffered
    // are added by bytes_written()).
    std::uint64_t written_ = 0;
    std::optional<BorshError> error_;
};

// ---------------------------------------------------------------------------------------
// Reader

// Fills the front of the span with up to span.size() bytes and returns how many; 0 means
// the end of the data. A source that fails after delivering some bytes should return
// those first and report the failure on the next call. A failure of kind UnexpectedEof
// is reported by the reader as "Unexpected length of input"; others pass through.
using ByteSource = std::function<BorshResult<std::size_t>(std::span<std::uint8_t>)>;

class BorshReader {
public:
    static constexpr std::size_t kSourceBufferSize = 64 * 1024;
    // Room reserved ahead of arriving data: bytes of a string or big integer, and bytes'
    // worth of list elements (see list_reserve).
    static constexpr std::size_t kMaxBytesReserve = keinstr::kMaxBytesReserve;
    static constexpr std::size_t kMaxListReserveBytes = keinstr::kMaxListReserveBytes;
    static constexpr std::size_t kMaxUpFrontListBytes = keinstr::kMaxUpFrontListBytes;

    explicit BorshReader(std::span<const std::uint8_t> data) noexcept
        : cur_(data.data()), end_(data.data() + data.size()), origin_(data.data()) {}
    explicit BorshReader(ByteSource source, std::size_t buffer_size = kSourceBufferSize);

    BorshReader(const BorshReader&) = delete;
    BorshReader& operator=(const BorshReader&) = delete;

    KEINSTR_BORSH_HOT BorshResult<std::uint8_t> u8() {
        if (cur_ != end_) [[likely]]
            return *cur_++;
        return get_slow<std::uint8_t>();
    }
    KEINSTR_BORSH_HOT BorshResult<std::uint16_t> u16() { return get_le<std::uint16_t>(); }
    KEINSTR_BORSH_HOT BorshResult<std::uint32_t> u32() { return get_le<std::uint32_t>(); }
    KEINSTR_BORSH_HOT BorshResult<std::uint64_t> u64() { return get_le<std::uint64_t>(); }
    KEINSTR_BORSH_HOT BorshResult<std::int64_t> i64() { return get_le<std::int64_t>(); }
    // 0 or 1; else "Invalid bool representation: {}".
    KEINSTR_BORSH_HOT BorshResult<bool> boolean() {
        if (cur_ != end_ && *cur_ <= 1) [[likely]]
            return *cur_++ == 1;
        return boolean_slow();
    }
    // A variant tag below `variant_count`; else "Unexpected variant tag: {}".
    KEINSTR_BORSH_HOT BorshResult<std::uint8_t> tag(std::uint8_t variant_count) {
        if (cur_ != end_ && *cur_ < variant_count) [[likely]]
            return *cur_++;
        return tag_slow(variant_count);
    }
    KEINSTR_BORSH_HOT BorshResult<std::array<std::uint8_t, 16>> fixed16() {
        return get_le<std::array<std::uint8_t, 16>>();
    }
    KEINSTR_BORSH_HOT BorshResult<Uuid> uuid() { return Uuid{KE_TRY(fixed16())}; }
    // A u32 count or length.
    KEINSTR_BORSH_HOT BorshResult<std::uint32_t> length() { return u32(); }
    // u32 byte count, then UTF-8 bytes.
    BorshResult<std::string> string();
    // u32 byte count, then the bytes.
    BorshResult<std::vector<std::uint8_t>> bytes();
    BorshResult<BigInt> bigint();
    // The same into `out` (left as it was on failure).
    BorshResult<void> bigint(BigInt& out) {
        // Most integers are a count and at most 8 bytes, here all in hand.
        const std::size_t avail = buffered();
        if (avail >= 4) [[likely]] {
            std::uint32_t n;
            std::memcpy(&n, cur_, 4);
            if constexpr (std::endian::native != std::endian::little) n = std::byteswap(n);
            if (n <= 8 && avail - 4 >= n) [[likely]] {
                out = i64_from_signed_bytes_le(cur_ + 4, n);
                cur_ += 4 + n;
                return {};
            }
        }
        out = KE_TRY(bigint());
        return {};
    }

    // Exactly dst.size() bytes, or "Unexpected length of input".
    KEINSTR_BORSH_HOT BorshResult<void> read_exact(std::span<std::uint8_t> dst) {
        const std::size_t n = dst.size();
        if (static_cast<std::size_t>(end_ - cur_) >= n) [[likely]] {
            if (n) std::memcpy(dst.data(), cur_, n);
            cur_ += n;
            return {};
        }
        return read_exact_slow(dst.data(), n);
    }
    // `n` bytes appended to `out` (a byte vector or std::string): reserves at most
    // kMaxBytesReserve before bytes arrive, then doubles as they do.
    template <class Container>
    BorshResult<void> read_bytes_into(Container& out, std::size_t n);

    // The option marker (0 or 1; else "Invalid Option representation: {}. ..."), then
    // read_value(reader) -> BorshResult<T> when present.
    template <class F>
    auto option(F&& read_value)
        -> BorshResult<std::optional<typename std::invoke_result_t<F&, BorshReader&>::value_type>>;

    // u32 count, then read_elem(reader) -> BorshResult<T> per element. Reserves up front
    // by list_reserve (each element taken to need at least a byte); grows as elements
    // arrive.
    template <class F>
    auto list(F&& read_elem) -> BorshResult<std::vector<typename std::invoke_result_t<F&, BorshReader&>::value_type>>;

    // u32 count, then fn(reader, index) -> BorshResult<void> per element (for callers that
    // store elements their own way).
    template <class F>
    BorshResult<std::uint32_t> for_each(F&& fn);

    // Ordered map: u32 count, then read_entry(reader) -> BorshResult<std::pair<K, V>> per
    // entry. Entries may come in any order; the result is sorted and, where a key repeats,
    // holds the entry read last. `Map` defaults to std::map<K, V>; any map with
    // insert_or_assign works.
    template <class Map = void, class F>
    auto map(F&& read_entry);

    // Ordered set: u32 count, then read_elem(reader) -> BorshResult<T> per element; sorted,
    // one copy of each. `Set` defaults to std::set<T>.
    template <class Set = void, class F>
    auto set(F&& read_elem);

    // The bytes in hand (see buffered()). A caller may parse a record from them directly,
    // checking their end itself, then consume() the bytes it used; if it meets something
    // it does not take there, it consumes nothing and reads the record the ordinary way.
    std::span<const std::uint8_t> in_hand() const noexcept { return {cur_, static_cast<std::size_t>(end_ - cur_)}; }
    void consume(std::size_t used) noexcept { cur_ += used; }

    // The one reservation policy for a list of `count` elements of T read from untrusted
    // input, each taking at least `min_encoded` (> 0) bytes: room for the whole count when
    // the bytes in hand could hold that many; else for as many as they could hold, at
    // least kMaxListReserveBytes' worth (the vector grows as further elements arrive).
    // A forged count thus never reserves more than the input present can fill, nor more
    // than kMaxUpFrontListBytes. Reserving the whole count when it is plausible spares
    // the regrowth of the large lists of a module (instructions, blocks).
    template <class T>
    std::size_t list_reserve(std::uint32_t count, std::size_t min_encoded) const noexcept {
        constexpr std::size_t step = std::max<std::size_t>(1, kMaxListReserveBytes / sizeof(T));
        constexpr std::size_t cap = std::max<std::size_t>(step, kMaxUpFrontListBytes / sizeof(T));
        const std::size_t fits = std::min(cap, buffered() / min_encoded);
        return std::min<std::size_t>(count, std::max(step, fits));
    }

    // Bytes consumed by reads so far.
    std::uint64_t position() const noexcept { return base_ + static_cast<std::uint64_t>(cur_ - origin_); }

    // Bytes that can be read without asking the source: all that is left of a span, or
    // what the buffer still holds of a source's data. These bytes are known to exist,
    // so they bound the elements a count may be trusted for before they are read.
    std::size_t buffered() const noexcept { return static_cast<std::size_t>(end_ - cur_); }

private:
    // A little-endian integer (or a byte array) of the size of T.
    template <class T>
    KEINSTR_BORSH_HOT BorshResult<T> get_le() {
        if (static_cast<std::size_t>(end_ - cur_) >= sizeof(T)) [[likely]] {
            T v;
            std::memcpy(&v, cur_, sizeof(T));
            cur_ += sizeof(T);
            if constexpr (std::is_integral_v<T> && std::endian::native != std::endian::little) v = std::byteswap(v);
            return v;
        }
        return get_slow<T>();
    }
    // The same once the buffer holds too few bytes: pulls more from the source.
    template <class T>
    [[gnu::noinline]] BorshResult<T> get_slow() {
        T v;
        KE_TRY(read_exact_slow(reinterpret_cast<std::uint8_t*>(&v), sizeof(T)));
        if constexpr (std::is_integral_v<T> && std::endian::native != std::endian::little) v = std::byteswap(v);
        return v;
    }
    BorshResult<bool> boolean_slow();
    BorshResult<std::uint8_t> tag_slow(std::uint8_t variant_count);
    BorshResult<void> read_exact_slow(std::uint8_t* dst, std::size_t n);
    // Refills the buffer from the source; false at the end of the data.
    BorshResult<bool> refill();

    const std::uint8_t* cur_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    // Start of the bytes in hand (the span, or the buffer as last filled) and the bytes
    // consumed before them: position() counts from these, so reads need not.
    const std::uint8_t* origin_ = nullptr;
    std::uint64_t base_ = 0;
    ByteSource source_;
    std::vector<std::uint8_t> buffer_;  // source mode only
};

// ---------------------------------------------------------------------------------------
// Template definitions

template <class Container>
BorshResult<void> BorshReader::read_bytes_into(Container& out, std::size_t n) {
    const std::size_t base = out.size();
    std::size_t target_cap = base + std::min(n, kMaxBytesReserve);
    std::size_t done = 0;
    while (done < n) {
        if (out.capacity() < target_cap) out.reserve(target_cap);
        const std::size_t room = out.capacity() - out.size();
        const std::size_t chunk = std::min(n - done, std::max<std::size_t>(room, 1));
        const std::size_t at = out.size();
        out.resize(at + chunk);
        auto r = read_exact(std::span(reinterpret_cast<std::uint8_t*>(out.data()) + at, chunk));
        if (!r) {
            out.resize(base);
            return r;
        }
        done += chunk;
        // Room for the next step: double what has arrived, capped at the count.
        target_cap = base + std::min(n, std::max(done * 2, std::min(n, kMaxBytesReserve)));
    }
    return {};
}

template <class F>
auto BorshReader::option(F&& read_value)
    -> BorshResult<std::optional<typename std::invoke_result_t<F&, BorshReader&>::value_type>> {
    using T = typename std::invoke_result_t<F&, BorshReader&>::value_type;
    auto marker = KE_TRY(u8());
    if (marker == 0) return std::optional<T>();
    if (marker != 1) return std::unexpected(BorshError::invalid_option(marker));
    return std::optional<T>(KE_TRY(std::invoke(read_value, *this)));
}

template <class F>
auto BorshReader::list(F&& read_elem)
    -> BorshResult<std::vector<typename std::invoke_result_t<F&, BorshReader&>::value_type>> {
    using T = typename std::invoke_result_t<F&, BorshReader&>::value_type;
    auto count = KE_TRY(u32());
    std::vector<T> out;
    out.reserve(list_reserve<T>(count, 1));
    for (std::uint32_t i = 0; i < count; ++i) {
        auto v = KE_TRY(std::invoke(read_elem, *this));
        out.push_back(std::move(v));
    }
    return out;
}

template <class F>
BorshResult<std::uint32_t> BorshReader::for_each(F&& fn) {
    auto count = u32();
    if (!count) return count;
    for (std::uint32_t i = 0; i < *count; ++i) {
        BorshResult<void> r = std::invoke(fn, *this, i);
        if (!r) return std::unexpected(std::move(r.error()));
    }
    return count;
}

template <class Map, class F>
auto BorshReader::map(F&& read_entry) {
    using Pair = typename std::invoke_result_t<F&, BorshReader&>::value_type;
    using K = std::remove_cv_t<typename Pair::first_type>;
    using V = typename Pair::second_type;
    using M = std::conditional_t<std::is_void_v<Map>, std::map<K, V>, Map>;
    M out;
    auto count = u32();
    if (!count) return BorshResult<M>(std::unexpected(std::move(count.error())));
    for (std::uint32_t i = 0; i < *count; ++i) {
        auto e = std::invoke(read_entry, *this);
        if (!e) return BorshResult<M>(std::unexpected(std::move(e.error())));
        out.insert_or_assign(std::move(e->first), std::move(e->second));
    }
    return BorshResult<M>(std::move(out));
}

template <class Set, class F>
auto BorshReader::set(F&& read_elem) {
    using T = typename std::invoke_result_t<F&, BorshReader&>::value_type;
    using S = std::conditional_t<std::is_void_v<Set>, std::set<T>, Set>;
    S out;
    auto count = u32();
    if (!count) return BorshResult<S>(std::unexpected(std::move(count.error())));
    for (std::uint32_t i = 0; i < *count; ++i) {
        auto e = std::invoke(read_elem, *this);
        if (!e) return BorshResult<S>(std::unexpected(std::move(e.error())));
        out.insert(std::move(*e));
    }
    return BorshResult<S>(std::move(out));
}

}  // namespace keinstr
