#include "keinstr/storage/borsh_ir.hpp"
#include "keinstr/utils/try.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace keinstr {

namespace {

using Void = BorshResult<void>;

// Reads a value whose reader returns it (the primitive readers of BorshReader).
template <class T>
[[gnu::always_inline]] inline Void take(BorshResult<T> res, T& out) {
    if (!res) [[unlikely]]
        return std::unexpected(std::move(res.error()));
    out = std::move(*res);
    return {};
}

// ---- plain fields -------------------------------------------------------------------
// Registers, labels and types make up most of an instruction: their readers and
// writers are inlined into the record readers and writers.

[[gnu::always_inline]] inline void write_value(BorshWriter& w, std::uint32_t v) { w.u32(v); }
[[gnu::always_inline]] inline void write_value(BorshWriter& w, bool v) { w.boolean(v); }
[[gnu::always_inline]] inline void write_value(BorshWriter& w, Name v) { w.u32(v.id); }
[[gnu::always_inline]] inline void write_value(BorshWriter& w, Label v) { w.u32(v.id); }
[[gnu::always_inline]] inline void write_value(BorshWriter& w, const Typeref& v) { w.uuid(v.uuid); }
[[gnu::always_inline]] inline void write_value(BorshWriter& w, const TypeBox& v) { w.uuid(v.get().uuid); }
[[gnu::always_inline]] inline Void read_value(BorshReader& r, std::uint32_t& out) { return take(r.u32(), out); }
[[gnu::always_inline]] inline Void read_value(BorshReader& r, bool& out) { return take(r.boolean(), out); }
[[gnu::always_inline]] inline Void read_value(BorshReader& r, Uuid& out) { return take(r.uuid(), out); }
[[gnu::always_inline]] inline Void read_value(BorshReader& r, Name& out) { return take(r.u32(), out.id); }
[[gnu::always_inline]] inline Void read_value(BorshReader& r, Label& out) { return take(r.u32(), out.id); }
[[gnu::always_inline]] inline Void read_value(BorshReader& r, Typeref& out) { return take(r.uuid(), out.uuid); }

// Declared up front so that each template sees every other one.
template <class T>
void write_value(BorshWriter& w, const T& v);
template <class T>
void write_value(BorshWriter& w, const std::optional<T>& v);
template <class A, class B>
void write_value(BorshWriter& w, const std::pair<A, B>& v);
template <class T, class A>
void write_value(BorshWriter& w, const std::vector<T, A>& v);
template <class T>
Void read_value(BorshReader& r, T& out);
template <class T>
Void read_value(BorshReader& r, std::optional<T>& out);
template <class A, class B>
Void read_value(BorshReader& r, std::pair<A, B>& out);
template <class T, class A>
Void read_value(BorshReader& r, std::vector<T, A>& out);

template <class T>
void write_value(BorshWriter& w, const T& v) {
    borsh_write(w, v);
}
template <class T>
void write_value(BorshWriter& w, const std::optional<T>& v) {
    if (!v) {
        w.u8(0);
        return;
    }
    w.u8(1);
    write_value(w, *v);
}
template <class A, class B>
void write_value(BorshWriter& w, const std::pair<A, B>& v) {
    write_value(w, v.first);
    write_value(w, v.second);
}
template <class T, class A>
void write_value(BorshWriter& w, const std::vector<T, A>& v) {
    w.length(v.size());
    for (const T& item : v) {
        if (!w.ok()) return;
        write_value(w, item);
    }
}

template <class T>
Void read_value(BorshReader& r, T& out) {
    return borsh_read(r, out);
}
template <class T>
Void read_value(BorshReader& r, std::optional<T>& out) {
    auto marker = r.u8();
    if (!marker) return std::unexpected(std::move(marker.error()));
    if (*marker == 0) {
        out.reset();
        return {};
    }
    if (*marker != 1) return std::unexpected(BorshError::invalid_option(*marker));
    T value{};
    KE_TRY(read_value(r, value));
    out = std::move(value);
    return {};
}
template <class A, class B>
Void read_value(BorshReader& r, std::pair<A, B>& out) {
    KE_TRY(read_value(r, out.first));
    return read_value(r, out.second);
}
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

// Reads one instruction onto the end of `out` (defined with the instruction readers).
Void read_instruction_back(BorshReader& r, InstrList& out);

// A list. Room for the whole count is reserved when the bytes at hand could hold
// that many elements; else for as many as they could hold (at least 4096 bytes'
// worth), and the vector grows as further elements arrive. A forged count thus
// never reserves more than the input present can fill, nor more than
// BorshReader::kMaxUpFrontListBytes (BorshReader::list_reserve). Elements are read in place.
template <class T, class A>
void reserve_for_count(const BorshReader& r, std::uint32_t count, std::vector<T, A>& out) {
    out.reserve(r.list_reserve<T>(count, min_encoded_size<T>()));
}

template <class T, class A>
Void read_value(BorshReader& r, std::vector<T, A>& out) {
    auto count = r.u32();
    if (!count) return std::unexpected(std::move(count.error()));
    out.clear();
    reserve_for_count(r, *count, out);
    for (std::uint32_t i = 0; i < *count; ++i) {
        if constexpr (std::is_same_v<T, KeInstr>) {
            KE_TRY(read_instruction_back(r, out));
        } else {
            KE_TRY(read_value(r, out.emplace_back()));
        }
    }
    return {};
}

// Ordered map: entries in any order; the last entry read for a key wins. Entries
// written in ascending order go in at the end without a search.
template <class K, class V>
Void read_map(BorshReader& r, std::map<K, V>& out) {
    auto count = r.u32();
    if (!count) return std::unexpected(std::move(count.error()));
    out.clear();
    for (std::uint32_t i = 0; i < *count; ++i) {
        K key{};
        KE_TRY(read_value(r, key));
        const std::size_t before = out.size();
        auto it = out.emplace_hint(out.end(), std::move(key), V{});
        if (out.size() != before) {
            KE_TRY(read_value(r, it->second));
        } else {
            V value{};
            KE_TRY(read_value(r, value));
            it->second = std::move(value);
        }
    }
    return {};
}

// Blocks read between two thinnings of a function's body at the least.
constexpr std::size_t kMinBlocksBetweenThinnings = 1024;

// The same for a function's blocks: read in order, sorted at the end. Whenever
// the blocks read have doubled since the body was last thinned out, those a
// later block of the same label replaces are dropped: a few labels repeated
// (which compress to almost nothing) cannot pile up, and a body of distinct
// labels is only scanned again a few times over.
template <class V>
Void read_map(BorshReader& r, LabelMap<V>& out) {
    auto count = r.u32();
    if (!count) return std::unexpected(std::move(count.error()));
    typename LabelMap<V>::container_type entries;
    reserve_for_count(r, *count, entries);
    std::size_t thin_at = kMinBlocksBetweenThinnings;
    for (std::uint32_t i = 0; i < *count; ++i) {
        KE_TRY(read_value(r, entries.emplace_back()));
        if (entries.size() >= thin_at) {
            LabelMap<V>::keep_last_per_label(entries);
            thin_at = std::max(entries.size() + kMinBlocksBetweenThinnings, 2 * entries.size());
        }
    }
    out = LabelMap<V>::from_entries(std::move(entries));
    return {};
}

// Writes the tag of a variant-based record (its alternative index).
template <class V>
void write_tag(BorshWriter& w, const V& v) {
    w.tag(static_cast<std::uint8_t>(v.index()));
}

// Reads a tag below the variant's size and default-constructs that alternative in
// `out`; returns the tag.
template <class Variant, class Out>
BorshResult<std::size_t> read_alternative(BorshReader& r, Out& out) {
    constexpr std::size_t n = std::variant_size_v<Variant>;
    auto t = r.tag(static_cast<std::uint8_t>(n));
    if (!t) return std::unexpected(std::move(t.error()));
    static constexpr auto makers = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<void (*)(Out&), n>{
            +[](Out& o) { static_cast<Variant&>(o).template emplace<I>(); }...};
    }(std::make_index_sequence<n>{});
    makers[*t](out);
    return static_cast<std::size_t>(*t);
}

