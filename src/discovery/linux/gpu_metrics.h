#pragma once
// The driver's binary sensor table (device/gpu_metrics): a small header
// (structure_size u16, format_revision u8, content_revision u8) and a layout
// that depends on the revision and the size. Every field is optional: a field
// the layout lacks, one the bytes do not reach, and one holding all ones of its
// width (the firmware's "not supported") are all "not reported", and so is a
// value no hardware can read (a temperature above 200 C, activity above 100 %).
// Units are converted: APU centi-degrees, centi-percent and milliwatts become
// degrees, whole percent (rounded) and watts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::discovery::linux {

struct GpuMetrics {
    std::uint8_t format_revision = 0;   // 0 when there was no header
    std::uint8_t content_revision = 0;

    std::optional<float> temp_edge_c;     // discrete "edge", APU "gfx" temperature
    std::optional<float> temp_hotspot_c;
    std::optional<float> temp_vram_c;
    std::optional<std::uint32_t> gfx_util_percent;
    std::optional<std::uint32_t> mem_util_percent;    // memory controller (umc)
    std::optional<std::uint32_t> media_util_percent;  // video engines (mm / vcn; the busiest one)
    std::optional<float> power_w;                     // socket power, average or current
    std::optional<double> energy_j;                   // accumulator x 2^-16 J
    std::optional<std::uint32_t> gfx_clock_mhz;       // current, else average
    std::optional<std::uint32_t> mem_clock_mhz;       // current uclk, else average
    std::optional<std::uint32_t> fan_rpm;
    std::optional<std::uint32_t> voltage_gfx_mv;
    std::optional<std::uint32_t> voltage_soc_mv;
    std::optional<std::uint32_t> voltage_mem_mv;
    // Active throttling reasons in the order "power", "current", "thermal",
    // "prochot", "other": decoded from indep_throttle_status where the layout
    // has it; else the chip-specific throttle_status gives ["other"] when
    // non-zero and [] when zero.
    std::optional<std::vector<std::string>> throttle;
    std::optional<std::uint32_t> pcie_width;     // lanes
    std::optional<std::uint32_t> pcie_speed_gt;  // whole GT/s (fraction dropped)
};

// Parses what one read of the file returned. Never fails: unknown revisions,
// short or empty input and a size that disagrees with the revision give only
// the fields that can be trusted (possibly none).
GpuMetrics parse_gpu_metrics(std::string_view bytes);

}  // namespace karvo::discovery::linux
