#include "discovery/adapter_stats/process_memory.h"

#include <algorithm>
#include <array>
#include <limits>

#include "common/text.h"

namespace karvo::adapter_stats {
namespace {

constexpr std::int64_t kBytesPerMb = 1048576;
constexpr std::string_view kPidPrefix = "pid_";

// The record an instance belongs to: the adapter key that occurs in the
// (lower-cased) instance name. Keys are distinct adapter identifiers and a
// name carries one, so at most one key matches.
std::optional<std::size_t> record_of(const AdapterMap& adapters, std::string_view lower_name) {
    for (const auto& [key, position] : adapters) {
        if (lower_name.find(key) != std::string_view::npos) return position;
    }
    return std::nullopt;
}

void add_item(DeviceList& devices, const AdapterMap& adapters, const ProcessNames& names,
              const platform::CounterItem& item) {
    if (!item.name) return;
    const auto mb = counter_megabytes(item.bytes);
    if (!mb) return;
    const std::string lower = text::ascii_lower(text::utf16_to_utf8(*item.name));
    const auto pid = instance_process_id(lower);
    if (!pid) return;
    const auto position = record_of(adapters, lower);
    if (!position || *position >= devices.size()) return;

    GpuDevice& device = devices[*position];
    // A process cannot hold more than the card has; such a reading is stale or bogus.
    if (device.vram_total_mb != 0 && device.vram_total_mb < *mb) return;

    // One process may show up once per physical part of the adapter: keep the largest.
    for (GpuProcess& process : device.processes) {
        if (process.pid == *pid) {
            process.mem_used_mb = std::max(process.mem_used_mb, *mb);
            return;
        }
    }
    const auto named = names.find(*pid);
    std::string name = named != names.end() ? named->second : std::string("Unknown");
    std::string type = classify_process(name);
    device.processes.push_back({*pid, std::move(name), *mb, std::move(type)});
}

}  // namespace

std::string classify_process(std::string_view name) {
    static constexpr std::array<std::string_view, 7> kComputeMarks = {"python", "ollama", "llama", "torch",
                                                                       "vllm",   "triton", "compute"};
    const std::string lower = text::ascii_lower(name);
    for (std::string_view mark : kComputeMarks) {
        if (lower.find(mark) != std::string::npos) return "C";
    }
    return "G";
}

std::optional<std::uint32_t> instance_process_id(std::string_view instance_name) {
    if (instance_name.size() < kPidPrefix.size() ||
        !text::equals_ignore_ascii_case(instance_name.substr(0, kPidPrefix.size()), kPidPrefix)) {
        return std::nullopt;
    }
    std::string_view digits = instance_name.substr(kPidPrefix.size());
    digits = digits.substr(0, digits.find('_'));
    const auto pid = text::parse_unsigned(digits, std::numeric_limits<std::uint32_t>::max());
    if (!pid || *pid == 0) return std::nullopt;
    return static_cast<std::uint32_t>(*pid);
}

std::optional<std::uint32_t> counter_megabytes(std::int64_t bytes) {
    // A negative count is no amount of memory at all; its low 32 bits would
    // read as some four billion MB.
    if (bytes < kBytesPerMb) return std::nullopt;
    const std::int64_t mb = bytes / kBytesPerMb;
    if (mb > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(mb);
}

ProcessNames process_names(const std::vector<platform::ProcessEntry>& snapshot) {
    ProcessNames names;
    for (const platform::ProcessEntry& entry : snapshot) {
        names.insert_or_assign(entry.pid, text::utf16_to_utf8(entry.exe_name));
    }
    return names;
}

void add_process_items(DeviceList& devices, const AdapterMap& adapters, const ProcessNames& names,
                       const std::vector<platform::CounterItem>& items) {
    for (const platform::CounterItem& item : items) add_item(devices, adapters, names, item);
}

void sort_processes(DeviceList& devices) {
    for (GpuDevice& device : devices) {
        std::stable_sort(device.processes.begin(), device.processes.end(),
                         [](const GpuProcess& a, const GpuProcess& b) { return a.total_mb() > b.total_mb(); });
    }
}

void apply_process_memory(DeviceList& devices, const AdapterMap& adapters, platform::GpuOs& os) {
    auto opened = os.open_process_memory();
    if (!opened) return;
    platform::ProcessMemorySession& session = **opened;
    const ProcessNames names = process_names(session.process_snapshot());
    add_process_items(devices, adapters, names, session.dedicated_usage());
    sort_processes(devices);
}

}  // namespace karvo::adapter_stats
