// Name resolution, imports, and what the module holds after each kind of failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tests/keinstr/frontend/frontend_fixture.hpp"

namespace keinstr::test {
namespace {

// The function pointer that function `name` returns from its entry block.
FunctionPointer returned_pointer(const Frontend& fe, std::string_view name) {
    const Function& f = fe.function(name);
    const auto it = f.body.find(Label{0});
    if (it == f.body.end()) return {};
    const auto* ret = std::get_if<Ret>(&it->second.terminator);
    if (!ret || !ret->value || !ret->value->as_imm()) return {};
    const auto* ptr = std::get_if<FunctionPointer>(ret->value->as_imm());
    return ptr ? *ptr : FunctionPointer{};
}

TEST(Resolution, ForwardAndSelfReferencesResolveToTheParsedFunctions) {
    Frontend fe;
    auto r = fe.parse(
        "define ptr f() {\ne: ret ptr g\n}\n"
        "define ptr g() {\ne: ret ptr g\n}\n"
        "define ptr h() {\ne: ret ptr f\n}\n");
    ASSERT_TRUE(r) << describe(r);
    const Uuid f = fe.function("f").uuid, g = fe.function("g").uuid;
    EXPECT_EQ(returned_pointer(fe, "f"), FunctionPointer::internal(g));
    EXPECT_EQ(returned_pointer(fe, "g"), FunctionPointer::internal(g));
    EXPECT_EQ(returned_pointer(fe, "h"), FunctionPointer::internal(f));
    // Referenced or not, every function has a fresh version-4 UUID of its own.
    const Uuid h = fe.function("h").uuid;
    EXPECT_NE(f, g);
    EXPECT_NE(g, h);
    EXPECT_NE(f, h);
    for (const Uuid& u : {f, g, h}) {
        EXPECT_EQ(u.bytes[6] >> 4, 4);
        EXPECT_EQ(u.bytes[8] & 0xC0, 0x80);
    }
    EXPECT_EQ(fe.module.functions.size(), 3u);
}

TEST(Resolution, NameDefinedTwiceFailsOnlyWhenReferenced) {
    {
        Frontend fe;
        EXPECT_TRUE(fe.parse("define void g() {\ne: ret void\n}\ndefine void g() {\ne: trap\n}"));
        EXPECT_EQ(fe.module.functions.size(), 2u);
    }
    {
        LogCapture log;
        Frontend fe;
        auto r = fe.parse(
            "define void g() {\ne: ret void\n}\ndefine void g() {\ne: trap\n}\ndefine ptr f() {\ne: ret ptr g\n}");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), Error{Error::DuplicateFunctionName{"g"}});
        EXPECT_TRUE(fe.module.functions.empty());
        EXPECT_EQ(log.parser_records().back().text, "Multiple functions found with the same name: g");
    }
}

// A name of a later source resolves to the first function in UUID order carrying it
// among the functions of earlier sources (and any put into the module beforehand), the
// same whether each source indexes the module anew or one index is kept up to date from
// source to source, as compiling does. In each case the last source's "f" returns a
// pointer to a "g".
TEST(Resolution, AFunctionOfAnEarlierSourceWinsOverOneOfThisSource) {
    Uuid lowest;
    Uuid highest;
    highest.bytes.fill(0xFF);
    struct Case {
        const char* what;
        std::optional<Uuid> made;  // the UUID of a "g" in the module before the first source
        std::vector<std::string> sources;
        int winner;  // the source whose "g" "f" points to (-1: the one made beforehand)
    };
    const std::vector<Case> cases = {
        {"an earlier source's g over this source's",
         std::nullopt,
         {"define void g() {\ne: ret void\n}", "define void g() {\ne: trap\n}\ndefine ptr f() {\ne: ret ptr g\n}"},
         0},
        // The module is indexed (for "a") while it holds only the made "g"; the "g" added
        // after comes first in UUID order (a version-4 UUID is below all ones).
        {"a g added later, first in UUID order",
         highest,
         {"define ptr a() {\ne: ret ptr g\n}", "define void g() {\ne: ret void\n}",
          "define ptr f() {\ne: ret ptr g\n}"},
         1},
        {"a g added later, not first in UUID order",
         lowest,
         {"define ptr a() {\ne: ret ptr g\n}", "define void g() {\ne: ret void\n}",
          "define ptr f() {\ne: ret ptr g\n}"},
         -1},
        {"a chain: each source names the function of the one before",
         std::nullopt,
         {"define ptr a() {\ne: ret ptr a\n}", "define ptr b() {\ne: ret ptr a\n}", "define ptr g() {\ne: ret ptr b\n}",
          "define ptr f() {\ne: ret ptr g\n}"},
         2},
    };
    for (const bool kept : {false, true}) {
        for (const Case& c : cases) {
            const std::string what = fmt::format("{} ({})", c.what, kept ? "kept index" : "index per source");
            ModuleExtension extension;
            Frontend fe;
            if (kept) fe.kept = &extension;
            std::map<Uuid, int> source_of_g;
            if (c.made) {
                Function g = Function::default_function();
                g.uuid = *c.made;
                g.name = "g";
                fe.module.insert_function(std::move(g));
                source_of_g[*c.made] = -1;
            }
            std::size_t defined = c.made ? 1 : 0;
            for (std::size_t i = 0; i < c.sources.size(); ++i) {
                for (std::size_t at = c.sources[i].find("define"); at != std::string::npos;
                     at = c.sources[i].find("define", at + 1)) {
                    ++defined;
                }
                auto r = fe.parse(c.sources[i]);
                ASSERT_TRUE(r) << what << ", source " << i << ": " << describe(r);
                for (const auto& [uuid, f] : fe.module.functions) {
                    if (f->name == "g") source_of_g.try_emplace(uuid, static_cast<int>(i));
                }
            }
            // Every function is kept, those of a name already taken too.
            EXPECT_EQ(fe.module.functions.size(), defined) << what;
            const FunctionPointer target = returned_pointer(fe, "f");
            ASSERT_EQ(target.kind, FunctionPointerKind::Internal) << what;
            ASSERT_TRUE(source_of_g.contains(target.uuid)) << what;
            EXPECT_EQ(source_of_g.at(target.uuid), c.winner) << what;
        }
    }
}