// ---- instructions: every record through its field list ------------------------------

template <class Rec>
void write_record(BorshWriter& w, const Rec& rec) {
    Rec::visit_fields(rec, [&](std::string_view, const auto& field) { write_value(w, field); });
}

template <class Rec>
Void read_record(BorshReader& r, Rec& rec) {
    Void result;
    Rec::visit_fields(rec, [&](std::string_view, auto& field) {
        if (!result) return;
        if (auto res = read_value(r, field); !res) [[unlikely]]
            result = std::unexpected(std::move(res.error()));
    });
    return result;
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
            default:
                return false;
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
            default:
                return false;
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

// An instruction: its tag (the opcode), then its record.
template <class Rec>
void write_instruction(BorshWriter& w, const Rec& rec) {
    if constexpr (DirectRecord<Rec>::value) {
        if (const std::span<std::uint8_t> room = w.free_room(); !room.empty()) {
            if (const std::size_t used = put_instruction(room, rec)) {
                w.commit(used);
                return;
            }
        } else if (w.ok()) {
            std::array<std::uint8_t, kScratchBytes> scratch;
            if (const std::size_t used = put_instruction(scratch, rec)) {
                w.raw(std::span(scratch).first(used));
                return;
            }
        }
    }
    w.tag(static_cast<std::uint8_t>(Rec::op));
    write_record(w, rec);
}

// The fields of an instruction whose tag was read.
template <class Rec>
Void read_instruction_fields(BorshReader& r, Rec& rec) {
    if constexpr (DirectRecord<Rec>::value) {
        const std::span<const std::uint8_t> bytes = r.in_hand();
        DirectReader dr(bytes.data(), bytes.data() + bytes.size());
        bool direct = true;
        Rec::visit_fields(rec, [&](std::string_view, auto& field) {
            if (direct) direct = dr.get(field);
        });
        if (direct) {
            r.consume(static_cast<std::size_t>(dr.position() - bytes.data()));
            return {};
        }
    }
    return read_record(r, rec);
}

// The instruction of the tag read is made in place at the end of the list, its record
// then filled: no default record is made first only to be replaced.
Void read_instruction_back(BorshReader& r, InstrList& out) {
    constexpr std::size_t n = std::variant_size_v<KeInstrVariant>;
    auto t = r.tag(static_cast<std::uint8_t>(n));
    if (!t) return std::unexpected(std::move(t.error()));
    static constexpr auto readers = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<Void (*)(BorshReader&, InstrList&), n>{
            +[](BorshReader& br, InstrList& list) {
                KeInstr& instr = list.emplace_back(std::in_place_index<I>);
                return read_instruction_fields(br, *std::get_if<I>(&instr.variant()));
            }...};
    }(std::make_index_sequence<n>{});
    return readers[*t](r, out);
}

}  // namespace

