#pragma once
// The HIP runtime backend: loads the AMD HIP runtime at run time, counts the
// GPUs it sees and turns each one's device properties into a "hip" record.
// Nothing is linked at build time; a machine without the runtime gets an error
// value, which the discovery pass discards. Both systems: the Windows pass
// always asks it, the Linux pass only when amdgpu shows no card.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"
#include "discovery/device.h"
#include "discovery/naming/naming.h"

namespace karvo::discovery::hip {

// Where the runtime may live, tried in this order; the first one that opens is
// used. Drive paths only mean something on Windows and fail at once elsewhere.
inline constexpr std::array<std::string_view, 8> kRuntimeCandidates = {
    "C:\\TheRock\\build\\bin\\amdhip64_7.dll",
    "C:\\TheRock\\build\\bin\\amdhip64.dll",
    "C:\\Windows\\System32\\amdhip64_7.dll",
    "C:\\Windows\\System32\\amdhip64.dll",
    "amdhip64_7.dll",
    "amdhip64.dll",
    "libamdhip64.so",
    "libamdhip64.so.7",
};

// Bytes reserved for the runtime's device-properties structure (larger than
// the structure itself; the tail stays zero).
inline constexpr std::size_t kPropertiesBufferSize = 2376;

// Ordinals beyond this are never asked for. A runtime that reports a huge
// count (or garbage) would otherwise keep a pass busy for hours or build
// millions of records; no machine carries anywhere near this many GPUs.
inline constexpr std::int32_t kMaxOrdinals = 1024;

// Builds the "hip" record of ordinal `ordinal` from a filled properties buffer
// (at least kPropertiesBufferSize bytes). `query_code` supplies the system
// memory type for integrated GPUs.
GpuDevice device_from_properties(std::span<const unsigned char> properties, std::uint32_t ordinal,
                                 const naming::MemoryCodeQuery& query_code);

// The compute-unit figure: threads per block over warp size, truncated toward
// zero; 0 when the warp size is 0 or the quotient is negative.
std::uint32_t compute_units(std::int32_t max_threads_per_block, std::int32_t warp_size);

// One backend call over the given library candidates (tried in order).
Result<DeviceList> query_hip_devices_from(std::span<const std::string_view> candidates,
                                          const naming::MemoryCodeQuery& query_code);

// One backend call over kRuntimeCandidates, with the real system memory query.
Result<DeviceList> query_hip_devices();

}  // namespace karvo::discovery::hip
