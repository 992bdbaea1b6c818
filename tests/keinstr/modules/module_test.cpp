#include <gtest/gtest.h>

#include "keinstr/ir/module.hpp"

namespace keinstr {
namespace {

Operand reg(std::uint32_t n) { return Operand::reg(Name{n}); }
Typeref tref(std::uint8_t b) {
    Typeref t;
    t.uuid.bytes.fill(b);
    return t;
}
Uuid uuid_of(std::uint8_t first) {
    Uuid u;
    u.bytes[0] = first;
    u.bytes[15] = 0x42;
    return u;
}

Function named(std::uint8_t first, std::optional<std::string> name) {
    Function f = Function::default_function();
    f.uuid = uuid_of(first);
    f.name = std::move(name);
    return f;
}

TEST(FunctionDefaults, OneTrapBlockAndFreshUuid) {
    const Function a = Function::default_function();
    const Function b = Function::default_function();
    EXPECT_NE(a.uuid, b.uuid);
    EXPECT_EQ(a.uuid.version(), 4);
    ASSERT_EQ(a.body.size(), 1u);
    const auto& [label, block] = *a.body.begin();
    EXPECT_EQ(label, Label{0});
    EXPECT_EQ(block.label, Label{0});
    EXPECT_TRUE(block.instructions.empty());
    EXPECT_EQ(block.terminator, KeTerminator{Trap{}});
    EXPECT_FALSE(a.name || a.return_type || a.visibility || a.cconv || a.aux_uuid);
    EXPECT_TRUE(a.params.empty() && a.wildcard_types.empty());
    EXPECT_FALSE(a.meta_function);
    EXPECT_EQ(a.display_name(), a.uuid.to_string());
    EXPECT_EQ(named(1, "main").display_name(), "main");
}

TEST(ModuleLookup, FindsByNameInUuidOrderWithoutMixingMaps) {
    Module m;
    m.insert_function(named(0x30, "f"));
    m.insert_function(named(0x10, "f"));
    m.insert_function(named(0x05, std::nullopt));
    m.insert_function(named(0x20, "g"));
    m.external_functions[uuid_of(0x01)] = ExternalFunction{uuid_of(0x01), "ext", {}, {}, std::nullopt};
    m.external_functions[uuid_of(0x02)] = ExternalFunction{uuid_of(0x02), "g", {}, {}, std::nullopt};

    EXPECT_EQ(m.find_function_uuid_by_name("f", false), FunctionPointer::internal(uuid_of(0x10)));
    EXPECT_EQ(m.find_function_uuid_by_name("g", false), FunctionPointer::internal(uuid_of(0x20)));
    EXPECT_EQ(m.find_function_uuid_by_name("g", true), FunctionPointer::external(uuid_of(0x02)));
    EXPECT_EQ(m.find_function_uuid_by_name("ext", false), std::nullopt);
    EXPECT_EQ(m.find_function_uuid_by_name("f", true), std::nullopt);
    EXPECT_EQ(m.find_function_uuid_by_name("", false), std::nullopt);
    EXPECT_EQ(m.find_function_uuid_by_name("F", false), std::nullopt);

    // The result is the record's own uuid field, not the map key.
    auto odd = std::make_shared<Function>(named(0x50, "odd"));
    m.functions[uuid_of(0x00)] = odd;
    EXPECT_EQ(m.find_function_uuid_by_name("odd", false), FunctionPointer::internal(uuid_of(0x50)));
}

TEST(FunctionMeta, MetaInstructionAnywhereMakesAMetaFunction) {
    Function f = named(1, "f");
    f.wildcard_types = {0};
    f.params = {{Name{0}, Typeref::type_variable(0)}};
    f.body[Label{0}].instructions.push_back(IAdd{Name{1}, Typeref::type_variable(0), reg(0), reg(0), {}});
    EXPECT_FALSE(f.should_be_meta_function());
    f.body[Label{5}] = BasicBlock{Label{5}, {INot{Name{2}, tref(1), reg(1)}, MetaAssert{reg(2)}}, Trap{}};
    EXPECT_TRUE(f.should_be_meta_function());
}

TEST(FunctionWildcards, CollectsParameterAndInstructionTypeVariables) {
    Function f = named(1, "f");
    f.return_type = Typeref::type_variable(9);  // never collected
    std::set<std::uint16_t> out = {77};
    f.generate_wildcard_types(out);
    EXPECT_TRUE(out.empty());

    f.params = {{Name{0}, Typeref::type_variable(2)}, {Name{1}, tref(1)}, {Name{2}, Typeref::type_variable(2)}};
    f.body[Label{0}].instructions = {
        MGetElementPtr{Name{3}, tref(1), Typeref::type_variable(30), reg(0), {}},
        // undef operand types are not instruction type fields
        IAdd{Name{4}, Typeref::type_variable(4), Operand::undef(Typeref::type_variable(5)), reg(0), {}},
        MStore{reg(0), reg(1), std::nullopt, std::nullopt, false},
    };
    f.generate_wildcard_types(out);
    EXPECT_EQ(out, (std::set<std::uint16_t>{2, 4, 30}));
}

Function remap_subject() {
    Function f = named(1, "f");
    f.params = {{Name{0}, tref(1)}, {Name{1}, tref(3)}};
    f.return_type = tref(1);
    f.body[Label{0}] = BasicBlock{Label{0},
                                  {IAdd{Name{2}, tref(1), Operand::undef(tref(1)), reg(0), {}},
                                   MStore{Operand::undef(tref(2)), reg(2), std::nullopt, std::nullopt, false}},
                                  Branch{Operand::undef(tref(2)), Label{1}, Label{1}}};
    f.body[Label{1}] = BasicBlock{Label{1}, {}, Ret{Operand::undef(tref(1))}};
    return f;
}

TEST(ModuleRemap, RewritesEveryTypeReferenceIncludingUndefOperands) {
    const TypeMap map = {{tref(1), tref(11)}, {tref(2), tref(12)}};
    Module m;
    m.insert_function(remap_subject());
    m.external_functions[uuid_of(9)] = ExternalFunction{uuid_of(9), "e", {}, {tref(2), tref(3)}, tref(1)};
    m.remap_types(map);

    const Function& f = *m.functions.at(uuid_of(1));
    EXPECT_EQ(f.params, (std::vector<Param>{{Name{0}, tref(11)}, {Name{1}, tref(3)}}));
    EXPECT_EQ(f.return_type, tref(11));
    const auto& entry = f.body.at(Label{0});
    const auto& add = std::get<IAdd>(entry.instructions[0]);
    EXPECT_EQ(add.ty, tref(11));
    EXPECT_EQ(add.lhs, Operand::undef(tref(11)));
    EXPECT_EQ(std::get<MStore>(entry.instructions[1]).addr, Operand::undef(tref(12)));
    EXPECT_EQ(std::get<Branch>(entry.terminator).condition, Operand::undef(tref(12)));
    EXPECT_EQ(std::get<Ret>(f.body.at(Label{1}).terminator).value, Operand::undef(tref(11)));

    const auto& e = m.external_functions.at(uuid_of(9));
    EXPECT_EQ(e.params, (std::vector<Typeref>{tref(12), tref(3)}));
    EXPECT_EQ(e.return_type, tref(11));

    // Identity fields are untouched; an empty map changes nothing.
    EXPECT_EQ(f.uuid, uuid_of(1));
    Module copy = m;
    m.remap_types({});
    EXPECT_EQ(m, copy);
}

TEST(ModuleRemap, SharedFunctionIsCopiedNotChangedBehindItsHolder) {
    const TypeMap map = {{tref(1), tref(11)}};
    Module m;
    m.insert_function(remap_subject());
    std::shared_ptr<Function> other_holder = m.functions.at(uuid_of(1));
    const Function original = *other_holder;

    m.remap_types(map);
    EXPECT_EQ(*other_holder, original);
    EXPECT_NE(m.functions.at(uuid_of(1)).get(), other_holder.get());
    EXPECT_EQ(m.functions.at(uuid_of(1))->return_type, tref(11));

    // A function held only by the module is rewritten in place.
    other_holder.reset();
    const Function* before = m.functions.at(uuid_of(1)).get();
    m.remap_types({{tref(11), tref(21)}});
    EXPECT_EQ(m.functions.at(uuid_of(1)).get(), before);
    EXPECT_EQ(before->return_type, tref(21));
}

TEST(ModuleRemap, MapOfEveryHandleToItselfTouchesNothing) {
    // Nothing changes, so not even a shared function is copied.
    Module m;
    m.insert_function(remap_subject());
    std::shared_ptr<Function> other_holder = m.functions.at(uuid_of(1));
    const Module before = m;
    m.remap_types({{tref(1), tref(1)}, {tref(2), tref(2)}, {tref(7), tref(7)}});
    EXPECT_EQ(m, before);
    EXPECT_EQ(m.functions.at(uuid_of(1)).get(), other_holder.get());

    // One entry that moves a handle makes it a real remapping: the moved handle is
    // rewritten, the others stay, and the shared function is copied first.
    m.remap_types({{tref(1), tref(1)}, {tref(2), tref(12)}});
    const Function& f = *m.functions.at(uuid_of(1));
    EXPECT_NE(&f, other_holder.get());
    EXPECT_EQ(*other_holder, *before.functions.at(uuid_of(1)));
    EXPECT_EQ(f.return_type, tref(1));
    EXPECT_EQ(std::get<MStore>(f.body.at(Label{0}).instructions[1]).addr, Operand::undef(tref(12)));
    EXPECT_EQ(std::get<Branch>(f.body.at(Label{0}).terminator).condition, Operand::undef(tref(12)));
}

}  // namespace
}  // namespace keinstr
