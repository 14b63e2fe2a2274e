#pragma once
// The screen of `karvo top` as a pure function of what it shows and the
// terminal's size. Top to bottom: a title line; a panel per GPU (the chosen
// one, or all that fit: use and VRAM bars, then shared memory, temperatures,
// power, clocks, fan, PCIe link); a history graph as wide as the terminal;
// the process table. The help lists the keys over it all.
//
// Small terminals get less rather than nothing: below 80x24 the graph
// shrinks first, then each GPU's two lines become one, then GPUs are left
// out; under 40x10 one line says what size is needed.

#include <cstddef>
#include <string_view>
#include <vector>

#include "render/top/cells.h"
#include "render/top/look.h"
#include "render/top/model.h"
#include "render/top/state.h"

namespace karvo::render::top {

inline constexpr int kMinColumns = 40;
inline constexpr int kMinRows = 10;

struct Screen {
    const Monitor& monitor;
    const TopState& state;
    const Look& look;
};

// Where each part goes for a given size.
struct Layout {
    bool too_small = false;
    std::vector<std::size_t> gpus;  // positions of the GPUs that get a panel
    std::size_t gpus_left_out = 0;  // GPUs without one: no room
    bool compact = false;           // one line per GPU instead of two
    int panel_top = 1;
    int graph_top = 0;   // the graph's title row
    int graph_rows = 0;  // rows of its strips (0: no graph); the time axis comes below them
    int table_top = 0;   // the process table's header row
    int table_rows = 0;  // rows for processes below the header
};

Layout plan_layout(const Screen& screen, int width, int height);

// What the keys need to know of the screen at this size.
KeyContext key_context(const Screen& screen, int width, int height);

Frame frame(const Screen& screen, int width, int height);

// The keys and what they do, as the help lists them (the screen's own
// spelling: arrows, or their names in ASCII).
struct KeyHelp {
    std::string_view keys;
    std::string_view ascii_keys;
    std::string_view does;
};
const std::vector<KeyHelp>& key_help();

}  // namespace karvo::render::top
