// Log records of the runtime and the logging extension's settings record.
//
// Runtime components never print: every diagnostic is one LogMessageEXT,
// built at the call site and handed to the instance's log hook. The logging
// extension filters records by level and forwards them to a host callback
// (a LogCallbackEXT) or to standard output.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kecore/utils/host_objects.hpp"
#include "kecore/utils/local_time.hpp"
#include "kecore/utils/opaque.hpp"
#include "keinstr/utils/enum_table.hpp"

namespace kecore {

// (variant, text); a level's value is its position, and its text is its
// variant name.
// clang-format off
#define KECORE_LOG_LEVELS(X) \
    X(Trace, "Trace")        \
    X(Debug, "Debug")        \
    X(Info, "Info")          \
    X(Warn, "Warn")          \
    X(Error, "Error")
// clang-format on
KE_DEFINE_TABLE_ENUM_OF(LogLevelEXT, std::uint32_t, log_level, KECORE_LOG_LEVELS)

// "Trace", "Debug", "Info", "Warn" or "Error".
std::string_view to_string(LogLevelEXT level) noexcept;
// The level of a value 0..4; none for 5 and above.
std::optional<LogLevelEXT> log_level_from_value(std::uint32_t value) noexcept;

// One log record; owns all its strings.
struct LogMessageEXT {
    LogLevelEXT level = LogLevelEXT::Trace;
    NaiveDateTime timepoint;  // local wall-clock time at which the log call began
    std::string message;
    std::string module;                      // e.g. "kecore::compiler"
    std::optional<std::string> file;         // source file of the call, from the workspace root
    std::optional<std::uint32_t> line;       // source line of the call
    std::optional<std::string> thread_name;  // absent when the thread has no name
};

// Where the logging extension sends records: an owned callable taking a
// record by value. The runtime knows it only through this interface; the
// host binding supplies the target (a host callable it keeps alive), which
// must be callable from any thread.
class LogCallbackEXT {
public:
    class Target {
    public:
        virtual ~Target() = default;
        virtual void call(LogMessageEXT record) = 0;
        // Address of the callable object, for the debug text.
        virtual const void* address() const noexcept = 0;
        // The host objects the target keeps alive, each visited once.
        virtual int visit_host_objects(HostObjectVisitor& visitor) const {
            (void)visitor;
            return 0;
        }
        // Drops them; later calls must then do nothing.
        virtual void clear_host_objects() noexcept {}
    };

    explicit LogCallbackEXT(std::unique_ptr<Target> target) noexcept : target_(std::move(target)) {}

    void operator()(LogMessageEXT record) const { target_->call(std::move(record)); }
    int visit_host_objects(HostObjectVisitor& visitor) const { return target_->visit_host_objects(visitor); }
    void clear_host_objects() noexcept { target_->clear_host_objects(); }
    // LogCallbackEXT { 0: "0x..." }
    std::string debug() const;

private:
    std::unique_ptr<Target> target_;
};

// The logging extension's settings, taken out of the create info's `ext`
// list by the extension's factory.
class LogCreateInfoEXT final : public OpaqueObject {
public:
    LogCreateInfoEXT(LogLevelEXT level, LogCallbackEXT callback) noexcept
        : level(level), callback(std::move(callback)) {}

    // LogCreateInfoEXT { level: Info, callback: LogCallbackEXT { 0: "0x..." } }
    std::string debug() const override;

    LogLevelEXT level;
    LogCallbackEXT callback;
};

}  // namespace kecore
