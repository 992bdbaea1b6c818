#include "keinstr/ir/statistic.hpp"

namespace keinstr {

std::string TerminationScope::debug() const {
    if (const auto* reach = std::get_if<ReachAny>(this)) {
        std::string out = "ReachAny([";
        for (std::size_t i = 0; i < reach->labels.size(); ++i) {
            if (i != 0) out += ", ";
            out += reach->labels[i].debug();
        }
        return out + "])";
    }
    return std::string(debug_name(kind()));
}

std::string AnalysisStatistic::debug() const {
    if (const auto* count = std::get_if<InstructionCount>(this)) {
        return "InstructionCount(" + debug_string(count->flags) + ")";
    }
    if (const auto* term = std::get_if<TerminationBehavior>(this)) {
        return "TerminationBehavior(" + term->scope.debug() + ")";
    }
    return "ExecutionCount";
}

}  // namespace keinstr
