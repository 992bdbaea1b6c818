#include "keinstr/ir/printer.hpp"

#include <fmt/format.h>

namespace keinstr {

namespace {

class InstrWriter {
public:
    InstrWriter(std::string& out, const TypeRegistry& registry, const Module* module)
        : out_(out), registry_(registry), module_(module) {}

    void type(const Typeref& t) { registry_.fmt(t).write(out_); }
    void operand(const Operand& op) { op.write(out_, &registry_, module_); }
    void text(std::string_view s) { out_.append(s); }
    void number(std::uint32_t n) { out_.append(std::to_string(n)); }

    // One blank, then the operands separated by ", " (the blank also when
    // there are none).
    void operand_list(const KeInstr& instr) {
        out_.push_back(' ');
        bool first = true;
        for (const Operand& op : instr.operands()) {
            if (!first) out_.append(", ");
            first = false;
            operand(op);
        }
    }

    void ordering_and_alignment(const OptOrdering& ordering, const OptAlignment& alignment) {
        if (ordering) {
            text(", atomic ");
            text(word(*ordering));
        }
        if (alignment) {
            text(", align ");
            number(*alignment);
        }
    }

    void statistic(const AnalysisStatistic& stat) {
        if (const auto* count = std::get_if<InstructionCount>(&stat)) {
            out_.append(fmt::format(".icnt i32 0x{:x}", count->flags.bits));
        } else if (std::holds_alternative<ExecutionCount>(stat)) {
            text(".excnt");
        } else {
            const auto& scope = std::get<TerminationBehavior>(stat).scope;
            if (const auto* reach = std::get_if<ReachAny>(&scope)) {
                text(".term.reach ");
                for (std::size_t i = 0; i < reach->labels.size(); ++i) {
                    if (i != 0) text(", ");
                    text(reach->labels[i].to_string());
                }
            } else if (std::holds_alternative<BlockExit>(scope)) {
                text(".term.blockexit");
            } else {
                text(".term.funcexit");
            }
        }
    }

    // The variant of a list-shaped opcode as shown after the mnemonic.
    template <class Rec>
    void variant(const Rec& rec) {
        constexpr VariantForm form = variant_form(Rec::op);
        if constexpr (form == VariantForm::Word) {
            text(".");
            if constexpr (requires { rec.signedness; }) {
                text(word(rec.signedness));
            } else {
                text(word(rec.variant));
            }
        } else if constexpr (form == VariantForm::Own) {
            static_assert(std::is_same_v<Rec, MetaProb>, "opcode without a shown variant");
            static constexpr std::string_view kSuffix[] = {".prob", ".ev", ".var"};
            const auto i = enum_index(rec.operand.variant);
            text(i < std::size(kSuffix) ? kSuffix[i] : std::string_view{});
        } else {
            // cast: its kind is not shown.
            static_assert(form == VariantForm::None || form == VariantForm::Hidden, "opcode without a shown variant");
        }
    }

    // The text after the mnemonic, by the opcode's operand shape.
    template <class Rec>
    void rest(const KeInstr& instr, const Rec& rec) {
        constexpr OperandShape shape = operand_shape(Rec::op);
        if constexpr (shape == OperandShape::List) {
            variant(rec);
            operand_list(instr);
        } else if constexpr (shape == OperandShape::Load) {
            if (rec.volatile_) text(" volatile");
            text(" ");
            operand(rec.addr);
            ordering_and_alignment(rec.ordering, rec.alignement);
        } else if constexpr (shape == OperandShape::Store) {
            if (rec.volatile_) text(" volatile");
            text(" ");
            operand(rec.addr);
            text(", ");
            operand(rec.value);
            ordering_and_alignment(rec.ordering, rec.alignement);
        } else if constexpr (shape == OperandShape::Alloca) {
            text(" ");
            type(rec.ty);
            text(" ");
            operand(rec.count);
            if (rec.alignement) {
                text(", align ");
                number(*rec.alignement);
            }
        } else if constexpr (shape == OperandShape::GetElementPtr) {
            text(" ");
            type(rec.in_ty);
            text(", ");
            operand(rec.base);
            for (const Operand& index : rec.indices) {
                text(", ");
                operand(index);
            }
        } else if constexpr (shape == OperandShape::Call) {
            if (rec.cconv) {
                text(" ");
                text(rec.cconv->to_string());
            }
            text(" ");
            operand(rec.function);
            for (const Operand& arg : rec.args) {
                text(", ");
                operand(arg);
            }
        } else if constexpr (shape == OperandShape::PhiPairs) {
            text(" ");
            for (std::size_t i = 0; i < rec.values.size(); ++i) {
                if (i != 0) text(", ");
                text("[");
                operand(rec.values[i].first);
                text(", ");
                text(rec.values[i].second.to_string());
                text("]");
            }
        } else if constexpr (shape == OperandShape::Aggregate) {
            text(" ");
            operand(rec.aggregate);
            if constexpr (std::is_same_v<Rec, InsertValue>) {
                text(", ");
                operand(rec.value);
            }
            for (std::uint32_t index : rec.indices) {
                text(", i32 ");
                number(index);
            }
        } else {
            static_assert(shape == OperandShape::Statistic, "opcode without a printed form");
            statistic(rec.statistic);
        }
    }

    void write(const KeInstr& instr) {
        if (const auto dest = instr.destination()) {
            text(dest->debug());
            text(": ");
            if (const auto ty = instr.destination_type()) {
                type(*ty);
            } else {
                text(kMissingTypeText);
            }
            text(" = ");
        }
        text(opname(instr.op()));
        std::visit([&](const auto& rec) { rest(instr, rec); }, instr.variant());
    }

private:
    std::string& out_;
    const TypeRegistry& registry_;
    const Module* module_;
};

}  // namespace

void write_instr(std::string& out, const KeInstr& instr, const TypeRegistry& registry, const Module* module) {
    InstrWriter(out, registry, module).write(instr);
}

void write_terminator(std::string& out, const KeTerminator& term, const TypeRegistry* registry, const Module* module) {
    if (const auto* b = std::get_if<Branch>(&term)) {
        out.append("branch ");
        b->condition.write(out, registry, module);
        out.append(", ");
        out.append(b->true_label.to_string());
        out.append(", ");
        out.append(b->false_label.to_string());
    } else if (const auto* j = std::get_if<Jump>(&term)) {
        out.append("jump ");
        out.append(j->target.to_string(/*alternate=*/true));
    } else if (const auto* r = std::get_if<Ret>(&term)) {
        if (r->value) {
            out.append("ret ");
            r->value->write(out, registry, module);
        } else {
            out.append("ret void");
        }
    } else {
        out.append("trap");
    }
}

void InstrDisplay::write(std::string& out) const { write_instr(out, *instr_, *registry_, module_); }

void TerminatorDisplay::write(std::string& out) const { write_terminator(out, *term_, registry_, module_); }

}  // namespace keinstr
