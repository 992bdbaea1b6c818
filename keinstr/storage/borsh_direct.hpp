// The direct path of the instruction codec: an instruction put straight into a
// writer's free room (`put_instruction`, `DirectWriter`), or taken straight
// from the bytes a reader has in hand (`DirectReader`), beside the
// field-by-field path of borsh_ir.cpp that defines the format. The direct path
// gives the same bytes, values and errors, or gives way. borsh_ir.cpp's
// `write_instruction` and `read_instruction_fields` try it first for every
// record whose fields it takes (`DirectRecord`).
//
// Included by borsh_ir.cpp alone, whose instruction readers and writers these
// compile into: everything here is local to that file, as it was written there.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "keinstr/ir/calling_convention.hpp"
#include "keinstr/ir/constants.hpp"
#include "keinstr/ir/function.hpp"
#include "keinstr/ir/instr.hpp"
#include "keinstr/ir/operand.hpp"
#include "keinstr/types/types.hpp"
#include "keinstr/utils/borsh.hpp"
#include "keinstr/utils/enum_table.hpp"

namespace keinstr {

namespace {

// The fewest bytes one element of a list can take in the stored form: a lower
// bound, so that a count times it never exceeds what the count's elements need.
template <class T>
struct IsPair : std::false_type {};
template <class A, class B>
struct IsPair<std::pair<A, B>> : std::true_type {};

template <class T>
constexpr std::size_t min_encoded_size() {
    if constexpr (IsPair<T>::value) {
        return min_encoded_size<typename T::first_type>() + min_encoded_size<typename T::second_type>();
    } else if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, Name> || std::is_same_v<T, Label>) {
        return 4;
    } else if constexpr (std::is_same_v<T, Typeref>) {
        return 16;
    } else if constexpr (std::is_same_v<T, Operand> || std::is_same_v<T, KeInstr>) {
        // A tag, then a register (4 bytes), a constant (more) or a type (16); every
        // instruction record holds an operand or a destination register.
        return 5;
    } else if constexpr (std::is_same_v<T, BasicBlock>) {
        return 9;  // a label, an instruction count and a terminator tag
    } else {
        return 1;  // a tag or marker at least
    }
}

// ---- instructions in one pass over the buffer ------------------------------------------------
// An instruction is put straight into the writer's free room (or a scratch buffer, when
// it has none), or parsed straight from the bytes the reader has in hand, with a
// pointer and an end: one comparison per value instead of a bounds-checked call.
// Whatever this direct path does not take (an integer beyond 64 bits, a malformed
// byte, a record reaching past the room or the bytes in hand) sends the whole record
// down the field-by-field path, which starts again from the record's first byte: the
// output, the result and every error are those of the field-by-field path. Nothing is
// committed or consumed until the record is complete.

// The field types the direct path takes.
template <class T>
struct Direct : std::false_type {};
template <>
struct Direct<Name> : std::true_type {};
template <>
struct Direct<Label> : std::true_type {};
template <>
struct Direct<Typeref> : std::true_type {};
template <>
struct Direct<std::uint32_t> : std::true_type {};
template <>
struct Direct<bool> : std::true_type {};
template <TableEnum E>
struct Direct<E> : std::true_type {};
template <>
struct Direct<Operand> : std::true_type {};
template <>
struct Direct<MetaProbOperand> : std::true_type {};
template <>
struct Direct<CallingConvention> : std::true_type {};
template <class T>
struct Direct<std::optional<T>> : Direct<T> {};
template <class A, class B>
struct Direct<std::pair<A, B>> : std::bool_constant<Direct<A>::value && Direct<B>::value> {};
template <class T>
struct Direct<std::vector<T>> : Direct<T> {};

template <class Rec>
struct DirectRecord;
#define KE_FIELD_DIRECT_(type, member) &&Direct<type>::value
#define KE_RECORD_DIRECT_(Rec, FIELDS) \
    template <>                        \
    struct DirectRecord<Rec> : std::bool_constant<true FIELDS(KE_FIELD_DIRECT_)> {};
KE_INSTR_RECORDS(KE_RECORD_DIRECT_)
#undef KE_RECORD_DIRECT_
#undef KE_FIELD_DIRECT_

// The most bytes one operand takes on the direct path: tag, constant tag, float type,
// mantissa count and 8 bytes, scale.
constexpr std::size_t kMaxDirectOperand = 1 + 1 + 1 + 4 + 8 + 8;

// ---- direct writers: put the value at `p` (below `limit`) and move past it -------------------

class DirectWriter {
public:
    DirectWriter(std::uint8_t* p, std::uint8_t* limit) : p_(p), limit_(limit) {}
    std::uint8_t* position() const { return p_; }

