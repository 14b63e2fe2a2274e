#pragma once
// Prometheus text exposition of a device list: each family as a "# HELP" and a
// "# TYPE" line followed by its samples for every GPU, one line each, no time
// stamps; unmeasured readings write no sample and a family without samples
// writes nothing at all.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "discovery/device.h"
#include "discovery/sources/source_ledger.h"

namespace karvo::render {

// Which processes get series of their own (amd_gpu_process_*).
enum class ProcessSeries { all, compute, none };

// What a busy node may cost in series: processes of one kind only, and at
// most so many per GPU (those holding the most VRAM). The processes left out
// are counted per GPU (amd_gpu_process_series_dropped), written whenever a
// limit is set.
struct MetricsOptions {
    ProcessSeries processes = ProcessSeries::all;
    std::optional<std::uint64_t> max_processes;  // per GPU; nothing: no limit

    bool limits_processes() const { return processes != ProcessSeries::all || max_processes.has_value(); }
    bool operator==(const MetricsOptions&) const = default;
};

// The positions (in list order) of the processes of `device` that get
// series under `options`.
std::vector<std::size_t> process_series_kept(const GpuDevice& device, const MetricsOptions& options);

// The text for GET /metrics; every line ends in "\n". `discovery_seconds`,
// when given, is the duration of the pass that produced the list
// (amd_gpu_discovery_seconds), `sources` how each source it asked fared
// (amd_gpu_source_up, amd_gpu_source_seconds). Those two families are written
// even when no GPU was found, which is when they matter most; without GPUs
// and sources the text is empty.
std::string render_metrics(const DeviceList& devices, std::optional<double> discovery_seconds = std::nullopt,
                           std::span<const discovery::SourceStatus> sources = {},
                           const MetricsOptions& options = {});

// Appends a label value (without its quotes): '"' and '\' get a backslash, a
// line feed or carriage return becomes one blank so a sample never spans two
// lines, bytes that are not valid UTF-8 become U+FFFD.
void append_label_value(std::string& out, std::string_view text);

}  // namespace karvo::render
