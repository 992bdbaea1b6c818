// The parser state carried through every grammar rule of one source: the
// per-function numbering of registers and block labels, the function resolver
// and UUID generator, and the type registry into which types are interned.
//
// Nothing here is undone when the grammar backtracks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "keinstr/text/name_numbers.hpp"
#include "keinstr/text/token.hpp"
#include "keinstr/ir/symbols.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/utils/uuid.hpp"

namespace keinstr {

class Arena;

// Resolves the name of a function-pointer constant (`external`: the pointer was
// written "ptr external name") to a function UUID; none when it knows no such
// function.
using FunctionResolver = std::function<std::optional<Uuid>(std::string name, bool external)>;
// Hands out the UUID of each new function.
using UuidGenerator = std::function<Uuid()>;

// A generator that returns a fresh random version-4 UUID on every call.
std::shared_ptr<const UuidGenerator> random_uuid_generator();

class State {
public:
    // `type_registry` is borrowed and must outlive the state.
    State(std::shared_ptr<const FunctionResolver> function_resolver,
          std::shared_ptr<const UuidGenerator> uuid_generator, const TypeRegistry& type_registry)
        : function_resolver(std::move(function_resolver)),
          uuid_generator(std::move(uuid_generator)),
          type_registry(&type_registry) {}

    std::shared_ptr<const FunctionResolver> function_resolver;
    std::shared_ptr<const UuidGenerator> uuid_generator;
    const TypeRegistry* type_registry;
    // Where the blocks' instruction arrays go; null for the heap.
    Arena* instruction_arena = nullptr;
    // Name -> number, numbers 0..size-1 in order of first request.
    NameNumbers labels;
    NameNumbers registers;

    // The number of register `name` in the current function, numbering it with the
    // next number on first request.
    Name get_register(std::string_view name);
    // The same for block labels, with a numbering of their own.
    Label get_label(std::string_view name);
    // Empties both maps, so the next function numbers from 0 again.
    void clear() noexcept;

    // Asks the function resolver (none when no resolver is installed).
    std::optional<Uuid> resolve_function(std::string name, bool external) const;
    // A new function UUID from the generator (a random one when none is installed).
    Uuid new_function_uuid() const;

    // Interns `ty` in the state's registry. Scalar integer, floating-point and
    // pointer types, which nearly every line names, are remembered once interned:
    // the registry never forgets a type, so asking it again would give the same
    // handle.
    Typeref intern(AnyType ty);
    // `intern` of a scalar type, without making the type when it is remembered.
    Typeref intern_int(std::uint32_t bits);
    Typeref intern_float(FType f);
    Typeref intern_ptr();

private:
    struct ScalarTypes {
        std::unordered_map<std::uint32_t, Typeref> ints;            // by width
        std::optional<std::pair<std::uint32_t, Typeref>> last_int;  // the width asked for last
        std::array<std::optional<Typeref>, kFTypeCount> floats;     // by FType
        std::optional<Typeref> ptr;
    };
    ScalarTypes scalar_types_;
};

// Readers of matched tokens.

// A `Register` token: its name (the text after "%") numbered by `get_register`.
Name read_register(State& state, const Token& reg);
// An `Identifier` token: its word and variants joined by "." numbered by
// `get_label` (bb.then is the label "bb.then").
Label read_label(State& state, const Token& ident);

// Name and meta flag of a function as its header writes it.
struct FunctionName {
    std::string name;
    bool meta = false;
    bool operator==(const FunctionName&) const = default;
};
// An `Identifier` or `MetaIdentifier` token: the word and variants joined by ".";
// meta exactly for a `MetaIdentifier` (whose word carries no "!").
FunctionName read_function_name(const Token& name);

}  // namespace keinstr