    bool put(Name v) { return fits(4) && (u32(v.id), true); }
    bool put(Label v) { return fits(4) && (u32(v.id), true); }
    bool put(std::uint32_t v) { return fits(4) && (u32(v), true); }
    bool put(const Typeref& v) { return fits(16) && (uuid(v.uuid), true); }
    bool put(bool v) { return fits(1) && (u8(v ? 1 : 0), true); }
    template <TableEnum E>
    bool put(E v) {
        return fits(1) && (u8(static_cast<std::uint8_t>(enum_index(v))), true);
    }
    bool put(const CallingConvention& v) {
        if (!fits(5)) return false;
        u8(v.tag());
        if (v.is_numbered()) u32(v.number());
        return true;
    }
    bool put(const Operand& v) {
        if (!fits(kMaxDirectOperand)) return false;
        if (const Name* reg = v.as_reg()) {
            u8(0);
            u32(reg->id);
            return true;
        }
        if (const Typeref* ty = v.as_undef()) {
            u8(2);
            uuid(ty->uuid);
            return true;
        }
        const AnyConst& c = *v.as_imm();
        u8(1);
        u8(static_cast<std::uint8_t>(c.index()));
        if (const auto* i = std::get_if<IConst>(&c)) {
            u32(i->ty.num_bits);
            return small_int(i->value);
        }
        if (const auto* f = std::get_if<FConst>(&c)) {
            u8(static_cast<std::uint8_t>(f->ty));
            if (!small_int(f->value.mantissa())) return false;
            u64(static_cast<std::uint64_t>(f->value.scale()));
            return true;
        }
        const auto& ptr = std::get<FunctionPointer>(c);
        u8(static_cast<std::uint8_t>(ptr.kind));
        uuid(ptr.uuid);
        return true;
    }
    bool put(const MetaProbOperand& v) { return put(v.variant) && put(v.operand); }
    template <class T>
    bool put(const std::optional<T>& v) {
        if (!fits(1)) return false;
        u8(v ? 1 : 0);
        return !v || put(*v);
    }
    template <class A, class B>
    bool put(const std::pair<A, B>& v) {
        return put(v.first) && put(v.second);
    }
    template <class T>
    bool put(const std::vector<T>& v) {
        if (v.size() > std::numeric_limits<std::uint32_t>::max() || !fits(4)) return false;
        u32(static_cast<std::uint32_t>(v.size()));
        for (const T& item : v) {
            if (!put(item)) return false;
        }
        return true;
    }

private:
    bool fits(std::size_t n) const { return static_cast<std::size_t>(limit_ - p_) >= n; }
    void u8(std::uint8_t v) { *p_++ = v; }
    void u32(std::uint32_t v) {
        if constexpr (std::endian::native != std::endian::little) v = std::byteswap(v);
        std::memcpy(p_, &v, 4);
        p_ += 4;
    }
    void u64(std::uint64_t v) {
        if constexpr (std::endian::native != std::endian::little) v = std::byteswap(v);
        std::memcpy(p_, &v, 8);
        p_ += 8;
    }
    void uuid(const Uuid& u) {
        std::memcpy(p_, u.bytes.data(), 16);
        p_ += 16;
    }
    // Count and bytes of an integer of at most 8 bytes (within the operand's room).
    bool small_int(const BigInt& value) {
        const auto small = bigint_to_i64(value);
        if (!small) return false;
        std::uint8_t bytes[8];
        const std::size_t n = i64_to_signed_bytes_le(*small, bytes);
        u32(static_cast<std::uint32_t>(n));
        std::memcpy(p_, bytes, n);
        p_ += n;
        return true;
    }

    std::uint8_t* p_;
    std::uint8_t* const limit_;
};

// ---- direct readers: take the value at `p` (below `end`) and move past it --------------------

class DirectReader {
public:
    DirectReader(const std::uint8_t* p, const std::uint8_t* end) : p_(p), end_(end) {}
    const std::uint8_t* position() const { return p_; }

