// Every key against the state it starts from.
#include "render/top/state.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace karvo::render::top {
namespace {

using platform::Key;
using platform::KeyCode;

Key k(KeyCode code) { return Key{code}; }
Key c(char32_t ch) { return platform::character_key(ch); }

// Two GPUs, 30 process rows, 10 shown at once.
constexpr KeyContext kContext{2, 30, 10};

struct Case {
    std::string name;
    std::function<void(TopState&)> from;  // the state before the key, from the defaults
    Key key;
    std::function<void(TopState&)> to;  // the state after it, from the defaults
};

TEST(Reducer, EveryKey) {
    auto none = [](TopState&) {};
    auto on_row = [](std::size_t row, std::size_t scroll) {
        return [=](TopState& s) {
            s.selected = row;
            s.scroll = scroll;
        };
    };
    const std::vector<Case> cases = {
        {"q quits", none, c(U'q'), [](TopState& s) { s.quit = true; }},
        {"Q quits", none, c(U'Q'), [](TopState& s) { s.quit = true; }},
        {"Esc quits", none, k(KeyCode::escape), [](TopState& s) { s.quit = true; }},
        {"Ctrl-C quits", none, k(KeyCode::interrupt), [](TopState& s) { s.quit = true; }},
        {"? shows the help", none, c(U'?'), [](TopState& s) { s.help = true; }},
        {"h shows the help", none, c(U'h'), [](TopState& s) { s.help = true; }},
        {"? closes the help", [](TopState& s) { s.help = true; }, c(U'?'), none},
        {"Esc closes the help, not the screen", [](TopState& s) { s.help = true; }, k(KeyCode::escape), none},
        {"s only closes the help", [](TopState& s) { s.help = true; }, c(U's'), none},
        {"q quits from the help", [](TopState& s) { s.help = true; }, c(U'q'),
         [](TopState& s) { s.help = s.quit = true; }},
        {"s: VRAM to GPU %", on_row(5, 0), c(U's'), [](TopState& s) { s.sort = SortKey::gpu_percent; }},
        {"s: GPU % to GTT", [](TopState& s) { s.sort = SortKey::gpu_percent; }, c(U's'),
         [](TopState& s) { s.sort = SortKey::gtt; }},
        {"s: GTT to PID", [](TopState& s) { s.sort = SortKey::gtt; }, c(U's'),
         [](TopState& s) { s.sort = SortKey::pid; }},
        {"s: PID to name", [](TopState& s) { s.sort = SortKey::pid; }, c(U's'),
         [](TopState& s) { s.sort = SortKey::name; }},
        {"s: name back to VRAM, in its own order",
         [](TopState& s) {
             s.sort = SortKey::name;
             s.reversed = true;
         },
         c(U's'), none},
        {"r reverses", on_row(7, 2), c(U'r'), [](TopState& s) { s.reversed = true; }},
        {"r again", [](TopState& s) { s.reversed = true; }, c(U'r'), none},
        {"Down", none, k(KeyCode::down), on_row(1, 0)},
        {"Down scrolls at the bottom of the page", on_row(9, 0), k(KeyCode::down), on_row(10, 1)},
        {"Down stops at the last row", on_row(29, 20), k(KeyCode::down), on_row(29, 20)},
        {"Up", on_row(4, 0), k(KeyCode::up), on_row(3, 0)},
        {"Up scrolls at the top of the page", on_row(12, 12), k(KeyCode::up), on_row(11, 11)},
        {"Up stops at the first row", none, k(KeyCode::up), none},
        {"PgDn", on_row(3, 0), k(KeyCode::page_down), on_row(13, 4)},
        {"PgDn stops at the last row", on_row(25, 20), k(KeyCode::page_down), on_row(29, 20)},
        {"PgUp", on_row(25, 20), k(KeyCode::page_up), on_row(15, 15)},
        {"PgUp stops at the first row", on_row(5, 0), k(KeyCode::page_up), on_row(0, 0)},
        {"Home", on_row(25, 20), k(KeyCode::home), on_row(0, 0)},
        {"End", on_row(2, 0), k(KeyCode::end), on_row(29, 20)},
        {"Right: all GPUs to the first", on_row(5, 0), k(KeyCode::right), [](TopState& s) { s.gpu = 0; }},
        {"Right: to the next", [](TopState& s) { s.gpu = 0; }, k(KeyCode::right), [](TopState& s) { s.gpu = 1; }},
        {"Right: the last to all GPUs", [](TopState& s) { s.gpu = 1; }, k(KeyCode::right), none},
        {"Tab as Right", none, k(KeyCode::tab), [](TopState& s) { s.gpu = 0; }},
        {"Left: all GPUs to the last", none, k(KeyCode::left), [](TopState& s) { s.gpu = 1; }},
        {"Left: the first to all GPUs", [](TopState& s) { s.gpu = 0; }, k(KeyCode::left), none},
        {"Shift-Tab as Left", [](TopState& s) { s.gpu = 1; }, k(KeyCode::back_tab), [](TopState& s) { s.gpu = 0; }},
        {"a: all GPUs", [](TopState& s) { s.gpu = 1; }, c(U'a'), none},
        {"g: use to temperature", none, c(U'g'), [](TopState& s) { s.graph = GraphKind::temperature; }},
        {"g: temperature to power", [](TopState& s) { s.graph = GraphKind::temperature; }, c(U'g'),
         [](TopState& s) { s.graph = GraphKind::power; }},
        {"g: power to clocks", [](TopState& s) { s.graph = GraphKind::power; }, c(U'g'),
         [](TopState& s) { s.graph = GraphKind::clocks; }},
        {"g: clocks to use", [](TopState& s) { s.graph = GraphKind::clocks; }, c(U'g'), none},
        {"f: all to compute", on_row(3, 0), c(U'f'), [](TopState& s) { s.filter = Filter::compute; }},
        {"f: compute to graphics", [](TopState& s) { s.filter = Filter::compute; }, c(U'f'),
         [](TopState& s) { s.filter = Filter::graphics; }},
        {"f: graphics to all", [](TopState& s) { s.filter = Filter::graphics; }, c(U'f'), none},
        {"p pauses", none, c(U'p'), [](TopState& s) { s.paused = true; }},
        {"Space resumes", [](TopState& s) { s.paused = true; }, c(U' '), none},
        {"+ from 1 s", none, c(U'+'), [](TopState& s) { s.interval_ms = 2000; }},
        {"= as +", none, c(U'='), [](TopState& s) { s.interval_ms = 2000; }},
        {"- from 1 s", none, c(U'-'), [](TopState& s) { s.interval_ms = 500; }},
        {"+ at the top", [](TopState& s) { s.interval_ms = 60000; }, c(U'+'),
         [](TopState& s) { s.interval_ms = 60000; }},
        {"- at the bottom", [](TopState& s) { s.interval_ms = 100; }, c(U'-'),
         [](TopState& s) { s.interval_ms = 100; }},
        {"+ from between two steps", [](TopState& s) { s.interval_ms = 1500; }, c(U'+'),
         [](TopState& s) { s.interval_ms = 2000; }},
        {"- from between two steps", [](TopState& s) { s.interval_ms = 1500; }, c(U'-'),
         [](TopState& s) { s.interval_ms = 1000; }},
        {"other keys do nothing", on_row(3, 0), c(U'x'), on_row(3, 0)},
        {"Enter does nothing", on_row(3, 0), k(KeyCode::enter), on_row(3, 0)},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TopState before;
        test.from(before);
        TopState expected;  // the whole state after the key: the defaults and what `to` sets
        test.to(expected);
        EXPECT_EQ(apply_key(before, test.key, kContext), expected);
    }
}

TEST(Reducer, MovingWithoutRowsOrGpus) {
    const KeyContext empty{0, 0, 10};
    const TopState start;
    for (const Key key : {k(KeyCode::down), k(KeyCode::end), k(KeyCode::page_down), k(KeyCode::right), c(U'a')})
        EXPECT_EQ(apply_key(start, key, empty), start);
}

TEST(Settle, KeepsTheSelectionOnARowAndInView) {
    TopState state;
    state.selected = 40;
    state.scroll = 35;
    state.gpu = 3;
    const TopState settled = settle(state, KeyContext{2, 12, 5});
    EXPECT_EQ(settled.selected, 11u);
    EXPECT_EQ(settled.scroll, 7u);
    EXPECT_EQ(settled.gpu, std::nullopt) << "the GPU is gone";
    // A page that grew shows the rows above instead of blanks below.
    TopState scrolled;
    scrolled.selected = 11;
    scrolled.scroll = 7;
    EXPECT_EQ(settle(scrolled, KeyContext{1, 12, 10}).scroll, 2u);
    EXPECT_EQ(settle(scrolled, KeyContext{1, 0, 10}).selected, 0u);
}

TEST(Interval, Ladder) {
    EXPECT_EQ(step_interval(100, true), 200u);
    EXPECT_EQ(step_interval(200, true), 500u);
    EXPECT_EQ(step_interval(500, true), 1000u);
    EXPECT_EQ(step_interval(10000, true), 30000u);
    EXPECT_EQ(step_interval(30000, true), 60000u);
    EXPECT_EQ(step_interval(60000, false), 30000u);
    EXPECT_EQ(step_interval(200, false), 100u);
    EXPECT_EQ(step_interval(150, false), 100u);
    EXPECT_EQ(step_interval(150, true), 200u);
}

}  // namespace
}  // namespace karvo::render::top
