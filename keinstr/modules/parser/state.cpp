#include "keinstr/modules/parser/state.hpp"

namespace keinstr {

std::shared_ptr<const UuidGenerator> random_uuid_generator() {
    return std::make_shared<const UuidGenerator>([] { return Uuid::new_v4(); });
}

Name State::get_register(std::string_view name) { return Name{registers.number(name)}; }

Label State::get_label(std::string_view name) { return Label{labels.number(name)}; }

void State::clear() noexcept {
    labels.clear();
    registers.clear();
}

std::optional<Uuid> State::resolve_function(std::string name, bool external) const {
    if (!function_resolver || !*function_resolver) return std::nullopt;
    return (*function_resolver)(std::move(name), external);
}

Uuid State::new_function_uuid() const {
    if (!uuid_generator || !*uuid_generator) return Uuid::new_v4();
    return (*uuid_generator)();
}

Typeref State::intern(AnyType ty) {
    const auto* primary = std::get_if<PrimaryType>(&ty);
    if (!primary) return type_registry->search_or_insert(std::move(ty));
    if (const auto* i = std::get_if<IType>(primary)) {
        if (auto it = scalar_types_.ints.find(i->num_bits); it != scalar_types_.ints.end()) return it->second;
        const std::uint32_t bits = i->num_bits;
        const Typeref t = type_registry->search_or_insert(std::move(ty));
        scalar_types_.ints.emplace(bits, t);
        return t;
    }
    if (const auto* f = std::get_if<FType>(primary)) {
        const auto index = static_cast<std::size_t>(*f);
        if (index >= scalar_types_.floats.size()) return type_registry->search_or_insert(std::move(ty));
        std::optional<Typeref>& slot = scalar_types_.floats[index];
        if (!slot) slot = type_registry->search_or_insert(std::move(ty));
        return *slot;
    }
    if (std::holds_alternative<PtrType>(*primary)) {
        if (!scalar_types_.ptr) scalar_types_.ptr = type_registry->search_or_insert(std::move(ty));
        return *scalar_types_.ptr;
    }
    return type_registry->search_or_insert(std::move(ty));
}

Name read_register(State& state, const Token& reg) { return state.get_register(reg.text()); }

Label read_label(State& state, const Token& ident) { return state.get_label(ident.full_word()); }

FunctionName read_function_name(const Token& name) {
    return FunctionName{std::string(name.full_word()), name.is(TokenDiscriminants::MetaIdentifier)};
}

}  // namespace keinstr
