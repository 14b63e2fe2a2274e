#pragma once
// The operating system's view of the graphics adapters: adapter enumeration
// and kernel memory-segment statistics, per-process video memory and engine
// time from the performance counters with a process-name snapshot, and the
// PCI link figures of the device tree.
//
// The calls are grouped into three sessions. A session holds everything its
// calls need (libraries, factory objects) and releases it when destroyed, so
// a caller that opens a session inside one step has released it all when the
// step returns. On systems without these interfaces every open fails.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace karvo::platform {

// Locally unique adapter identifier as the graphics kernel reports it.
struct AdapterLuid {
    std::uint32_t low_part = 0;
    std::int32_t high_part = 0;
};

struct AdapterDescription {
    std::uint32_t vendor_id = 0;
    std::uint32_t device_id = 0;
    AdapterLuid luid;
    std::uint64_t shared_system_memory = 0;  // bytes of system memory the adapter may use
};

// One step of adapter enumeration.
struct EnumeratedAdapter {
    enum class Kind {
        end,              // no adapter at this ordinal (or enumeration failed): stop
        no_description,   // an adapter whose description could not be read: skip it
        described,        // `description` is valid
    };
    Kind kind = Kind::end;
    AdapterDescription description;
};

// Figures of one memory segment of an adapter, in bytes.
struct SegmentStatistics {
    std::uint64_t commit_limit = 0;
    std::uint64_t bytes_committed = 0;
    std::uint64_t bytes_resident = 0;
    bool aperture = false;  // a window onto system memory, not memory of the card
};

class GpuStatisticsSession {
public:
    virtual ~GpuStatisticsSession() = default;

    // The adapter at `ordinal` (0, 1, 2, ...). Opening the next ordinal releases
    // the previous adapter.
    virtual EnumeratedAdapter adapter(std::uint32_t ordinal) = 0;
    // Number of memory segments of the adapter; nothing when the query fails.
    virtual std::optional<std::uint32_t> segment_count(const AdapterLuid& luid) = 0;
    // Figures of one segment; nothing when the query fails.
    virtual std::optional<SegmentStatistics> segment(const AdapterLuid& luid, std::uint32_t segment_id) = 0;
};

struct ProcessEntry {
    std::uint32_t pid = 0;
    std::u16string exe_name;  // up to the first NUL, at most 260 units
};

// One item (instance) of a performance counter.
struct CounterItem {
    std::optional<std::u16string> name;  // counter instance name; nothing when the item has none
    std::int64_t value = 0;              // in the counter's unit
};

// One collection of the per-process counters, each with every instance in
// the order the OS lists them. A counter that cannot be added or read has no
// items; the others are read all the same.
struct ProcessCounters {
    std::vector<CounterItem> dedicated;     // GPU Process Memory, Dedicated Usage: bytes
    std::vector<CounterItem> shared;        // GPU Process Memory, Shared Usage: bytes
    std::vector<CounterItem> running_time;  // GPU Engine, Running Time: 100 ns ticks since the process started
};

class ProcessMemorySession {
public:
    virtual ~ProcessMemorySession() = default;

    // One snapshot of all running processes; empty when it cannot be taken.
    virtual std::vector<ProcessEntry> process_snapshot() = 0;
    // One collection of the three counters in one query.
    virtual ProcessCounters collect_counters() = 0;
};

// The PCI link figures a device node carries.
enum class PciLinkProperty { current_speed, current_width, max_speed, max_width };

// The OS's tree of device nodes (Windows' configuration manager).
class DeviceTreeSession {
public:
    virtual ~DeviceTreeSession() = default;

    // The node of a device instance ID ("PCI\VEN_1002&DEV_744C&...\6&..."),
    // nothing when no such device is present.
    virtual std::optional<std::uint32_t> locate(std::string_view instance_id) = 0;
    // The node's parent; nothing at the top of the tree or when the call fails.
    virtual std::optional<std::uint32_t> parent(std::uint32_t node) = 0;
    // The node's device instance ID; nothing when the call fails.
    virtual std::optional<std::string> instance_id(std::uint32_t node) = 0;
    // One PCI link figure as the OS stores it (speeds as the PCIe speed code,
    // widths in lanes); nothing when the node does not have it as a 32-bit number.
    virtual std::optional<std::uint32_t> link_property(std::uint32_t node, PciLinkProperty property) = 0;
};

class GpuOs {
public:
    virtual ~GpuOs() = default;

    // Adapter enumeration plus the kernel statistics query; both must be present.
    virtual Result<std::unique_ptr<GpuStatisticsSession>> open_statistics() = 0;
    // Process snapshot plus the performance counter library.
    virtual Result<std::unique_ptr<ProcessMemorySession>> open_process_memory() = 0;
    // The configuration manager's device tree.
    virtual Result<std::unique_ptr<DeviceTreeSession>> open_device_tree() = 0;
};

// The running system's interfaces. Stateless: every open starts from scratch.
GpuOs& system_gpu_os();

// Size in bytes of one formatted counter item as the OS lays it out: an
// instance-name pointer, a status word with padding, then the 64-bit value.
inline constexpr std::size_t kCounterItemSize = 24;
inline constexpr std::size_t kCounterItemValueOffset = 16;
// Longest instance name read; longer (or unterminated) names count as absent.
inline constexpr std::size_t kMaxCounterNameUnits = 1024;

// Decodes an array of `item_count` formatted counter items at the start of
// `buffer` (as the OS fills it). Nothing when the items do not fit the buffer.
// A name pointer into the buffer is read only up to the buffer's end; a
// pointer elsewhere is the OS's own memory and is read up to its NUL, at most
// kMaxCounterNameUnits units. A name without a NUL within those bounds is
// treated as absent.
std::optional<std::vector<CounterItem>> decode_counter_items(std::span<const std::byte> buffer,
                                                             std::uint64_t item_count);

}  // namespace karvo::platform
