// The logging extension "__EXT_kestrane_logger".
//
// Its initialize replaces the instance's log hook with log_message, which
// drops records below the configured level and hands the others to the
// host callback, or prints them to standard output without one.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kecore/ext/kelog/log.hpp"
#include "kecore/ext/plugin.hpp"

namespace kecore {

inline constexpr std::string_view kLoggerExtensionName = "__EXT_kestrane_logger";
inline constexpr std::string_view kLoggerExtensionDescription = "Kestrane Logger Extension";
inline constexpr keinstr::Uuid kLoggerExtensionUuid{
    {0x20, 0x18, 0x9b, 0x61, 0x72, 0x79, 0x46, 0xfa, 0x9b, 0xa2, 0x5f, 0x03, 0x60, 0xbf, 0x5b, 0x51}};

class LogPluginEXT final : public DynPluginEXT {
public:
    LogPluginEXT(std::optional<LogCallbackEXT> callback, LogLevelEXT level) noexcept
        : callback_(std::move(callback)), level_(level) {}

    void attach_to(std::weak_ptr<InstanceContext> instance) override { instance_ = std::move(instance); }
    std::expected<void, KeError> initialize() override;
    void teardown() override {}

    keinstr::Uuid uuid() const noexcept override { return kLoggerExtensionUuid; }
    std::string_view name() const noexcept override { return kLoggerExtensionName; }
    std::string_view description() const noexcept override { return kLoggerExtensionDescription; }

    LogLevelEXT level() const noexcept { return level_; }
    bool has_callback() const noexcept { return callback_.has_value(); }

    int visit_host_objects(HostObjectVisitor& visitor) const override {
        return callback_ ? callback_->visit_host_objects(visitor) : 0;
    }
    // The callback stays in place and drops its records from then on.
    void clear_host_objects() noexcept override {
        if (callback_) callback_->clear_host_objects();
    }

    // The hook this plugin installs.
    static void log_message(const InstanceContext& instance, LogMessageEXT record);

private:
    std::weak_ptr<InstanceContext> instance_;
    std::optional<LogCallbackEXT> callback_;
    LogLevelEXT level_;
};

// Takes the first LogCreateInfoEXT out of `ext`; without one, every record
// goes to standard output. Never fails.
std::expected<std::unique_ptr<DynPluginEXT>, KeError> log_plugin_factory(OpaqueList& ext);

// "[{level}] {timepoint} - {message}\n"
std::string format_log_line(const LogMessageEXT& record);

// Writes `text` to the process's standard output (file descriptor 1) in one
// write when the descriptor takes it whole; false when writing failed.
bool write_stdout(std::string_view text) noexcept;

}  // namespace kecore
