// The screen at the sizes people use, compared with golden files
// (tests/render/golden/top/), and the rules of its layout.
#include "render/top/screen.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fixtures/sample_devices.h"
#include "render/golden.h"
#include "render/top/frame_text.h"
#include "render/top/sample_monitor.h"

namespace karvo::render::top {
namespace {

struct GoldenCase {
    std::string name;
    int width;
    int height;
    Look look;
    TopState state;
};

Look ascii_plain() { return choose_look(true, true, false, ""); }
Look blocks() { return choose_look(false, false, true, ""); }

TopState with(void (*change)(TopState&)) {
    TopState state;
    change(state);
    return state;
}

TEST(ScreenGolden, Sizes) {
    const Monitor monitor = sample_monitor(90);
    const std::vector<GoldenCase> cases = {
        {"120x40.txt", 120, 40, Look{}, TopState{}},
        {"80x24.txt", 80, 24, Look{}, TopState{}},
        {"80x24-ascii-no-color.txt", 80, 24, ascii_plain(), TopState{}},
        {"60x20.txt", 60, 20, Look{}, TopState{}},
        {"60x20-blocks-gpu1-temperature.txt", 60, 20, blocks(), with([](TopState& s) {
             s.gpu = 1;
             s.graph = GraphKind::temperature;
         })},
        {"39x9.txt", 39, 9, Look{}, TopState{}},
        {"80x24-help.txt", 80, 24, Look{}, with([](TopState& s) { s.help = true; })},
        {"100x30-sorted-by-name-compute-paused.txt", 100, 30, Look{}, with([](TopState& s) {
             s.sort = SortKey::name;
             s.filter = Filter::compute;
             s.paused = true;
             s.interval_ms = 500;
             s.selected = 1;
             s.graph = GraphKind::power;
         })},
    };
    for (const GoldenCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string actual = frame_text(frame(Screen{monitor, c.state, c.look}, c.width, c.height));
        EXPECT_EQ(actual, testing::golden("top/" + c.name, actual));
    }
}

// Eight GPUs of 400 processes each on a 80x24 terminal: one line per GPU.
TEST(ScreenGolden, ManyGpus) {
    Monitor monitor;
    for (int k = 0; k < 3; ++k) {
        Sample sample;
        sample.devices = testing::many_gpus(8, 400);
        sample.time_ns = 1000000000ull * static_cast<unsigned>(k + 1);
        sample.clock = sample_clock(k);
        monitor.add(std::move(sample));
    }
    const TopState state;
    const std::string actual = frame_text(frame(Screen{monitor, state, Look{}}, 80, 24));
    EXPECT_EQ(actual, testing::golden("top/80x24-eight-gpus.txt", actual));
}

TEST(Screen, BeforeTheFirstPassAndWithoutGpus) {
    Monitor monitor;
    const TopState state;
    const Look look;
    Frame waiting = frame(Screen{monitor, state, look}, 60, 12);
    EXPECT_TRUE(waiting.row_text(0).starts_with("karvo top  every 1s")) << waiting.row_text(0);
    EXPECT_NE(waiting.row_text(6).find("Waiting for the first discovery pass..."), std::string::npos);

    Sample empty;
    empty.clock = "09:15:00";
    monitor.add(empty);
    Frame none = frame(Screen{monitor, state, look}, 60, 12);
    EXPECT_NE(none.row_text(6).find("No AMD GPU in the last pass (09:15:00); still looking"), std::string::npos)
        << none.row_text(6);
}

// Below 80x24 the graph shrinks first, then each GPU gets one line, then GPUs
// are left out; the table always keeps its header and three rows.
TEST(ScreenLayout, SmallTerminalsDegradeInOrder) {
    const Monitor two = sample_monitor(3);
    const TopState state;
    const Look look;
    struct Row {
        int width, height;
        bool compact;
        int graph_rows;
        int table_rows;
        std::size_t left_out;
    };
    const std::vector<Row> rows = {
        {80, 24, false, 6, 10, 0},  // everything
        {80, 16, false, 4, 4, 0},   // a smaller graph
        {80, 13, false, 2, 3, 0},   // the smallest graph
        {80, 12, true, 3, 3, 0},    // one line per GPU, and the rows won go to the graph
        {80, 11, true, 2, 3, 0},
        {80, 10, true, 0, 6, 0},    // no graph
        {40, 10, true, 0, 6, 0},    // the smallest screen
        {39, 24, false, 0, 0, 0},   // too narrow
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
        const Layout layout = plan_layout(Screen{two, state, look}, r.width, r.height);
        if (r.width < kMinColumns) {
            EXPECT_TRUE(layout.too_small);
            continue;
        }
        EXPECT_FALSE(layout.too_small);
        EXPECT_EQ(layout.compact, r.compact);
        EXPECT_EQ(layout.graph_rows, r.graph_rows);
        EXPECT_EQ(layout.table_rows, r.table_rows);
        EXPECT_EQ(layout.gpus_left_out, r.left_out);
        EXPECT_EQ(layout.table_top + 1 + layout.table_rows, r.height);
    }

    // Eight GPUs in ten rows: no graph, and a line for those left out.
    Monitor eight;
    Sample sample;
    sample.devices = testing::many_gpus(8, 2);
    eight.add(sample);
    const Layout crowded = plan_layout(Screen{eight, state, look}, 80, 10);
    EXPECT_EQ(crowded.graph_rows, 0);
    EXPECT_EQ(crowded.gpus.size(), 4u);
    EXPECT_EQ(crowded.gpus_left_out, 4u);
    EXPECT_EQ(crowded.table_rows, 3);
    // One GPU chosen: only its panel.
    TopState one;
    one.gpu = 5;
    const Layout chosen = plan_layout(Screen{eight, one, look}, 80, 24);
    EXPECT_EQ(chosen.gpus, std::vector<std::size_t>{5});
    EXPECT_FALSE(chosen.compact);
}

TEST(Screen, KeyContextCountsTheTableAsShown) {
    const Monitor monitor = sample_monitor(2);
    TopState state;
    const Look look;
    KeyContext context = key_context(Screen{monitor, state, look}, 80, 24);
    EXPECT_EQ(context.gpus, 2u);
    EXPECT_EQ(context.rows, 12u);
    EXPECT_EQ(context.page, 10u);
    state.gpu = 0;
    state.filter = Filter::compute;
    context = key_context(Screen{monitor, state, look}, 80, 24);
    EXPECT_EQ(context.rows, 3u);  // the trainer, ollama and the long-named one
}

TEST(Screen, SelectedRowIsReversedAcrossTheWidthAndTheSortColumnMarked) {
    const Monitor monitor = sample_monitor(2);
    TopState state;
    state.selected = 2;
    state.sort = SortKey::pid;
    state.reversed = true;
    const Look look;
    const Screen screen{monitor, state, look};
    const Layout layout = plan_layout(screen, 100, 30);
    const Frame f = frame(screen, 100, 30);
    const int selected = layout.table_top + 1 + 2;
    for (int x = 0; x < f.width(); ++x) EXPECT_TRUE(f.at(x, selected).style.reverse) << x;
    EXPECT_FALSE(f.at(0, selected - 1).style.reverse);
    // PID reversed: largest first, the arrow points down.
    const std::string header = f.row_text(layout.table_top);
    EXPECT_NE(header.find("\u25BCPID"), std::string::npos) << header;
    EXPECT_TRUE(f.row_text(layout.table_top + 1).starts_with("  31337")) << f.row_text(layout.table_top + 1);
}

TEST(Screen, NoColorLeavesAttributesButNoColours) {
    const Monitor monitor = sample_monitor(5);
    const TopState state;
    const Look look = choose_look(true, false, false, "");
    const Frame f = frame(Screen{monitor, state, look}, 120, 40);
    bool reverse = false;
    for (int y = 0; y < f.height(); ++y) {
        for (int x = 0; x < f.width(); ++x) {
            EXPECT_EQ(f.at(x, y).style.color, Color::none) << x << "," << y;
            reverse = reverse || f.at(x, y).style.reverse;
        }
    }
    EXPECT_TRUE(reverse) << "the selected row";
}

TEST(Screen, AsciiLookWritesOnlyAscii) {
    const Monitor monitor = sample_monitor(30);
    for (const bool help : {false, true}) {
        TopState state;
        state.help = help;
        for (const GraphKind graph : {GraphKind::use, GraphKind::temperature, GraphKind::power, GraphKind::clocks}) {
            state.graph = graph;
            const Frame f = frame(Screen{monitor, state, ascii_plain()}, 120, 40);
            for (int y = 0; y < f.height(); ++y) {
                for (int x = 0; x < f.width(); ++x) {
                    const char32_t ch = f.at(x, y).ch;
                    // The names of the processes are the only text from outside.
                    if (ch >= 0x80 && ch != kWideTail && ch != 0xFFFD) {
                        const std::string row = f.row_text(y);
                        EXPECT_NE(row.find("\xE6\xB8\xB2"), std::string::npos) << "row " << y << ": " << row;
                    }
                }
            }
        }
    }
}

TEST(Screen, TheBottomRightCellStaysBlank) {
    const Monitor monitor = sample_monitor(3);
    TopState state;
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{80, 24}, {39, 9}, {40, 10}, {200, 60}}) {
        state.selected = 100;  // the last row, once settled
        const Screen screen{monitor, state, Look{}};
        const Frame f = frame(Screen{monitor, settle(state, key_context(screen, w, h)), Look{}}, w, h);
        EXPECT_EQ(f.at(w - 1, h - 1), Cell{}) << w << "x" << h;
    }
}

