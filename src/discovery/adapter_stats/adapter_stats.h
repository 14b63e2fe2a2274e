#pragma once
// Adapter statistics from the OS graphics kernel (DXGI + D3DKMT): used and
// pinned VRAM and shared system memory per GPU, then per-process memory and
// engine time (PDH + Toolhelp), and the PCIe link from the configuration
// manager. Windows only; the OS calls sit behind platform/gpu_os.h.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "discovery/device.h"
#include "platform/gpu_os.h"

namespace karvo::discovery::adapter_stats {

// Adapter key (see adapter_key) to the position of its record in the list.
using AdapterMap = std::map<std::string, std::size_t>;

// "0x" + high part as 8 hex digits + "_0x" + low part as 8 hex digits, lower
// case, both parts as unsigned 32-bit: the form in which the per-process
// counter instances name their adapter (e.g. "0x00000000_0x0000d1f6").
std::string adapter_key(const platform::AdapterLuid& luid);

// Bounds on what the OS may claim; anything beyond is not queried.
inline constexpr std::uint32_t kMaxAdapters = 256;
inline constexpr std::uint32_t kMaxSegmentsPerAdapter = 1024;

// Changes `devices` in place; every failure is silent. After the statistics
// (and the per-process step) the PCIe link figures of the device tree are
// added (see pcie_link.h), whether or not the statistics could be read.
void apply_adapter_statistics(DeviceList& devices);

// The same over the given OS interfaces. For each AMD adapter the OS lists,
// the matching record gets its used and pinned VRAM (and its total when it had
// none), its shared system memory limit and what of it is resident (the sum
// over the aperture segments); then the per-process step runs with the
// adapter map. Nothing runs
// (not even the per-process step) when the statistics session cannot open.
// Returns the adapter map that was handed to the per-process step.
AdapterMap apply_adapter_statistics(DeviceList& devices, platform::GpuOs& os);

}  // namespace karvo::discovery::adapter_stats
