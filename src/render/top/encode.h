#pragma once
// Frames to terminal bytes: only the cells that changed are written, each
// run of them behind one cursor move, with a style sequence only where the
// style changes, all inside synchronized-output marks (CSI ?2026h / l) so a
// terminal that knows them shows the refresh at once.

#include <cstddef>
#include <string>
#include <string_view>

#include "render/top/cells.h"

namespace karvo::render::top {

inline constexpr std::string_view kBeginSync = "\x1b[?2026h";
inline constexpr std::string_view kEndSync = "\x1b[?2026l";

// Entering and leaving the screen: the alternate screen and a hidden
// cursor; leaving also ends a frame cut short and resets the style.
inline constexpr std::string_view kEnterScreen = "\x1b[?1049h\x1b[?25l\x1b[0m\x1b[2J";
inline constexpr std::string_view kLeaveScreen = "\x1b[?2026l\x1b[0m\x1b[?25h\x1b[?1049l";

struct EncodeOptions {
    // When not 0, every run of output starts with CR and stays shorter than
    // this many UTF-16 units (what Wine's console host needs; see
    // platform::Terminal::line_limit).
    std::size_t line_limit = 0;
};

// The bytes that turn the screen showing `shown` into `next` (frames of the
// same size). Empty when they are the same. The bottom-right cell is never
// written: some consoles scroll when it is.
std::string encode_changes(const Frame& shown, const Frame& next, const EncodeOptions& options = {});

// The bytes that draw `next` over a screen in any state: the style reset
// and the screen cleared, then every cell that is not a plain blank.
std::string encode_full(const Frame& next, const EncodeOptions& options = {});

}  // namespace karvo::render::top
