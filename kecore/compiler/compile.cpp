#include "kecore/compiler/compile.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "kecore/base/instance_context.hpp"
#include "kecore/base/log.hpp"
#include "kecore/base/module_context.hpp"
#include "kecore/compiler/storage.hpp"
#include "keinstr/text/parse.hpp"
#include "keinstr/passes/type_check.hpp"
#include "keinstr/utils/try.hpp"

namespace kecore {

namespace {

// How a source is named in log records.
std::string source_label(const ModuleSourceInfo& source) {
    return source.filename ? *source.filename : std::string("<unnamed>");
}

}  // namespace

std::expected<std::vector<std::uint8_t>, KeError> compile_sources(const InstanceContext& instance,
                                                                  ModuleCompileInfo info) {
    // The payload is about as long as the text it is compiled from.
    std::size_t text_bytes = 0;
    for (const ModuleSourceInfo& source : info.sources) text_bytes += source.data.view().size();

    // The instruction arrays of the module, freed at once after it (declared first,
    // so destroyed last). The arrays take about twice the text's bytes.
    keinstr::Arena arena(2 * text_bytes);
    CompiledModuleStorage storage;
    storage.type_registry = std::make_unique<keinstr::TypeRegistry>(0, keinstr::NodeId{});
    keinstr::Module& module = storage.module;
    const keinstr::TypeRegistry& registry = *storage.type_registry;
    // The names of the module's functions, kept up to date from source to source (a
    // source naming a function of an earlier one does not index the whole module
    // again), and random UUIDs drawn for more than one source.
    keinstr::ModuleExtension kept;

    for (ModuleSourceInfo& source : info.sources) {
        const std::string label = source_label(source);
        KECORE_LOG(instance, Trace, kLogOriginCompiler, "Compiling source \"{}\"", label);
        auto parsed = keinstr::extend_module_from_string(module, registry, source.data.view(), &arena,
                                                         keinstr::PriorFunctions::Verified, &kept);
        if (!parsed) {
            KECORE_LOG(instance, Error, kLogOriginCompiler, "Failed to compile assembly source \"{}\": {}", label,
                       parsed.error());
            return std::unexpected(KeError(KeError::Ir{std::move(parsed.error())}));
        }
        // The text is no longer needed once parsed.
        source.data.release();
        if (source.filename) storage.source_names.push_back(std::move(*source.filename));
    }

    KECORE_LOG(instance, Trace, kLogOriginCompiler, "Verifying compiled module");
    // Parsing a source ends by verifying the whole module, and nothing has changed the
    // module since the last source was parsed: with a source, the module is verified
    // already. Only the empty module of no source is left to verify.
    if (info.sources.empty()) {
        if (auto verified = module.verify(); !verified) {
            KECORE_LOG(instance, Error, kLogOriginCompiler, "Module verification failed: {}", verified.error());
            return std::unexpected(KeError(KeError::Ir{std::move(verified.error())}));
        }
    }

    KECORE_LOG(instance, Trace, kLogOriginCompiler, "Type checking compiled module");
    keinstr::TypeCheckSession checker(registry);
    for (const auto& [id, function] : module.functions) {
        // Labels are made only for records that are kept.
        KECORE_LOG(instance, Trace, kLogOriginCompiler, "Type checking function '{}'", function_label(*function));
        if (auto checked = checker.check(*function); !checked) {
            KECORE_LOG(instance, Error, kLogOriginCompiler, "Type check failed for function '{}': {}",
                       function_label(*function), checked.error());
            return std::unexpected(KeError(KeError::Ir{std::move(checked.error())}));
        }
    }

    // The payload is about as long as the text (0 would mean "unknown": an empty
    // text still makes a payload of a few bytes).
    auto bytes = KE_TRY(storage.encode(instance, std::max<std::size_t>(text_bytes, 1)));

    KECORE_LOG(instance, Info, kLogOriginCompiler, "Compiled successful, module has {} functions: {}",
               module.functions.size(), function_label_list(module));
    KECORE_LOG(instance, Info, kLogOriginCompiler, "Produced {} bytes of compiled module storage", bytes.size());
    return bytes;
}

}  // namespace kecore
