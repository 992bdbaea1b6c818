#include <gtest/gtest.h>

#include <unordered_set>

#include "keinstr/types/types.hpp"

using namespace keinstr;

namespace {
const Uuid kExt = *Uuid::parse("20189b61-7279-46fa-9ba2-5f0360bf5b51");
}

TEST(Types, PrimaryTexts) {
    struct Case {
        PrimaryType ty;
        std::string text;
    };
    const Case cases[] = {
        {IType{32}, "i32"},
        {IType{1}, "i1"},
        {IType{8388607}, "i8388607"},
        {FType::Fp16, "fp16"},
        {FType::Bf16, "bf16"},
        {FType::Fp32, "fp32"},
        {FType::Fp64, "fp64"},
        {FType::Fp128, "fp128"},
        {FType::X86Fp80, "x86_fp80"},
        {FType::PPCFp128, "ppc_fp128"},
        {ExtType{kExt, {}}, "ext<20189b61-7279-46fa-9ba2-5f0360bf5b51>"},
        {ExtType{kExt, {7}}, "ext<20189b61-7279-46fa-9ba2-5f0360bf5b51>(7)"},
        {ExtType{kExt, {8, 16}}, "ext<20189b61-7279-46fa-9ba2-5f0360bf5b51>(8, 16)"},
        {PtrType{}, "ptr"},
        {WildcardType{0}, "A"},
        {WildcardType{25}, "Z"},
        {WildcardType{26}, "_26"},
        {WildcardType{65535}, "_65535"},
        {VectorType{VcSize::fixed(4), IType{32}}, "<4 x i32>"},
        {VectorType{VcSize::scalable(2), FType::Fp64}, "<vscale 2 x fp64>"},
        {VectorType{VcSize::fixed(1), PtrType{}}, "<1 x ptr>"},
        {VectorType{VcSize::scalable(1), PtrType{}}, "<vscale 1 x ptr>"},
        {VectorType{VcSize::fixed(3), WildcardType{1}}, "<3 x B>"},
        {LabelType{}, "label"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.ty.to_string(), c.text);
        EXPECT_EQ(fmt::format("{}", c.ty), c.text);
    }
}

TEST(Types, FTypeFromText) {
    for (std::size_t i = 0; i < kFTypeCount; ++i) {
        const auto f = static_cast<FType>(i);
        EXPECT_EQ(ftype_from_str(ftype_text(f)), f);
    }
    for (const char* bad : {"f32", "FP32", "fp 32", "x86_fp80 ", "", "ppc_fp12", "Fp32"})
        EXPECT_FALSE(ftype_from_str(bad).has_value()) << bad;
    EXPECT_EQ(ftype_bits(FType::X86Fp80), 80u);
    EXPECT_EQ(ftype_bits(FType::Bf16), 16u);
}

TEST(Types, DebugForms) {
    Typeref t{kExt};
    EXPECT_EQ(t.debug(), "Typeref(20189b61-7279-46fa-9ba2-5f0360bf5b51)");
    EXPECT_EQ(IType{32}.debug(), "IType { num_bits: 32 }");
    EXPECT_EQ(int_type(8).debug(), "Primary(Int(IType { num_bits: 8 }))");
    EXPECT_EQ(float_type(FType::PPCFp128).debug(), "Primary(Float(PPCFp128))");
    EXPECT_EQ(vector_type(VcSize::scalable(2), IType{1}).debug(),
              "Primary(Vector(Scalable(2), Int(IType { num_bits: 1 })))");
    EXPECT_EQ(wildcard_type(3).debug(), "Primary(Wildcard(3))");
    EXPECT_EQ(ptr_type().debug(), "Primary(Ptr)");
    EXPECT_EQ(label_type().debug(), "Primary(Label)");
    const AnyType ext{PrimaryType{ExtType{kExt, {1, 2}}}};
    EXPECT_EQ(ext.debug(), "Primary(Ext(ExtType { uuid: 20189b61-7279-46fa-9ba2-5f0360bf5b51, params: [1, 2] }))");
    EXPECT_EQ(array_type(t, 4).debug(),
              "Array(ArrayType { element: Typeref(20189b61-7279-46fa-9ba2-5f0360bf5b51), count: 4 })");
    EXPECT_EQ(struct_type({t, t}, true).debug(),
              "Struct(StructType { elements: [Typeref(20189b61-7279-46fa-9ba2-5f0360bf5b51), "
              "Typeref(20189b61-7279-46fa-9ba2-5f0360bf5b51)], packed: true })");
    EXPECT_EQ(struct_type({}).debug(), "Struct(StructType { elements: [], packed: false })");
}

TEST(Types, EqualityAndHashDistinguishEveryField) {
    const Typeref a{kExt};
    const Typeref b = Typeref::type_variable(1);
    // Pairwise distinct types; each must differ from all others, and equal copies hash equal.
    const std::vector<AnyType> types = {int_type(32),
                                        int_type(64),
                                        float_type(FType::Fp32),
                                        float_type(FType::Fp64),
                                        ptr_type(),
                                        label_type(),
                                        wildcard_type(0),
                                        wildcard_type(1),
                                        AnyType{PrimaryType{ExtType{kExt, {}}}},
                                        AnyType{PrimaryType{ExtType{kExt, {0}}}},
                                        vector_type(VcSize::fixed(2), IType{8}),
                                        vector_type(VcSize::scalable(2), IType{8}),
                                        vector_type(VcSize::fixed(2), FType::Fp16),
                                        array_type(a, 2),
                                        array_type(a, 3),
                                        array_type(b, 2),
                                        struct_type({a, b}),
                                        struct_type({a, b}, true),
                                        struct_type({b, a}),
                                        struct_type({}),
                                        struct_type({}, true)};
    std::unordered_set<std::uint64_t> hashes;
    for (std::size_t i = 0; i < types.size(); ++i) {
        for (std::size_t j = 0; j < types.size(); ++j) EXPECT_EQ(types[i] == types[j], i == j) << i << " " << j;
        const AnyType copy = types[i];
        EXPECT_EQ(type_hash(copy), type_hash(types[i]));
        hashes.insert(type_hash(types[i]));
    }
    EXPECT_EQ(hashes.size(), types.size());
}

TEST(Types, SipHash13MatchesReference) {
    // Reference values: SipHash-1-3 with zero keys (as CPython hashes bytes with a zero seed).
    EXPECT_EQ(siphash13("a", 1), 4644417185603328019ULL);
    EXPECT_EQ(siphash13("abcdefgh", 8), 4574395652268504554ULL);
    EXPECT_EQ(siphash13("hello world, sip", 16), 9205561944928621252ULL);
}

TEST(Types, TypeVariableTyperef) {
    const Typeref t = Typeref::type_variable(25);
    EXPECT_TRUE(t.is_type_variable());
    EXPECT_EQ(t.type_variable_number(), 25);
    EXPECT_EQ(t, Typeref::type_variable(25));
    EXPECT_NE(t, Typeref::type_variable(26));
    EXPECT_FALSE(Typeref{kExt}.is_type_variable());
    EXPECT_EQ(wildcard_name(0), "A");
    EXPECT_EQ(wildcard_name(26), "_26");
}
