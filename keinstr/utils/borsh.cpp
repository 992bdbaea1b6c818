#include "keinstr/utils/borsh.hpp"
#include "keinstr/utils/try.hpp"

#include <limits>

namespace keinstr {

// ---------------------------------------------------------------------------------------
// Big integers

std::optional<std::int64_t> bigint_to_i64(const BigInt& value) noexcept {
    using boost::multiprecision::limb_type;
    if constexpr (sizeof(limb_type) == sizeof(std::uint64_t)) {
        // One limb holds the magnitude; the sign is kept apart.
        const auto& b = value.backend();
        if (b.size() != 1) return std::nullopt;
        const limb_type magnitude = b.limbs()[0];
        constexpr auto kMax = static_cast<limb_type>(std::numeric_limits<std::int64_t>::max());
        if (!b.sign()) {
            if (magnitude > kMax) return std::nullopt;
            return static_cast<std::int64_t>(magnitude);
        }
        if (magnitude > kMax + 1) return std::nullopt;
        return static_cast<std::int64_t>(limb_type{0} - magnitude);  // two's complement
    } else {
        if (value < std::numeric_limits<std::int64_t>::min() || value > std::numeric_limits<std::int64_t>::max())
            return std::nullopt;
        return static_cast<std::int64_t>(value);
    }
}

std::vector<std::uint8_t> bigint_to_signed_bytes_le(const BigInt& value) {
    std::vector<std::uint8_t> out;
    if (const auto small = bigint_to_i64(value)) {
        std::uint8_t b[8];
        out.assign(b, b + i64_to_signed_bytes_le(*small, b));
        return out;
    }
    const bool negative = value.sign() < 0;
    const BigInt magnitude = abs(value);
    boost::multiprecision::export_bits(magnitude, std::back_inserter(out), 8, false);
    // Make room for the sign bit, unless the value is -2^(8k-1), whose form is the
    // magnitude itself (80, 00 80, ...).
    if (out.back() >= 0x80) {
        const bool power_of_two_edge = negative && out.back() == 0x80 &&
                                       std::all_of(out.begin(), out.end() - 1, [](std::uint8_t b) { return b == 0; });
        if (!power_of_two_edge) out.push_back(0);
    }
    if (negative) {
        unsigned carry = 1;
        for (auto& b : out) {
            const unsigned s = static_cast<std::uint8_t>(~b) + carry;
            b = static_cast<std::uint8_t>(s);
            carry = s >> 8;
        }
    }
    return out;
}

BigInt bigint_from_signed_bytes_le(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    if (n <= 8) return BigInt(i64_from_signed_bytes_le(bytes.data(), n));
    const bool negative = (bytes[n - 1] & 0x80) != 0;
    BigInt v;
    boost::multiprecision::import_bits(v, bytes.begin(), bytes.end(), 8, false);
    if (negative) v -= BigInt(1) << (8 * n);
    return v;
}

// ---------------------------------------------------------------------------------------
// Writer

BorshWriter::BorshWriter(ByteSink sink, std::size_t buffer_size)
    : buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(std::max<std::size_t>(buffer_size, 1))),
      sink_(std::move(sink)),
      buffer_size_(std::max<std::size_t>(buffer_size, 1)) {
    cur_ = base_ = buffer_.get();
    end_ = cur_ + buffer_size_;
}

BorshWriter& BorshWriter::put_slow(const std::uint8_t* data, std::size_t n) {
    if (error_ || n == 0) return *this;
    if (!sink_) {
        const std::size_t old = out_->size();
        out_->resize(old + n);
        std::memcpy(out_->data() + old, data, n);
        written_ += n;
        return *this;
    }
    // Fill the buffer, hand it over when full, and go on with the rest.
    for (;;) {
        const std::size_t take = std::min(n, static_cast<std::size_t>(end_ - cur_));
        std::memcpy(cur_, data, take);
        cur_ += take;
        data += take;
        n -= take;
        if (n == 0) break;
        flush();
        if (error_) break;
    }
    if (cur_ == end_) flush();
    return *this;
}

void BorshWriter::flush() {
    if (!sink_ || error_ || cur_ == base_) return;
    const std::size_t n = static_cast<std::size_t>(cur_ - base_);
    written_ += n;
    cur_ = base_;
    if (auto r = sink_(std::span<const std::uint8_t>(base_, n)); !r) fail(std::move(r.error()));
}

void BorshWriter::fail(BorshError error) {
    if (error_) return;
    error_ = std::move(error);
    // No room from now on: every write takes the slow path, which drops it. Bytes
    // still buffered are dropped too.
    cur_ = end_ = base_ = nullptr;
}

