// Helpers of the front-end tests: a module and registry to extend, log capture,
// and readers of what a parse failure returned.
#pragma once

#include <gtest/gtest.h>

#include <expected>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keinstr/ir/module.hpp"
#include "keinstr/text/parse.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/utils/log.hpp"

namespace keinstr {
inline void PrintTo(const ParserError& e, std::ostream* os) { *os << e.debug(); }
}  // namespace keinstr

namespace keinstr::test {

struct LogRecord {
    std::string target;
    LogLevel level;
    std::string text;
    bool operator==(const LogRecord&) const = default;
};

// Enables every level of the facade for its lifetime and keeps what is written.
class LogCapture {
public:
    LogCapture() {
        set_log_sink([this](std::string_view target, LogLevel level, std::string_view text) {
            records.push_back(LogRecord{std::string(target), level, std::string(text)});
        });
        set_log_level(LogLevel::Trace);
    }
    ~LogCapture() {
        set_log_level(std::nullopt);
        set_log_sink(nullptr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The records of the front end's own target.
    std::vector<LogRecord> parser_records() const {
        std::vector<LogRecord> out;
        for (const auto& r : records)
            if (r.target == kLogTargetParser) out.push_back(r);
        return out;
    }

    std::vector<LogRecord> records;
};

inline void PrintTo(const LogRecord& r, std::ostream* os) {
    *os << r.target << " [" << static_cast<int>(r.level) << "] " << r.text;
}

struct Frontend {
    Module module;
    TypeRegistry registry{0, NodeId{}};
    // With it, the names of `module` are looked up in its index from source to source
    // (as compiling does); without, each source indexes the module anew.
    ModuleExtension* kept = nullptr;

    std::expected<void, Error> parse(std::string_view source) {
        return extend_module_from_string(module, registry, source, nullptr, PriorFunctions::Unverified, kept);
    }

    // The function of `module` named `name` (the first in UUID order); fails the
    // test when there is none.
    const Function& function(std::string_view name) const {
        for (const auto& [uuid, f] : module.functions)
            if (f->name && *f->name == name) return *f;
        ADD_FAILURE() << "no function named " << name;
        static const Function none{};
        return none;
    }
};

// The ParserErrors payload of a failed result (nullptr, with a test failure,
// when the result is anything else).
inline const Error::ParserErrors* parser_errors(const std::expected<void, Error>& r) {
    if (r) {
        ADD_FAILURE() << "expected a parser error, got success";
        return nullptr;
    }
    const auto* pe = r.error().get_if<Error::ParserErrors>();
    if (!pe) ADD_FAILURE() << "expected a parser error, got: " << r.error().message();
    return pe;
}

inline std::vector<std::string> messages(const Error::ParserErrors& pe) {
    std::vector<std::string> out;
    for (const auto& e : pe.errors) out.push_back(e.message);
    return out;
}

inline std::string describe(const std::expected<void, Error>& r) { return r ? "ok" : r.error().message(); }

}  // namespace keinstr::test