// ---- big integers --------------------------------------------------------------------

BorshResult<void> serialize_bigint_borsh(const BigInt& value, BorshWriter& w) {
    w.bigint(value);
    return w.status();
}

BorshResult<BigInt> deserialize_bigint_borsh(BorshReader& r) { return r.bigint(); }

// ---- types ---------------------------------------------------------------------------

void borsh_write(BorshWriter& w, const Typeref& v) { w.uuid(v.uuid); }
void borsh_write(BorshWriter& w, Name v) { w.u32(v.id); }
void borsh_write(BorshWriter& w, Label v) { w.u32(v.id); }
void borsh_write(BorshWriter& w, const IType& v) { w.u32(v.num_bits); }
void borsh_write(BorshWriter& w, FType v) { w.tag(static_cast<std::uint8_t>(v)); }

void borsh_write(BorshWriter& w, const ExtType& v) {
    w.uuid(v.uuid);
    write_value(w, v.params);
}

void borsh_write(BorshWriter& w, const VcSize& v) {
    w.tag(static_cast<std::uint8_t>(v.kind));
    w.u16(v.lanes);
}

namespace {
// Payload of the alternatives shared by PrimaryType and PrimaryBasicType.
struct PrimaryPayloadWriter {
    BorshWriter& w;
    void operator()(const IType& t) const { borsh_write(w, t); }
    void operator()(FType t) const { borsh_write(w, t); }
    void operator()(const ExtType& t) const { borsh_write(w, t); }
    void operator()(const PtrType&) const {}
    void operator()(const WildcardType& t) const { w.u16(t.number); }
    void operator()(const LabelType&) const {}
    // Lane type first, then lane count.
    void operator()(const VectorType& t) const {
        borsh_write(w, t.lane);
        borsh_write(w, t.size);
    }
};
struct PrimaryPayloadReader {
    BorshReader& r;
    Void operator()(IType& t) const { return borsh_read(r, t); }
    Void operator()(FType& t) const { return borsh_read(r, t); }
    Void operator()(ExtType& t) const { return borsh_read(r, t); }
    Void operator()(PtrType&) const { return {}; }
    Void operator()(WildcardType& t) const { return take(r.u16(), t.number); }
    Void operator()(LabelType&) const { return {}; }
    Void operator()(VectorType& t) const {
        KE_TRY(borsh_read(r, t.lane));
        return borsh_read(r, t.size);
    }
};
}  // namespace

