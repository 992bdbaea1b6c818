#include "keinstr/storage/borsh_ir.hpp"
#include "keinstr/utils/try.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "keinstr/storage/borsh_direct.hpp"

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
    auto marker = KE_TRY(r.u8());
    if (marker == 0) {
        out.reset();
        return {};
    }
    if (marker != 1) return std::unexpected(BorshError::invalid_option(marker));
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
    auto count = KE_TRY(r.u32());
    out.clear();
    if constexpr (std::is_same_v<T, KeInstr>) {
        // An arena never takes back what a growing list leaves behind: a list
        // that may grow goes to the heap first and into the arena at its size.
        const std::size_t reserve = r.list_reserve<T>(count, min_encoded_size<T>());
        if (reserve < count && out.get_allocator().arena() != nullptr) {
            InstrList grown;
            grown.reserve(reserve);
            for (std::uint32_t i = 0; i < count; ++i) KE_TRY(read_instruction_back(r, grown));
            out.reserve(grown.size());
            std::move(grown.begin(), grown.end(), std::back_inserter(out));
            return {};
        }
        out.reserve(reserve);
        for (std::uint32_t i = 0; i < count; ++i) KE_TRY(read_instruction_back(r, out));
    } else {
        reserve_for_count(r, count, out);
        for (std::uint32_t i = 0; i < count; ++i) KE_TRY(read_value(r, out.emplace_back()));
    }
    return {};
}

// Ordered map: entries in any order; the last entry read for a key wins. Entries
// written in ascending order go in at the end without a search.
template <class K, class V>
Void read_map(BorshReader& r, std::map<K, V>& out) {
    auto count = KE_TRY(r.u32());
    out.clear();
    for (std::uint32_t i = 0; i < count; ++i) {
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
// A block's instructions go into `arena` when there is one.
Void read_map(BorshReader& r, LabelMap<BasicBlock>& out, Arena* arena) {
    auto count = KE_TRY(r.u32());
    LabelMap<BasicBlock>::container_type entries;
    reserve_for_count(r, count, entries);
    std::size_t thin_at = kMinBlocksBetweenThinnings;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto& entry =
            entries.emplace_back(Label{}, BasicBlock{Label{}, InstrList(ArenaAllocator<KeInstr>(arena)), Trap{}});
        KE_TRY(read_value(r, entry));
        if (entries.size() >= thin_at) {
            LabelMap<BasicBlock>::keep_last_per_label(entries);
            thin_at = std::max(entries.size() + kMinBlocksBetweenThinnings, 2 * entries.size());
        }
    }
    out = LabelMap<BasicBlock>::from_entries(std::move(entries));
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
    auto t = KE_TRY(r.tag(static_cast<std::uint8_t>(n)));
    static constexpr auto makers = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<void (*)(Out&), n>{+[](Out& o) { static_cast<Variant&>(o).template emplace<I>(); }...};
    }(std::make_index_sequence<n>{});
    makers[t](out);
    return static_cast<std::size_t>(t);
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
    auto t = KE_TRY(r.tag(static_cast<std::uint8_t>(n)));
    static constexpr auto readers = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<Void (*)(BorshReader&, InstrList&), n>{+[](BorshReader& br, InstrList& list) {
            KeInstr& instr = list.emplace_back(std::in_place_index<I>);
            return read_instruction_fields(br, *std::get_if<I>(&instr.variant()));
        }...};
    }(std::make_index_sequence<n>{});
    return readers[t](r, out);
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
    auto t = KE_TRY(r.tag(static_cast<std::uint8_t>(kFTypeCount)));
    out = static_cast<FType>(t);
    return {};
}

BorshResult<void> borsh_read(BorshReader& r, ExtType& out) {
    KE_TRY(take(r.uuid(), out.uuid));
    return read_value(r, out.params);
}

BorshResult<void> borsh_read(BorshReader& r, VcSize& out) {
    auto t = KE_TRY(r.tag(2));
    out.kind = static_cast<VcSize::Kind>(t);
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
    auto mantissa = KE_TRY(r.bigint());
    auto scale = KE_TRY(r.i64());
    out.value = Decimal(std::move(mantissa), scale);
    return {};
}

