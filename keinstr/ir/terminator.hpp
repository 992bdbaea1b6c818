// Block terminators: branch, jump, ret, trap.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "keinstr/ir/enums.hpp"
#include "keinstr/ir/operand.hpp"
#include "keinstr/ir/symbols.hpp"
#include "keinstr/types/registry.hpp"

namespace keinstr {

struct Branch {
    Operand condition;
    Label true_label;
    Label false_label;
    bool operator==(const Branch&) const = default;
};

struct Jump {
    Label target;
    bool operator==(const Jump&) const = default;
};

// Returns `value`, or nothing when absent.
struct Ret {
    std::optional<Operand> value;
    bool operator==(const Ret&) const = default;
};

struct Trap {
    bool operator==(const Trap&) const = default;
};

struct KeTerminator;

// Display adapter of a terminator; the registry (for undef types) and the
// module (for function-pointer names) are both optional.
class TerminatorDisplay {
public:
    TerminatorDisplay(const KeTerminator& term, const TypeRegistry* registry, const Module* module) noexcept
        : term_(&term), registry_(registry), module_(module) {}
    void write(std::string& out) const;
    std::string to_string() const {
        std::string s;
        write(s);
        return s;
    }

private:
    const KeTerminator* term_;
    const TypeRegistry* registry_;
    const Module* module_;
};

// Alternatives in tag order (= KeTerminatorOp): Branch, Jump, Ret, Trap.
struct KeTerminator : std::variant<Branch, Jump, Ret, Trap> {
    using variant::variant;
    bool operator==(const KeTerminator&) const = default;

    KeTerminatorOp op() const noexcept { return static_cast<KeTerminatorOp>(index()); }

    // The terminator's one operand: the condition of a branch, the value of a
    // ret; none otherwise.
    const Operand* operand() const noexcept;
    Operand* operand_mut() noexcept;

    // Derived debug form: Branch { condition: .., true_label: Label(1),
    // false_label: Label(2) }, Jump(Label(1)), Ret(Some(..)), Ret(None), Trap.
    std::string debug() const;

    // The printer's text, e.g. "branch %1, block_1, block_2".
    TerminatorDisplay fmt(const TypeRegistry* registry = nullptr, const Module* module = nullptr) const noexcept {
        return TerminatorDisplay(*this, registry, module);
    }
};

}  // namespace keinstr

template <>
struct fmt::formatter<keinstr::TerminatorDisplay> : fmt::formatter<std::string_view> {
    auto format(const keinstr::TerminatorDisplay& d, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(d.to_string(), ctx);
    }
};
