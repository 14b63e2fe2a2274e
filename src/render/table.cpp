#include "render/table.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "common/numfmt.h"
#include "common/text.h"
#include "render/figures.h"

namespace karvo::render {
namespace {

constexpr std::array<std::size_t, 10> kColumnWidths = {3, 26, 8, 23, 9, 6, 8, 6, 8, 8};
constexpr std::size_t kNameWidth = 26;
constexpr std::size_t kVramWidth = 23;
constexpr std::size_t kBackendWidth = 8;
constexpr std::size_t kDriverWidth = 20;
constexpr std::size_t kProcessNameWidth = 42;

constexpr std::string_view kHint =
    "\n(--watch 1 for realtime, --verbose for hotspot/vram temps, clocks & free VRAM, --json dump)\n";

// Appends `text` and blanks up to `width` characters (left-aligned cell).
void append_left(std::string& out, std::string_view text, std::size_t width) {
    out += text;
    const std::size_t chars = text::char_count(text);
    if (chars < width) out.append(width - chars, ' ');
}

// Blanks up to `width` characters, then `text` (right-aligned cell).
void append_right(std::string& out, std::string_view text, std::size_t width) {
    const std::size_t chars = text::char_count(text);
    if (chars < width) out.append(width - chars, ' ');
    out += text;
}

void append_row(std::string& out, const std::array<std::string, 10>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i != 0) out += ' ';
        append_left(out, cells[i], kColumnWidths[i]);
    }
    out += '\n';
}

std::string unsigned_with(std::uint64_t value, std::string_view unit) {
    std::string cell = numfmt::unsigned_text(value);
    cell += unit;
    return cell;
}

std::string fixed_with(float value, unsigned decimals, std::string_view unit) {
    std::string cell = numfmt::float_fixed(value, decimals);
    cell += unit;
    return cell;
}

void append_device_row(std::string& out, const GpuDevice& d) {
    append_row(out, {
                        numfmt::unsigned_text(d.index),
                        text::truncate_cell(display_text(d.market_name), kNameWidth),
                        display_text(d.gfx_version),
                        text::truncate_cell(vram_cell(d.vram_used_mb, d.vram_total_mb), kVramWidth),
                        d.vram_pinned_mb == 0 ? std::string("-") : unsigned_with(d.vram_pinned_mb, " MB"),
                        d.temp_edge_c ? fixed_with(*d.temp_edge_c, 0, "C") : std::string("-"),
                        d.gfx_clock_mhz ? unsigned_with(*d.gfx_clock_mhz, "MHz") : std::string("-"),
                        d.gfx_util_percent ? unsigned_with(*d.gfx_util_percent, "%") : std::string("-"),
                        d.power_w ? fixed_with(*d.power_w, 1, "W") : std::string("-"),
                        text::truncate_cell(display_text(d.backend), kBackendWidth),
                    });
}

void append_detail_line(std::string& out, const GpuDevice& d) {
    out += "    dev=0x";
    numfmt::append_hex(out, d.device_id & 0xFFFFFFFFu, 4);
    out += ' ';
    if (d.temp_hotspot_c) out += "hotspot " + fixed_with(*d.temp_hotspot_c, 0, "C ");
    out += ' ';
    if (d.temp_vram_c) out += "vram " + fixed_with(*d.temp_vram_c, 0, "C ");
    out += ' ';
    if (d.mem_clock_mhz) out += "mclk " + unsigned_with(*d.mem_clock_mhz, "MHz ");
    out += " pcie=x";
    numfmt::append_unsigned(out, d.pcie_width);
    out += ' ';
    numfmt::append_unsigned(out, d.pcie_speed_gt);
    out += "GT/s driver ";
    out += text::truncate_cell(display_text(d.driver_version), kDriverWidth);
    out += " | type: ";
    out += display_text(d.vram_type);
    out += " free: ";
    numfmt::append_unsigned(out, d.vram_used_mb > d.vram_total_mb ? 0 : d.vram_total_mb - d.vram_used_mb);
    out += "MB\n";
}

