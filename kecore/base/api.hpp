// Create-info records: the runtime's only settings, read from host objects by
// the host binding, and the entry point that creates an instance from one.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kecore/utils/error.hpp"
#include "kecore/utils/opaque.hpp"

namespace kecore {

class InstanceContext;

struct VersionInfo {
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint16_t patch = 0;
};

struct ApplicationInfo {
    VersionInfo application_version;
    std::string application_name;
    VersionInfo engine_version;
    std::string engine_name;
};

struct InstanceCreateInfo {
    ApplicationInfo application_info;
    std::vector<std::string> enabled_extensions;  // plugin names, in order
    std::uint32_t node_id = 0;
    OpaqueList ext;  // the extensions' settings records
};

// The kind of a source text.
enum class ModuleSourceType : std::uint32_t {
    Assembly = 0,  // textual IR
};

// The kind of a value, or none for a value that names no kind.
std::optional<ModuleSourceType> module_source_type_from_value(std::uint32_t value) noexcept;

// The text of a source: owned, or borrowed from a caller that keeps it alive
// and unchanged for as long as the source is in use (the host lends the text
// of its string objects this way, so that compiling copies no source).
class SourceText {
public:
    SourceText() = default;
    SourceText(std::string text) : text_(std::move(text)) {}
    static SourceText borrowed(std::string_view text) {
        SourceText t;
        t.text_ = text;
        return t;
    }

    std::string_view view() const noexcept {
        return std::visit([](const auto& t) { return std::string_view(t); }, text_);
    }
    // Lets go of the text (freeing it when owned).
    void release() noexcept { text_ = std::string_view{}; }

private:
    std::variant<std::string, std::string_view> text_;
};

struct ModuleSourceInfo {
    ModuleSourceType source_type = ModuleSourceType::Assembly;
    std::optional<std::string> filename;  // the name the source is reported and stored under
    SourceText data;                      // the source text
};

struct ModuleCompileInfo {
    std::vector<ModuleSourceInfo> sources;
};

// Creates an instance from `info` (consumed): see InstanceContext::create.
std::expected<std::shared_ptr<InstanceContext>, KeError> create_instance(InstanceCreateInfo info);

}  // namespace kecore
