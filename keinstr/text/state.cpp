#include "keinstr/text/state.hpp"

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
    if (const auto* i = std::get_if<IType>(primary)) return intern_int(i->num_bits);
    if (const auto* f = std::get_if<FType>(primary)) return intern_float(*f);
    if (std::holds_alternative<PtrType>(*primary)) return intern_ptr();
    return type_registry->search_or_insert(std::move(ty));
}

Typeref State::intern_int(std::uint32_t bits) {
    if (scalar_types_.last_int && scalar_types_.last_int->first == bits) return scalar_types_.last_int->second;
    Typeref t;
    if (auto it = scalar_types_.ints.find(bits); it != scalar_types_.ints.end()) {
        t = it->second;
    } else {
        t = type_registry->search_or_insert(int_type(bits));
        scalar_types_.ints.emplace(bits, t);
    }
    scalar_types_.last_int.emplace(bits, t);
    return t;
}

Typeref State::intern_float(FType f) {
    const auto index = static_cast<std::size_t>(f);
    if (index >= scalar_types_.floats.size()) return type_registry->search_or_insert(float_type(f));
    std::optional<Typeref>& slot = scalar_types_.floats[index];
    if (!slot) slot = type_registry->search_or_insert(float_type(f));
    return *slot;
}

Typeref State::intern_ptr() {
    if (!scalar_types_.ptr) scalar_types_.ptr = type_registry->search_or_insert(ptr_type());
    return *scalar_types_.ptr;
}

Name read_register(State& state, const Token& reg) { return state.get_register(reg.text()); }

Label read_label(State& state, const Token& ident) { return state.get_label(ident.full_word()); }

FunctionName read_function_name(const Token& name) {
    return FunctionName{std::string(name.full_word()), name.is(TokenDiscriminants::MetaIdentifier)};
}

}  // namespace keinstr
