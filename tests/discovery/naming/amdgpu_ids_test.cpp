#include "discovery/naming/amdgpu_ids.h"

#include <gtest/gtest.h>

namespace karvo::discovery::naming {
namespace {

TEST(MarketingNames, LinesTheListIsMadeOf) {
    const MarketingNames names(
        "# device_id,\trevision_id,\tproduct_name\n"
        "1.0.0\n"
        "  # 744C,\tC8,\tcommented\n"
        "744C,\tC0,\tFirst\r\n"
        "744C,\tC8,\tExact  \n"
        "744C,\tC8,\tSecond exact\n"
        "7481,   C7,     Spaced\n"
        "0x1234,\t0x01,\tPrefixed\n"
        "10000,\t00,\tDevice too large\n"
        "1235,\t100,\tRevision too large\n"
        "1236,\tZZ,\tNot hex\n"
        "1237,\t00,\t  \n"
        "1238,\t00,\tName, with comma\n"
        "1239,\t00");  // cut short
    EXPECT_EQ(names.size(), 6u);
    EXPECT_EQ(names.exact(0x744C, 0xC8), "Exact");
    EXPECT_EQ(names.exact(0x744C, 0xC1), std::nullopt);
    EXPECT_EQ(names.first_of(0x744C), "First");
    EXPECT_EQ(names.exact(0x7481, 0xC7), "Spaced");
    EXPECT_EQ(names.exact(0x1234, 0x01), "Prefixed");
    EXPECT_EQ(names.exact(0x1238, 0x00), "Name, with comma");
    EXPECT_EQ(names.first_of(0x1237), std::nullopt);
    EXPECT_EQ(MarketingNames("").size(), 0u);
}

TEST(MarketingNames, BuiltInListIsParsedOnce) {
    const MarketingNames& names = builtin_marketing_names();
    EXPECT_EQ(&names, &builtin_marketing_names());
    EXPECT_GT(names.size(), 600u);
    EXPECT_EQ(names.exact(0x7550, 0xC0), "AMD Radeon RX 9070 XT");
    EXPECT_EQ(names.exact(0x7481, 0xC7), "AMD Steam Machine");  // the line with spaces for tabs
    EXPECT_EQ(names.first_of(0x15BF), "AMD Radeon 780M Graphics");
}

}  // namespace
}  // namespace karvo::discovery::naming