TEST(Resolution, TheFirstUnresolvedNameInOrderOfUseIsReported) {
    // Twenty names, first used in descending order: the report must not depend
    // on how the pending names happen to hash.
    std::string source;
    for (int i = 19; i >= 0; --i) source += fmt::format("define ptr f{}() {{\ne: ret ptr missing{}\n}}\n", i, i);
    LogCapture log;
    Frontend fe;
    auto r = fe.parse(source);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), (Error{Error::UnresolvedFunction{FunctionPointerKind::Internal, "missing19"}}));
    EXPECT_EQ(log.parser_records().back().text, "Unresolved internal function: \"missing19\"");
    EXPECT_TRUE(fe.module.functions.empty());
}

TEST(Resolution, UnknownExternalNamesAreJoinedInOrderOfUse) {
    std::string source;
    for (int i = 9; i >= 0; --i) source += fmt::format("define ptr f{}() {{\ne: ret ptr external x{}\n}}\n", i, i);
    // A name used again keeps its first place.
    source += "define ptr again() {\ne: ret ptr external x9\n}\n";
    LogCapture log;
    Frontend fe;
    auto r = fe.parse(source);
    ASSERT_FALSE(r);
    EXPECT_EQ(
        r.error(),
        (Error{Error::UnresolvedFunction{FunctionPointerKind::External, "x9, x8, x7, x6, x5, x4, x3, x2, x1, x0"}}));
    EXPECT_EQ(log.parser_records().back().text,
              "Unresolved external functions: [\"x9\", \"x8\", \"x7\", \"x6\", \"x5\", \"x4\", \"x3\", \"x2\", "
              "\"x1\", \"x0\"]");
}

TEST(Resolution, ExternalFunctionsOfTheModuleResolve) {
    Frontend fe;
    Uuid ext;
    ext.bytes[0] = 0x42;
    fe.module.external_functions.emplace(ext, ExternalFunction{ext, "puts", CallingConvention{}, {}, std::nullopt});
    auto r = fe.parse("define ptr f() {\ne: ret ptr external puts\n}");
    ASSERT_TRUE(r) << describe(r);
    EXPECT_EQ(returned_pointer(fe, "f"), FunctionPointer::external(ext));
    // An internal pointer of that name is not an external one.
    EXPECT_EQ(fe.parse("define ptr h() {\ne: ret ptr puts\n}").error(),
              (Error{Error::UnresolvedFunction{FunctionPointerKind::Internal, "puts"}}));
}

TEST(Resolution, UndefinedRegisterGetsANumberOfItsOwn) {
    Frontend fe;
    auto r = fe.parse("define i32 f(%a: i32) {\ne: %x: i32 = iadd.wrap %y, %a\nret %y\n}");
    ASSERT_FALSE(r);
    // %a -> 0, %x -> 1 after renumbering; %y, defined nowhere, is 2, not an alias of either.
    EXPECT_EQ(r.error(), Error{Error::UndefinedName{Name{2}}});
    const Function& f = fe.function("f");
    const BasicBlock& e = f.body.at(Label{0});
    EXPECT_EQ(e.instructions.at(0).destination(), Name{1});
    auto ops = e.instructions.at(0).operands();
    std::vector<Operand> operands(ops.begin(), ops.end());
    EXPECT_EQ(operands, (std::vector<Operand>{Operand::reg(Name{2}), Operand::reg(Name{0})}));
    EXPECT_EQ(e.terminator, KeTerminator{Ret{Operand::reg(Name{2})}});
}

