// The entry of the textual IR front end: one source text into functions of a
// module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <vector>

#include "keinstr/ir/module.hpp"
#include "keinstr/text/name_numbers.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/ir/error.hpp"

namespace keinstr {

// The names of a module's functions, as name resolution asks for them: for each name,
// the first function in UUID order carrying it, and the same among the external
// functions. Built from the whole module at the first name looked up, then brought up
// to date with each function inserted.
//
// A caller that extends one module source by source keeps one for that module and
// passes it to every call (see extend_module_from_string), so that a source naming a
// function of an earlier one does not index every function of the module again. The
// module must then change only through those calls; should its numbers of functions or
// external functions differ from what the index has seen, it is indexed again whole.
class ModuleNameIndex {
public:
    // The UUID of the first function of `module` in UUID order (the first external one
    // with `external`) whose name is `name`: Module::find_function_uuid_by_name's answer.
    std::optional<Uuid> find(const Module& module, std::string_view name, bool external);
    // `function` has just been inserted into the module under its UUID.
    void inserted(const Function& function);

private:
    // Names with the key of their first function (the order) and its UUID (the answer).
    struct Entry {
        Uuid key;
        Uuid uuid;
    };
    struct Names {
        NameNumbers numbers;
        std::vector<Entry> first;  // by number
        // Without `earliest`, `key` comes after every key offered so far (the module is
        // walked in key order) and a name keeps its first entry; with it, `key` may come
        // anywhere and the lower key stands.
        void offer(std::string_view name, const Uuid& key, const Uuid& uuid, bool earliest);
        std::optional<Uuid> find(std::string_view name) const;
    };
    void build(const Module& module);

    bool built_ = false;
    // How many functions and external functions the module has, as far as the index knows.
    std::size_t functions_ = 0;
    std::size_t externals_ = 0;
    Names internal_;
    Names external_;
};

// Random version-4 UUIDs, drawn from the system's random source a batch at a
// time (one system call per batch instead of one per function).
class RandomUuids {
public:
    Uuid next();

private:
    static constexpr std::size_t kBatch = 64;
    std::array<std::uint8_t, 16 * kBatch> buffer_;
    std::size_t batch_ = 1;  // UUIDs drawn by the last draw
    std::size_t used_ = 1;
};

// What a caller that extends one module source by source keeps from one call to the
// next: the index of the module's names, and the random UUIDs drawn and not used
// yet, so that a source of one function asks the system for none of its own.
struct ModuleExtension {
    ModuleNameIndex names;
    RandomUuids uuids;
};

// Lexes and parses `source`, renumbers each function's registers, resolves the
// names of function-pointer constants, inserts the functions into `module` and
// verifies the whole module. Types met while parsing are interned into
// `registry` and stay there whatever the outcome.
//
// Name resolution: a name that a function already in `module` carries resolves
// to the first such function in UUID order (for "ptr external", to an external
// function of `module`); any other internal name must be defined by exactly one
// function of this source. No text construct declares an external function.
//
// Failures, in the order the steps run (the first one ends the call):
//   lexing findings      ParserErrors (one record per finding, no token texts)
//   parsing findings     ParserErrors (one record per finding, then the syntax
//                        failure; the debug text of every token)
//   an import            ParserErrors (one record at 0..0; token texts)
//   unresolved name      UnresolvedFunction (internal: the first such name in
//                        order of first use; external: all such names joined
//                        by ", ", in order of first use)
//   name defined twice   DuplicateFunctionName, when referenced
//   verification         the verification error
// `module` changes only when every step before verification succeeded; a
// failed verification leaves this source's functions inserted.
//
// With `arena`, the blocks' instruction arrays are allocated in it (the arena
// must then outlive the module and everything moved out of it); without, on
// the heap.
//
// `prior` says what is known of the functions `module` holds before the call.
// Functions that passed verification stay valid when functions are added (the
// pointers they hold still name functions of the module), so with
// PriorFunctions::Verified only this source's functions are verified: the same
// finding as verifying the whole module, in time that does not grow with the
// functions already there (a module built from many sources, source by source).
//
// With `kept`, the names of `module` are looked up in its index, which the call
// brings up to date with the functions it inserts (see ModuleNameIndex), and new
// functions take its random UUIDs; without, an index of the module and UUIDs are
// made for this call alone. The names resolve the same way either way.
enum class PriorFunctions { Unverified, Verified };
std::expected<void, Error> extend_module_from_string(Module& module, const TypeRegistry& registry,
                                                     std::string_view source, Arena* arena = nullptr,
                                                     PriorFunctions prior = PriorFunctions::Unverified,
                                                     ModuleExtension* kept = nullptr);

}  // namespace keinstr
