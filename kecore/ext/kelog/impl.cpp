#include "kecore/ext/kelog/impl.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <unistd.h>

#include "kecore/base/instance_context.hpp"
#include "kecore/utils/static_registry.hpp"

namespace kecore {

std::expected<void, KeError> LogPluginEXT::initialize() {
    // Creation attaches every plugin to the live instance before initialising
    // any; an instance that is already gone has no hook left to set.
    if (std::shared_ptr<InstanceContext> instance = instance_.lock()) {
        instance->set_log_hook(&LogPluginEXT::log_message, level_);
    }
    return {};
}

void LogPluginEXT::log_message(const InstanceContext& instance, LogMessageEXT record) {
    auto found = instance.plugins.find(kLoggerExtensionUuid);
    if (found == instance.plugins.end() || !found->second) return;
    const LogPluginEXT* plugin = found->second->as<LogPluginEXT>();
    if (plugin == nullptr) return;
    if (record.level < plugin->level_) return;
    if (plugin->callback_) {
        (*plugin->callback_)(std::move(record));
        return;
    }
    // A failed write has nowhere to be reported; the record is dropped.
    (void)write_stdout(format_log_line(record));
}

std::expected<std::unique_ptr<DynPluginEXT>, KeError> log_plugin_factory(OpaqueList& ext) {
    std::unique_ptr<LogCreateInfoEXT> settings = ext.take_ext<LogCreateInfoEXT>();
    if (settings) {
        return std::make_unique<LogPluginEXT>(std::move(settings->callback), settings->level);
    }
    return std::make_unique<LogPluginEXT>(std::nullopt, LogLevelEXT::Trace);
}

std::string format_log_line(const LogMessageEXT& record) {
    return fmt::format("[{}] {} - {}\n", to_string(record.level), record.timepoint.to_string(), record.message);
}

bool write_stdout(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

namespace {
const Registrar<PluginRegistryEntry> kLoggerRegistrar{
    plugin_registry, {kLoggerExtensionName, kLoggerExtensionDescription, &log_plugin_factory, kLoggerExtensionUuid}};
}  // namespace

}  // namespace kecore
