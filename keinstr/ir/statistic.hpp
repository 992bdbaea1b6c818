// The statistics that "!analysis" asks for.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "keinstr/utils/enum_table.hpp"
#include "keinstr/ir/instruction_flags.hpp"
#include "keinstr/ir/symbols.hpp"

namespace keinstr {

// The statistic word after "!analysis." (selects AnalysisStatistic variant 0, 1, 2).
// clang-format off
#define KE_ANALYSIS_STATISTIC_OP_TABLE(X) \
    X(InstructionCount, "icnt")           \
    X(ExecutionCount, "excnt")            \
    X(TerminationBehavior, "term")
// clang-format on
KE_DEFINE_TABLE_ENUM(AnalysisStatisticOp, analysis_statistic_op, KE_ANALYSIS_STATISTIC_OP_TABLE)

// The scope word after "!analysis.term." (selects TerminationScope variant 0, 1, 2).
// clang-format off
#define KE_TERMINATION_SCOPE_KIND_TABLE(X) \
    X(BlockExit, "blockexit")              \
    X(FunctionExit, "funcexit")            \
    X(ReachAny, "reach")
// clang-format on
KE_DEFINE_TABLE_ENUM(TerminationScopeKind, termination_scope_kind, KE_TERMINATION_SCOPE_KIND_TABLE)

struct BlockExit {
    bool operator==(const BlockExit&) const = default;
};
struct FunctionExit {
    bool operator==(const FunctionExit&) const = default;
};
struct ReachAny {
    std::vector<Label> labels;
    bool operator==(const ReachAny&) const = default;
};

// Alternatives in tag order: BlockExit, FunctionExit, ReachAny(labels).
struct TerminationScope : std::variant<BlockExit, FunctionExit, ReachAny> {
    using variant::variant;
    bool operator==(const TerminationScope&) const = default;
    TerminationScopeKind kind() const { return static_cast<TerminationScopeKind>(index()); }
    // BlockExit / FunctionExit / ReachAny([Label(1), Label(2)])
    std::string debug() const;
};

struct InstructionCount {
    InstructionFlags flags;
    bool operator==(const InstructionCount&) const = default;
};
struct ExecutionCount {
    bool operator==(const ExecutionCount&) const = default;
};
struct TerminationBehavior {
    TerminationScope scope;
    bool operator==(const TerminationBehavior&) const = default;
};

// Alternatives in tag order: InstructionCount(flags), ExecutionCount,
// TerminationBehavior(scope).
struct AnalysisStatistic : std::variant<InstructionCount, ExecutionCount, TerminationBehavior> {
    using variant::variant;
    bool operator==(const AnalysisStatistic&) const = default;
    AnalysisStatisticOp op() const { return static_cast<AnalysisStatisticOp>(index()); }
    // InstructionCount(InstructionFlags(META)) / ExecutionCount /
    // TerminationBehavior(ReachAny([Label(1)]))
    std::string debug() const;
};

}  // namespace keinstr