// docs/top.md lists the keys as the help does: each row's keys and what they do.
TEST(KeyHelp, DocsListEveryKey) {
    const std::string path = std::string(KARVO_TESTS_DIR) + "/../docs/top.md";
    std::string docs;
    for (const std::string& candidate : {path, "Z:" + path}) {  // under Wine "/" is Z:
        std::ifstream in(candidate, std::ios::binary);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        docs = text.str();
        break;
    }
    ASSERT_FALSE(docs.empty()) << "cannot read " << path;
    for (const KeyHelp& key : key_help()) {
        const std::size_t row_end = docs.find(" | " + std::string(key.does) + " |\n");
        ASSERT_NE(row_end, std::string::npos) << key.does;
        const std::size_t row_start = docs.rfind('\n', row_end) + 1;
        const std::string row = docs.substr(row_start, row_end - row_start);
        std::istringstream words{std::string(key.keys)};
        for (std::string word; words >> word;) EXPECT_NE(row.find(word), std::string::npos) << word << " in " << row;
    }
}

TEST(Look, BrailleUnlessTheFontLacksItOrAsciiIsAsked) {
    EXPECT_EQ(choose_look(false, false, false, "").graph, GraphStyle::braille);
    EXPECT_EQ(choose_look(false, false, false, "Cascadia Mono").graph, GraphStyle::braille);
    EXPECT_EQ(choose_look(false, false, false, "Consolas").graph, GraphStyle::blocks);
    EXPECT_EQ(choose_look(false, false, false, " lucida console ").graph, GraphStyle::blocks);
    EXPECT_EQ(choose_look(false, false, true, "Cascadia Mono").graph, GraphStyle::blocks);
    const Look ascii = choose_look(true, true, true, "Consolas");
    EXPECT_EQ(ascii.graph, GraphStyle::ascii);
    EXPECT_TRUE(ascii.ascii);
    EXPECT_FALSE(ascii.color);
}

}  // namespace
}  // namespace karvo::render::top
