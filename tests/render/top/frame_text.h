#pragma once
// Frames as text for golden files and failure messages: the rows (trailing
// blanks dropped), then one line per row that has styled cells, listing the
// runs of equal style ("0-8 bold; 20-31 green").

#include <string>

#include "render/top/cells.h"

namespace karvo::render::top {

inline std::string style_name(const Style& style) {
    std::string out;
    auto add = [&out](std::string_view word) {
        if (!out.empty()) out += ' ';
        out += word;
    };
    if (style.bold) add("bold");
    if (style.underline) add("underline");
    if (style.reverse) add("reverse");
    switch (style.color) {
        case Color::none: break;
        case Color::red: add("red"); break;
        case Color::green: add("green"); break;
        case Color::blue: add("blue"); break;
        case Color::magenta: add("magenta"); break;
        case Color::cyan: add("cyan"); break;
    }
    return out;
}

inline std::string frame_text(const Frame& frame) {
    std::string out;
    for (int y = 0; y < frame.height(); ++y) {
        std::string row = frame.row_text(y);
        while (!row.empty() && row.back() == ' ') row.pop_back();
        out += row + "\n";
    }
    out += "-- styles\n";
    for (int y = 0; y < frame.height(); ++y) {
        std::string runs;
        int x = 0;
        while (x < frame.width()) {
            const Style style = frame.at(x, y).style;
            int end = x + 1;
            while (end < frame.width() && frame.at(end, y).style == style) ++end;
            if (style != Style{}) {
                if (!runs.empty()) runs += "; ";
                runs += std::to_string(x) + "-" + std::to_string(end - 1) + " " + style_name(style);
            }
            x = end;
        }
        if (!runs.empty()) out += std::to_string(y) + ": " + runs + "\n";
    }
    return out;
}

}  // namespace karvo::render::top