BorshResult<void> BorshWriter::status() const {
    if (error_) return std::unexpected(*error_);
    return {};
}

BorshResult<void> BorshWriter::finish() {
    flush();
    return status();
}

BorshWriter& BorshWriter::string(std::string_view text) {
    length(text.size());
    return put(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

BorshWriter& BorshWriter::bytes(std::span<const std::uint8_t> data) {
    length(data.size());
    return put(data.data(), data.size());
}

BorshWriter& BorshWriter::bigint(const BigInt& value) {
    if (error_) return *this;
    if (const auto small = bigint_to_i64(value)) {
        std::uint8_t b[8];
        const std::size_t n = i64_to_signed_bytes_le(*small, b);
        u32(static_cast<std::uint32_t>(n));
        return put(b, n);
    }
    const auto b = bigint_to_signed_bytes_le(value);
    return bytes(b);
}

// ---------------------------------------------------------------------------------------
// Reader

BorshReader::BorshReader(ByteSource source, std::size_t buffer_size) : source_(std::move(source)) {
    buffer_.resize(std::max<std::size_t>(buffer_size, 16));
    cur_ = end_ = origin_ = buffer_.data();
}

BorshResult<bool> BorshReader::refill() {
    if (!source_) return false;
    auto r = source_(std::span<std::uint8_t>(buffer_));
    if (!r) {
        if (r.error().kind() == IoErrorKind::UnexpectedEof) return std::unexpected(BorshError::unexpected_length());
        return std::unexpected(std::move(r.error()));
    }
    const std::size_t got = std::min(*r, buffer_.size());
    // Everything in hand was consumed before a refill.
    base_ += static_cast<std::uint64_t>(end_ - origin_);
    cur_ = origin_ = buffer_.data();
    end_ = cur_ + got;
    return got != 0;
}

BorshResult<void> BorshReader::read_exact_slow(std::uint8_t* dst, std::size_t n) {
    while (n > 0) {
        if (cur_ == end_) {
            // Large reads bypass the buffer.
            if (source_ && n >= buffer_.size()) {
                auto r = source_(std::span<std::uint8_t>(dst, n));
                if (!r) {
                    if (r.error().kind() == IoErrorKind::UnexpectedEof)
                        return std::unexpected(BorshError::unexpected_length());
                    return std::unexpected(std::move(r.error()));
                }
                const std::size_t got = std::min(*r, n);
                if (got == 0) return std::unexpected(BorshError::unexpected_length());
                dst += got;
                n -= got;
                base_ += got;
                continue;
            }
            auto more = KE_TRY(refill());
            if (!more) return std::unexpected(BorshError::unexpected_length());
        }
        const std::size_t take = std::min(n, static_cast<std::size_t>(end_ - cur_));
        std::memcpy(dst, cur_, take);
        cur_ += take;
        dst += take;
        n -= take;
    }
    return {};
}

BorshResult<bool> BorshReader::boolean_slow() {
    auto b = KE_TRY(u8());
    if (b > 1) return std::unexpected(BorshError::invalid_bool(b));
    return b == 1;
}

BorshResult<std::uint8_t> BorshReader::tag_slow(std::uint8_t variant_count) {
    auto b = u8();
    if (!b) return b;
    if (*b >= variant_count) return std::unexpected(BorshError::invalid_variant_tag(*b));
    return b;
}

BorshResult<std::string> BorshReader::string() {
    auto n = KE_TRY(u32());
    std::string s;
    KE_TRY(read_bytes_into(s, n));
    if (auto bad = check_utf8(std::string_view(s)))
        return std::unexpected(BorshError(IoErrorKind::InvalidData, bad->to_string()));
    return s;
}

BorshResult<std::vector<std::uint8_t>> BorshReader::bytes() {
    auto n = KE_TRY(u32());
    std::vector<std::uint8_t> v;
    KE_TRY(read_bytes_into(v, n));
    return v;
}

BorshResult<BigInt> BorshReader::bigint() {
    auto n = KE_TRY(u32());
    if (n <= 16) {
        std::uint8_t b[16];
        KE_TRY(read_exact(std::span(b, n)));
        return bigint_from_signed_bytes_le(std::span<const std::uint8_t>(b, n));
    }
    std::vector<std::uint8_t> v;
    KE_TRY(read_bytes_into(v, n));
    return bigint_from_signed_bytes_le(v);
}

}  // namespace keinstr
