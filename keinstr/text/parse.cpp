// `extend_module_from_string`: a source of the textual IR read into functions
// that join a module.
//
// A source is parsed in up to two phases (`ParsePhase`, engine.hpp):
//
// * Quick: the module rule runs once over tokens lexed as it asks for them and
//   dropped behind each item, keeping no failures (`parse_on_demand`). Only in
//   this phase may grammar rules take shortcuts that reach the same outcome
//   without recording what failed; there are seven, each guarded by
//   `p.phase() == ParsePhase::Quick`: additional_type, phi_operand_list,
//   label_list, alignment and volatile_mark (instr_grammar.cpp),
//   operand_parser (operand_grammar.cpp) and labelled_type_parser
//   (type_grammar.cpp). A source that parses is done after this phase.
//
// * Diagnose: only after a quick phase that gave no items. The source is lexed
//   again whole, the state cleared, and the module rule runs over the complete
//   token list keeping every failure, with no shortcuts (`parse_with_state`):
//   its errors say what failed where.
//
// Both phases give the same outcome for every source; the front end tests and
// the front end fuzz target hold them to it (parse_agreement.hpp).
#include "keinstr/text/parse.hpp"

#include <algorithm>
#include <span>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "keinstr/text/diagnostics.hpp"
#include "keinstr/text/lexer.hpp"
#include "keinstr/text/module_grammar.hpp"
#include "keinstr/text/name_numbers.hpp"
#include "keinstr/text/state.hpp"
#include "keinstr/utils/debug_str.hpp"
#include "keinstr/utils/log.hpp"

namespace keinstr {

namespace {

// The debug text of every token of `source`, made only if someone reads it: few
// callers do, and the texts of a long source take many times its size. The source
// is lexed again then (the caller's lexing of it succeeded).
DeferredStrings token_texts_when_read(std::string_view source) {
    return DeferredStrings([text = std::string(source)] {
        const LexOutput lexed = lex(text);
        if (!lexed.tokens) return std::vector<std::string>{};
        const TokenList& list = *lexed.tokens;
        return token_debug_texts(std::span<const Token>(list.tokens.data(), list.tokens.size()));
    });
}

// Names of function-pointer constants that the module did not know, each with the
// placeholder UUID that stands for it until the parse is over. Kept in order of
// first use, so that what is reported about them does not depend on hashing.
class PendingNames {
public:
    Uuid placeholder(std::string_view name, RandomUuids& uuids) {
        const std::uint32_t n = names_.number(name);
        if (n == placeholders_.size()) placeholders_.push_back(uuids.next());
        return placeholders_[n];
    }

    bool empty() const noexcept { return placeholders_.empty(); }
    // Entry i (in order of first use): its name and placeholder.
    std::size_t size() const noexcept { return placeholders_.size(); }
    const std::string& name(std::size_t i) const noexcept { return names_.name(static_cast<std::uint32_t>(i)); }
    const Uuid& placeholder(std::size_t i) const noexcept { return placeholders_[i]; }

private:
    NameNumbers names_;  // name -> its number, in order of first use
    std::vector<Uuid> placeholders_;
};

// The function resolver of one call: the module as it was before the call (looked
// up by name through `names`; the module does not change while the source is
// parsed), then the placeholders.
class Resolution {
public:
    Resolution(const Module& module, ModuleNameIndex& names, RandomUuids& uuids)
        : module_(module), names_(names), uuids_(uuids) {}

    Uuid resolve(std::string_view name, bool external) {
        if (auto found = names_.find(module_, name, external)) return *found;
        return (external ? pending_external : pending_internal).placeholder(name, uuids_);
    }

    PendingNames pending_internal;
    PendingNames pending_external;

private:
    const Module& module_;
    ModuleNameIndex& names_;
    RandomUuids& uuids_;
};

void log_error(std::string text) { KEINSTR_LOG(kLogTargetParser, LogLevel::Error, std::move(text)); }

std::string optional_name_debug(const std::optional<std::string>& name) {
    if (!name) return "None";
    return "Some(" + debug_str(*name) + ")";
}

}  // namespace

Uuid RandomUuids::next() {
    if (used_ == batch_) {
        // A source of one function asks for one UUID: draw two first, twice as
        // many each time more are asked for (random bytes cost the system time
        // by the byte).
        batch_ = std::min(2 * batch_, kBatch);
        fill_random(std::span(buffer_.data(), 16 * batch_));
        used_ = 0;
    }
    Uuid u;
    std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(used_ * 16), 16, u.bytes.begin());
    ++used_;
    u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40);
    u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);
    return u;
}

