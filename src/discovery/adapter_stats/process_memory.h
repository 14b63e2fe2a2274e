#pragma once
// Per-process video memory and engine time: the OS counters' instances (one
// per process, adapter and physical part, or engine) turned into GpuProcess
// entries on the records the adapter map points at.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "discovery/adapter_stats/adapter_stats.h"
#include "discovery/device.h"
#include "platform/gpu_os.h"

namespace karvo::discovery::adapter_stats {

// Compute when the lower-cased name contains "python", "ollama",
// "llama", "torch", "vllm", "triton" or "compute"; otherwise graphics.
ProcessKind classify_process(std::string_view name);

// The process ID of an instance name "pid_{id}_...", compared case-blind:
// the decimal number (optional "+") between "pid_" and the next "_" or the end.
// Nothing unless it is a non-zero unsigned 32-bit number.
std::optional<std::uint32_t> instance_process_id(std::string_view instance_name);

// Whole MB of a counter value, or nothing for a value the step ignores: below
// 1 MB, negative, or too large for an unsigned 32-bit MB count.
std::optional<std::uint32_t> counter_megabytes(std::int64_t bytes);

// The engine group of a "GPU Engine" instance name ("pid_..._engtype_<label>"),
// from the label's start, ignoring case, blanks and a "#n" suffix: "3D" and
// "High Priority 3D" gfx, "Compute..." and "High Priority Compute" compute,
// "Copy" dma, "Video Decode", "Video Codec" and "Video JPEG" dec, "Video
// Encode" enc, any other label other. Nothing without "_engtype_".
std::optional<Engine> instance_engine(std::string_view instance_name);

// Nanoseconds of a running time in 100 ns ticks (saturating); nothing when negative.
std::optional<std::uint64_t> running_time_ns(std::int64_t ticks);

using ProcessNames = std::unordered_map<std::uint32_t, std::string>;

// Process ID to executable name (UTF-8); a later entry with the same ID wins.
ProcessNames process_names(const std::vector<platform::ProcessEntry>& snapshot);

// Adds the counter items, in order, as process entries of the records their
// adapter key maps to; one entry per process and record, keeping the largest
// value. Does not sort.
void add_process_items(DeviceList& devices, const AdapterMap& adapters, const ProcessNames& names,
                       const std::vector<platform::CounterItem>& items);

// The same for the shared memory counter (`gtt_used_mb`, bounded by the
// record's shared limit when it has one): a process not listed yet is added.
void add_shared_items(DeviceList& devices, const AdapterMap& adapters, const ProcessNames& names,
                      const std::vector<platform::CounterItem>& items);

// Adds the engine running times to the processes already listed on the
// record of each item's adapter, summed per engine group; items of processes
// not listed there are dropped.
void add_engine_items(DeviceList& devices, const AdapterMap& adapters, const std::vector<platform::CounterItem>& items);

// Largest `mem_used_mb` + `gtt_used_mb` first; equal values keep their order.
void sort_processes(DeviceList& devices);

// The whole step: snapshot, one collection of the three counters, entries
// (dedicated, then shared memory, then engine time), sorting. When
// the OS session cannot open nothing changes (and nothing is sorted).
void apply_process_memory(DeviceList& devices, const AdapterMap& adapters, platform::GpuOs& os);

}  // namespace karvo::discovery::adapter_stats
