#pragma once
// History graphs: one or two strips of a figure over time, newest at the
// right, each with its name and scale at the left, and a time axis below.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "render/top/cells.h"
#include "render/top/history.h"
#include "render/top/look.h"

namespace karvo::render::top {

// Columns left of the plot: a strip's name (5) and its scale (5), then the axis.
inline constexpr int kGraphGutter = 11;

struct Strip {
    std::string_view name;              // "GPU", "VRAM", ...
    const Ring<float>* ring = nullptr;  // null: an empty strip
    float top = 100.0f;                 // the value at the top of the strip; 0 at the bottom
    Color color = Color::none;
};

// Samples a plot of `columns` columns shows.
std::size_t samples_shown(int columns, const Look& look);

// The largest value among the last `samples` of a ring; 0 when there is none.
float recent_max(const Ring<float>& ring, std::size_t samples);

// A scale's top: `value` rounded up to a multiple of `step`, at least `least`.
float scale_top(float value, float step, float least);

// How long ago, for the time axis: "-2.4s", "-45s", "-2.5m", "-12m", "-1.5h".
std::string age_text(std::uint64_t ns);

// Draws the strips stacked in rows [y, y + rows) of columns [x, x + width),
// sharing the rows out (the upper ones get the spare), and the time axis on
// row y + rows. Each plot column holds the samples of the same passes.
void draw_graph(Frame& frame, int x, int y, int width, int rows, const std::vector<Strip>& strips,
                const Ring<std::uint64_t>& times, const Look& look);

}  // namespace karvo::render::top