void borsh_write(BorshWriter& w, const PrimaryBasicType& v) {
    write_tag(w, v);
    std::visit(PrimaryPayloadWriter{w}, v);
}

void borsh_write(BorshWriter& w, const PrimaryType& v) {
    write_tag(w, v);
    std::visit(PrimaryPayloadWriter{w}, v);
}

void borsh_write(BorshWriter& w, const ArrayType& v) {
    borsh_write(w, v.element);
    w.u16(v.count);
}

void borsh_write(BorshWriter& w, const StructType& v) {
    write_value(w, v.elements);
    w.boolean(v.packed);
}

void borsh_write(BorshWriter& w, const AnyType& v) {
    write_tag(w, v);
    std::visit([&](const auto& t) { borsh_write(w, t); }, v);
}

BorshResult<void> borsh_read(BorshReader& r, Typeref& out) { return read_value(r, out); }
BorshResult<void> borsh_read(BorshReader& r, Name& out) { return read_value(r, out); }
BorshResult<void> borsh_read(BorshReader& r, Label& out) { return read_value(r, out); }
BorshResult<void> borsh_read(BorshReader& r, IType& out) { return take(r.u32(), out.num_bits); }

BorshResult<void> borsh_read(BorshReader& r, FType& out) {
    auto t = r.tag(static_cast<std::uint8_t>(kFTypeCount));
    if (!t) return std::unexpected(std::move(t.error()));
    out = static_cast<FType>(*t);
    return {};
}

BorshResult<void> borsh_read(BorshReader& r, ExtType& out) {
    KE_TRY(take(r.uuid(), out.uuid));
    return read_value(r, out.params);
}

BorshResult<void> borsh_read(BorshReader& r, VcSize& out) {
    auto t = r.tag(2);
    if (!t) return std::unexpected(std::move(t.error()));
    out.kind = static_cast<VcSize::Kind>(*t);
    return take(r.u16(), out.lanes);
}

BorshResult<void> borsh_read(BorshReader& r, PrimaryBasicType& out) {
    KE_TRY(read_alternative<PrimaryBasicType::variant>(r, out));
    return std::visit(PrimaryPayloadReader{r}, static_cast<PrimaryBasicType::variant&>(out));
}

BorshResult<void> borsh_read(BorshReader& r, PrimaryType& out) {
    KE_TRY(read_alternative<PrimaryType::variant>(r, out));
    return std::visit(PrimaryPayloadReader{r}, static_cast<PrimaryType::variant&>(out));
}

BorshResult<void> borsh_read(BorshReader& r, ArrayType& out) {
    KE_TRY(borsh_read(r, out.element));
    return take(r.u16(), out.count);
}

BorshResult<void> borsh_read(BorshReader& r, StructType& out) {
    KE_TRY(read_value(r, out.elements));
    return take(r.boolean(), out.packed);
}

BorshResult<void> borsh_read(BorshReader& r, AnyType& out) {
    KE_TRY(read_alternative<AnyType::variant>(r, out));
    return std::visit([&](auto& t) { return borsh_read(r, t); }, static_cast<AnyType::variant&>(out));
}

// ---- constants and operands ------------------------------------------------------------

void borsh_write(BorshWriter& w, const IConst& v) {
    borsh_write(w, v.ty);
    w.bigint(v.value);
}

// The mantissa and the scale exactly as held (1.50 stays 150 and 2).
void borsh_write(BorshWriter& w, const FConst& v) {
    borsh_write(w, v.ty);
    w.bigint(v.value.mantissa());
    w.i64(v.value.scale());
}

void borsh_write(BorshWriter& w, const FunctionPointer& v) {
    w.tag(static_cast<std::uint8_t>(v.kind));
    w.uuid(v.uuid);
}

void borsh_write(BorshWriter& w, const AnyConst& v) {
    write_tag(w, v);
    std::visit([&](const auto& c) { borsh_write(w, c); }, v);
}

