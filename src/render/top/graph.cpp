#include "render/top/graph.h"

#include <algorithm>
#include <cmath>

#include "common/numfmt.h"
#include "common/text.h"

namespace karvo::render::top {
namespace {

// Time axis labels stand this many columns apart.
constexpr int kLabelStep = 12;

// Braille dots of one column, filled from the bottom: n dots -> bits.
constexpr unsigned kLeftDots[5] = {0x00, 0x40, 0x44, 0x46, 0x47};
constexpr unsigned kRightDots[5] = {0x00, 0x80, 0xA0, 0xB0, 0xB8};

int levels_per_cell(const Look& look) {
    switch (look.graph) {
        case GraphStyle::braille: return 4;
        case GraphStyle::blocks: return 8;
        case GraphStyle::ascii: return 2;
    }
    return 1;
}

// Levels filled for a value: at least one for anything above zero, so light
// use still shows; nothing for a missing value.
int level_of(float value, float top, int levels) {
    if (std::isnan(value) || value <= 0.0f || top <= 0.0f) return 0;
    const int level = static_cast<int>(std::lround(static_cast<double>(value) / top * levels));
    return std::clamp(level, 1, levels);
}

// Of `level` levels counted from the bottom, those that fall in the cell
// whose lowest level is `floor`.
int in_cell(int level, int floor, int per_cell) { return std::clamp(level - floor, 0, per_cell); }

// The scale's number: whole, "k" for thousands where five columns are short.
std::string scale_text(float value) {
    const auto whole = static_cast<std::uint64_t>(std::lround(std::max(value, 0.0f)));
    if (whole >= 100000) return numfmt::unsigned_text(whole / 1000) + "k";
    return numfmt::unsigned_text(whole);
}

float sample(const Ring<float>* ring, std::size_t age) {
    if (ring == nullptr || age >= ring->size()) return NAN;
    return ring->newest(age);
}

void draw_strip(Frame& frame, int x, int y, int width, int rows, const Strip& strip, const Look& look) {
    const int plot = width - kGraphGutter;
    const bool ascii = look.ascii;
    const Style name_style{Color::none, true};
    const Style axis_style;
    for (int r = 0; r < rows; ++r) {
        // The gutter: name and top of the scale on the first row, 0 on the last.
        if (r == 0) {
            frame.put(x, y, strip.name, name_style, x + 5);
            const std::string top = scale_text(strip.top);
            frame.put(x + 10 - static_cast<int>(top.size()), y, top, axis_style, x + 10);
        } else if (r == rows - 1) {
            frame.put(x + 9, y + r, "0", axis_style, x + 10);
        }
        const bool labelled = r == 0 || r == rows - 1;
        frame.put_char(x + 10, y + r, ascii ? U'|' : labelled ? U'\u2524' : U'\u2502', axis_style, x + width);
    }
    const int per_cell = levels_per_cell(look);
    const int levels = per_cell * rows;
    const Style style{look.color ? strip.color : Color::none};
    for (int c = 0; c < plot; ++c) {
        const std::size_t from_right = static_cast<std::size_t>(plot - 1 - c);
        const bool braille = look.graph == GraphStyle::braille;
        const int right = level_of(sample(strip.ring, braille ? 2 * from_right : from_right), strip.top, levels);
        const int left = braille ? level_of(sample(strip.ring, 2 * from_right + 1), strip.top, levels) : 0;
        for (int r = 0; r < rows; ++r) {
            const int floor = (rows - 1 - r) * per_cell;
            char32_t ch = U' ';
            if (braille) {
                const unsigned bits = kLeftDots[in_cell(left, floor, 4)] | kRightDots[in_cell(right, floor, 4)];
                if (bits != 0) ch = 0x2800 + bits;
            } else if (look.graph == GraphStyle::blocks) {
                const int n = in_cell(right, floor, 8);
                if (n > 0) ch = 0x2580 + static_cast<char32_t>(n);
            } else {
                const int n = in_cell(right, floor, 2);
                if (n > 0) ch = n == 1 ? U'.' : U'|';
            }
            if (ch != U' ') frame.put_char(x + kGraphGutter + c, y + r, ch, style, x + width);
        }
    }
}

}  // namespace

std::size_t samples_shown(int columns, const Look& look) {
    const std::size_t cells = columns > 0 ? static_cast<std::size_t>(columns) : 0;
    return look.graph == GraphStyle::braille ? 2 * cells : cells;
}

float recent_max(const Ring<float>& ring, std::size_t samples) {
    float top = 0.0f;
    for (std::size_t age = 0; age < samples && age < ring.size(); ++age) {
        const float value = ring.newest(age);
        if (!std::isnan(value)) top = std::max(top, value);
    }
    return top;
}

float scale_top(float value, float step, float least) {
    const float rounded = std::ceil(value / step) * step;
    return std::max(rounded, least);
}

std::string age_text(std::uint64_t ns) {
    const double seconds = static_cast<double>(ns) / 1e9;
    std::string out = "-";
    auto append = [&out](double value, std::string_view unit) {
        if (value < 9.95) {
            numfmt::append_double_fixed(out, value, 1);
        } else {
            numfmt::append_unsigned(out, static_cast<std::uint64_t>(std::llround(value)));
        }
        out += unit;
    };
    if (seconds < 99.5) {
        append(seconds, "s");
    } else if (seconds < 99.5 * 60) {
        append(seconds / 60, "m");
    } else {
        append(seconds / 3600, "h");
    }
    return out;
}

void draw_graph(Frame& frame, int x, int y, int width, int rows, const std::vector<Strip>& strips,
                const Ring<std::uint64_t>& times, const Look& look) {
    if (strips.empty() || rows <= 0 || width <= kGraphGutter) return;
    const int count = static_cast<int>(strips.size());
    int top = y;
    for (int i = 0; i < count; ++i) {
        const int share = rows / count + (i < rows % count ? 1 : 0);
        if (share > 0) draw_strip(frame, x, top, width, share, strips[static_cast<std::size_t>(i)], look);
        top += share;
    }
    // The time axis: "now" at the right end, then how long ago every few columns.
    const int plot = width - kGraphGutter;
    const int axis = y + rows;
    const int right = x + width;
    frame.put(right - 3, axis, "now", Style{}, right);
    const std::size_t per_column = look.graph == GraphStyle::braille ? 2 : 1;
    for (int step = 1; step * kLabelStep < plot; ++step) {
        const std::size_t age = static_cast<std::size_t>(step * kLabelStep) * per_column;
        if (times.size() == 0 || age >= times.size()) break;
        const std::string label = age_text(times.newest(0) - times.newest(age));
        const int end = right - step * kLabelStep;
        const int start = end - static_cast<int>(label.size());
        if (start < x + kGraphGutter) break;
        frame.put(start, axis, label, Style{}, end);
    }
}

}  // namespace karvo::render::top
