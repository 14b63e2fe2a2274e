#include "discovery/adapter_stats/process_memory.h"

#include <algorithm>
#include <array>
#include <limits>

#include "common/text.h"
#include "discovery/sources/source_ledger.h"

namespace karvo::discovery::adapter_stats {
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

GpuProcess* find_process(GpuDevice& device, std::uint32_t pid) {
    for (GpuProcess& process : device.processes) {
        if (process.pid == pid) return &process;
    }
    return nullptr;
}

// The record and process an item of a per-process counter belongs to.
struct Target {
    GpuDevice* device = nullptr;
    std::uint32_t pid = 0;
    std::string lower_name;
};

std::optional<Target> target_of(DeviceList& devices, const AdapterMap& adapters, const platform::CounterItem& item) {
    if (!item.name) return std::nullopt;
    std::string lower = text::ascii_lower(text::utf16_to_utf8(*item.name));
    const auto pid = instance_process_id(lower);
    if (!pid) return std::nullopt;
    const auto position = record_of(adapters, lower);
    if (!position || *position >= devices.size()) return std::nullopt;
    return Target{&devices[*position], *pid, std::move(lower)};
}

enum class Memory { dedicated, shared };

void add_memory_item(DeviceList& devices, const AdapterMap& adapters, const ProcessNames& names,
                     const platform::CounterItem& item, Memory kind) {
    const auto mb = counter_megabytes(item.value);
    if (!mb) return;
    const auto target = target_of(devices, adapters, item);
    if (!target) return;
    GpuDevice& device = *target->device;
    // A process cannot hold more than the adapter has; such a reading is stale or bogus.
    const std::uint32_t limit = kind == Memory::dedicated ? device.vram_total_mb : device.gtt_total_mb;
    if (limit != 0 && limit < *mb) return;

    // One process may show up once per physical part of the adapter: keep the largest.
    if (GpuProcess* process = find_process(device, target->pid)) {
        std::uint32_t& field = kind == Memory::dedicated ? process->mem_used_mb : process->gtt_used_mb;
        field = std::max(field, *mb);
        return;
    }
    const auto named = names.find(target->pid);
    GpuProcess process;
    process.pid = target->pid;
    process.name = named != names.end() ? named->second : std::string("Unknown");
    process.proc_type = classify_process(process.name);
    (kind == Memory::dedicated ? process.mem_used_mb : process.gtt_used_mb) = *mb;
    device.processes.push_back(std::move(process));
}

void add_engine_item(DeviceList& devices, const AdapterMap& adapters, const platform::CounterItem& item) {
    const auto ns = running_time_ns(item.value);
    if (!ns) return;
    const auto target = target_of(devices, adapters, item);
    if (!target) return;
    const auto engine = instance_engine(target->lower_name);
    if (!engine) return;
    // Engine time alone does not list a process.
    GpuProcess* process = find_process(*target->device, target->pid);
    if (process == nullptr) return;
    if (!process->busy_ns) process->busy_ns.emplace();
    process->busy_ns->add(*engine, *ns);
}

}  // namespace

ProcessKind classify_process(std::string_view name) {
    static constexpr std::array<std::string_view, 7> kComputeMarks = {"python", "ollama", "llama", "torch",
                                                                       "vllm",   "triton", "compute"};
    const std::string lower = text::ascii_lower(name);
    for (std::string_view mark : kComputeMarks) {
        if (lower.find(mark) != std::string::npos) return ProcessKind::compute;
    }
    return ProcessKind::graphics;
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

std::optional<Engine> instance_engine(std::string_view instance_name) {
    constexpr std::string_view kMarker = "_engtype_";
    const std::string lower = text::ascii_lower(instance_name);
    const std::size_t at = lower.find(kMarker);
    if (at == std::string::npos) return std::nullopt;
    std::string_view raw = std::string_view(lower).substr(at + kMarker.size());
    // PDH tells apart instances of the same name by appending "#1", "#2", ...
    raw = raw.substr(0, raw.find('#'));
    // Drivers spell the same engine with and without blanks ("VideoDecode",
    // AMD's "Video Decode"), so the label is compared without them.
    std::string label;
    for (const char c : raw)
        if (c != ' ') label += c;

    struct Group {
        std::string_view prefix;
        Engine engine;
    };
    // JPEG decoding is a decoder's work, as the kernel counts it on Linux.
    static constexpr std::array<Group, 9> kGroups = {{
        {"3d", Engine::gfx},
        {"highpriority3d", Engine::gfx},
        {"compute", Engine::compute},
        {"highprioritycompute", Engine::compute},
        {"copy", Engine::dma},
        {"videodecode", Engine::dec},
        {"videocodec", Engine::dec},
        {"videojpeg", Engine::dec},
        {"videoencode", Engine::enc},
    }};
    for (const Group& group : kGroups) {
        if (label.starts_with(group.prefix)) return group.engine;
    }
    return Engine::other;
}

std::optional<std::uint64_t> running_time_ns(std::int64_t ticks) {
    if (ticks < 0) return std::nullopt;
    constexpr std::uint64_t kNsPerTick = 100;
    const auto value = static_cast<std::uint64_t>(ticks);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    return value > kMax / kNsPerTick ? kMax : value * kNsPerTick;
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
    for (const platform::CounterItem& item : items) add_memory_item(devices, adapters, names, item, Memory::dedicated);
}

void add_shared_items(DeviceList& devices, const AdapterMap& adapters, const ProcessNames& names,
                      const std::vector<platform::CounterItem>& items) {
    for (const platform::CounterItem& item : items) add_memory_item(devices, adapters, names, item, Memory::shared);
}

void add_engine_items(DeviceList& devices, const AdapterMap& adapters,
                      const std::vector<platform::CounterItem>& items) {
    for (const platform::CounterItem& item : items) add_engine_item(devices, adapters, item);
}

void sort_processes(DeviceList& devices) {
    for (GpuDevice& device : devices) {
        std::stable_sort(device.processes.begin(), device.processes.end(),
                         [](const GpuProcess& a, const GpuProcess& b) { return a.total_mb() > b.total_mb(); });
    }
}

void apply_process_memory(DeviceList& devices, const AdapterMap& adapters, platform::GpuOs& os) {
    constexpr std::string_view kSource = "pdh";
    const SourceTimer timed(kSource);
    auto opened = os.open_process_memory();
    // A counter that cannot be read gives no items, which is no different from
    // no process using the GPU: only a session that cannot open says more.
    note_source(kSource, opened ? std::nullopt : std::optional(SourceReason::missing));
    if (!opened) return;
    platform::ProcessMemorySession& session = **opened;
    const ProcessNames names = process_names(session.process_snapshot());
    const platform::ProcessCounters counters = session.collect_counters();
    add_process_items(devices, adapters, names, counters.dedicated);
    add_shared_items(devices, adapters, names, counters.shared);
    add_engine_items(devices, adapters, counters.running_time);
    sort_processes(devices);
}

}  // namespace karvo::discovery::adapter_stats