void borsh_write(BorshWriter& w, const Operand& v) {
    write_tag(w, v);
    std::visit([&](const auto& o) { write_value(w, o); }, v);
}

BorshResult<void> borsh_read(BorshReader& r, IConst& out) {
    KE_TRY(borsh_read(r, out.ty));
    return r.bigint(out.value);
}

BorshResult<void> borsh_read(BorshReader& r, FConst& out) {
    KE_TRY(borsh_read(r, out.ty));
    auto mantissa = r.bigint();
    if (!mantissa) return std::unexpected(std::move(mantissa.error()));
    auto scale = r.i64();
    if (!scale) return std::unexpected(std::move(scale.error()));
    out.value = Decimal(std::move(*mantissa), *scale);
    return {};
}

BorshResult<void> borsh_read(BorshReader& r, FunctionPointer& out) {
    auto t = r.tag(2);
    if (!t) return std::unexpected(std::move(t.error()));
    out.kind = static_cast<FunctionPointerKind>(*t);
    return take(r.uuid(), out.uuid);
}

BorshResult<void> borsh_read(BorshReader& r, AnyConst& out) {
    // Every field of a constant is read, so an alternative already in place (as the
    // integer of a fresh constant is) is filled as it is.
    auto t = r.tag(static_cast<std::uint8_t>(std::variant_size_v<AnyConst::variant>));
    if (!t) return std::unexpected(std::move(t.error()));
    if (out.index() == *t) {
        return std::visit([&](auto& c) { return borsh_read(r, c); }, static_cast<AnyConst::variant&>(out));
    }
    switch (*t) {
        case 0:
            return borsh_read(r, static_cast<AnyConst::variant&>(out).emplace<0>());
        case 1:
            return borsh_read(r, static_cast<AnyConst::variant&>(out).emplace<1>());
        default:
            return borsh_read(r, static_cast<AnyConst::variant&>(out).emplace<2>());
    }
}

BorshResult<void> borsh_read(BorshReader& r, Operand& out) {
    static_assert(std::variant_size_v<Operand::variant> == 3, "one case per operand kind");
    auto t = r.tag(static_cast<std::uint8_t>(std::variant_size_v<Operand::variant>));
    if (!t) return std::unexpected(std::move(t.error()));
    // The alternative already in place (a register, in a fresh record) is read into
    // as it is; every field of each is read.
    Operand::variant& v = out;
    switch (*t) {
        case 0: {  // register
            Name* reg = std::get_if<0>(&v);
            return read_value(r, reg != nullptr ? *reg : v.emplace<0>());
        }
        case 1: {  // constant
            ConstBox* box = std::get_if<1>(&v);
            return borsh_read(r, box != nullptr ? *box : v.emplace<1>());
        }
        default: {  // undef type
            TypeBox* box = std::get_if<2>(&v);
            return read_value(r, (box != nullptr ? *box : v.emplace<2>()).get_mut());
        }
    }
}

// ---- instruction payloads ---------------------------------------------------------------

void borsh_write(BorshWriter& w, const CallingConvention& v) {
    w.tag(v.tag());
    if (v.is_numbered()) w.u32(v.number());
}

BorshResult<void> borsh_read(BorshReader& r, CallingConvention& out) {
    auto t = r.tag(static_cast<std::uint8_t>(kNamedCallingConventionCount + 1));
    if (!t) return std::unexpected(std::move(t.error()));
    std::uint32_t number = 0;
    if (*t == kNamedCallingConventionCount) KE_TRY(take(r.u32(), number));
    out = *CallingConvention::from_tag(*t, number);
    return {};
}

void borsh_write(BorshWriter& w, const MetaProbOperand& v) {
    borsh_write(w, v.variant);
    borsh_write(w, v.operand);
}

BorshResult<void> borsh_read(BorshReader& r, MetaProbOperand& out) {
    KE_TRY(borsh_read(r, out.variant));
    return borsh_read(r, out.operand);
}

void borsh_write(BorshWriter& w, const TerminationScope& v) {
    write_tag(w, v);
    if (const auto* reach = std::get_if<ReachAny>(&v)) write_value(w, reach->labels);
}

BorshResult<void> borsh_read(BorshReader& r, TerminationScope& out) {
    KE_TRY(read_alternative<TerminationScope::variant>(r, out));
    if (auto* reach = std::get_if<ReachAny>(&out)) return read_value(r, reach->labels);
    return {};
}

