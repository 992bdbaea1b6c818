// Top of the textual IR grammar: the module, its items (imports and function
// definitions), the function header, the body and its blocks.
//
//   module     = ( [ Newline ] item [ Newline ] )* end-of-input
//   item       = import | function
//   import     = Import StringLiteral                       (label "import statement")
//   function   = "define" ( type | "void" ) metadata name "(" params ")"
//                "{" [ Newline ] block* "}"                 (label "function definition")
//   metadata   = at most two Visibility / CallingConvention tokens, any order
//   name       = Identifier | MetaIdentifier
//   params     = [ register ":" type ( "," register ":" type )* ]
//   block      = label ":" [ Newline ] [ instruction ( Newline instruction )* ]
//                [ Newline ] terminator [ Newline ]
//
// The header is read without line breaks: a Newline anywhere between "define"
// and "{" fails the definition. A finished function takes its UUID from the
// state's generator, logs the result of the meta-function check and clears the
// per-function register and label numbering.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "keinstr/ir/function.hpp"
#include "keinstr/text/engine.hpp"

namespace keinstr {

// One top-level item of a source, in source order.
struct Item {
    // `import "path"`: the literal's text, escapes resolved.
    struct Import {
        std::string path;
        bool operator==(const Import&) const = default;
    };
    using Function = keinstr::Function;

    std::variant<Import, Function> value;

    bool operator==(const Item&) const = default;

    const Import* import() const noexcept { return std::get_if<Import>(&value); }
    const Function* function() const noexcept { return std::get_if<Function>(&value); }
    Function* function() noexcept { return std::get_if<Function>(&value); }
};

// Import statement (label "import statement").
std::optional<Item> import_parser(Parser& p);

// Function definition (label "function definition"), assembled into a `Function`.
std::optional<Function> parse_function(Parser& p);

// The blocks of one function body as they are read, in source order.
class BodyBlocks {
public:
    bool contains(Label label) const noexcept { return label.id < defined_.size() && defined_[label.id]; }
    void add(Label label, BasicBlock block) {
        if (label.id >= defined_.size()) defined_.resize(std::size_t{label.id} + 1, false);
        defined_[label.id] = true;
        blocks_.emplace_back(label, std::move(block));
    }
    // The body in label order (one sort, whatever order the blocks came in).
    BlockMap finish() && { return BlockMap::from_entries(std::move(blocks_)); }

private:
    BlockMap::container_type blocks_;
    std::vector<bool> defined_;  // by label number
};

// One block of a function body, added to `body` under its label. A label that
// `body` already holds emits "A basic block with label `{}` already exists in
// the function." over the label token (the label as written) and keeps the
// earlier block.
bool block_parser(Parser& p, BodyBlocks& body);

// The module rule over the whole input: the items, or none when the input is
// not a module (the furthest failure then says why).
std::optional<std::vector<Item>> module_parser(Parser& p);

// What one parse of a token list gives: the items (absent when the module rule
// failed) and every error recorded, emitted findings first in the order they
// were emitted, then the syntax failure that stopped the parse, if any. Error
// spans are token ranges; any error means a failed parse.
struct ModuleParse {
    std::optional<std::vector<Item>> items;
    std::vector<Finding> errors;
};

// Runs the module rule once over `tokens` with `state`, keeping every failure:
// the diagnose phase of a parse (`ParsePhase::Diagnose`), which takes no
// shortcuts.
ModuleParse parse_with_state(std::span<const Token> tokens, State& state);

// The module rule run once over the tokens of `lexer`, lexed as the rule asks
// for them and dropped behind each item, without keeping track of what failed
// along the way (the bookkeeping that only a failed parse needs), and with the
// grammar's shortcuts: the quick phase of a parse (`ParsePhase::Quick`). The
// items of a parse that succeeded without findings, or none. A parse that gave
// none is described by `parse_with_state` over the complete token list, run
// with the state cleared: its outcome is the same, with its errors.
std::optional<std::vector<Item>> parse_on_demand(IncrementalLexer& lexer, State& state);

}  // namespace keinstr
