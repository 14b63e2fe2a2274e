#include "render/top/look.h"

#include <array>

#include "common/text.h"

namespace karvo::render::top {

bool font_has_braille(std::string_view face) {
    static constexpr std::array<std::string_view, 4> kWithout = {"consolas", "lucida console", "terminal",
                                                                 "courier new"};
    const std::string name = text::ascii_lower(text::trim(face));
    for (const std::string_view without : kWithout)
        if (name == without) return false;
    return true;
}

Look choose_look(bool no_color, bool ascii, bool blocks, std::string_view font_face) {
    Look look;
    look.color = !no_color;
    if (ascii) {
        look.ascii = true;
        look.graph = GraphStyle::ascii;
    } else if (blocks || !font_has_braille(font_face)) {
        look.graph = GraphStyle::blocks;
    }
    return look;
}

}  // namespace karvo::render::top
