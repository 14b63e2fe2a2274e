#pragma once
// The screen as a grid of character cells, each with its style. A frame is
// built whole for every refresh and compared with the previous one (see
// encode.h), so drawing never needs to know what the terminal shows.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::render::top {

// Foreground colours from the terminal's own 16-colour palette: terminal
// themes tune those for their background, so they read on dark and light
// ones alike (the fixed colours of the 256-colour cube do not). Yellow and
// white are left out: they vanish on light backgrounds.
enum class Color : std::uint8_t { none, red, green, blue, magenta, cyan };

struct Style {
    Color color = Color::none;
    bool bold = false;
    bool reverse = false;
    bool underline = false;

    bool operator==(const Style&) const = default;
};

// The right half of a wide character is a cell of its own holding this.
inline constexpr char32_t kWideTail = 0;

struct Cell {
    char32_t ch = U' ';
    Style style;

    bool operator==(const Cell&) const = default;
};

// Columns a character takes on a terminal: 2 for East Asian wide and
// fullwidth characters and emoji, 0 for combining marks and other
// zero-width characters (the screen leaves those out), 1 for the rest.
int char_width(char32_t ch);

// Columns the text takes (see char_width).
int text_width(std::string_view text);

// The text cut to at most `columns` columns: a text that is too wide ends in
// `ellipsis` (one column) instead of its last characters.
std::string fit_text(std::string_view text, int columns, std::string_view ellipsis);

class Frame {
public:
    Frame() = default;
    // A blank frame: spaces in the default style.
    Frame(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    const Cell& at(int x, int y) const { return cells_[static_cast<std::size_t>(y * width_ + x)]; }

    // Writes one character at (x, y), keeping wide characters whole: a wide
    // one that does not fit before `end` (a column) becomes a blank, and a
    // wide character partly overwritten loses its other half. Returns the
    // column after it. Positions outside the frame are ignored.
    int put_char(int x, int y, char32_t ch, const Style& style, int end);
    // Writes text from (x, y), clipped at column `end` (the frame's width
    // when negative); returns the column after the last character written.
    // Control characters show as U+FFFD; zero-width ones are left out.
    int put(int x, int y, std::string_view text, const Style& style, int end = -1);
    // `count` copies of one character.
    void fill(int x, int y, int count, char32_t ch, const Style& style);
    // Applies `change` to the style of the cells [x, x + count) of row y.
    template <class Change>
    void restyle(int x, int y, int count, Change change) {
        for (int i = x; i < x + count && i < width_; ++i)
            if (i >= 0 && y >= 0 && y < height_) change(cell(i, y).style);
    }

    // Row y as UTF-8 text (for tests and screenshots).
    std::string row_text(int y) const;

    bool operator==(const Frame&) const = default;

private:
    Cell& cell(int x, int y) { return cells_[static_cast<std::size_t>(y * width_ + x)]; }

    int width_ = 0;
    int height_ = 0;
    std::vector<Cell> cells_;
};

}  // namespace karvo::render::top
