// Cells and the bytes that bring a terminal from one frame to the next.
#include "render/top/encode.h"

#include <gtest/gtest.h>

#include <string>

#include "render/top/cells.h"

namespace karvo::render::top {
namespace {

const Style kBold{Color::none, true};
const Style kGreen{Color::green};

std::string wrap(const std::string& changes) {
    return std::string(kBeginSync) + changes + std::string(kEndSync);
}

TEST(Cells, WidthsOfCharacters) {
    struct Case {
        char32_t ch;
        int width;
    };
    for (const Case& c : std::vector<Case>{{U'a', 1}, {U'\u00e9', 1}, {U'\u2800', 1}, {U'\u2588', 1},
                                           {U'\u6e32', 2}, {U'\uac00', 2}, {U'\uff21', 2}, {U'\U0001F600', 2},
                                           {U'\u0301', 0}, {U'\u200b', 0}, {U'\ufe0f', 0}}) {
        EXPECT_EQ(char_width(c.ch), c.width) << static_cast<std::uint32_t>(c.ch);
    }
    EXPECT_EQ(text_width("ab\xE6\xB8\xB2\xE6\x9F\x93"), 6);
}

TEST(Cells, FitTextCutsByColumnsWithAnEllipsis) {
    EXPECT_EQ(fit_text("blender", 7, "~"), "blender");
    EXPECT_EQ(fit_text("blender", 6, "~"), "blend~");
    EXPECT_EQ(fit_text("\xE6\xB8\xB2\xE6\x9F\x93\xE5\x99\xA8", 5, "~"), "\xE6\xB8\xB2\xE6\x9F\x93~");
    EXPECT_EQ(fit_text("\xE6\xB8\xB2\xE6\x9F\x93\xE5\x99\xA8", 4, "~"), "\xE6\xB8\xB2~");  // no half character
    EXPECT_EQ(fit_text("abc", 1, "~"), "~");
    EXPECT_EQ(fit_text("abc", 0, "~"), "");
}

TEST(Cells, PutKeepsWideCharactersWholeAndCleansControls) {
    Frame f(6, 2);
    EXPECT_EQ(f.put(0, 0, "a\xE6\xB8\xB2z", Style{}), 4);
    EXPECT_EQ(f.at(1, 0).ch, U'\u6e32');
    EXPECT_EQ(f.at(2, 0).ch, kWideTail);
    // Overwriting either half of the wide character blanks the other half.
    f.put(2, 0, "x", Style{});
    EXPECT_EQ(f.row_text(0), "a xz  ");
    f.put(0, 0, "a\xE6\xB8\xB2", Style{});
    f.put(1, 0, "y", Style{});
    EXPECT_EQ(f.row_text(0), "ay z  ");
    // A wide character that does not fit before the end becomes a blank.
    EXPECT_EQ(f.put(4, 1, "b\xE6\xB8\xB2", Style{}), 6);
    EXPECT_EQ(f.row_text(1), "    b ");
    // Controls show as U+FFFD, zero-width characters are left out, the end clips.
    Frame g(5, 1);
    g.put(0, 0, "\x1b[2Je\xCC\x81", Style{}, 4);
    EXPECT_EQ(g.row_text(0), "\xEF\xBF\xBD[2J ");
}

TEST(Encode, NothingChangedWritesNothing) {
    Frame a(10, 3);
    a.put(0, 0, "karvo", kBold);
    EXPECT_EQ(encode_changes(a, a), "");
}

TEST(Encode, OnlyChangedCellsBehindOneMoveEach) {
    Frame before(20, 3);
    before.put(0, 0, "GPU  37%", Style{});
    before.put(0, 1, "VRAM 3.0/24.0G", Style{});
    Frame after = before;
    after.put(5, 0, "41", Style{});
    after.put(12, 1, "5", kGreen);
    EXPECT_EQ(encode_changes(before, after), wrap("\x1b[1;6H\x1b[0m41\x1b[2;13H\x1b[0;32m5"));
}

// Nearby changes are one run: rewriting a few unchanged cells is cheaper
// than moving the cursor again.
TEST(Encode, CloseChangesJoinIntoOneRun) {
    Frame before(20, 3);
    before.put(0, 0, "1234567890", Style{});
    Frame after = before;
    after.put(1, 0, "x", Style{});
    after.put(5, 0, "y", Style{});   // three unchanged cells between: one run
    after.put(15, 0, "z", Style{});  // further along: a move right
    after.put(2, 2, "w", Style{});   // another row: a move to the cell
    EXPECT_EQ(encode_changes(before, after), wrap("\x1b[1;2H\x1b[0mx345y\x1b[9Cz\x1b[3;3Hw"));
}

TEST(Encode, StylesOnlyWhereTheyChange) {
    Frame before(12, 2);
    Frame after(12, 2);
    after.put(0, 0, "ab", kBold);
    after.put(2, 0, "cd", kBold);
    after.restyle(0, 1, 3, [](Style& s) { s.reverse = true; });
    after.put(3, 1, "u", Style{Color::blue, false, false, true});
    EXPECT_EQ(encode_changes(before, after),
              wrap("\x1b[1;1H\x1b[0;1mabcd\x1b[2;1H\x1b[0;7m   \x1b[0;4;34mu"));
}

TEST(Encode, WideCharactersAreWrittenFromTheirLeftHalf) {
    Frame before(8, 2);
    before.put(0, 0, "ab\xE6\xB8\xB2", Style{});
    Frame after(8, 2);
    after.put(0, 0, "ab\xE6\x9F\x93", Style{});
    EXPECT_EQ(encode_changes(before, after), wrap("\x1b[1;3H\x1b[0m\xE6\x9F\x93"));
}

TEST(Encode, TheBottomRightCellIsNeverWritten) {
    Frame before(4, 2);
    Frame after(4, 2);
    after.put(0, 1, "wxyz", Style{});
    EXPECT_EQ(encode_changes(before, after), wrap("\x1b[2;1H\x1b[0mwxy"));
    Frame only_corner(4, 2);
    only_corner.put(3, 1, "z", Style{});
    EXPECT_EQ(encode_changes(before, only_corner), "");
}

TEST(Encode, FullFrameClearsThenWritesWhatIsNotBlank) {
    Frame f(10, 2);
    f.put(2, 0, "hi", kBold);
    EXPECT_EQ(encode_full(f), wrap("\x1b[0m\x1b[2J\x1b[1;3H\x1b[0;1mhi"));
}

// Under a line limit (Wine's console host) every run starts with CR and is
// shorter than the limit in UTF-16 units, and a long run is split with a
// move of its own.
TEST(Encode, LineLimitedRunsStartWithCarriageReturnAndStayShort) {
    Frame before(40, 3);
    Frame after(40, 3);
    after.put(0, 0, std::string(30, 'a'), kBold);
    after.put(0, 2, "\xE2\xA3\xBF\xE2\xA3\xBF", kGreen);
    const std::size_t limit = 16;
    const std::string bytes = encode_full(after, EncodeOptions{limit});
    ASSERT_EQ(bytes.front(), '\r');
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t next = bytes.find('\r', start + 1);
        const std::string piece = bytes.substr(start, next - start);
        std::size_t units = 0;
        for (const char ch : piece) units += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
        EXPECT_LT(units, limit) << piece;
        start = next == std::string::npos ? bytes.size() : next;
    }
    EXPECT_NE(bytes.find("\r\x1b[1;1H\x1b[0;1maa\r\x1b[1;3Haaaaaaaa\r\x1b[1;11H"), std::string::npos)
        << ::testing::PrintToString(bytes);
    EXPECT_NE(bytes.find("\r\x1b[3;1H\x1b[0;32m\xE2\xA3\xBF\r\x1b[3;2H\xE2\xA3\xBF"), std::string::npos);
    EXPECT_TRUE(bytes.ends_with(std::string("\r") + std::string(kEndSync)));
}

}  // namespace
}  // namespace karvo::render::top
