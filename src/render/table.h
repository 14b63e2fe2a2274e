#pragma once
// The console table of one report: title line, one row per GPU (with an
// optional detail line), the process table sorted by memory use and a hint.
// Cells are built, cut to their byte width, then padded by characters.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/device.h"

namespace karvo::render {

struct TableOptions {
    bool verbose = false;
    std::optional<std::uint64_t> watch;  // seconds as given on the command line
};

// Process rows shown without --verbose.
inline constexpr std::size_t kShortProcessRows = 20;

// `time_text` is the local time of the report ("YYYY-MM-DD HH:MM:SS").
std::string render_table(const DeviceList& devices, const TableOptions& options, std::string_view time_text);

// Text as a table cell may show it: bytes that are not valid UTF-8 and
// control characters (C0, DEL, C1) become U+FFFD, so a name can neither break
// the row layout nor send escape sequences to the terminal.
std::string display_text(std::string_view text);

// The VRAM cell before truncation: "-", "0 / {total} MB" or
// "{used} / {total} MB ({pct}%)".
std::string vram_cell(std::uint32_t used_mb, std::uint32_t total_mb);

}  // namespace karvo::render
