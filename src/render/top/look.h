#pragma once
// How the screen draws: with colour or without, and which characters.

#include <cstdint>
#include <string_view>

namespace karvo::render::top {

// How graphs are drawn: braille dots (2 samples and 4 levels per cell),
// eighth blocks (1 sample and 8 levels per cell), or plain ASCII.
enum class GraphStyle : std::uint8_t { braille, blocks, ascii };

struct Look {
    bool color = true;
    bool ascii = false;  // plain ASCII everywhere (bars, rules, arrows, graphs)
    GraphStyle graph = GraphStyle::braille;
};

// False for console fonts known to have no braille characters: the old
// Windows console's Consolas, Lucida Console, raster "Terminal" and Courier
// New. An unknown face ("": the system does not say) is taken to have them.
bool font_has_braille(std::string_view face);

// The look for --no-color (or NO_COLOR set and not empty), --ascii (plain)
// or --ascii=blocks, and the console font.
Look choose_look(bool no_color, bool ascii, bool blocks, std::string_view font_face);

}  // namespace karvo::render::top
