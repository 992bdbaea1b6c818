#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kecore/utils/error.hpp"

namespace kecore {
namespace {

struct DisplayCase {
    KeError error;
    std::string text;
    std::size_t index;
};

TEST(KeError, DisplayTextsAndVariantOrder) {
    const std::vector<DisplayCase> cases = {
        {KeError::Io{{2, "No such file or directory"}}, "I/O error: No such file or directory (os error 2)", 0},
        {KeError::Io{{0, "broken pipe"}}, "I/O error: broken pipe", 0},
        {KeError::ManifestParse{"Kestrane.toml", {"expected `=`"}},
         "Failed to parse manifest file 'Kestrane.toml': expected `=`", 1},
        {KeError::Unknown{"Invalid magic bytes in compiled module storage"},
         "An unknown error occurred: Invalid magic bytes in compiled module storage", 2},
        {KeError::PluginNotFound{"nope"}, "Plugin with name 'nope' not found", 3},
        {KeError::PluginNotFound{""}, "Plugin with name '' not found", 3},
        {KeError::Utf8{{3, 2}}, "UTF-8 conversion error: invalid utf-8 sequence of 2 bytes from index 3", 4},
        {KeError::Utf8{{5, std::nullopt}}, "UTF-8 conversion error: incomplete utf-8 byte sequence from index 5", 4},
        // key first, kind second; displayed kind first, key quoted
        {KeError::NotFound{"abc", "module"}, "Failed to find module with key 'abc'", 6},
        {KeError::Duplicated{"abc", "module"}, "Duplicated module with key 'abc'", 7},
        // strings are written as they are
        {KeError::PluginNotFound{"a'\"\n"}, "Plugin with name 'a'\"\n' not found", 3},
    };
    for (const DisplayCase& c : cases) {
        EXPECT_EQ(c.error.message(), c.text);
        EXPECT_EQ(fmt::format("{}", c.error), c.text);
        EXPECT_EQ(c.error.index(), c.index) << c.text;
    }
}

TEST(KeError, IrDisplaysTheWrappedErrorUnchanged) {
    const std::vector<keinstr::Error> errors = {
        keinstr::Error(keinstr::Error::DuplicateFunctionName{"main"}),
        keinstr::Error(keinstr::Error::MissingEntryBlock{}),
        keinstr::Error(keinstr::Error::UndefinedName{7}),
    };
    for (const keinstr::Error& ir : errors) {
        const KeError wrapped(KeError::Ir{ir});
        EXPECT_EQ(wrapped.message(), ir.message());
        EXPECT_EQ(wrapped.index(), 5u);
        ASSERT_NE(wrapped.get_if<KeError::Ir>(), nullptr);
        EXPECT_EQ(wrapped.get_if<KeError::Ir>()->error, ir);
    }
}

}  // namespace
}  // namespace kecore
