// The type checker: decides whether every instruction and terminator of a verified
// function is well typed against a type registry, and reports the first finding.
#pragma once

#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "keinstr/ir/function.hpp"
#include "keinstr/ir/symbols.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/ir/error.hpp"

namespace keinstr {

// Checks one function: the parameters and destinations first (SsaMultipleDefinitions),
// then every instruction, then every terminator, blocks in label order. Findings are
// TypeMismatch and IndexOutOfBounds; a register that nothing defines gives UndefinedName.
//
// The registry may grow: the types of immediates (their integer or floating-point type,
// ptr for function pointers), ptr where a rule compares with it, and the lane type of a
// vector that an index walk steps into are interned. No read handle of the registry is
// held while interning.
//
// Input that a verified, well-formed module never contains (an unregistered or
// type-variable handle where a rule must look a type up, a destination without a type)
// is reported as a TypeMismatch, never by failing abruptly.
std::expected<void, Error> type_check(const Function& function, const TypeRegistry& registry);

// The checker proper: the parameters in order, the blocks in label order and the
// optional return type.
std::expected<void, Error> type_check(const TypeRegistry& registry, std::span<const std::pair<Name, Typeref>> params,
                                      const BlockMap& blocks, const std::optional<Typeref>& return_type);

class TypeChecker;

// Checks many functions against one registry, one after the other, each exactly as
// `type_check` would. What the checker learns about the registry's types (interned
// handles, shapes, struct elements) is kept from one function to the next instead of
// being looked up again for each. For one thread at a time; the registry must outlive
// the session.
class TypeCheckSession {
public:
    explicit TypeCheckSession(const TypeRegistry& registry);
    ~TypeCheckSession();
    TypeCheckSession(const TypeCheckSession&) = delete;
    TypeCheckSession& operator=(const TypeCheckSession&) = delete;

    std::expected<void, Error> check(const Function& function);

private:
    std::unique_ptr<TypeChecker> checker_;
};

}  // namespace keinstr
