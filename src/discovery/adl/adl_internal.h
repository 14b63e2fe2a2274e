#pragma once
// The pieces behind the two backend entry points, exposed so that tests can
// drive them with a test double of the library (by path), without the
// 300 ms PMLog wait and without starting PowerShell.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "discovery/adl/adl_types.h"
#include "discovery/device.h"
#include "discovery/naming/naming.h"
#include "platform/library.h"

namespace karvo::discovery::adl {

// What a backend call takes from the world around it.
struct AdlHost {
    std::vector<std::string> library_names;             // tried in order
    std::function<void(std::uint32_t)> sleep_ms;         // the legacy PMLog wait
    naming::MemoryCodeQuery memory_code_query;           // system RAM type (integrated GPUs)
    std::function<void(std::string_view)> write_line;    // one diagnostic line, newline included

    // The real thing: the five library places, a real sleep, the WMI query,
    // diagnostics on standard error.
    static AdlHost system();
};

Status query_pmlog(DeviceList& devices, const AdlHost& host);
Status overdrive_fallback(DeviceList& devices, const AdlHost& host);

// The memory technology name of one adapter as the library reports it: the
// first non-empty answer of the memory entry points, tried in a fixed order.
// `context` is null in legacy mode.
std::optional<std::string> query_memory_type(const platform::Library& library, AdlContext context,
                                             int adapter_index, bool adl2_mode);

// The PCI device ID in a UDID text ("...DEV_744C&SUBSYS..." gives 0x744C).
std::optional<std::uint32_t> parse_dev_id(std::string_view udid);

// Sensor ID to raw reading.
using SensorMap = std::map<std::uint32_t, std::uint32_t>;

// Vendor IDs 0x1002 and 1002 (the decimal digits some drivers report) are AMD.
bool is_amd_vendor(int vendor_id);

// Positions in `table` of the adapters worth querying: AMD vendor, a bus
// number of 0 or more, and only the first element of each bus.
std::vector<std::size_t> select_adapters(std::span<const AdapterInfo> table);

// Walks a PMLog block: pairs after the 16-byte header, up to the first
// sensor ID 0 or 256 pairs. Null gives an empty map.
SensorMap read_pmlog_block(const void* block);

// Writes the readings present in `sensors` into the record's fields.
void apply_sensors(GpuDevice& device, const SensorMap& sensors);

// Throttling reasons of the OverdriveN notification flags (power 1, thermal 2,
// current 4; any other bit is "other"), in the record's reason order; none
// set gives an empty list. Nothing for a negative (all-ones) word.
std::optional<std::vector<std::string>> throttle_from_flags(int flags);

// Writes the fan speed of an OverdriveN fan state: a percentage (0-100) into
// the fan duty unless the record has one, rpm into the fan speed unless it has
// one. Other modes and out-of-range values change nothing.
void apply_fan_control(GpuDevice& device, const ADLODNFanControl& fan);

// The OverdriveN readings that complement the sensors of one adapter: the
// throttle notification (which wins over the PMLog throttler status) and,
// only when the record has no fan duty yet, the fan state. Entry points the
// library lacks and failing calls change nothing.
void apply_overdrive_extras(const platform::Library& library, AdlContext context, int adapter_index,
                            GpuDevice& device);

// Largest adapter table read: a reported count above it is capped.
inline constexpr int kMaxAdapters = 4096;

// Clamps a reported adapter count into 0..kMaxAdapters (negative counts are 0).
int usable_adapter_count(int reported);

// A zero-filled table of that many elements (clamped), each with iSize set.
std::vector<AdapterInfo> make_adapter_table(int count);
// The table's size in bytes, as the library expects it.
int table_byte_size(const std::vector<AdapterInfo>& table);

}  // namespace karvo::discovery::adl
