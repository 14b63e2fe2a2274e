#pragma once
// The console table of one report: title line, one row per GPU (with an
// optional detail line), the process table sorted by memory use and a hint.
// Cells are built, cut to their byte width, then padded by characters.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/device.h"
#include "render/display_text.h"  // every cell of outside text goes through display_text

namespace karvo::render {

// The previous refresh of a watch screen, kept for the busy rates of its
// process rows: the pass and the monotonic time it was taken at.
struct PreviousPass {
    DeviceList devices;
    std::uint64_t time_ns = 0;
};

struct TableOptions {
    bool verbose = false;
    std::optional<std::uint64_t> watch;  // seconds as given on the command line
    // Watch mode only: the busy columns of --verbose process rows compare the
    // pass with this one ("-" where there is none yet).
    bool busy_columns = false;
    const PreviousPass* previous = nullptr;
    std::uint64_t now_ns = 0;
};

// Process rows shown without --verbose.
inline constexpr std::size_t kShortProcessRows = 20;

// `time_text` is the local time of the report ("YYYY-MM-DD HH:MM:SS").
std::string render_table(const DeviceList& devices, const TableOptions& options, std::string_view time_text);

// Percent of the wall time between two passes that a process kept an engine
// group busy: 100 x busy delta / wall delta, at most 100. Nothing when either
// side has no engine time, a counter went backwards (a new client) or no time
// passed.
std::optional<std::uint32_t> busy_percent(const std::optional<EngineTimes>& now,
                                          const std::optional<EngineTimes>& before,
                                          std::initializer_list<Engine> group, std::uint64_t wall_ns);

// The verbose container cell: "namespace/pod/container" (the known parts), or
// the short container ID, or "" outside a container.
std::string container_text(const GpuProcess& p);

// The VRAM cell before truncation: "-", "0 / {total} MB" or
// "{used} / {total} MB ({pct}%)".
std::string vram_cell(std::uint32_t used_mb, std::uint32_t total_mb);

}  // namespace karvo::render
