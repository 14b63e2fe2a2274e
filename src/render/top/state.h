#pragma once
// What the person at the screen chose (sort, filter, GPU, graph, selection,
// pause, interval) and how each key changes it: a pure reducer, so every key
// is a row of a test table.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/keys.h"

namespace karvo::render::top {

// The sort columns in the order `s` goes through them.
enum class SortKey : std::uint8_t { vram, gpu_percent, gtt, pid, name };
enum class Filter : std::uint8_t { all, compute, graphics };
// The graph metrics in the order `g` goes through them.
enum class GraphKind : std::uint8_t { use, temperature, power, clocks };

inline constexpr std::uint32_t kMinIntervalMs = 100;
inline constexpr std::uint32_t kMaxIntervalMs = 60000;

struct TopState {
    SortKey sort = SortKey::vram;
    bool reversed = false;           // against the column's own order (largest first, PID and name A to Z)
    std::optional<std::size_t> gpu;  // position in the pass's list; nothing: all GPUs
    std::size_t selected = 0;        // row of the process table
    std::size_t scroll = 0;          // first row the table shows
    Filter filter = Filter::all;
    GraphKind graph = GraphKind::use;
    bool paused = false;
    bool help = false;
    std::uint32_t interval_ms = 1000;
    bool quit = false;

    bool operator==(const TopState&) const = default;
};

// What a key's effect depends on besides the state.
struct KeyContext {
    std::size_t gpus = 0;  // GPUs in the last pass
    std::size_t rows = 0;  // rows of the process table (after GPU and filter)
    std::size_t page = 1;  // rows the table shows at once
};

// The state after one key.
//   q, Esc, Ctrl-C     quit (Esc first closes the help)
//   ?, h               help on and off; with the help shown, any other key only closes it
//   s                  next sort column, in the column's own order
//   r                  reverse the order
//   Up Down PgUp PgDn Home End   move the selection
//   Left Right Tab Shift-Tab     previous / next GPU, all GPUs before the first and after the last
//   a                  all GPUs
//   g                  next graph metric
//   f                  next filter: all, compute, graphics
//   p, Space           pause or resume sampling
//   + - (and =)        interval up or down the steps 0.1 0.2 0.5 1 2 5 10 30 60 s
// Changing the sort, order, filter or GPU puts the selection back on the first row.
TopState apply_key(TopState state, const platform::Key& key, const KeyContext& context);

// Keeps the selection on a row and in view after the rows or the page size changed.
TopState settle(TopState state, const KeyContext& context);

// The next step of the interval ladder up or down from `ms`.
std::uint32_t step_interval(std::uint32_t ms, bool up);

}  // namespace karvo::render::top
