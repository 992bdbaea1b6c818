#include "keinstr/modules/parser/state.hpp"

namespace keinstr {

namespace {

std::uint32_t number_of(std::map<std::string, std::uint32_t, std::less<>>& map, std::string_view name) {
    if (auto it = map.find(name); it != map.end()) return it->second;
    const auto next = static_cast<std::uint32_t>(map.size());
    map.emplace(std::string(name), next);
    return next;
}

}  // namespace

std::shared_ptr<const UuidGenerator> random_uuid_generator() {
    return std::make_shared<const UuidGenerator>([] { return Uuid::new_v4(); });
}

Name State::get_register(std::string_view name) { return Name{number_of(registers, name)}; }

Label State::get_label(std::string_view name) { return Label{number_of(labels, name)}; }

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

Name read_register(State& state, const Token& reg) { return state.get_register(reg.text()); }

Label read_label(State& state, const Token& ident) { return state.get_label(ident.full_word()); }

FunctionName read_function_name(const Token& name) {
    return FunctionName{std::string(name.full_word()), name.is(TokenDiscriminants::MetaIdentifier)};
}

}  // namespace keinstr