void borsh_write(BorshWriter& w, const AnalysisStatistic& v) {
    write_tag(w, v);
    if (const auto* count = std::get_if<InstructionCount>(&v)) w.u32(count->flags.bits);
    if (const auto* term = std::get_if<TerminationBehavior>(&v)) borsh_write(w, term->scope);
}

// The flag bits are kept as stored.
BorshResult<void> borsh_read(BorshReader& r, AnalysisStatistic& out) {
    KE_TRY(read_alternative<AnalysisStatistic::variant>(r, out));
    if (auto* count = std::get_if<InstructionCount>(&out)) return take(r.u32(), count->flags.bits);
    if (auto* term = std::get_if<TerminationBehavior>(&out)) return borsh_read(r, term->scope);
    return {};
}

// ---- instructions and terminators ----------------------------------------------------------

void borsh_write(BorshWriter& w, const KeInstr& v) {
    std::visit([&](const auto& rec) { write_instruction(w, rec); }, v.variant());
}

BorshResult<void> borsh_read(BorshReader& r, KeInstr& out) {
    constexpr std::size_t n = std::variant_size_v<KeInstrVariant>;
    auto t = r.tag(static_cast<std::uint8_t>(n));
    if (!t) return std::unexpected(std::move(t.error()));
    // One step per opcode: make the record, then read its fields into it.
    static constexpr auto readers = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<Void (*)(BorshReader&, KeInstr&), n>{+[](BorshReader& br, KeInstr& o) {
            return read_instruction_fields(br, o.variant().template emplace<I>());
        }...};
    }(std::make_index_sequence<n>{});
    return readers[*t](r, out);
}

void borsh_write(BorshWriter& w, const KeTerminator& v) {
    write_tag(w, v);
    if (const auto* br = std::get_if<Branch>(&v)) {
        borsh_write(w, br->condition);
        borsh_write(w, br->true_label);
        borsh_write(w, br->false_label);
    } else if (const auto* jump = std::get_if<Jump>(&v)) {
        borsh_write(w, jump->target);
    } else if (const auto* ret = std::get_if<Ret>(&v)) {
        write_value(w, ret->value);
    }
}

BorshResult<void> borsh_read(BorshReader& r, KeTerminator& out) {
    KE_TRY(read_alternative<KeTerminator::variant>(r, out));
    if (auto* br = std::get_if<Branch>(&out)) {
        KE_TRY(borsh_read(r, br->condition));
        KE_TRY(borsh_read(r, br->true_label));
        return borsh_read(r, br->false_label);
    }
    if (auto* jump = std::get_if<Jump>(&out)) return borsh_read(r, jump->target);
    if (auto* ret = std::get_if<Ret>(&out)) return read_value(r, ret->value);
    return {};
}

// ---- blocks, functions, modules ----------------------------------------------------------

void borsh_write(BorshWriter& w, const BasicBlock& v) {
    borsh_write(w, v.label);
    write_value(w, v.instructions);
    borsh_write(w, v.terminator);
}

BorshResult<void> borsh_read(BorshReader& r, BasicBlock& out) {
    KE_TRY(borsh_read(r, out.label));
    KE_TRY(read_value(r, out.instructions));
    return borsh_read(r, out.terminator);
}

void borsh_write(BorshWriter& w, const Function& v) {
    w.uuid(v.uuid);
    if (v.name) {
        w.u8(1);
        w.string(*v.name);
    } else {
        w.u8(0);
    }
    write_value(w, v.params);
    write_value(w, v.return_type);
    w.length(v.body.size());
    for (const auto& [label, block] : v.body) {
        if (!w.ok()) return;
        borsh_write(w, label);
        borsh_write(w, block);
    }
    write_value(w, v.visibility);
    write_value(w, v.cconv);
    w.seq(v.wildcard_types, [](BorshWriter& bw, std::uint16_t n) { bw.u16(n); });
    w.boolean(v.meta_function);
    if (v.aux_uuid) {
        w.u8(1);
        w.uuid(*v.aux_uuid);
    } else {
        w.u8(0);
    }
}

