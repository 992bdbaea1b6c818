#include "keinstr/types/registry.hpp"

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "keinstr/utils/log.hpp"

namespace keinstr {

// ---- per-thread bookkeeping of shared holds -----------------------------------------

namespace {
// Shared holds of registries' type maps by read handles and map guards of this thread.
thread_local std::vector<std::pair<const TypeRegistry*, std::size_t>> t_shared_holds;

std::string unknown_type_text(Typeref t) { return "<unknown type " + t.uuid.to_string() + ">"; }
}  // namespace

std::size_t TypeRegistry::own_shared_holds() const noexcept {
    for (const auto& [reg, n] : t_shared_holds)
        if (reg == this) return n;
    return 0;
}

void TypeRegistry::note_shared_acquired() const noexcept {
    for (auto& [reg, n] : t_shared_holds)
        if (reg == this) {
            ++n;
            return;
        }
    t_shared_holds.emplace_back(this, 1);
}

void TypeRegistry::note_shared_released() const noexcept {
    for (auto it = t_shared_holds.begin(); it != t_shared_holds.end(); ++it)
        if (it->first == this) {
            if (--it->second == 0) t_shared_holds.erase(it);
            return;
        }
}

// ---- handles --------------------------------------------------------------------------

TypeReadHandle::TypeReadHandle(TypeReadHandle&& o) noexcept
    : reg_(std::exchange(o.reg_, nullptr)), ty_(std::exchange(o.ty_, nullptr)) {}

TypeReadHandle::~TypeReadHandle() {
    if (reg_) {
        reg_->note_shared_released();
        reg_->types_lock_.unlock_shared();
    }
}

TypeMapReadGuard::TypeMapReadGuard(TypeMapReadGuard&& o) noexcept : reg_(std::exchange(o.reg_, nullptr)) {}

TypeMapReadGuard::~TypeMapReadGuard() {
    if (reg_) {
        reg_->note_shared_released();
        reg_->types_lock_.unlock_shared();
    }
}

const std::map<Typeref, AnyType>& TypeMapReadGuard::map() const noexcept { return reg_->types_; }

namespace {
void write_type_text_keyed(std::string& out, const AnyType& root, std::optional<Typeref> root_key,
                           const std::map<Typeref, AnyType>& map);
}

std::string TypeMapReadGuard::text(Typeref t) const {
    std::string out;
    if (const auto n = t.type_variable_number()) return wildcard_name(*n);
    const auto it = reg_->types_.find(t);
    if (it == reg_->types_.end()) return unknown_type_text(t);
    write_type_text_keyed(out, it->second, t, reg_->types_);
    return out;
}

std::string TypeMapReadGuard::text(const AnyType& ty) const {
    std::string out;
    write_type_text(out, ty, reg_->types_);
    return out;
}

// ---- text -------------------------------------------------------------------------------

namespace {

// Iterative printer: one frame per open aggregate. Components already on the open path
// (a damaged registry whose aggregate contains itself) print as unknown types.
void write_type_text_keyed(std::string& out, const AnyType& root, std::optional<Typeref> root_key,
                           const std::map<Typeref, AnyType>& map) {
    struct Frame {
        const AnyType* ty;
        std::optional<Typeref> key;
        std::size_t next;
    };
    std::vector<Frame> stack;
    std::unordered_set<Typeref> on_path;
    const std::size_t limit = out.size() + kMaxTypeTextBytes;

    auto open = [&](const AnyType& ty, std::optional<Typeref> key) {
        if (const auto* p = std::get_if<PrimaryType>(&ty)) {
            p->write(out);
            return;
        }
        if (const auto* a = std::get_if<ArrayType>(&ty)) {
            fmt::format_to(std::back_inserter(out), "[ {} x ", a->count);
        } else {
            const auto& s = std::get<StructType>(ty);
            if (s.packed) out.append("packed ");
            out.push_back('{');
        }
        if (key) on_path.insert(*key);
        stack.push_back(Frame{&ty, key, 0});
    };

    open(root, root_key);
    while (!stack.empty()) {
        if (out.size() > limit) {
            out.resize(limit);
            out.append("...");
            return;
        }
        Frame& f = stack.back();
        const auto* a = std::get_if<ArrayType>(f.ty);
        const auto* s = std::get_if<StructType>(f.ty);
        const std::size_t count = a ? 1 : s->elements.size();
        if (f.next >= count) {
            out.append(a ? " ]" : "}");
            if (f.key) on_path.erase(*f.key);
            stack.pop_back();
            continue;
        }
        if (s && f.next > 0) out.append(", ");
        const Typeref c = a ? a->element : s->elements[f.next];
        ++f.next;  // `f` may dangle after open() below
        if (const auto n = c.type_variable_number()) {
            out.append(wildcard_name(*n));
            continue;
        }
        const auto it = on_path.contains(c) ? map.end() : map.find(c);
        if (it == map.end()) {
            out.append(unknown_type_text(c));
            continue;
        }
        open(it->second, c);
    }
}

}  // namespace

void write_type_text(std::string& out, const AnyType& ty, const std::map<Typeref, AnyType>& map) {
    write_type_text_keyed(out, ty, std::nullopt, map);
}

void TypeDisplay::write(std::string& out) const {
    if (const auto n = t_.type_variable_number()) {
        out.append(wildcard_name(*n));
        return;
    }
    SharedGuard g(reg_->types_lock_);
    const auto it = reg_->types_.find(t_);
    if (it == reg_->types_.end()) {
        out.append(unknown_type_text(t_));
        return;
    }
    write_type_text_keyed(out, it->second, t_, reg_->types_);
}

std::string TypeDisplay::to_string() const {
    std::string s;
    write(s);
    return s;
}

// ---- registry -------------------------------------------------------------------------

TypeRegistry::TypeRegistry(std::uint16_t clock_start, const NodeId& node_id, TypeHashFn hash)
    : clock_(clock_start), node_id_(node_id), hash_(hash ? hash : &type_hash) {}

TypeRegistry::~TypeRegistry() = default;

Typeref TypeRegistry::search_or_insert(AnyType ty) const {
    if (const auto* p = std::get_if<PrimaryType>(&ty))
        if (const auto* w = std::get_if<WildcardType>(p)) return Typeref::type_variable(w->number);

    const std::uint64_t h = hash_(ty);
    std::vector<std::pair<LogLevel, std::string>> records;
    Typeref result;
    {
        UpgradableGuard types_guard(types_lock_);
        UpgradableGuard index_guard(index_lock_);

        const auto entry = index_.find(h);
        if (entry != index_.end()) {
            for (const Typeref& u : entry->second) {
                const auto it = types_.find(u);
                if (it != types_.end() && it->second == ty) return u;
            }
        }

        // This thread's own read handles cannot be released while it waits; entries never
        // move, so they stay valid across the insertion.
        types_guard.upgrade(own_shared_holds());
        index_guard.upgrade();

        do {
            result = Typeref{Uuid::new_v6(clock_, node_id_)};
        } while (types_.contains(result) || result.is_type_variable());

        if (entry != index_.end()) {
            if (log_enabled(kLogTargetTypes, LogLevel::Info)) {
                std::string lines;
                for (std::size_t i = 0; i < entry->second.size(); ++i) {
                    const Typeref u = entry->second[i];
                    if (i != 0) lines.push_back('\n');
                    lines.append(" - " + u.uuid.to_string() + " -> ");
                    const auto it = types_.find(u);
                    if (it == types_.end())
                        lines.append(unknown_type_text(u));
                    else
                        write_type_text_keyed(lines, it->second, u, types_);
                }
                records.emplace_back(LogLevel::Info,
                                     fmt::format("Detected an hash collision on hash 0x{:016x}. The following types "
                                                 "collided:\n{}",
                                                 h, lines));
            }
            if (log_enabled(kLogTargetTypes, LogLevel::Debug)) {
                std::string list = "[";
                for (std::size_t i = 0; i < entry->second.size(); ++i) {
                    if (i != 0) list.append(", ");
                    list.append(entry->second[i].uuid.to_string());
                }
                list.push_back(']');
                std::string text;
                write_type_text(text, ty, types_);
                records.emplace_back(
                    LogLevel::Debug,
                    fmt::format("Inverse lookup updated for hash 0x{:016x}: {} (type {})", h, list, text));
            }
            entry->second.push_back(result);
        } else {
            if (log_enabled(kLogTargetTypes, LogLevel::Debug)) {
                std::string text;
                write_type_text(text, ty, types_);
                records.emplace_back(LogLevel::Debug, fmt::format("New type encountered {}. Registered with UUID {}.",
                                                                  text, result.uuid.to_string()));
            }
            index_.emplace(h, std::vector<Typeref>{result});
        }
        types_.emplace(result, std::move(ty));

        types_guard.downgrade();
        index_guard.downgrade();
        index_guard.release();
        types_guard.release();
    }
    // Records are handed to the facade after the locks are released.
    for (const auto& [level, text] : records) log_emit(kLogTargetTypes, level, text);
    return result;
}

std::optional<TypeReadHandle> TypeRegistry::get(Typeref t) const {
    if (t.is_type_variable()) return std::nullopt;
    types_lock_.lock_shared();
    const auto it = types_.find(t);
    if (it == types_.end()) {
        types_lock_.unlock_shared();
        return std::nullopt;
    }
    note_shared_acquired();
    return TypeReadHandle(this, &it->second);
}

std::size_t TypeRegistry::len() const {
    SharedGuard g(types_lock_);
    return types_.size();
}

std::string TypeRegistry::type_text(const AnyType& ty) const {
    std::string out;
    SharedGuard g(types_lock_);
    write_type_text(out, ty, types_);
    return out;
}

TypeMapReadGuard TypeRegistry::read() const {
    types_lock_.lock_shared();
    note_shared_acquired();
    return TypeMapReadGuard(this);
}

void TypeRegistry::insert_stored(Typeref uuid, AnyType ty) {
    ExclusiveGuard types_guard(types_lock_);
    ExclusiveGuard index_guard(index_lock_);
    index_[hash_(ty)].push_back(uuid);
    types_.insert_or_assign(uuid, std::move(ty));
}

std::expected<TypeMap, UnresolvedTypes> TypeRegistry::merge_with(const TypeRegistry& other) const {
    TypeMap result;
    if (&other == this) {
        SharedGuard g(types_lock_);
        for (const auto& [key, ty] : types_) result.emplace_hint(result.end(), key, key);
        return result;
    }

    // Snapshot of the other registry: entries are never removed or changed, so the copy
    // is what holding its access throughout would have seen. Its lock is not held while
    // this registry interns, so merges in opposite directions cannot wait on each other.
    std::vector<std::pair<Typeref, AnyType>> pending;
    {
        SharedGuard g(other.types_lock_);
        pending.reserve(other.types_.size());
        for (const auto& [key, ty] : other.types_) pending.emplace_back(key, ty);
    }

    // Dependency order: an entry is ready once every component that is not a type
    // variable has been mapped. Components naming no entry never become ready, nor do
    // entries on a reference cycle; those are reported as unresolved.
    const std::size_t n = pending.size();
    std::unordered_map<Typeref, std::size_t> position;
    position.reserve(n);
    for (std::size_t i = 0; i < n; ++i) position.emplace(pending[i].first, i);

    std::vector<std::size_t> waiting(n, 0);
    std::vector<bool> blocked(n, false);
    std::vector<std::vector<std::size_t>> dependents(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (const Typeref& c : pending[i].second.components()) {
            if (c.is_type_variable()) continue;
            const auto it = position.find(c);
            if (it == position.end()) {
                blocked[i] = true;
                continue;
            }
            dependents[it->second].push_back(i);
            ++waiting[i];
        }
    }

    std::deque<std::size_t> ready;
    for (std::size_t i = 0; i < n; ++i)
        if (waiting[i] == 0 && !blocked[i]) ready.push_back(i);

    auto remap = [&](Typeref& c) {
        if (c.is_type_variable()) return;
        if (const auto it = result.find(c); it != result.end()) c = it->second;
    };
    while (!ready.empty()) {
        const std::size_t i = ready.front();
        ready.pop_front();
        AnyType ty = pending[i].second;
        if (auto* a = std::get_if<ArrayType>(&ty)) remap(a->element);
        if (auto* s = std::get_if<StructType>(&ty))
            for (auto& e : s->elements) remap(e);
        result.insert_or_assign(pending[i].first, search_or_insert(std::move(ty)));
        for (const std::size_t d : dependents[i])
            if (--waiting[d] == 0 && !blocked[d]) ready.push_back(d);
    }

    if (result.size() != n) {
        UnresolvedTypes failure;
        for (const auto& [key, ty] : pending)
            if (!result.contains(key)) failure.types.push_back(key);
        return std::unexpected(std::move(failure));
    }
    return result;
}

}  // namespace keinstr