// The second verbose line: shared memory, fan, rails, energy, throttling and
// what the PCIe link could do; only the figures that were reported.
void append_more_details(std::string& out, const GpuDevice& d) {
    std::string line;
    auto piece = [&line](std::string text) {
        line += line.empty() ? "    " : "  ";
        line += text;
    };
    if (d.gtt_total_mb != 0 || d.gtt_used_mb != 0) {
        piece("gtt " + numfmt::unsigned_text(d.gtt_used_mb) + " / " + numfmt::unsigned_text(d.gtt_total_mb) + " MB");
    }
    if (d.fan_rpm || d.fan_percent) {
        std::string fan = "fan";
        if (d.fan_rpm) fan += " " + unsigned_with(*d.fan_rpm, " RPM");
        if (d.fan_percent) fan += " " + unsigned_with(*d.fan_percent, "%");
        piece(fan);
    }
    const std::pair<const char*, const std::optional<std::uint32_t>*> rails[] = {
        {"gfx ", &d.voltage_gfx_mv}, {"soc ", &d.voltage_soc_mv}, {"mem ", &d.voltage_mem_mv}};
    for (const auto& [rail, value] : rails)
        if (*value) piece(rail + unsigned_with(**value, " mV"));
    if (d.energy_j) {
        std::string energy = "energy ";
        numfmt::append_double_fixed(energy, *d.energy_j, 1);
        piece(energy + " J");
    }
    if (d.throttle) {
        std::string throttle = "throttle ";
        if (d.throttle->empty()) throttle += "none";
        for (std::size_t i = 0; i < d.throttle->size(); ++i) {
            if (i != 0) throttle += ',';
            throttle += display_text((*d.throttle)[i]);
        }
        piece(throttle);
    }
    if (d.pcie_max_width != 0 || d.pcie_max_speed_gt != 0) {
        piece("pcie max x" + numfmt::unsigned_text(d.pcie_max_width) + " " +
              numfmt::unsigned_text(d.pcie_max_speed_gt) + "GT/s");
    }
    if (d.ecc_correctable || d.ecc_uncorrectable) {
        piece("ecc " + (d.ecc_correctable ? numfmt::unsigned_text(*d.ecc_correctable) : std::string("-")) +
              " corrected " + (d.ecc_uncorrectable ? numfmt::unsigned_text(*d.ecc_uncorrectable) : std::string("-")) +
              " uncorrected");
    }
    if (line.empty()) return;
    out += line;
    out += '\n';
}

struct ProcessRow {
    std::uint32_t gpu_index;
    const GpuDevice* device;
    const GpuProcess* process;
};

// The same process on the same GPU in the previous pass.
const GpuProcess* previous_process(const PreviousPass& previous, const GpuDevice& device, const GpuProcess& p) {
    for (const GpuDevice& d : previous.devices) {
        const bool same = device.bdf.empty() ? d.bdf.empty() && d.index == device.index : d.bdf == device.bdf;
        if (!same) continue;
        for (const GpuProcess& candidate : d.processes)
            if (candidate.pid == p.pid) return &candidate;
        return nullptr;
    }
    return nullptr;
}

constexpr std::size_t kContainerWidth = 40;

void append_processes(std::string& out, const DeviceList& devices, const TableOptions& options) {
    const bool verbose = options.verbose;
    std::vector<ProcessRow> rows;
    for (const GpuDevice& d : devices)
        for (const GpuProcess& p : d.processes) rows.push_back({d.index, &d, &p});
    if (rows.empty()) return;
    // Largest first (dedicated plus shared memory); equal sizes keep the order
    // in which they were collected.
    std::stable_sort(rows.begin(), rows.end(), [](const ProcessRow& a, const ProcessRow& b) {
        return a.process->total_mb() > b.process->total_mb();
    });
    const std::size_t shown = verbose ? rows.size() : std::min(rows.size(), kShortProcessRows);

    // Extra columns: shared memory when a shown process has some, the
    // container with --verbose when one is known, and the busy rates on a
    // verbose watch screen.
    bool gtt = false, containers = false;
    for (std::size_t i = 0; i < shown; ++i) {
        gtt = gtt || rows[i].process->gtt_used_mb != 0;
        containers = containers || (verbose && !container_text(*rows[i].process).empty());
    }
    const bool busy = verbose && options.busy_columns;

    out += "\nProcesses:\n";
    append_left(out, "GPU", 4);
    out += ' ';
    append_left(out, "PID", 8);
    out += ' ';
    append_left(out, "Type", 6);
    out += ' ';
    append_left(out, "Process Name", kProcessNameWidth);
    out += ' ';
    std::size_t rule = 76;
    if (containers) {
        append_left(out, "Container", kContainerWidth);
        out += ' ';
        rule += kContainerWidth + 1;
    }
    append_right(out, "Memory Usage", 14);
    if (gtt) {
        out += ' ';
        append_right(out, "GTT", 11);
        rule += 12;
    }
    if (busy) {
        out += ' ';
        append_right(out, "GPU%", 5);
        out += ' ';
        append_right(out, "MEDIA%", 6);
        rule += 13;
    }
    out += '\n';
    out.append(rule, '-');
    out += '\n';

    const std::uint64_t wall_ns =
        options.previous != nullptr && options.now_ns > options.previous->time_ns ? options.now_ns - options.previous->time_ns : 0;
    for (std::size_t i = 0; i < shown; ++i) {
        const GpuProcess& p = *rows[i].process;
        append_left(out, numfmt::unsigned_text(rows[i].gpu_index), 4);
        out += ' ';
        append_left(out, numfmt::unsigned_text(p.pid), 8);
        out += ' ';
        append_left(out, std::string(process_kind_code(p.proc_type)), 6);
        out += ' ';
        append_left(out, text::truncate_cell(display_text(p.name), kProcessNameWidth), kProcessNameWidth);
        out += ' ';
        if (containers) {
            append_left(out, text::truncate_cell(display_text(container_text(p)), kContainerWidth), kContainerWidth);
            out += ' ';
        }
        append_right(out, numfmt::unsigned_text(p.mem_used_mb), 11);
        out += " MB";
        if (gtt) {
            out += ' ';
            append_right(out, numfmt::unsigned_text(p.gtt_used_mb), 8);
            out += " MB";
        }
        if (busy) {
            const GpuProcess* before =
                options.previous != nullptr ? previous_process(*options.previous, *rows[i].device, p) : nullptr;
            const std::optional<EngineTimes> none;
            const auto& earlier = before != nullptr ? before->busy_ns : none;
            const auto gpu = busy_percent(p.busy_ns, earlier, {Engine::gfx, Engine::compute}, wall_ns);
            const auto media = busy_percent(p.busy_ns, earlier, {Engine::dec, Engine::enc}, wall_ns);
            out += ' ';
            append_right(out, gpu ? unsigned_with(*gpu, "%") : std::string("-"), 5);
            out += ' ';
            append_right(out, media ? unsigned_with(*media, "%") : std::string("-"), 6);
        }
        out += '\n';
    }
    if (shown < rows.size()) {
        out += "  ... and ";
        numfmt::append_unsigned(out, rows.size() - shown);
        out += " more processes (--verbose to show all)\n";
    }
}

}  // namespace