TEST(Imports, AnImportIsRefusedAfterACleanParse) {
    LogCapture log;
    Frontend fe;
    auto r = fe.parse("define void f() {\ne: ret void\n}\ndefine void g() {\ne: ret void\n}\nimport \"li\\\"b\"\n");
    const auto* pe = parser_errors(r);
    ASSERT_NE(pe, nullptr);
    EXPECT_EQ(pe->errors,
              (std::vector<ParserError>{
                  {std::nullopt, 0, 0, "import statements are not supported when parsing from string: li\"b"}}));
    // 14 tokens per function, then the import, its literal and the last line break.
    ASSERT_EQ(pe->tokens.size(), 31u);
    EXPECT_EQ(pe->tokens[28], "Import");
    EXPECT_EQ(pe->tokens[29], "StringLiteral(\"li\\\"b\")");
    EXPECT_EQ(pe->tokens[30], "Newline");
    EXPECT_TRUE(fe.module.functions.empty());
    // The functions before the import were already on their way into the module.
    EXPECT_EQ(log.parser_records(),
              (std::vector<LogRecord>{
                  {"keinstr::modules::parser", LogLevel::Debug, "Adding function Some(\"f\") to module"},
                  {"keinstr::modules::parser", LogLevel::Debug, "Adding function Some(\"g\") to module"},
                  {"keinstr::modules::parser", LogLevel::Error,
                   "Import encountered in string source; imports unsupported in this context: li\"b"},
              }));
}

TEST(Imports, ASyntaxErrorAfterAnImportIsReportedInstead) {
    Frontend fe;
    auto r = fe.parse("import \"lib\"\ndefine");
    const auto* pe = parser_errors(r);
    ASSERT_NE(pe, nullptr);
    EXPECT_EQ(messages(*pe), std::vector<std::string>{"found end of input expected type, or 'void'"});
}

// Each failing source after one good source: what stays in the module and the
// registry.
TEST(Failures, TheModuleChangesOnlyFromInsertionOn) {
    struct Case {
        const char* what;
        std::string source;
        bool functions_added;  // the source's functions are in the module afterwards
    };
    const std::vector<Case> cases = {
        {"lexing", "define void f(%a: i17) { e: ret void } $", false},
        {"parsing", "define void f(%a: i17) { e: ret void }\ndefine", false},
        {"import", "define void f(%a: i17) { e: ret void }\nimport \"x\"", false},
        {"unresolved internal", "define ptr f(%a: i17) { e: ret ptr nowhere }", false},
        {"unresolved external", "define ptr f(%a: i17) { e: ret ptr external nowhere }", false},
        {"duplicate name", "define ptr f(%a: i17) { e: ret ptr f }\ndefine void f() { e: trap }", false},
        {"verification", "define void f(%a: i17) { e: jump nowhere }", true},
    };
    for (const auto& c : cases) {
        Frontend fe;
        ASSERT_TRUE(fe.parse("define void base() {\ne: ret void\n}"));
        const Module before = fe.module;
        const std::size_t types_before = fe.registry.len();
        EXPECT_FALSE(fe.parse(c.source)) << c.what;
        if (c.functions_added) {
            EXPECT_EQ(fe.module.functions.size(), 2u) << c.what;
            EXPECT_EQ(fe.function("base"), *before.functions.begin()->second) << c.what;
        } else {
            EXPECT_EQ(fe.module, before) << c.what;
        }
        // i17 was interned by every run that got as far as the grammar (the
        // grammar reads tokens as they are lexed, so a run whose lexing fails
        // late may have interned some too).
        if (std::string_view(c.what) != "lexing") {
            EXPECT_GT(fe.registry.len(), types_before) << c.what;
        }
    }
}

