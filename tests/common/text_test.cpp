// The text helpers the renderers build their cells with.
#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace karvo::text {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TruncateCell, KeepsTextUpToTheWidthAndCutsLongerText) {
    EXPECT_EQ(truncate_cell("", 8), "");
    EXPECT_EQ(truncate_cell("hip+wmi", 8), "hip+wmi");
    EXPECT_EQ(truncate_cell("hip+adl!", 8), "hip+adl!");    // exactly the width
    EXPECT_EQ(truncate_cell("adl-pmlog", 8), "adl-p...");  // one byte over
    const std::string name30(30, 'n');
    EXPECT_EQ(truncate_cell(name30, 26), std::string(23, 'n') + "...");
    EXPECT_EQ(truncate_cell(std::string(26, 'n'), 26), std::string(26, 'n'));
}

TEST(TruncateCell, NeverSplitsACharacter) {
    // "aé€😀" repeated: 1-, 2-, 3- and 4-byte characters at every offset.
    std::string text;
    for (int i = 0; i < 4; ++i) text += "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    for (std::size_t width = 3; width <= text.size(); ++width) {
        const std::string cell = truncate_cell(text, width);
        EXPECT_LE(cell.size(), width) << width;
        EXPECT_TRUE(is_valid_utf8(cell)) << width;
        if (width < text.size()) {
            EXPECT_EQ(cell.substr(cell.size() - 3), "...") << width;
            // The kept bytes are a prefix, and the next character did not fit whole.
            const std::size_t kept = cell.size() - 3;
            EXPECT_EQ(text.compare(0, kept, cell, 0, kept), 0) << width;
            const auto lead = static_cast<unsigned char>(text[kept]);
            const std::size_t next = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            EXPECT_GT(kept + next, width - 3) << width;
        }
    }
    // The cut after 5 bytes falls inside "€" (bytes 3..5): it goes back to byte 3.
    EXPECT_EQ(truncate_cell("a\xC3\xA9\xE2\x82\xAC" "bcd", 8), "a\xC3\xA9...");
}

TEST(Pad, CountsCharactersNotBytes) {
    EXPECT_EQ(pad_right("ID", 3), "ID ");
    EXPECT_EQ(pad_right("Kr\xC3\xA4" "ken", 8), "Kr\xC3\xA4" "ken  ");  // 6 characters, 7 bytes
    EXPECT_EQ(pad_right("\xE2\x84\xA2", 2), "\xE2\x84\xA2 ");
    EXPECT_EQ(pad_right("toolong", 3), "toolong");
    EXPECT_EQ(pad_left("512", 11), "        512");
    EXPECT_EQ(pad_left("\xC3\xBC", 3), "  \xC3\xBC");
    EXPECT_EQ(pad_left("", 0), "");
    EXPECT_EQ(char_count("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 4u);
    EXPECT_EQ(char_count("\xFF\xFE"), 2u);  // each invalid byte counts as one
}

TEST(Trim, RemovesUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim("  gfx1100\t\r\n"), "gfx1100");
    EXPECT_EQ(trim("\xC2\xA0\xE3\x80\x80name\xE2\x80\xAF"), "name");  // NBSP, ideographic space, NNBSP
    EXPECT_EQ(trim("a b"), "a b");
    EXPECT_EQ(trim(" \t\xE2\x80\x83 "), "");
    EXPECT_EQ(trim("\xE2\x80\x8B" "x"), "\xE2\x80\x8B" "x");  // zero-width space is not White_Space
    EXPECT_EQ(trim(" \xFF "), "\xFF");                       // invalid bytes stay
    EXPECT_EQ(trim("x\xA0"), "x\xA0");  // a stray continuation byte is not a no-break space
}

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSequence) {
    EXPECT_EQ(utf8_lossy("Radeon\xE2\x84\xA2"), "Radeon\xE2\x84\xA2");
    EXPECT_EQ(utf8_lossy("a\x80" "b"), "a" + kReplacement + "b");
    EXPECT_EQ(utf8_lossy("\xC0\x80"), kReplacement + kReplacement);                  // overlong
    EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), kReplacement + kReplacement + kReplacement);  // surrogate
    EXPECT_EQ(utf8_lossy("\xF0\x9F\x98"), kReplacement);                              // cut-off 4-byte
    EXPECT_EQ(utf8_lossy("\xF0\x9F\x98" "x"), kReplacement + "x");
    EXPECT_EQ(utf8_lossy("\xF4\x90\x80\x80"), kReplacement + kReplacement + kReplacement + kReplacement);
    EXPECT_EQ(utf8_lossy(std::string("a\0b", 3)), std::string("a\0b", 3));
    EXPECT_TRUE(is_valid_utf8(utf8_lossy("\xFF\xFE\xE2\x82")));
}

// Code points, for counting columns: every stray byte is a U+FFFD of its own.
TEST(CodePoints, EachInvalidByteReadsAsOneReplacement) {
    EXPECT_EQ(code_points("a\xff\xe2\x82"), (std::u32string{U'a', 0xFFFD, 0xFFFD, 0xFFFD}));
    EXPECT_EQ(code_points("\xed\xa0\x80"), (std::u32string{0xFFFD, 0xFFFD, 0xFFFD}));  // a surrogate
}

TEST(LeadingNumber, TakesTheDigitsOffAndDropsAnOverflow) {
    const struct {
        std::string_view text;
        std::optional<std::uint64_t> want;
        std::string_view rest;
    } rows[] = {
        {"16.0GT/s", 16, ".0GT/s"},
        {"2482Mhz *", 2482, "Mhz *"},
        {"18446744073709551615 ns", 18446744073709551615ull, " ns"},
        {"18446744073709551616 ns", std::nullopt, " ns"},  // one past the largest: not reported, not clamped
        {"x16", std::nullopt, "x16"},
        {"", std::nullopt, ""},
    };
    for (const auto& row : rows) {
        std::string_view text = row.text;
        EXPECT_EQ(leading_number(text), row.want) << row.text;
        EXPECT_EQ(text, row.rest) << row.text;
    }
}

}  // namespace
}  // namespace karvo::text
