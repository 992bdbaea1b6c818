#include "kecore/utils/error.hpp"

namespace kecore {

std::string KeError::Io::message() const { return fmt::format("I/O error: {}", error.to_string()); }

std::string KeError::ManifestParse::message() const {
    return fmt::format("Failed to parse manifest file '{}': {}", path, error.to_string());
}

std::string KeError::Unknown::message() const { return fmt::format("An unknown error occurred: {}", text); }

std::string KeError::PluginNotFound::message() const { return fmt::format("Plugin with name '{}' not found", name); }

std::string KeError::Utf8::message() const { return fmt::format("UTF-8 conversion error: {}", error.to_string()); }

std::string KeError::Ir::message() const { return error.message(); }

std::string KeError::NotFound::message() const { return fmt::format("Failed to find {} with key '{}'", kind, key); }

std::string KeError::Duplicated::message() const { return fmt::format("Duplicated {} with key '{}'", kind, key); }

std::string KeError::message() const {
    return std::visit([](const auto& v) { return v.message(); }, value_);
}

}  // namespace kecore