std::optional<std::uint32_t> busy_percent(const std::optional<EngineTimes>& now,
                                          const std::optional<EngineTimes>& before,
                                          std::initializer_list<Engine> group, std::uint64_t wall_ns) {
    if (!now || !before || wall_ns == 0) return std::nullopt;
    std::uint64_t busy = 0;
    for (const Engine e : group) {
        const std::uint64_t a = (*now)[e].value_or(0), b = (*before)[e].value_or(0);
        if (a < b) return std::nullopt;
        busy += a - b;
    }
    const std::uint32_t percent = numfmt::round_percent(100.0 * static_cast<double>(busy) / static_cast<double>(wall_ns));
    return percent > 100 ? 100 : percent;
}

std::string container_text(const GpuProcess& p) {
    std::string out;
    for (const std::string* part : {&p.pod_namespace, &p.pod, &p.container}) {
        if (part->empty()) continue;
        if (!out.empty()) out += '/';
        out += *part;
    }
    return out.empty() ? p.container_id : out;
}

std::string vram_cell(std::uint32_t used_mb, std::uint32_t total_mb) {
    if (total_mb == 0) return "-";
    std::string cell;
    numfmt::append_unsigned(cell, used_mb);
    cell += " / ";
    numfmt::append_unsigned(cell, total_mb);
    cell += " MB";
    if (used_mb != 0) {
        cell += " (";
        numfmt::append_unsigned(cell, numfmt::percent_of(used_mb, total_mb));
        cell += "%)";
    }
    return cell;
}

std::string render_table(const DeviceList& devices, const TableOptions& options, std::string_view time_text) {
    std::string out;
    out.reserve(512 + devices.size() * 256);

    out += "Karvo Portable | ";
    numfmt::append_unsigned(out, devices.size());
    out += " GPU(s) | ";
    out += time_text;
    out += " | backend ";
    if (options.watch) {
        out += "watch ";
        numfmt::append_unsigned(out, *options.watch);
        out += 's';
    } else {
        out += "one-shot";
    }
    out += " | Ctrl-C to exit\n";

    append_row(out, {"ID", "Name", "GFX", "VRAM (Used/Total)", "Pinned", "Temp", "GCLK", "Util", "Power", "Backend"});
    out.append(112, '-');
    out += '\n';

    for (const GpuDevice& d : devices) {
        append_device_row(out, d);
        if (options.verbose) {
            append_detail_line(out, d);
            append_more_details(out, d);
        }
    }

    append_processes(out, devices, options);
    if (!options.verbose) out += kHint;
    return out;
}

}  // namespace karvo::render