BorshResult<void> borsh_read(BorshReader& r, FunctionPointer& out) {
    auto t = KE_TRY(r.tag(2));
    out.kind = static_cast<FunctionPointerKind>(t);
    return take(r.uuid(), out.uuid);
}

BorshResult<void> borsh_read(BorshReader& r, AnyConst& out) {
    // Every field of a constant is read, so an alternative already in place (as the
    // integer of a fresh constant is) is filled as it is.
    auto t = KE_TRY(r.tag(static_cast<std::uint8_t>(std::variant_size_v<AnyConst::variant>)));
    if (out.index() == t) {
        return std::visit([&](auto& c) { return borsh_read(r, c); }, static_cast<AnyConst::variant&>(out));
    }
    switch (t) {
        case 0: return borsh_read(r, static_cast<AnyConst::variant&>(out).emplace<0>());
        case 1: return borsh_read(r, static_cast<AnyConst::variant&>(out).emplace<1>());
        default: return borsh_read(r, static_cast<AnyConst::variant&>(out).emplace<2>());
    }
}

BorshResult<void> borsh_read(BorshReader& r, Operand& out) {
    static_assert(std::variant_size_v<Operand::variant> == 3, "one case per operand kind");
    auto t = KE_TRY(r.tag(static_cast<std::uint8_t>(std::variant_size_v<Operand::variant>)));
    // The alternative already in place (a register, in a fresh record) is read into
    // as it is; every field of each is read.
    Operand::variant& v = out;
    switch (t) {
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
    auto t = KE_TRY(r.tag(static_cast<std::uint8_t>(kNamedCallingConventionCount + 1)));
    std::uint32_t number = 0;
    if (t == kNamedCallingConventionCount) KE_TRY(take(r.u32(), number));
    out = *CallingConvention::from_tag(t, number);
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
    auto t = KE_TRY(r.tag(static_cast<std::uint8_t>(n)));
    // One step per opcode: make the record, then read its fields into it.
    static constexpr auto readers = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<Void (*)(BorshReader&, KeInstr&), n>{+[](BorshReader& br, KeInstr& o) {
            return read_instruction_fields(br, o.variant().template emplace<I>());
        }...};
    }(std::make_index_sequence<n>{});
    return readers[t](r, out);
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

namespace {

Void read_function(BorshReader& r, Function& out, Arena* arena) {
    KE_TRY(take(r.uuid(), out.uuid));
    auto name = KE_TRY(r.option([](BorshReader& br) { return br.string(); }));
    out.name = std::move(name);
    KE_TRY(read_value(r, out.params));
    KE_TRY(read_value(r, out.return_type));
    KE_TRY(read_map(r, out.body, arena));
    KE_TRY(read_value(r, out.visibility));
    KE_TRY(read_value(r, out.cconv));
    auto wildcards = KE_TRY(r.set([](BorshReader& br) { return br.u16(); }));
    out.wildcard_types = std::move(wildcards);
    KE_TRY(take(r.boolean(), out.meta_function));
    auto aux = KE_TRY(r.option([](BorshReader& br) { return br.uuid(); }));
    out.aux_uuid = aux;
    return {};
}

// The arena the functions of one module read share, with a count of its own:
// each function holds one pointer to it, not a shared pointer of two, which
// keeps a function's holder no larger than a function alone on the heap.
struct ArenaShare {
    std::atomic<std::size_t> holders{1};
    std::shared_ptr<Arena> arena;
};

// One holder of an ArenaShare; the last one deletes it.
class ArenaShareRef {
public:
    // The first holder of a new share of `arena`.
    explicit ArenaShareRef(std::shared_ptr<Arena> arena) : share_(new ArenaShare{}) {
        share_->arena = std::move(arena);
    }
    ArenaShareRef(const ArenaShareRef& other) noexcept : share_(other.share_) {
        share_->holders.fetch_add(1, std::memory_order_relaxed);
    }
    ArenaShareRef& operator=(const ArenaShareRef&) = delete;
    ~ArenaShareRef() {
        if (share_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete share_;
    }

private:
    ArenaShare* share_;
};

// A function whose instructions are in a shared arena, which it keeps alive.
// Members are destroyed in reverse order: the function before the arena.
struct ArenaFunction {
    explicit ArenaFunction(const ArenaShareRef& share) : share(share) {}
    ArenaShareRef share;
    Function function;
};

// A new function of the module being read, held with `share`'s arena (none: alone).
std::shared_ptr<Function> new_function(const std::optional<ArenaShareRef>& share) {
    if (!share) return std::make_shared<Function>();
    auto holder = std::make_shared<ArenaFunction>(*share);
    return std::shared_ptr<Function>(holder, &holder->function);
}

// Bytes of `arena` that the instruction arrays of `module` hold.
std::size_t arena_bytes_held(const Module& module, const Arena* arena) {
    std::size_t bytes = 0;
    for (const auto& [uuid, function] : module.functions) {
        for (const auto& [label, block] : function->body) {
            if (block.instructions.get_allocator().arena() == arena)
                bytes += block.instructions.capacity() * sizeof(KeInstr);
        }
    }
    return bytes;
}

// Moves the instruction arrays of `module` that are in `from` into a new arena
// of just their size, each function holding that arena instead.
void move_to_new_arena(Module& module, const Arena* from, std::size_t bytes) {
    auto fresh = std::make_shared<Arena>(bytes);
    const ArenaShareRef share(fresh);
    for (auto& [uuid, function] : module.functions) {
        auto holder = std::make_shared<ArenaFunction>(share);
        holder->function = std::move(*function);
        for (auto& [label, block] : holder->function.body) {
            if (block.instructions.get_allocator().arena() != from) continue;
            InstrList moved{ArenaAllocator<KeInstr>(fresh.get())};
            moved.reserve(block.instructions.size());
            std::move(block.instructions.begin(), block.instructions.end(), std::back_inserter(moved));
            // Assignment would keep the old arena's allocator: the list is made anew.
            std::destroy_at(&block.instructions);
            std::construct_at(&block.instructions, std::move(moved));
        }
        function = std::shared_ptr<Function>(holder, &holder->function);
    }
    fresh->release_unused();
}

}  // namespace

BorshResult<void> borsh_read(BorshReader& r, Function& out) { return read_function(r, out, nullptr); }

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

BorshResult<void> borsh_read(BorshReader& r, Module& out) { return borsh_read(r, out, nullptr); }

BorshResult<void> borsh_read(BorshReader& r, Module& out, const std::shared_ptr<Arena>& instruction_arena) {
    out.functions.clear();
    out.external_functions.clear();
    std::optional<ArenaShareRef> share;
    if (instruction_arena) share.emplace(instruction_arena);
    auto count = KE_TRY(r.u32());
    for (std::uint32_t i = 0; i < count; ++i) {
        Uuid key;
        KE_TRY(take(r.uuid(), key));
        std::shared_ptr<Function> function = new_function(share);
        KE_TRY(read_function(r, *function, instruction_arena.get()));
        // Written in ascending order: the hint makes each insertion constant time.
        const std::size_t before = out.functions.size();
        auto it = out.functions.emplace_hint(out.functions.end(), key, function);
        if (out.functions.size() == before) it->second = std::move(function);
    }
    KE_TRY(read_map(r, out.external_functions));
    if (instruction_arena) {
        // Blocks and functions that a later one of the same label or UUID replaced
        // left their arrays in the arena: the module keeps only what it holds.
        const std::size_t held = arena_bytes_held(out, instruction_arena.get());
        if (instruction_arena->used_bytes() > held + held / 2 + Arena::kChunkBytes) {
            move_to_new_arena(out, instruction_arena.get(), held);
        } else {
            instruction_arena->release_unused();
        }
    }
    return {};
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
    auto count = KE_TRY(r.u64());
    // Entry kept for each UUID: the type read last and where it was read. A UUID
    // met again replaces its earlier type.
    std::map<Typeref, std::pair<AnyType, std::uint64_t>> entries;
    for (std::uint64_t i = 0; i < count; ++i) {
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
