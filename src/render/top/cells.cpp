#include "render/top/cells.h"

#include <algorithm>
#include <array>
#include <utility>

#include "common/text.h"

namespace karvo::render::top {
namespace {

using Range = std::pair<char32_t, char32_t>;

// East Asian Wide and Fullwidth blocks, and the emoji most often met in names.
constexpr std::array<Range, 14> kWide = {{
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F}, {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
}};

// Combining marks, zero-width spaces and joiners, variation selectors.
constexpr std::array<Range, 6> kZeroWidth = {{
    {0x0300, 0x036F}, {0x200B, 0x200F}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
}};

template <std::size_t N>
bool in_ranges(const std::array<Range, N>& ranges, char32_t ch) {
    return std::any_of(ranges.begin(), ranges.end(), [ch](const Range& r) { return ch >= r.first && ch <= r.second; });
}

bool is_control(char32_t ch) { return ch < 0x20 || (ch >= 0x7F && ch < 0xA0); }

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

int char_width(char32_t ch) {
    if (ch < 0x300) return 1;
    if (in_ranges(kZeroWidth, ch)) return 0;
    return in_ranges(kWide, ch) ? 2 : 1;
}

int text_width(std::string_view text) {
    int width = 0;
    for (const char32_t ch : text::code_points(text)) width += is_control(ch) ? 1 : char_width(ch);
    return width;
}

std::string fit_text(std::string_view text, int columns, std::string_view ellipsis) {
    if (columns <= 0) return {};
    if (text_width(text) <= columns) return std::string(text);
    std::string out;
    int width = 0;
    for (const char32_t ch : text::code_points(text)) {
        const int w = is_control(ch) ? 1 : char_width(ch);
        if (width + w > columns - 1) break;
        text::append_utf8(out, ch);
        width += w;
    }
    return out + std::string(ellipsis);
}

Frame::Frame(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)),
      cells_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)) {}

int Frame::put_char(int x, int y, char32_t ch, const Style& style, int end) {
    if (is_control(ch)) ch = kReplacement;
    const int w = char_width(ch);
    if (w == 0) return x;
    end = std::min(end, width_);
    if (y < 0 || y >= height_ || x < 0 || x >= end) return x + w;
    if (x + w > end) {
        ch = U' ';  // half a wide character cannot be shown
        return put_char(x, y, ch, style, end);
    }
    // Overwriting half of a wide character blanks its other half.
    for (int i = x; i < x + w; ++i) {
        if (cell(i, y).ch == kWideTail && i - 1 >= 0 && i - 1 < x) cell(i - 1, y).ch = U' ';
        if (i + 1 < width_ && i + 1 >= x + w && char_width(cell(i, y).ch) == 2 && cell(i + 1, y).ch == kWideTail)
            cell(i + 1, y).ch = U' ';
    }
    cell(x, y) = Cell{ch, style};
    if (w == 2) cell(x + 1, y) = Cell{kWideTail, style};
    return x + w;
}

int Frame::put(int x, int y, std::string_view text, const Style& style, int end) {
    if (end < 0 || end > width_) end = width_;
    for (const char32_t ch : text::code_points(text)) {
        if (x >= end) break;
        x = put_char(x, y, ch, style, end);
    }
    return std::min(x, end);
}

void Frame::fill(int x, int y, int count, char32_t ch, const Style& style) {
    for (int i = 0; i < count; ++i) x = put_char(x, y, ch, style, width_);
}

std::string Frame::row_text(int y) const {
    std::string out;
    for (int x = 0; x < width_; ++x) {
        const char32_t ch = at(x, y).ch;
        if (ch != kWideTail) text::append_utf8(out, ch);
    }
    return out;
}

}  // namespace karvo::render::top
