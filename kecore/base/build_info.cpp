#include "kecore/base/build_info.hpp"

#include <cstdio>
#include <cstdlib>

#include "kecore_build_info.hpp"

#ifndef KECORE_DIRTY
#define KECORE_DIRTY 0
#endif

namespace kecore {

namespace {

[[noreturn]] void damaged_record() {
    std::fputs("Could not fully deserialize stored build info.\n", stderr);
    std::abort();
}

bool is_hex_id(std::string_view s) {
    if (s.size() < 7) return false;
    for (char c : s) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

BuildInfo decode_build_info(std::string_view version, std::string_view profile, std::string_view features,
                            std::string_view target, std::string_view compiler, std::string_view build_date,
                            std::string_view commit, std::string_view branch, bool dirty) {
    BuildInfo info;
    auto parsed = Version::parse(version);
    if (!parsed) damaged_record();
    info.version = std::move(*parsed);
    info.profile = std::string(profile);
    // Features are listed comma- or semicolon-separated.
    while (!features.empty()) {
        const std::size_t cut = features.find_first_of(",;");
        const std::string_view item = trim(features.substr(0, cut));
        if (!item.empty()) info.enabled_features.emplace_back(item);
        if (cut == std::string_view::npos) break;
        features.remove_prefix(cut + 1);
    }
    info.target = std::string(target);
    info.compiler = std::string(compiler);
    info.build_date = std::string(build_date);
    // Without a commit id (no repository, or no commit yet) the record has no
    // version-control part.
    if (is_hex_id(commit)) {
        GitInfo git;
        git.commit_id = std::string(commit);
        git.commit_short_id = std::string(commit.substr(0, 7));
        git.dirty = dirty;
        if (!branch.empty()) git.branch = std::string(branch);
        info.version_control = std::move(git);
    }
    return info;
}

const BuildInfo& retrieve_build_info() {
    static const BuildInfo info =
        decode_build_info(KECORE_VERSION, KECORE_PROFILE, KECORE_FEATURES, KECORE_TARGET, KECORE_COMPILER,
                          KECORE_BUILD_DATE, KECORE_COMMIT, KECORE_BRANCH, KECORE_DIRTY != 0);
    return info;
}

}  // namespace kecore
