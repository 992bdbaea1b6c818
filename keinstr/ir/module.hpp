// A module: functions (shared) and external functions, keyed by UUID.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "keinstr/ir/constants.hpp"
#include "keinstr/ir/function.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/utils/uuid.hpp"

namespace keinstr {

class Module {
public:
    Module();
    ~Module();
    Module(const Module&);
    Module(Module&&) noexcept;
    Module& operator=(const Module&);
    Module& operator=(Module&&) noexcept;

    // Ordered by UUID bytes. A function's key is its `uuid`. Functions are
    // shared with the runtime's per-function records and treated as
    // immutable once inserted (type remapping copies a shared one first).
    std::map<Uuid, std::shared_ptr<Function>> functions;
    std::map<Uuid, ExternalFunction> external_functions;

    // Two modules are equal when their maps hold equal functions (compared by
    // value, not by pointer) and equal external functions.
    bool operator==(const Module& other) const;

    // Inserts (or replaces) `function` under its own UUID.
    void insert_function(Function function);
    void insert_function(std::shared_ptr<Function> function);

    // The first function, in UUID order, whose name equals `name` byte for
    // byte: among `functions` (unnamed ones skipped) yielding Internal, or,
    // with `external`, among `external_functions` yielding External.
    std::optional<FunctionPointer> find_function_uuid_by_name(std::string_view name, bool external) const;

    // Every function in UUID order, then every external function, through
    // their remap_types. A function also held elsewhere is copied first, so
    // no other holder sees the change.
    void remap_types(const TypeMap& map);

    // Every function in UUID order: its own rules, then verify_func (keinstr/passes/verify.cpp).
    std::expected<void, Error> verify() const;
    // The functions of `added` (keys of `functions`) checked as verify() checks them,
    // in UUID order: verify()'s finding for a module whose other functions passed
    // verify() and have not changed since (keinstr/passes/verify.cpp).
    std::expected<void, Error> verify_added(std::vector<Uuid> added) const;
    // Function pointers of `function` name functions of this module (keinstr/passes/verify.cpp).
    std::expected<void, Error> verify_func(const Function& function) const;
};

}  // namespace keinstr
