// The theorem library of a loaded module. Each module starts with an empty
// one; no operation of the runtime adds, reads or removes a theorem yet.
#pragma once

#include "kecore/utils/sharded_map.hpp"
#include "keinstr/utils/uuid.hpp"

namespace kecore {

// A proven statement about a module. Its contents are settled when the
// first operation that builds one exists.
struct Theorem {};

class TheoremLibrary {
public:
    TheoremLibrary() = default;
    TheoremLibrary(TheoremLibrary&&) noexcept = default;
    TheoremLibrary& operator=(TheoremLibrary&&) noexcept = default;

    std::size_t size() const { return theorems_.size(); }

private:
    ShardedMap<keinstr::Uuid, Theorem> theorems_;
};

}  // namespace kecore
