// The runtime's build-information record, fixed when the runtime is built.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kecore/utils/semver.hpp"

namespace kecore {

struct GitInfo {
    std::string commit_id;
    std::string commit_short_id;
    bool dirty = false;
    std::optional<std::string> branch;
};

struct BuildInfo {
    Version version;  // the runtime's own version
    std::string profile;
    std::vector<std::string> enabled_features;
    std::string target;
    std::string compiler;
    std::string build_date;
    std::optional<GitInfo> version_control;
};

// Builds the record from the build's constants. A record that does not
// decode is a defect of the build: the process stops.
BuildInfo decode_build_info(std::string_view version, std::string_view profile, std::string_view features,
                            std::string_view target, std::string_view compiler, std::string_view build_date,
                            std::string_view commit, std::string_view branch, bool dirty);

// The record of this build, decoded on first use (thread-safe, once per
// process); later calls return the same record.
const BuildInfo& retrieve_build_info();

}  // namespace kecore