BorshResult<void> borsh_read(BorshReader& r, Function& out) {
    KE_TRY(take(r.uuid(), out.uuid));
    auto name = r.option([](BorshReader& br) { return br.string(); });
    if (!name) return std::unexpected(std::move(name.error()));
    out.name = std::move(*name);
    KE_TRY(read_value(r, out.params));
    KE_TRY(read_value(r, out.return_type));
    KE_TRY(read_map(r, out.body));
    KE_TRY(read_value(r, out.visibility));
    KE_TRY(read_value(r, out.cconv));
    auto wildcards = r.set([](BorshReader& br) { return br.u16(); });
    if (!wildcards) return std::unexpected(std::move(wildcards.error()));
    out.wildcard_types = std::move(*wildcards);
    KE_TRY(take(r.boolean(), out.meta_function));
    auto aux = r.option([](BorshReader& br) { return br.uuid(); });
    if (!aux) return std::unexpected(std::move(aux.error()));
    out.aux_uuid = *aux;
    return {};
}

void borsh_write(BorshWriter& w, const ExternalFunction& v) {
    w.uuid(v.uuid);
    w.string(v.name);
    borsh_write(w, v.cconv);
    write_value(w, v.params);
    write_value(w, v.return_type);
}

BorshResult<void> borsh_read(BorshReader& r, ExternalFunction& out) {
    KE_TRY(take(r.uuid(), out.uuid));
    KE_TRY(take(r.string(), out.name));
    KE_TRY(borsh_read(r, out.cconv));
    KE_TRY(read_value(r, out.params));
    return read_value(r, out.return_type);
}

void borsh_write(BorshWriter& w, const Module& v) {
    w.length(v.functions.size());
    for (const auto& [uuid, function] : v.functions) {
        if (!w.ok()) return;
        if (!function) {
            w.fail(BorshError::invalid_data());
            return;
        }
        w.uuid(uuid);
        borsh_write(w, *function);
    }
    w.length(v.external_functions.size());
    for (const auto& [uuid, ext] : v.external_functions) {
        if (!w.ok()) return;
        w.uuid(uuid);
        borsh_write(w, ext);
    }
}

BorshResult<void> borsh_read(BorshReader& r, Module& out) {
    out.functions.clear();
    out.external_functions.clear();
    auto count = r.u32();
    if (!count) return std::unexpected(std::move(count.error()));
    for (std::uint32_t i = 0; i < *count; ++i) {
        Uuid key;
        KE_TRY(take(r.uuid(), key));
        auto function = std::make_shared<Function>();
        KE_TRY(borsh_read(r, *function));
        // Written in ascending order: the hint makes each insertion constant time.
        const std::size_t before = out.functions.size();
        auto it = out.functions.emplace_hint(out.functions.end(), key, function);
        if (out.functions.size() == before) it->second = std::move(function);
    }
    return read_map(r, out.external_functions);
}

// ---- the type registry --------------------------------------------------------------------

void borsh_write(BorshWriter& w, const TypeRegistry& v) {
    const auto guard = v.read();
    w.u64(guard.size());
    for (const auto& [uuid, ty] : guard.map()) {
        if (!w.ok()) return;
        borsh_write(w, uuid);
        borsh_write(w, ty);
    }
}

BorshResult<std::unique_ptr<TypeRegistry>> read_type_registry(BorshReader& r) {
    auto count = r.u64();
    if (!count) return std::unexpected(std::move(count.error()));
    // Entry kept for each UUID: the type read last and where it was read. A UUID
    // met again replaces its earlier type.
    std::map<Typeref, std::pair<AnyType, std::uint64_t>> entries;
    for (std::uint64_t i = 0; i < *count; ++i) {
        Typeref uuid;
        KE_TRY(borsh_read(r, uuid));
        AnyType ty;
        KE_TRY(borsh_read(r, ty));
        entries.insert_or_assign(uuid, std::pair{std::move(ty), i});
    }
    // The reverse index is derived from the final map only, so a replaced type leaves
    // no entry behind; each hash list holds its UUIDs in stream order.
    std::vector<std::pair<std::uint64_t, const Typeref*>> order;
    order.reserve(entries.size());
    for (const auto& [uuid, entry] : entries) order.emplace_back(entry.second, &uuid);
    std::sort(order.begin(), order.end());

    auto registry = std::make_unique<TypeRegistry>(ClockContext::random_start(), NodeId{});
    for (const auto& [pos, uuid] : order) registry->insert_stored(*uuid, std::move(entries.at(*uuid).first));
    return registry;
}

}  // namespace keinstr