void ModuleNameIndex::Names::offer(std::string_view name, const Uuid& key, const Uuid& uuid, bool earliest) {
    const std::uint32_t n = numbers.number(name);
    if (n == first.size()) {
        first.push_back(Entry{key, uuid});
    } else if (earliest && key < first[n].key) {
        first[n] = Entry{key, uuid};
    }
}

std::optional<Uuid> ModuleNameIndex::Names::find(std::string_view name) const {
    if (first.empty()) return std::nullopt;
    if (auto n = numbers.find(name)) return first[*n].uuid;
    return std::nullopt;
}

void ModuleNameIndex::build(const Module& module) {
    built_ = true;
    functions_ = module.functions.size();
    externals_ = module.external_functions.size();
    internal_ = Names{};
    external_ = Names{};
    // In key order, so the first function offered for a name is the one to keep.
    for (const auto& [key, function] : module.functions) {
        if (function && function->name) internal_.offer(*function->name, key, function->uuid, false);
    }
    for (const auto& [key, ext] : module.external_functions) external_.offer(ext.name, key, ext.uuid, false);
}

std::optional<Uuid> ModuleNameIndex::find(const Module& module, std::string_view name, bool external) {
    if (!built_ || functions_ != module.functions.size() || externals_ != module.external_functions.size()) {
        build(module);
    }
    return (external ? external_ : internal_).find(name);
}

void ModuleNameIndex::inserted(const Function& function) {
    // Not built yet: the first look-up indexes the module with the function in it.
    if (!built_) return;
    // A function replacing one of the same UUID leaves the count short of this, and the
    // module is indexed again at the next look-up.
    ++functions_;
    if (function.name) internal_.offer(*function.name, function.uuid, function.uuid, true);
}

