#include "keinstr/types/types.hpp"

#include <array>
#include <cstring>

namespace keinstr {

std::string Typeref::debug() const { return "Typeref(" + uuid.to_string() + ")"; }

std::string wildcard_name(std::uint16_t n) {
    if (n < 26) return std::string(1, static_cast<char>('A' + n));
    return "_" + std::to_string(n);
}

std::string IType::debug() const { return "IType { num_bits: " + std::to_string(num_bits) + " }"; }

namespace {
constexpr const auto& kFTypeTexts = EnumTable<FType>::words;
constexpr const auto& kFTypeDebug = EnumTable<FType>::debug_names;
constexpr std::array<std::uint32_t, kFTypeCount> kFTypeBits = {
#define KEINSTR_X(v, text, bits) bits,
    KE_FTYPE_TABLE(KEINSTR_X)
#undef KEINSTR_X
};

std::string join_u32(const std::vector<std::uint32_t>& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i != 0) out.append(", ");
        out.append(std::to_string(v[i]));
    }
    return out;
}

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;
}  // namespace

std::string_view ftype_text(FType t) noexcept { return kFTypeTexts[static_cast<std::size_t>(t) % kFTypeCount]; }
std::string_view ftype_debug_name(FType t) noexcept { return kFTypeDebug[static_cast<std::size_t>(t) % kFTypeCount]; }
std::uint32_t ftype_bits(FType t) noexcept { return kFTypeBits[static_cast<std::size_t>(t) % kFTypeCount]; }

std::optional<FType> ftype_from_str(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kFTypeCount; ++i)
        if (kFTypeTexts[i] == text) return static_cast<FType>(i);
    return std::nullopt;
}

std::string ExtType::to_string() const {
    std::string out = "ext<" + uuid.to_string() + ">";
    if (!params.empty()) out.append("(" + join_u32(params) + ")");
    return out;
}

std::string ExtType::debug() const {
    return "ExtType { uuid: " + uuid.to_string() + ", params: [" + join_u32(params) + "] }";
}

std::string VcSize::to_string() const {
    return kind == Kind::Scalable ? "vscale " + std::to_string(lanes) : std::to_string(lanes);
}

std::string VcSize::debug() const {
    return (kind == Kind::Scalable ? "Scalable(" : "Fixed(") + std::to_string(lanes) + ")";
}

namespace {
// Text shared by the primary and vector-lane alternatives.
struct PrimaryTextWriter {
    std::string& out;
    void operator()(const IType& t) const { out.append(t.to_string()); }
    void operator()(FType t) const { out.append(ftype_text(t)); }
    void operator()(const ExtType& t) const { out.append(t.to_string()); }
    void operator()(const PtrType&) const { out.append("ptr"); }
    void operator()(const WildcardType& t) const { out.append(wildcard_name(t.number)); }
    void operator()(const VectorType& t) const {
        out.append("<" + t.size.to_string() + " x ");
        t.lane.write(out);
        out.push_back('>');
    }
    void operator()(const LabelType&) const { out.append("label"); }
};

struct PrimaryDebugWriter {
    std::string operator()(const IType& t) const { return "Int(" + t.debug() + ")"; }
    std::string operator()(FType t) const { return "Float(" + std::string(ftype_debug_name(t)) + ")"; }
    std::string operator()(const ExtType& t) const { return "Ext(" + t.debug() + ")"; }
    std::string operator()(const PtrType&) const { return "Ptr"; }
    std::string operator()(const WildcardType& t) const { return "Wildcard(" + std::to_string(t.number) + ")"; }
    std::string operator()(const VectorType& t) const {
        return "Vector(" + t.size.debug() + ", " + t.lane.debug() + ")";
    }
    std::string operator()(const LabelType&) const { return "Label"; }
};
}  // namespace

void PrimaryBasicType::write(std::string& out) const { std::visit(PrimaryTextWriter{out}, *this); }
std::string PrimaryBasicType::to_string() const {
    std::string s;
    write(s);
    return s;
}
std::string PrimaryBasicType::debug() const { return std::visit(PrimaryDebugWriter{}, *this); }

