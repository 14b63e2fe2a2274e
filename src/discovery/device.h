#pragma once
// The device record every source writes and every renderer reads. Field order
// is the JSON key order. Optional sensor readings are absent, not zero, when
// nothing measured them; plain numbers use 0 for "not reported".

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace karvo {

struct GpuProcess {
    std::uint32_t pid = 0;
    std::string name;
    std::uint32_t mem_used_mb = 0;
    std::string proc_type;  // "C" (compute) or "G" (graphics)

    bool operator==(const GpuProcess&) const = default;
};

struct GpuDevice {
    std::uint32_t index = 0;
    std::string market_name;
    std::uint32_t vendor_id = 0;
    std::string vendor_name;
    std::uint64_t device_id = 0;
    std::uint32_t subsystem_id = 0;
    std::uint32_t rev_id = 0;
    std::string asic_serial;
    std::uint32_t num_cu = 0;
    std::string gfx_version;
    std::string vram_type;
    std::uint32_t vram_total_mb = 0;
    std::uint32_t vram_used_mb = 0;
    std::uint32_t vram_pinned_mb = 0;
    std::string vram_vendor;
    std::string bdf;
    std::uint16_t pcie_width = 0;
    std::uint32_t pcie_speed_gt = 0;
    std::string driver_version;
    std::string vbios_version;
    std::optional<float> temp_edge_c;
    std::optional<float> temp_hotspot_c;
    std::optional<float> temp_vram_c;
    std::optional<std::uint32_t> gfx_clock_mhz;
    std::optional<std::uint32_t> mem_clock_mhz;
    std::optional<std::uint32_t> gfx_util_percent;
    std::optional<float> power_w;
    std::optional<float> power_cap_w;
    std::string backend;
    std::vector<GpuProcess> processes;
};

using DeviceList = std::vector<GpuDevice>;

constexpr std::uint32_t kAmdVendorId = 0x1002;
inline constexpr const char* kAmdVendorName = "Advanced Micro Devices, Inc. [AMD/ATI]";

// Bytes to whole MB (1 MB = 1048576 bytes), truncated, kept as unsigned 32-bit.
constexpr std::uint32_t bytes_to_mb(std::uint64_t bytes) {
    return static_cast<std::uint32_t>(bytes / 1048576u);
}

}  // namespace karvo