// A module built source by source verifies only what each source adds: the outcome is
// the whole-module verification's, which a failure leaves the module in a state to repeat.
// The whole module reports the first finding in UUID order; so must what a source adds,
// whatever order its functions were written in and however their UUIDs fall. Each chain
// is run twice: through the front end (random UUIDs), and with each source's functions
// given fixed UUIDs in every order, beside the earlier sources' (the UUIDs of one source
// fall between those of the sources before it).
TEST(Failures, VerifyingWhatASourceAddsFindsWhatTheWholeModuleFinds) {
    struct Chain {
        std::vector<std::vector<std::string>> sources;  // each source as its functions, in source order
        bool fails;                                     // else every source builds
    };
    const std::vector<Chain> chains = {
        {{{"define ptr base() {\ne: ret ptr base\n}"},
          {"define ptr user() {\ne: ret ptr base\n}"},
          {"define void a() {\ne: ret void\n}", "define void b() {\ne: ret void\n}"}},
         false},
        // Two findings and a good function in one source.
        {{{"define void base() {\ne: ret void\n}"},
          {"define i32 a(%x: i32) {\ne: ret %y\n}", "define void b() {\ne: jump nowhere\n}",
           "define ptr c() {\ne: ret ptr base\n}"}},
         true},
        // One finding, written first, beside a good function (an entry block may be jumped to).
        {{{"define void base() {\ne: ret void\n}"},
          {"define ptr ok() {\ne: ret ptr base\n}"},
          {"define void a(%c: i1) {\ne: branch %c, x, y\nx: ret void\n}", "define void b() {\ne: jump e\n}"}},
         true},
        // One finding, written last, among good functions.
        {{{"define void base() {\ne: ret void\n}"},
          {"define void a() {\ne: ret void\n}", "define ptr b() {\ne: ret ptr base\n}",
           "define void c() {\ne: jump nowhere\n}"}},
         true},
        // A source of one function, with a finding.
        {{{"define void base() {\ne: ret void\n}", "define void other() {\ne: ret void\n}"},
          {"define ptr ok() {\ne: ret ptr other\n}"},
          {"define i32 lone(%x: i32) {\ne: ret %y\n}"}},
         true},
    };
    const auto joined = [](const std::vector<std::string>& functions) {
        std::string source;
        for (const std::string& f : functions) source += f + "\n";
        return source;
    };
    const auto name_of = [](std::string_view definition) {
        const std::size_t open = definition.find('(');
        const std::size_t space = definition.rfind(' ', open);
        return std::string(definition.substr(space + 1, open - space - 1));
    };

    // Through the front end.
    for (std::size_t c = 0; c < chains.size(); ++c) {
        Frontend fe;
        bool failed = false;
        for (const auto& functions : chains[c].sources) {
            const std::string source = joined(functions);
            auto added = extend_module_from_string(fe.module, fe.registry, source, nullptr, PriorFunctions::Verified);
            const auto whole = fe.module.verify();
            ASSERT_EQ(added.has_value(), whole.has_value()) << "chain " << c << ": " << source;
            if (!added) {
                EXPECT_EQ(added.error(), whole.error()) << "chain " << c;
                failed = true;
                break;
            }
        }
        EXPECT_EQ(failed, chains[c].fails) << "chain " << c;
    }

    // With fixed UUIDs, in every order.
    for (std::size_t c = 0; c < chains.size(); ++c) {
        Frontend fe;  // its module: the sources that built so far, under fixed UUIDs
        bool failed = false;
        for (std::size_t s = 0; s < chains[c].sources.size() && !failed; ++s) {
            const std::vector<std::string>& functions = chains[c].sources[s];
            // The source's functions as the front end builds them (verification
            // failing or not, they are inserted), in source order.
            Module parsed = fe.module;
            (void)extend_module_from_string(parsed, fe.registry, joined(functions));
            ASSERT_EQ(parsed.functions.size(), fe.module.functions.size() + functions.size()) << "chain " << c;
            std::vector<Function> added_functions;
            for (const std::string& definition : functions) {
                const std::string name = name_of(definition);
                for (const auto& [uuid, f] : parsed.functions) {
                    if (!fe.module.functions.contains(uuid) && f->name == name) added_functions.push_back(*f);
                }
            }
            ASSERT_EQ(added_functions.size(), functions.size()) << "chain " << c;

            // Position k of the source takes UUID order[k] of 0x10 + s, 0x20 + s, ...
            std::vector<std::uint8_t> order(functions.size());
            for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<std::uint8_t>(0x10 * (k + 1) + s);
            bool first = true;
            do {
                Module module = fe.module;
                std::vector<Uuid> added;
                for (std::size_t k = 0; k < added_functions.size(); ++k) {
                    Function f = added_functions[k];
                    f.uuid = Uuid{};
                    f.uuid.bytes[0] = order[k];
                    added.push_back(f.uuid);
                    module.insert_function(std::move(f));
                }
                const std::string what = fmt::format("chain {} source {} UUIDs {}", c, s, fmt::join(order, ","));
                const auto by_source = module.verify_added(added);
                const auto whole = module.verify();
                ASSERT_EQ(by_source.has_value(), whole.has_value()) << what;
                if (!whole) {
                    EXPECT_EQ(by_source.error(), whole.error()) << what;
                    failed = true;
                } else if (first) {
                    fe.module = module;  // the next source builds on this one (UUIDs in source order)
                }
                first = false;
            } while (std::next_permutation(order.begin(), order.end()));
        }
        EXPECT_EQ(failed, chains[c].fails) << "chain " << c;
    }
}

}  // namespace
}  // namespace keinstr::test
