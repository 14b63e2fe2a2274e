#include "cli/options.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace karvo::cli {
namespace {

// Rules every row must keep, so that the parser, help screen, man page and
// completions built from the table stay right when a row is added.
TEST(OptionsTest, EveryRowIsConsistent) {
    std::set<std::string_view> names;
    std::set<char> shorts;
    for (const OptionInfo& option : all_options()) {
        SCOPED_TRACE(std::string(option.name));
        EXPECT_TRUE(names.insert(option.name).second) << "name twice";
        if (option.short_name != 0) {
            EXPECT_TRUE(shorts.insert(option.short_name).second) << "short name twice";
        }
        EXPECT_FALSE(option.help.empty());
        const bool takes_value =
            option.kind == OptionKind::optional_value || option.kind == OptionKind::required_value;
        EXPECT_EQ(takes_value, !option.placeholder.empty());
        EXPECT_EQ(option.hint == ValueHint::words, !option.words.empty());
        if (!takes_value) {
            EXPECT_EQ(option.hint, ValueHint::none);
        }
        // Characters the man page and the completion scripts would have to escape per shell.
        for (const std::string_view text : {option.help, option.words, option.placeholder})
            EXPECT_EQ(text.find_first_of("'\"\\$\n"), std::string_view::npos) << text;
        EXPECT_EQ(find_option(option.name), &option);
    }
}

}  // namespace
}  // namespace karvo::cli