std::expected<void, Error> extend_module_from_string(Module& module, const TypeRegistry& registry,
                                                     std::string_view source, Arena* arena, PriorFunctions prior,
                                                     ModuleExtension* kept) {
    // 1. Lexing, as the parser asks for tokens (see 3).
    IncrementalLexer lexer(source);

    // 2. State: resolver over the module as it is now (through the caller's index of
    // its names, or one for this call), fresh random function UUIDs (what the caller
    // kept of them first).
    std::optional<ModuleExtension> own;
    ModuleExtension& session = kept ? *kept : own.emplace();
    ModuleNameIndex& index = session.names;
    RandomUuids& uuids = session.uuids;
    Resolution resolution(module, index, uuids);
    auto resolver =
        std::make_shared<const FunctionResolver>([&resolution](std::string name, bool external) -> std::optional<Uuid> {
            return resolution.resolve(name, external);
        });
    auto generator = std::make_shared<const UuidGenerator>([&uuids] { return uuids.next(); });
    State state(std::move(resolver), std::move(generator), registry);
    state.instruction_arena = arena;

    // 3. Parsing, quick phase. The lexer's findings come first: with any of them
    // the parse does not count, whatever it gave. A failed parse is run again in
    // the diagnose phase, over the complete token list, lexed again (that run is
    // known to succeed), this time keeping what failed where, which its errors
    // describe.
    std::optional<std::vector<Item>> items = parse_on_demand(lexer, state);
    if (std::vector<LexError> lex_errors = lexer.finish(); !lex_errors.empty()) {
        log_error("Lexing errors encountered in provided source string:");
        return std::unexpected(Error{Error::ParserErrors{to_parser_errors(lex_errors), {}}});
    }
    if (!items) {
        // Diagnose phase.
        const LexOutput lexed = lex(source);
        const TokenList& list = *lexed.tokens;
        const std::span<const Token> tokens(list.tokens.data(), list.tokens.size());
        const std::span<const Span> spans(list.spans.data(), list.spans.size());
        state.clear();
        ModuleParse parsed = parse_with_state(tokens, state);
        if (!parsed.errors.empty() || !parsed.items) {
            log_error("Parsing errors encountered in provided source string:");
            return std::unexpected(Error{Error::ParserErrors{to_parser_errors(parsed.errors, spans, source.size()),
                                                             token_texts_when_read(source)}});
        }
        // The two runs read the same tokens the same way, so this run fails as
        // well; were they ever to differ, this run is the one that counts.
        items = std::move(parsed.items);
    }

    // 4. Items in source order.
    std::vector<Function> functions;
    functions.reserve(items->size());
    for (Item& item : *items) {
        if (const Item::Import* import = item.import()) {
            log_error(fmt::format("Import encountered in string source; imports unsupported in this context: {}",
                                  import->path));
            return std::unexpected(Error{Error::ParserErrors{
                {ParserError{
                    std::nullopt, 0, 0,
                    fmt::format("import statements are not supported when parsing from string: {}", import->path)}},
                token_texts_when_read(source)}});
        }
        Function& f = *item.function();
        KEINSTR_LOG(kLogTargetParser, LogLevel::Debug,
                    fmt::format("Adding function {} to module", optional_name_debug(f.name)));
        f.normalize_ssa();
        functions.push_back(std::move(f));
    }
    items.reset();

    // 5. Internal names: each must be defined by exactly one function of this
    // source. That function takes the placeholder as its UUID (both are fresh
    // random UUIDs), so the pointers that name it need no rewriting.
    if (!resolution.pending_internal.empty()) {
        struct Definitions {
            std::size_t count = 0;
            std::size_t index = 0;  // of the first definition in `functions`
        };
        std::unordered_map<std::string_view, Definitions> by_name;
        for (std::size_t k = 0; k < functions.size(); ++k) {
            const Function& f = functions[k];
            if (!f.name) continue;
            Definitions& d = by_name[*f.name];
            if (d.count++ == 0) d.index = k;
        }
        std::vector<std::pair<std::size_t, Uuid>> adopted;
        const PendingNames& pending = resolution.pending_internal;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            const std::string& name = pending.name(i);
            const auto it = by_name.find(name);
            if (it == by_name.end()) {
                log_error(fmt::format("Unresolved internal function: {}", debug_str(name)));
                return std::unexpected(
                    Error{Error::UnresolvedFunction{FunctionPointerKind::Internal, std::string(name)}});
            }
            if (it->second.count > 1) {
                log_error(fmt::format("Multiple functions found with the same name: {}", name));
                return std::unexpected(Error{Error::DuplicateFunctionName{std::string(name)}});
            }
            adopted.emplace_back(it->second.index, pending.placeholder(i));
        }
        for (const auto& [index, uuid] : adopted) functions[index].uuid = uuid;
    }

    // 6. External names: nothing in a source declares an external function.
    if (!resolution.pending_external.empty()) {
        std::vector<std::string> names;
        const PendingNames& pending = resolution.pending_external;
        for (std::size_t i = 0; i < pending.size(); ++i) names.push_back(pending.name(i));
        log_error(fmt::format("Unresolved external functions: {}", debug_string_list(names)));
        std::string joined;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i != 0) joined += ", ";
            joined += names[i];
        }
        return std::unexpected(Error{Error::UnresolvedFunction{FunctionPointerKind::External, std::move(joined)}});
    }

    // 7. The functions inserted.
    std::vector<Uuid> added;
    added.reserve(functions.size());
    for (Function& f : functions) {
        added.push_back(f.uuid);
        auto inserted = std::make_shared<Function>(std::move(f));
        index.inserted(*inserted);
        module.insert_function(std::move(inserted));
    }

    // 8. The whole module verified (of a module verified before, what this source added).
    auto verified = prior == PriorFunctions::Verified ? module.verify_added(std::move(added)) : module.verify();
    if (!verified) {
        log_error(fmt::format("Module verification failed: {}", verified.error().message()));
        return std::unexpected(verified.error());
    }
    return {};
}

}  // namespace keinstr
