#include "render/table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "fixtures/sample_devices.h"

namespace karvo::render {
namespace {

using testing::bare_device;
using testing::full_device;
using testing::process;

constexpr std::string_view kTime = "2026-01-31 23:59:58";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    EXPECT_EQ(start, text.size()) << "text does not end with a line break";
    return lines;
}

// The row of the first GPU: title, header and dashes come first.
std::string first_row(const GpuDevice& d, bool verbose = false) {
    return lines_of(render_table({d}, {verbose, std::nullopt}, kTime)).at(3);
}

// Cell `column` (0-based) of a row whose cells all fit their widths.
std::string cell(const std::string& row, std::size_t column) {
    static constexpr std::size_t kWidths[] = {3, 26, 8, 23, 9, 6, 8, 6, 8, 8};
    // Walk characters, not bytes, as the padding does.
    std::size_t pos = 0;
    for (std::size_t c = 0; c < column; ++c) {
        for (std::size_t chars = 0; chars < kWidths[c] + 1; ++chars) {
            ++pos;
            while (pos < row.size() && (static_cast<unsigned char>(row[pos]) & 0xC0) == 0x80) ++pos;
        }
    }
    std::size_t end = pos;
    for (std::size_t chars = 0; chars < kWidths[column] && end < row.size(); ++chars) {
        ++end;
        while (end < row.size() && (static_cast<unsigned char>(row[end]) & 0xC0) == 0x80) ++end;
    }
    std::string text = row.substr(pos, end - pos);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

TEST(TableVramCell, UsedTotalAndPercent) {
    EXPECT_EQ(vram_cell(0, 8192), "0 / 8192 MB");
    EXPECT_EQ(vram_cell(2048, 8192), "2048 / 8192 MB (25%)");
    EXPECT_EQ(vram_cell(2048, 0), "-");
    EXPECT_EQ(vram_cell(1, 3), "1 / 3 MB (33%)");
    EXPECT_EQ(vram_cell(1, 200), "1 / 200 MB (1%)");
    EXPECT_EQ(vram_cell(300, 200), "300 / 200 MB (150%)");
}

TEST(TableRow, CellsTruncatedByBytes) {
    GpuDevice d = full_device();
    d.vram_used_mb = 1234567;
    d.vram_total_mb = 12345678;  // "1234567 / 12345678 MB (10%)" is 27 bytes
    d.backend = "adl-pmlog";
    d.market_name = std::string(30, 'N');
    const std::string row = first_row(d);
    EXPECT_EQ(cell(row, 1), std::string(23, 'N') + "...");
    EXPECT_EQ(cell(row, 3), "1234567 / 12345678 M...");
    EXPECT_EQ(cell(row, 9), "adl-p...");

    d.market_name = std::string(26, 'M');
    EXPECT_EQ(cell(first_row(d), 1), std::string(26, 'M'));
}

TEST(TableRow, NumbersAndAbsentReadings) {
    GpuDevice d = full_device();
    d.temp_edge_c = 64.5f;
    d.power_w = 12.25f;
    std::string row = first_row(d);
    EXPECT_EQ(cell(row, 5), "64C");
    EXPECT_EQ(cell(row, 8), "12.2W");
    EXPECT_EQ(cell(row, 4), "512 MB");
    EXPECT_EQ(cell(row, 6), "2482MHz");
    EXPECT_EQ(cell(row, 7), "37%");
    d.temp_edge_c = 65.5f;
    EXPECT_EQ(cell(first_row(d), 5), "66C");

    row = first_row(bare_device());
    EXPECT_EQ(row,
              "1   AMD Radeon(TM) Graphics    gfx1036  0 / 512 MB              -         -      -        -      -"
              "        wmi     ");
}

TEST(TableRow, LongGfxTextPushesTheRestRight) {
    GpuDevice d = bare_device();
    d.gfx_version = "gfx1100-extended";
    EXPECT_NE(first_row(d).find(" gfx1100-extended 0 / 512 MB "), std::string::npos);
}

TEST(TableRow, Utf8NamesAreCutAtCharactersAndPaddedByCharacters) {
    GpuDevice d = bare_device();
    // 21 ASCII bytes, then "™" across bytes 21..23: the 23-byte cut falls inside it.
    d.market_name = "Radeon Pro W7800 Duo \xE2\x84\xA2 Edition";
    std::string row = first_row(d);
    EXPECT_TRUE(row.starts_with("1   Radeon Pro W7800 Duo ...   gfx1036 ")) << row;
    d.market_name = "Radeon \xE2\x80\x9CKrak\xC3\xA4n\xE2\x80\x9D";  // 15 characters, 20 bytes
    row = first_row(d);
    EXPECT_TRUE(row.starts_with("1   Radeon \xE2\x80\x9CKrak\xC3\xA4n\xE2\x80\x9D" + std::string(11, ' ') + " gfx1036"))
        << row;
    EXPECT_EQ(text::char_count(row), 114u);
}

TEST(TableRow, ControlCharactersCannotReachTheTerminal) {
    GpuDevice d = bare_device();
    d.market_name = "Bad\x1b[2JName\nX";
    d.backend = "w\xC2\x9B" "1";  // C1 control (CSI)
    const std::string row = first_row(d);
    EXPECT_EQ(cell(row, 1), "Bad\xEF\xBF\xBD[2JName\xEF\xBF\xBDX");
    EXPECT_EQ(cell(row, 9), "w\xEF\xBF\xBD" "1");
    EXPECT_EQ(display_text("ok \xC3\xA4\xFF\x7F"), "ok \xC3\xA4\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TableTitle, ModeAndCounts) {
    EXPECT_TRUE(render_table({}, {false, std::nullopt}, kTime)
                    .starts_with("Karvo Portable | 0 GPU(s) | 2026-01-31 23:59:58 | backend one-shot | Ctrl-C to exit\n"));
    EXPECT_TRUE(render_table({bare_device(), bare_device()}, {false, 0}, kTime)
                    .starts_with("Karvo Portable | 2 GPU(s) | 2026-01-31 23:59:58 | backend watch 0s | Ctrl-C to exit\n"));
    EXPECT_TRUE(render_table({}, {true, 18446744073709551615ull}, "T")
                    .starts_with("Karvo Portable | 0 GPU(s) | T | backend watch 18446744073709551615s |"));
}

TEST(TableDetail, PiecesJoinWithTheirOwnBlanks) {
    GpuDevice d = full_device();
    d.temp_hotspot_c = 71.0f;
    d.temp_vram_c = 80.0f;
    const auto lines = lines_of(render_table({d}, {true, std::nullopt}, kTime));
    EXPECT_EQ(lines.at(4),
              "    dev=0x744c hotspot 71C  vram 80C  mclk 1250MHz  pcie=x16 16GT/s driver 31.0.24027.1012 "
              "| type: GDDR6 free: 21489MB");

    d.temp_hotspot_c.reset();
    d.temp_vram_c.reset();
    d.mem_clock_mhz.reset();
    d.device_id = 0x1'0000'0abcull;  // only the low 32 bits are shown
    d.vram_used_mb = d.vram_total_mb + 1;
    d.driver_version = "Adrenalin 24.3.1 (31.0.24027.1012)";
    EXPECT_EQ(lines_of(render_table({d}, {true, std::nullopt}, kTime)).at(4),
              "    dev=0x0abc    pcie=x16 16GT/s driver Adrenalin 24.3.1 ... | type: GDDR6 free: 0MB");
}

TEST(TableProcesses, NoneMeansNoSectionAndTheHintFollows) {
    const std::string text = render_table({bare_device()}, {false, std::nullopt}, kTime);
    EXPECT_EQ(text.find("Processes:"), std::string::npos);
    EXPECT_TRUE(text.ends_with(" wmi     \n\n(--watch 1 for realtime, --verbose for hotspot/vram temps, clocks & "
                               "free VRAM, --json dump)\n"))
        << text;
    const std::string verbose = render_table({bare_device()}, {true, std::nullopt}, kTime);
    EXPECT_TRUE(verbose.ends_with("free: 512MB\n")) << verbose;
}

TEST(TableProcesses, TwentyRowsUnlessVerbose) {
    GpuDevice d = bare_device();
    for (std::uint32_t i = 0; i < 25; ++i) d.processes.push_back(process(100 + i, "p.exe", 25 - i));
    auto lines = lines_of(render_table({d}, {false, std::nullopt}, kTime));
    // title, header, dashes, row, blank, "Processes:", header, dashes, 20 rows, "... and", blank, hint
    ASSERT_EQ(lines.size(), 31u);
    EXPECT_EQ(lines[27], "1    119      C      p.exe                                                6 MB");
    EXPECT_EQ(lines[28], "  ... and 5 more processes (--verbose to show all)");

    lines = lines_of(render_table({d}, {true, std::nullopt}, kTime));
    ASSERT_EQ(lines.size(), 5u + 4u + 25u);
    EXPECT_EQ(lines.back(), "1    124      C      p.exe                                                1 MB");

    d.processes.resize(20);
    lines = lines_of(render_table({d}, {false, std::nullopt}, kTime));
    EXPECT_EQ(lines.size(), 30u);  // exactly 20: no "... and" line
}

TEST(TableProcesses, StableSortAcrossGpus) {
    GpuDevice first = bare_device();
    first.index = 0;
    first.processes = {process(11, "a", 100), process(12, "b", 300)};
    GpuDevice second = bare_device();
    second.index = 1;
    second.processes = {process(21, "c", 300), process(22, "d", 100)};
    const auto lines = lines_of(render_table({first, second}, {true, std::nullopt}, kTime));
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(lines[8], "Processes:");
    EXPECT_EQ(lines[9], "GPU  PID      Type   Process Name                                 Memory Usage");
    EXPECT_EQ(lines[10], std::string(76, '-'));
    EXPECT_TRUE(lines[11].starts_with("0    12 ")) << lines[11];
    EXPECT_TRUE(lines[12].starts_with("1    21 ")) << lines[12];
    EXPECT_TRUE(lines[13].starts_with("0    11 ")) << lines[13];
    EXPECT_TRUE(lines[14].starts_with("1    22 ")) << lines[14];
}

}  // namespace
}  // namespace karvo::render