void PrimaryType::write(std::string& out) const { std::visit(PrimaryTextWriter{out}, *this); }
std::string PrimaryType::to_string() const {
    std::string s;
    write(s);
    return s;
}
std::string PrimaryType::debug() const { return std::visit(PrimaryDebugWriter{}, *this); }

std::string ArrayType::debug() const {
    return "ArrayType { element: " + element.debug() + ", count: " + std::to_string(count) + " }";
}

std::string StructType::debug() const {
    std::string out = "StructType { elements: [";
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i != 0) out.append(", ");
        out.append(elements[i].debug());
    }
    out.append("], packed: ");
    out.append(packed ? "true" : "false");
    out.append(" }");
    return out;
}

std::string AnyType::debug() const {
    return std::visit(Overloaded{
                          [](const PrimaryType& p) { return "Primary(" + p.debug() + ")"; },
                          [](const ArrayType& a) { return "Array(" + a.debug() + ")"; },
                          [](const StructType& s) { return "Struct(" + s.debug() + ")"; },
                      },
                      *this);
}

std::vector<Typeref> AnyType::components() const {
    if (const auto* a = std::get_if<ArrayType>(this)) return {a->element};
    if (const auto* s = std::get_if<StructType>(this)) return s->elements;
    return {};
}

// ---- hashing ------------------------------------------------------------------------

namespace {
inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
};

// Canonical byte form of a type for hashing: tags, then fields little-endian, lists
// prefixed by their length.
struct HashEncoder {
    std::string bytes;
    void u8(std::uint8_t v) { bytes.push_back(static_cast<char>(v)); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void uuid(const Uuid& u) { bytes.append(reinterpret_cast<const char*>(u.bytes.data()), 16); }
    void ext(const ExtType& e) {
        uuid(e.uuid);
        u64(e.params.size());
        for (auto p : e.params) u32(p);
    }
    // The fields of one primary alternative; lane types and primary types share them.
    void leaf(const IType& t) { u32(t.num_bits); }
    void leaf(FType t) { u8(static_cast<std::uint8_t>(t)); }
    void leaf(const ExtType& t) { ext(t); }
    void leaf(const PtrType&) {}
    void leaf(const WildcardType& t) { u16(t.number); }
    void leaf(const LabelType&) {}
    void leaf(const VectorType& t) {
        u8(static_cast<std::uint8_t>(t.size.kind));
        u16(t.size.lanes);
        basic(t.lane);
    }
    void basic(const PrimaryBasicType& b) {
        u8(static_cast<std::uint8_t>(b.index()));
        std::visit([&](const auto& t) { leaf(t); }, b);
    }
    void primary(const PrimaryType& p) {
        u8(static_cast<std::uint8_t>(p.index()));
        std::visit([&](const auto& t) { leaf(t); }, p);
    }
    void any(const AnyType& t) {
        u8(static_cast<std::uint8_t>(t.index()));
        std::visit(Overloaded{
                       [&](const PrimaryType& p) { primary(p); },
                       [&](const ArrayType& a) {
                           uuid(a.element.uuid);
                           u16(a.count);
                       },
                       [&](const StructType& s) {
                           u64(s.elements.size());
                           for (const auto& e : s.elements) uuid(e.uuid);
                           u8(s.packed ? 1 : 0);
                       },
                   },
                   t);
    }
};
}  // namespace

std::uint64_t siphash13(const void* data, std::size_t len, std::uint64_t k0, std::uint64_t k1) noexcept {
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    const auto* p = static_cast<const unsigned char*>(data);
    const std::size_t full = len / 8 * 8;
    for (std::size_t i = 0; i < full; i += 8) {
        std::uint64_t m = 0;
        for (int k = 0; k < 8; ++k) m |= std::uint64_t{p[i + k]} << (8 * k);
        s.v3 ^= m;
        s.round();
        s.v0 ^= m;
    }
    std::uint64_t b = std::uint64_t{len & 0xFF} << 56;
    for (std::size_t k = 0; k < len - full; ++k) b |= std::uint64_t{p[full + k]} << (8 * k);
    s.v3 ^= b;
    s.round();
    s.v0 ^= b;
    s.v2 ^= 0xFF;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t type_hash(const AnyType& ty) noexcept {
    HashEncoder enc;
    enc.any(ty);
    return siphash13(enc.bytes.data(), enc.bytes.size());
}

}  // namespace keinstr
