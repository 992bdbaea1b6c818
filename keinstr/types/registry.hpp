#pragma once

// The type registry: the one place types live. search_or_insert interns a Type and
// hands back its Typeref; get reads it back under shared access; merge_with maps a
// loaded module's registry into an instance's (keinstr/ir/type_remap.hpp applies the
// map). Texts of types ("i32", "[4 x i8]", ...) are made here, from the handles.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "keinstr/types/types.hpp"
#include "keinstr/utils/rwlock.hpp"
#include "keinstr/utils/uuid.hpp"
#include "keinstr/utils/limits.hpp"

namespace keinstr {

class TypeRegistry;

// Ordered map from one registry's handles to another's (the result of merge_with).
using TypeMap = std::map<Typeref, Typeref>;

// Failure of merge_with: the handles of the other registry whose types could never be
// interned because a component names neither one of its types nor a type variable
// (damaged data), directly or through other such types. Ascending order.
struct UnresolvedTypes {
    std::vector<Typeref> types;
};

// Hash function of the reverse index (replaceable for tests of collisions).
using TypeHashFn = std::uint64_t (*)(const AnyType&);

// The length of one type text is bounded by kMaxTypeTextBytes (utils/limits.hpp).

// A registered type with the registry's type map held in shared mode until the handle
// is dropped. Drop it before interning on the same thread with other threads around
// (see TypeRegistry). Must be dropped on the thread that obtained it.
class TypeReadHandle {
public:
    TypeReadHandle(TypeReadHandle&& o) noexcept;
    TypeReadHandle& operator=(TypeReadHandle&&) = delete;
    TypeReadHandle(const TypeReadHandle&) = delete;
    TypeReadHandle& operator=(const TypeReadHandle&) = delete;
    ~TypeReadHandle();

    const AnyType& operator*() const noexcept { return *ty_; }
    const AnyType* operator->() const noexcept { return ty_; }
    const AnyType& get() const noexcept { return *ty_; }

private:
    friend class TypeRegistry;
    TypeReadHandle(const TypeRegistry* reg, const AnyType* ty) noexcept : reg_(reg), ty_(ty) {}
    const TypeRegistry* reg_;
    const AnyType* ty_;
};

// The whole type map held in shared mode (for writers that walk every entry).
// Same rules as TypeReadHandle.
class TypeMapReadGuard {
public:
    TypeMapReadGuard(TypeMapReadGuard&& o) noexcept;
    TypeMapReadGuard& operator=(TypeMapReadGuard&&) = delete;
    TypeMapReadGuard(const TypeMapReadGuard&) = delete;
    TypeMapReadGuard& operator=(const TypeMapReadGuard&) = delete;
    ~TypeMapReadGuard();

    // Registered types in ascending UUID order.
    const std::map<Typeref, AnyType>& map() const noexcept;
    std::size_t size() const noexcept { return map().size(); }
    // Texts computed with the access already held.
    std::string text(Typeref t) const;
    std::string text(const AnyType& ty) const;

private:
    friend class TypeRegistry;
    explicit TypeMapReadGuard(const TypeRegistry* reg) noexcept : reg_(reg) {}
    const TypeRegistry* reg_;
};

// Display adapter returned by TypeRegistry::fmt; takes shared access while writing.
class TypeDisplay {
public:
    TypeDisplay(const TypeRegistry& reg, Typeref t) noexcept : reg_(&reg), t_(t) {}
    std::string to_string() const;
    void write(std::string& out) const;

private:
    const TypeRegistry* reg_;
    Typeref t_;
};

// Interning store of types. Every operation is thread-safe and callable through a const
// reference (the registry guards itself).
//
// Locking: the type map and the reverse index each have a reader-writer lock, always
// taken type map first. get/len/fmt/read take the type map shared; search_or_insert
// holds both upgradable while searching and raises them to exclusive only to insert.
// A thread may call search_or_insert while it still holds read handles of the same
// registry (its own shared holds are not waited for; handles stay valid because entries
// never move), but with several threads interning, callers must drop read handles before
// interning, or two such threads can wait on each other.
class TypeRegistry {
public:
    TypeRegistry(std::uint16_t clock_start, const NodeId& node_id, TypeHashFn hash = &type_hash);
    TypeRegistry(const TypeRegistry&) = delete;
    TypeRegistry& operator=(const TypeRegistry&) = delete;
    ~TypeRegistry();

    // The handle of the registered type equal to `ty`, registering it under a new
    // version-6 UUID when there is none. A type variable yields its computed handle and
    // is never stored.
    Typeref search_or_insert(AnyType ty) const;

    // The registered type, with shared access held by the handle; none for an
    // unregistered handle or a type-variable handle.
    std::optional<TypeReadHandle> get(Typeref t) const;

    // Number of registered types.
    std::size_t len() const;

    // Text of the referenced type; "<unknown type {uuid}>" when not registered; a
    // type-variable handle prints as its variable's name.
    TypeDisplay fmt(Typeref t) const noexcept { return TypeDisplay(*this, t); }
    // Text of a (possibly unregistered) type whose components are looked up here.
    std::string type_text(const AnyType& ty) const;

    // Interns every type of `other` into this registry, components before the
    // aggregates naming them, and maps each of `other`'s handles to the equal type's
    // handle here. Merging a registry into itself gives the identity map. When some
    // types can never be interned (damaged data), the others are interned and their
    // handles are returned as the failure.
    std::expected<TypeMap, UnresolvedTypes> merge_with(const TypeRegistry& other) const;

    // The whole type map in shared mode.
    TypeMapReadGuard read() const;

    // For readers of the stored form building a private registry: enters `ty` under
    // `uuid` (replacing a previous entry with that key) and appends `uuid` to the
    // reverse-index list of the type's hash. No equality check.
    void insert_stored(Typeref uuid, AnyType ty);

    const NodeId& node_id() const noexcept { return node_id_; }
    // Current value of the clock-sequence counter.
    std::uint16_t clock_counter() const noexcept { return clock_.peek(); }

private:
    friend class TypeReadHandle;
    friend class TypeMapReadGuard;
    friend class TypeDisplay;

    std::size_t own_shared_holds() const noexcept;
    void note_shared_acquired() const noexcept;
    void note_shared_released() const noexcept;

    mutable RwLock types_lock_;
    mutable RwLock index_lock_;
    mutable std::map<Typeref, AnyType> types_;
    mutable std::map<std::uint64_t, std::vector<Typeref>> index_;
    mutable ClockContext clock_;
    NodeId node_id_;
    TypeHashFn hash_;
};

// Writes the text of `ty` into `out`, looking components up in `map` (the caller holds
// the map's access). Iterative: nesting depth is bounded only by memory; a component
// that is missing, or that refers back to a type being printed, shows as
// "<unknown type {uuid}>"; a type-variable component shows as its name.
void write_type_text(std::string& out, const AnyType& ty, const std::map<Typeref, AnyType>& map);

}  // namespace keinstr

template <>
struct fmt::formatter<keinstr::TypeDisplay> : fmt::formatter<std::string_view> {
    auto format(const keinstr::TypeDisplay& d, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(d.to_string(), ctx);
    }
};