    bool get(Name& out) { return fits(4) && (out.id = u32(), true); }
    bool get(Label& out) { return fits(4) && (out.id = u32(), true); }
    bool get(std::uint32_t& out) { return fits(4) && (out = u32(), true); }
    bool get(Typeref& out) { return fits(16) && (uuid(out.uuid), true); }
    bool get(bool& out) {
        if (!fits(1) || *p_ > 1) return false;
        out = *p_++ == 1;
        return true;
    }
    template <TableEnum E>
    bool get(E& out) {
        if (!fits(1) || *p_ >= enum_count<E>) return false;
        out = static_cast<E>(*p_++);
        return true;
    }
    bool get(CallingConvention& out) {
        if (!fits(5) || *p_ > kNamedCallingConventionCount) return false;
        const std::uint8_t tag = *p_++;
        const std::uint32_t number = tag == kNamedCallingConventionCount ? u32() : 0;
        out = *CallingConvention::from_tag(tag, number);
        return true;
    }
    bool get(Operand& out) {
        if (!fits(kMaxDirectOperand)) return false;
        Operand::variant& v = out;
        switch (*p_) {
            case 0: {
                ++p_;
                Name* reg = std::get_if<0>(&v);
                (reg != nullptr ? *reg : v.emplace<0>()).id = u32();
                return true;
            }
            case 1: {
                ++p_;
                ConstBox* box = std::get_if<1>(&v);
                ConstBox& held = box != nullptr ? *box : v.emplace<1>();
                if (*p_ == 0) {
                    // An integer: its box shares the constant when the value is small.
                    ++p_;
                    const std::uint32_t width = u32();
                    std::int64_t value;
                    if (!small_int(value)) return false;
                    held = ConstBox::integer(width, value);
                    return true;
                }
                return constant(held.get_mut());
            }
            case 2: {
                ++p_;
                TypeBox* box = std::get_if<2>(&v);
                uuid((box != nullptr ? *box : v.emplace<2>()).get_mut().uuid);
                return true;
            }
            default: return false;
        }
    }
    bool get(MetaProbOperand& out) { return get(out.variant) && get(out.operand); }
    template <class T>
    bool get(std::optional<T>& out) {
        if (!fits(1) || *p_ > 1) return false;
        if (*p_++ == 0) {
            out.reset();
            return true;
        }
        return get(out ? *out : out.emplace());
    }
    template <class A, class B>
    bool get(std::pair<A, B>& out) {
        return get(out.first) && get(out.second);
    }
    // Only a list whose elements are all in hand (so its count is backed by bytes
    // present, as the field-by-field reader's reservation is).
    template <class T>
    bool get(std::vector<T>& out) {
        if (!fits(4)) return false;
        const std::uint32_t count = u32();
        if (count > static_cast<std::size_t>(end_ - p_) / min_encoded_size<T>()) return false;
        out.clear();
        out.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (!get(out.emplace_back())) return false;
        }
        return true;
    }

private:
    bool fits(std::size_t n) const { return static_cast<std::size_t>(end_ - p_) >= n; }
    std::uint32_t u32() {
        std::uint32_t v;
        std::memcpy(&v, p_, 4);
        p_ += 4;
        if constexpr (std::endian::native != std::endian::little) v = std::byteswap(v);
        return v;
    }
    std::uint64_t u64() {
        std::uint64_t v;
        std::memcpy(&v, p_, 8);
        p_ += 8;
        if constexpr (std::endian::native != std::endian::little) v = std::byteswap(v);
        return v;
    }
    void uuid(Uuid& out) {
        std::memcpy(out.bytes.data(), p_, 16);
        p_ += 16;
    }
    // An integer of at most 8 bytes (within the operand's room).
    bool small_int(std::int64_t& out) {
        const std::uint32_t n = u32();
        if (n > 8) return false;
        out = i64_from_signed_bytes_le(p_, n);
        p_ += n;
        return true;
    }
    // The constant after the operand tag; the alternative in place is kept when it is
    // the one read (all its fields are set).
    bool constant(AnyConst& out) {
        AnyConst::variant& v = out;
        switch (*p_++) {
            case 0: {
                IConst& c = v.index() == 0 ? *std::get_if<0>(&v) : v.emplace<0>();
                c.ty.num_bits = u32();
                std::int64_t value;
                if (!small_int(value)) return false;
                c.value = value;
                return true;
            }
            case 1: {
                FConst& c = v.index() == 1 ? *std::get_if<1>(&v) : v.emplace<1>();
                if (*p_ >= kFTypeCount) return false;
                c.ty = static_cast<FType>(*p_++);
                std::int64_t mantissa;
                if (!small_int(mantissa)) return false;
                c.value = Decimal(BigInt(mantissa), static_cast<std::int64_t>(u64()));
                return true;
            }
            case 2: {
                FunctionPointer& c = v.index() == 2 ? *std::get_if<2>(&v) : v.emplace<2>();
                if (*p_ > 1) return false;
                c.kind = static_cast<FunctionPointerKind>(*p_++);
                uuid(c.uuid);
                return true;
            }
            default: return false;
        }
    }

    const std::uint8_t* p_;
    const std::uint8_t* const end_;
};

// Puts the instruction (tag and record) at the start of `room`; returns the bytes used,
// or 0 when the direct path does not take it.
template <class Rec>
std::size_t put_instruction(std::span<std::uint8_t> room, const Rec& rec) {
    if (room.empty()) return 0;
    room[0] = static_cast<std::uint8_t>(Rec::op);
    DirectWriter dw(room.data() + 1, room.data() + room.size());
    bool direct = true;
    Rec::visit_fields(rec, [&](std::string_view, const auto& field) {
        if (direct) direct = dw.put(field);
    });
    return direct ? static_cast<std::size_t>(dw.position() - room.data()) : 0;
}

// Room for a record put directly when the writer has none (vector mode, or a sink
// buffer that is exactly full): the record is put here, then appended whole.
constexpr std::size_t kScratchBytes = 256;

}  // namespace

}  // namespace keinstr
