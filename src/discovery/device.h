#pragma once
// The device record every source writes and every renderer reads. Field order
// is the JSON key order. Optional sensor readings are absent, not zero, when
// nothing measured them; plain numbers use 0 for "not reported".

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace karvo {

// The engine groups a process's busy time is reported in, in JSON key order.
enum class Engine : std::size_t { gfx, compute, dma, dec, enc, other };
inline constexpr std::size_t kEngineCount = 6;
inline constexpr std::array<const char*, kEngineCount> kEngineNames = {"gfx", "compute", "dma", "dec", "enc", "other"};

// a + b, held at the largest 64-bit value instead of wrapping (counters and
// byte sums added up from outside figures).
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    return a > kMax - b ? kMax : a + b;
}

// Cumulative busy nanoseconds per engine group; an engine the source does not
// report stays absent.
struct EngineTimes {
    std::array<std::optional<std::uint64_t>, kEngineCount> ns;

    std::optional<std::uint64_t>& operator[](Engine e) { return ns[static_cast<std::size_t>(e)]; }
    const std::optional<std::uint64_t>& operator[](Engine e) const { return ns[static_cast<std::size_t>(e)]; }
    // Adds to an engine's figure (saturating), making it present.
    void add(Engine e, std::uint64_t value) {
        auto& slot = (*this)[e];
        slot = saturating_add(slot.value_or(0), value);
    }
    bool operator==(const EngineTimes&) const = default;
};

// What a process uses the GPU for, as far as its source can tell: compute
// (KFD clients, HIP and ML runtimes) or graphics (everything else). The
// renderers spell it.
enum class ProcessKind : std::uint8_t { compute, graphics };

struct GpuProcess {
    std::uint32_t pid = 0;
    std::string name;
    std::uint32_t mem_used_mb = 0;
    ProcessKind proc_type = ProcessKind::graphics;
    std::uint32_t gtt_used_mb = 0;          // system memory the GPU maps for it
    std::optional<EngineTimes> busy_ns;     // absent when the source has no engine time for it
    std::string container_id;               // first 12 hex digits; empty outside a container
    std::string container;                  // names, empty when unknown
    std::string pod;
    std::string pod_namespace;              // JSON key "namespace"

    // What orders process lists: dedicated plus shared memory.
    std::uint64_t total_mb() const { return std::uint64_t{mem_used_mb} + gtt_used_mb; }

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
    std::uint32_t gtt_total_mb = 0;  // system memory the GPU maps (Linux GTT, Windows shared GPU memory)
    std::uint32_t gtt_used_mb = 0;
    std::optional<std::uint32_t> fan_rpm;
    std::optional<std::uint32_t> fan_percent;  // of full duty
    std::optional<std::uint32_t> voltage_gfx_mv;
    std::optional<std::uint32_t> voltage_soc_mv;
    std::optional<std::uint32_t> voltage_mem_mv;
    std::optional<std::uint32_t> mem_util_percent;    // memory controller
    std::optional<std::uint32_t> media_util_percent;  // video engines
    std::optional<double> energy_j;                   // since the driver started counting
    // Active throttling reasons, from "power", "current", "thermal", "prochot",
    // "other" in that order; empty = reported and none active.
    std::optional<std::vector<std::string>> throttle;
    std::uint16_t pcie_max_width = 0;  // what the link could do: the lesser of card and slot
    std::uint32_t pcie_max_speed_gt = 0;
    std::optional<std::uint64_t> ecc_correctable;  // since the driver loaded, summed over blocks
    std::optional<std::uint64_t> ecc_uncorrectable;
    std::string backend;
    std::vector<GpuProcess> processes;
};

using DeviceList = std::vector<GpuDevice>;

constexpr std::uint32_t kAmdVendorId = 0x1002;
// The throttling reasons in the order they are listed.
inline constexpr std::array<const char*, 5> kThrottleReasons = {"power", "current", "thermal", "prochot", "other"};

inline constexpr const char* kAmdVendorName = "Advanced Micro Devices, Inc. [AMD/ATI]";

// Bytes to whole MB (1 MB = 1048576 bytes), truncated, kept as unsigned 32-bit.
constexpr std::uint32_t bytes_to_mb(std::uint64_t bytes) {
    return static_cast<std::uint32_t>(bytes / 1048576u);
}

}  // namespace karvo
