#include "render/top/encode.h"

#include "common/text.h"
#include "common/numfmt.h"

namespace karvo::render::top {
namespace {

// Unchanged cells between two changed ones that are written again rather
// than jumped over: a move right ("CSI n C") costs three to five bytes.
constexpr int kRewriteGap = 3;

std::string style_sequence(const Style& style) {
    std::string out = "\x1b[0";
    if (style.bold) out += ";1";
    if (style.underline) out += ";4";
    if (style.reverse) out += ";7";
    switch (style.color) {
        case Color::none: break;
        case Color::red: out += ";31"; break;
        case Color::green: out += ";32"; break;
        case Color::blue: out += ";34"; break;
        case Color::magenta: out += ";35"; break;
        case Color::cyan: out += ";36"; break;
    }
    out += 'm';
    return out;
}

// "CSI C" or "CSI n C": n cells to the right, on the same row.
std::string cursor_right(int n) {
    std::string out = "\x1b[";
    if (n > 1) numfmt::append_unsigned(out, static_cast<unsigned>(n));
    out += 'C';
    return out;
}

std::string cursor_to(int x, int y) {
    std::string out = "\x1b[";
    numfmt::append_unsigned(out, static_cast<unsigned>(y + 1));
    out += ';';
    numfmt::append_unsigned(out, static_cast<unsigned>(x + 1));
    out += 'H';
    return out;
}

// UTF-16 units of a text (what a Windows console counts).
std::size_t utf16_units(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

class Writer {
public:
    explicit Writer(const EncodeOptions& options) : limit_(options.line_limit) {}

    // A control sequence outside any run (the marks, the clear).
    void control(std::string_view sequence) {
        if (limit_ != 0) {
            out_ += '\r';
            piece_ = 1;
        }
        out_ += sequence;
        piece_ += sequence.size();
        at_x_ = -1;  // under a limit the CR moved the cursor
    }

    void cell(int x, int y, const Cell& cell) {
        if (cell.ch == kWideTail) return;
        std::string bytes;
        if (!style_known_ || cell.style != style_) bytes = style_sequence(cell.style);
        text::append_utf8(bytes, cell.ch);
        const bool moved = at_x_ != x || at_y_ != y;
        if (limit_ != 0) {
            // A new piece when the cursor must move or the piece would grow too long.
            if (moved || piece_ + utf16_units(bytes) >= limit_) {
                const std::string move = cursor_to(x, y);
                out_ += '\r';
                out_ += move;
                piece_ = 1 + move.size();
            }
        } else if (moved) {
            // Further along the same row a move right is shorter than a move to the cell.
            out_ += at_y_ == y && x > at_x_ && at_x_ >= 0 ? cursor_right(x - at_x_) : cursor_to(x, y);
        }
        out_ += bytes;
        piece_ += utf16_units(bytes);
        style_ = cell.style;
        style_known_ = true;
        at_x_ = x + char_width(cell.ch);
        at_y_ = y;
    }

    std::string take() { return std::move(out_); }

private:
    std::size_t limit_;
    std::string out_;
    std::size_t piece_ = 0;
    Style style_;
    bool style_known_ = false;
    int at_x_ = -1;
    int at_y_ = -1;
};

void write_changes(Writer& writer, const Frame& shown, const Frame& next) {
    const int width = next.width();
    const int height = next.height();
    auto changed = [&](int x, int y) { return shown.at(x, y) != next.at(x, y); };
    for (int y = 0; y < height; ++y) {
        // The bottom-right cell is left alone.
        const int row_end = y == height - 1 ? width - 1 : width;
        int x = 0;
        while (x < row_end) {
            if (!changed(x, y)) {
                ++x;
                continue;
            }
            int start = x;
            if (next.at(x, y).ch == kWideTail && x > 0) start = x - 1;  // a wide character is written from its left half
            int last = x;
            for (int i = x + 1; i < row_end && i - last <= kRewriteGap + 1; ++i)
                if (changed(i, y)) last = i;
            int end = last + 1;
            if (end < row_end && next.at(end, y).ch == kWideTail) ++end;
            for (int i = start; i < end; ++i) writer.cell(i, y, next.at(i, y));
            x = end;
        }
    }
}

}  // namespace

std::string encode_changes(const Frame& shown, const Frame& next, const EncodeOptions& options) {
    Writer writer(options);
    writer.control(kBeginSync);
    const std::string begin = writer.take();
    Writer body(options);
    write_changes(body, shown, next);
    std::string changes = body.take();
    if (changes.empty()) return {};
    Writer end(options);
    end.control(kEndSync);
    return begin + changes + end.take();
}

std::string encode_full(const Frame& next, const EncodeOptions& options) {
    Writer writer(options);
    writer.control(kBeginSync);
    writer.control("\x1b[0m\x1b[2J");
    write_changes(writer, Frame(next.width(), next.height()), next);
    writer.control(kEndSync);
    return writer.take();
}

}  // namespace karvo::render::top
