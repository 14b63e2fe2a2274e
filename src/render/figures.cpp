#include "render/figures.h"

#include <algorithm>
#include <array>
#include <optional>

#include "common/numfmt.h"

namespace karvo::render {
namespace {

using Kind = FigureValue::Kind;

FigureValue count(std::uint64_t value) {
    FigureValue v;
    v.kind = Kind::count;
    v.count = value;
    return v;
}

template <class T>
FigureValue count(const std::optional<T>& value) {
    return value ? count(static_cast<std::uint64_t>(*value)) : FigureValue{};
}

FigureValue real(const std::optional<float>& value) {
    FigureValue v;
    if (value) {
        v.kind = Kind::real;
        v.real = *value;
    }
    return v;
}

FigureValue real64(const std::optional<double>& value) {
    FigureValue v;
    if (value) {
        v.kind = Kind::real64;
        v.real64 = *value;
    }
    return v;
}

FigureValue text(std::string_view value) {
    FigureValue v;
    v.kind = Kind::text;
    v.text = value;
    return v;
}

FigureValue reasons(const std::optional<std::vector<std::string>>& value) {
    FigureValue v;
    if (value) {
        v.kind = Kind::reasons;
        v.reasons = &*value;
    }
    return v;
}

FigureValue engines(const std::optional<EngineTimes>& value) {
    FigureValue v;
    if (value) {
        v.kind = Kind::engines;
        v.engines = &*value;
    }
    return v;
}

constexpr MetricType gauge = MetricType::gauge;
constexpr MetricType counter = MetricType::counter;

constexpr std::string_view kVoltageHelp = "Voltage of a supply rail (gfx, soc, mem) in millivolts.";
constexpr std::string_view kEccHelp =
    "Memory errors (ECC) since the driver loaded, summed over the blocks that count them, by type.";

const DeviceFigure kDeviceFigures[] = {
    {.key = "index", .read = [](const GpuDevice& d) { return count(d.index); },
     .about = "Position of the GPU in discovery order (what --id takes)",
     .app_alias = "gpu_index"},
    {.key = "market_name",
     .read = [](const GpuDevice& d) { return text(d.market_name); },
     .info_label = "name",
     .info_position = 0,
     .aliases = {"name"},
     .about = "Marketing name",
     .app_alias = "gpu_name"},
    {.key = "vendor_id", .read = [](const GpuDevice& d) { return count(d.vendor_id); },
     .about = "PCI vendor ID (4098 = AMD)"},
    {.key = "vendor_name", .read = [](const GpuDevice& d) { return text(d.vendor_name); },
     .about = "Vendor name"},
    {.key = "device_id", .read = [](const GpuDevice& d) { return count(d.device_id); },
     .zero_unreported = true,
     .about = "PCI device ID"},
    {.key = "subsystem_id", .read = [](const GpuDevice& d) { return count(d.subsystem_id); },
     .zero_unreported = true,
     .about = "PCI subsystem ID (device << 16 | vendor)"},
    {.key = "rev_id", .read = [](const GpuDevice& d) { return count(d.rev_id); },
     .zero_unreported = true,
     .about = "PCI revision ID"},
    {.key = "asic_serial",
     .read = [](const GpuDevice& d) { return text(d.asic_serial); },
     .info_label = "serial",
     .info_position = 3,
     .aliases = {"serial"},
     .about = "ASIC serial number"},
    {.key = "num_cu", .unit = "CUs", .read = [](const GpuDevice& d) { return count(d.num_cu); },
     .zero_unreported = true,
     .about = "Compute units"},
    {.key = "gfx_version",
     .read = [](const GpuDevice& d) { return text(d.gfx_version); },
     .info_label = "gfx",
     .info_position = 2,
     .about = "Graphics target, such as gfx1100"},
    {.key = "vram_type",
     .read = [](const GpuDevice& d) { return text(d.vram_type); },
     .info_label = "vram_type",
     .info_position = 6,
     .about = "Memory technology, such as GDDR6"},
    {.key = "vram_total_mb",
     .unit = "MB",
     .read = [](const GpuDevice& d) { return count(d.vram_total_mb); },
     .metric = {.name = "amd_gpu_vram_total_mb",
                .type = gauge,
                .help = "Dedicated video memory (VRAM) of the GPU in MB.",
                .always = true,
                .name_label = true},
     .zero_unreported = true,
     .aliases = {"memory.total"},
     .csv_unit = "MiB",
     .about = "Dedicated video memory (VRAM)"},
    {.key = "vram_used_mb",
     .unit = "MB",
     .read = [](const GpuDevice& d) { return count(d.vram_used_mb); },
     .metric = {.name = "amd_gpu_vram_used_mb", .type = gauge, .help = "VRAM in use in MB.", .always = true},
     .zero_unreported = true,
     .aliases = {"memory.used"},
     .csv_unit = "MiB",
     .about = "VRAM in use"},
    {.key = "vram_pinned_mb",
     .unit = "MB",
     .read = [](const GpuDevice& d) { return count(d.vram_pinned_mb); },
     .metric = {.name = "amd_gpu_vram_pinned_mb",
                .type = gauge,
                .help = "VRAM pinned by the runtime in MB (0 where no source reports it)."},
     .csv_unit = "MiB",
     .about = "VRAM pinned by the runtime"},
    {.key = "vram_vendor", .read = [](const GpuDevice& d) { return text(d.vram_vendor); },
     .about = "Memory chip vendor"},
    {.key = "bdf", .read = [](const GpuDevice& d) { return text(d.bdf); }, .info_label = "bdf", .info_position = 1,
     .aliases = {"pci.bus_id"},
     .about = "PCI address (Linux) or device instance path (Windows)",
     .app_alias = "gpu_bus_id"},
    {.key = "pcie_width",
     .unit = "lanes",
     .read = [](const GpuDevice& d) { return count(d.pcie_width); },
     .metric = {.name = "amd_gpu_pcie_width",
                .type = gauge,
                .help = "Current PCIe link width in lanes."},
     .zero_unreported = true,
     .aliases = {"pcie.link.width.current"},
     .about = "Current PCIe link width in lanes"},
    {.key = "pcie_speed_gt",
     .unit = "GT/s",
     .read = [](const GpuDevice& d) { return count(d.pcie_speed_gt); },
     .metric = {.name = "amd_gpu_pcie_speed_gt",
                .type = gauge,
                .help = "Current PCIe link speed in GT/s (whole numbers)."},
     .zero_unreported = true,
     .csv_unit = "GT/s",
     .about = "Current PCIe link speed"},
    {.key = "driver_version",
     .read = [](const GpuDevice& d) { return text(d.driver_version); },
     .info_label = "driver",
     .info_position = 4,
     .about = "Driver version"},
    {.key = "vbios_version",
     .read = [](const GpuDevice& d) { return text(d.vbios_version); },
     .info_label = "vbios",
     .info_position = 5,
     .about = "Video BIOS version"},
    {.key = "temp_edge_c",
     .unit = "°C",
     .read = [](const GpuDevice& d) { return real(d.temp_edge_c); },
     .metric = {.name = "amd_gpu_temp_edge_c",
                .type = gauge,
                .help = "Edge temperature of the GPU in degrees Celsius."},
     .aliases = {"temperature.gpu"},
     .csv_unit = "C",
     .familiar_whole = true,
     .about = "Edge temperature, degrees Celsius"},
    {.key = "temp_hotspot_c",
     .unit = "°C",
     .read = [](const GpuDevice& d) { return real(d.temp_hotspot_c); },
     .metric = {.name = "amd_gpu_temp_hotspot_c",
                .type = gauge,
                .help = "Hotspot (junction) temperature of the GPU in degrees Celsius."},
     .aliases = {"temperature.hotspot"},
     .csv_unit = "C",
     .familiar_whole = true,
     .about = "Hotspot (junction) temperature, degrees Celsius"},
    {.key = "temp_vram_c",
     .unit = "°C",
     .read = [](const GpuDevice& d) { return real(d.temp_vram_c); },
     .metric = {.name = "amd_gpu_temp_vram_c",
                .type = gauge,
                .help = "Temperature of the video memory in degrees Celsius."},
     .aliases = {"temperature.memory"},
     .csv_unit = "C",
     .familiar_whole = true,
     .about = "Memory temperature, degrees Celsius"},
    {.key = "gfx_clock_mhz",
     .unit = "MHz",
     .read = [](const GpuDevice& d) { return count(d.gfx_clock_mhz); },
     .metric = {.name = "amd_gpu_gfx_clock_mhz", .type = gauge, .help = "Current graphics clock in MHz."},
     .aliases = {"clocks.gr", "clocks.current.graphics"},
     .csv_unit = "MHz",
     .about = "Current graphics clock"},
    {.key = "mem_clock_mhz",
     .unit = "MHz",
     .read = [](const GpuDevice& d) { return count(d.mem_clock_mhz); },
     .metric = {.name = "amd_gpu_mem_clock_mhz", .type = gauge, .help = "Current memory clock in MHz."},
     .aliases = {"clocks.mem", "clocks.current.memory"},
     .csv_unit = "MHz",
     .about = "Current memory clock"},
    {.key = "gfx_util_percent",
     .unit = "%",
     .read = [](const GpuDevice& d) { return count(d.gfx_util_percent); },
     .metric = {.name = "amd_gpu_util_percent", .type = gauge, .help = "Graphics engine utilisation in percent."},
     .aliases = {"utilization.gpu"},
     .csv_unit = "%",
     .about = "Graphics engine utilisation"},
    {.key = "power_w",
     .unit = "W",
     .read = [](const GpuDevice& d) { return real(d.power_w); },
     .metric = {.name = "amd_gpu_power_watts", .type = gauge, .help = "Board (or socket) power draw in watts."},
     .aliases = {"power.draw"},
     .csv_unit = "W",
     .about = "Board power draw"},
    {.key = "power_cap_w",
     .unit = "W",
     .read = [](const GpuDevice& d) { return real(d.power_cap_w); },
     .metric = {.name = "amd_gpu_power_cap_watts", .type = gauge, .help = "Power limit in watts."},
     .aliases = {"power.limit"},
     .csv_unit = "W",
     .about = "Power limit"},
    {.key = "gtt_total_mb",
     .unit = "MB",
     .read = [](const GpuDevice& d) { return count(d.gtt_total_mb); },
     .metric = {.name = "amd_gpu_gtt_total_mb",
                .type = gauge,
                .help = "System memory the GPU can map (GTT on Linux, shared GPU memory on Windows) in MB."},
     .zero_unreported = true,
     .csv_unit = "MiB",
     .about = "System memory the GPU can map (GTT, shared GPU memory)"},
    {.key = "gtt_used_mb",
     .unit = "MB",
     .read = [](const GpuDevice& d) { return count(d.gtt_used_mb); },
     .metric = {.name = "amd_gpu_gtt_used_mb", .type = gauge, .help = "System memory mapped by the GPU in use, in MB."},
     .sampled = [](const GpuDevice& d) { return d.gtt_total_mb != 0 || d.gtt_used_mb != 0; },
     .csv_unit = "MiB",
     .about = "Mapped system memory in use"},
    {.key = "fan_rpm",
     .unit = "RPM",
     .read = [](const GpuDevice& d) { return count(d.fan_rpm); },
     .metric = {.name = "amd_gpu_fan_rpm", .type = gauge, .help = "Fan speed in revolutions per minute."},
     .csv_unit = "RPM",
     .about = "Fan speed"},
    {.key = "fan_percent",
     .unit = "%",
     .read = [](const GpuDevice& d) { return count(d.fan_percent); },
     .metric = {.name = "amd_gpu_fan_percent", .type = gauge, .help = "Fan duty in percent of full speed."},
     .aliases = {"fan.speed"},
     .csv_unit = "%",
     .about = "Fan duty in percent of full speed"},
    {.key = "voltage_gfx_mv",
     .unit = "mV",
     .read = [](const GpuDevice& d) { return count(d.voltage_gfx_mv); },
     .metric = {.name = "amd_gpu_voltage_mv", .type = gauge, .help = kVoltageHelp, .label_key = "rail",
                .label_value = "gfx"},
     .csv_unit = "mV",
     .about = "Graphics rail voltage"},
    {.key = "voltage_soc_mv",
     .unit = "mV",
     .read = [](const GpuDevice& d) { return count(d.voltage_soc_mv); },
     .metric = {.name = "amd_gpu_voltage_mv", .type = gauge, .help = kVoltageHelp, .label_key = "rail",
                .label_value = "soc"},
     .csv_unit = "mV",
     .about = "SoC rail voltage"},
    {.key = "voltage_mem_mv",
     .unit = "mV",
     .read = [](const GpuDevice& d) { return count(d.voltage_mem_mv); },
     .metric = {.name = "amd_gpu_voltage_mv", .type = gauge, .help = kVoltageHelp, .label_key = "rail",
                .label_value = "mem"},
     .csv_unit = "mV",
     .about = "Memory rail voltage"},
    {.key = "mem_util_percent",
     .unit = "%",
     .read = [](const GpuDevice& d) { return count(d.mem_util_percent); },
     .metric = {.name = "amd_gpu_mem_util_percent", .type = gauge, .help = "Memory controller activity in percent."},
     .aliases = {"utilization.memory"},
     .csv_unit = "%",
     .about = "Memory controller activity"},
    {.key = "media_util_percent",
     .unit = "%",
     .read = [](const GpuDevice& d) { return count(d.media_util_percent); },
     .metric = {.name = "amd_gpu_media_util_percent",
                .type = gauge,
                .help = "Video engine (decode and encode) activity in percent."},
     .csv_unit = "%",
     .about = "Video engine (decode, encode) activity"},
    {.key = "energy_j",
     .unit = "J",
     .read = [](const GpuDevice& d) { return real64(d.energy_j); },
     .metric = {.name = "amd_gpu_energy_joules_total",
                .type = counter,
                .help = "Energy used since the driver started counting, in joules (resets with the driver)."},
     .csv_unit = "J",
     .about = "Energy used since the driver started counting"},
    {.key = "throttle",
     .read = [](const GpuDevice& d) { return reasons(d.throttle); },
     .metric = {.name = "amd_gpu_throttled",
                .type = gauge,
                .help = "1 while the GPU is throttled for this reason (power, current, thermal, prochot, other), "
                        "else 0."},
     .about = "Active throttling reasons joined with | (none: not throttled)"},
    {.key = "pcie_max_width",
     .unit = "lanes",
     .read = [](const GpuDevice& d) { return count(d.pcie_max_width); },
     .metric = {.name = "amd_gpu_pcie_max_width",
                .type = gauge,
                .help = "Widest PCIe link the card and its slot both support, in lanes."},
     .zero_unreported = true,
     .aliases = {"pcie.link.width.max"},
     .about = "Widest PCIe link card and slot support, in lanes"},
    {.key = "pcie_max_speed_gt",
     .unit = "GT/s",
     .read = [](const GpuDevice& d) { return count(d.pcie_max_speed_gt); },
     .metric = {.name = "amd_gpu_pcie_max_speed_gt",
                .type = gauge,
                .help = "Fastest PCIe link the card and its slot both support, in GT/s."},
     .zero_unreported = true,
     .csv_unit = "GT/s",
     .about = "Fastest PCIe link card and slot support"},
    {.key = "ecc_correctable",
     .unit = "errors",
     .read = [](const GpuDevice& d) { return count(d.ecc_correctable); },
     .metric = {.name = "amd_gpu_ecc_errors_total", .type = counter, .help = kEccHelp, .label_key = "type",
                .label_value = "correctable"},
     .about = "Correctable memory (ECC) errors since the driver loaded"},
    {.key = "ecc_uncorrectable",
     .unit = "errors",
     .read = [](const GpuDevice& d) { return count(d.ecc_uncorrectable); },
     .metric = {.name = "amd_gpu_ecc_errors_total", .type = counter, .help = kEccHelp, .label_key = "type",
                .label_value = "uncorrectable"},
     .about = "Uncorrectable memory (ECC) errors since the driver loaded"},
    {.key = "backend",
     .read = [](const GpuDevice& d) { return text(d.backend); },
     .info_label = "backend",
     .info_position = 7,
     .about = "Sources of the record"},
    {.key = "processes",
     .read = [](const GpuDevice&) {
         FigureValue v;
         v.kind = Kind::processes;
         return v;
     },
     .about = "Number of processes listed on the GPU"},
};

const ProcessFigure kProcessFigures[] = {
    {.key = "pid", .read = [](const GpuProcess& p) { return count(p.pid); },
     .about = "Process ID"},
    {.key = "name", .read = [](const GpuProcess& p) { return text(p.name); },
     .aliases = {"process_name"},
     .about = "Executable name"},
    {.key = "mem_used_mb",
     .unit = "MB",
     .read = [](const GpuProcess& p) { return count(p.mem_used_mb); },
     .metric = {.name = "amd_gpu_process_mem_mb", .type = gauge, .help = "VRAM held by a process in MB."},
     .aliases = {"used_memory"},
     .csv_unit = "MiB",
     .about = "Dedicated video memory (VRAM) held"},
    {.key = "proc_type", .read = [](const GpuProcess& p) { return text(process_kind_code(p.proc_type)); },
     .aliases = {"type"},
     .about = "C (compute) or G (graphics)"},
    {.key = "gtt_used_mb",
     .unit = "MB",
     .read = [](const GpuProcess& p) { return count(p.gtt_used_mb); },
     .metric = {.name = "amd_gpu_process_gtt_mb",
                .type = gauge,
                .help = "System memory mapped by the GPU for a process (GTT, shared memory) in MB."},
     .aliases = {"used_gtt"},
     .csv_unit = "MiB",
     .about = "Shared system memory (GTT) mapped"},
    {.key = "busy_ns",
     .unit = "ns",
     .read = [](const GpuProcess& p) { return engines(p.busy_ns); },
     .metric = {.name = "amd_gpu_process_busy_seconds_total",
                .type = counter,
                .help = "Time a process kept a GPU engine busy, in seconds, by engine.",
                .divisor = 1e9},
     .about = "Busy nanoseconds per engine since the process opened the GPU, engine=ns joined with |"},
    {.key = "container_id", .read = [](const GpuProcess& p) { return text(p.container_id); },
     .about = "Container ID (12 hex digits)"},
    {.key = "container", .read = [](const GpuProcess& p) { return text(p.container); }, .context_label = "container",
     .about = "Container name"},
    {.key = "pod", .read = [](const GpuProcess& p) { return text(p.pod); }, .context_label = "pod",
     .about = "Kubernetes pod"},
    {.key = "namespace",
     .read = [](const GpuProcess& p) { return text(p.pod_namespace); },
     .context_label = "namespace",
     .about = "Kubernetes namespace"},
};

// PCIe generation of a transfer rate in GT/s (2.5 -> 1, 5 -> 2, 8 -> 3, 16 -> 4, 32 -> 5, 64 -> 6);
// 0 when unknown.
std::uint64_t pcie_generation(std::uint32_t gt) {
    if (gt == 0) return 0;
    if (gt <= 2) return 1;  // 2.5 GT/s is held as 2
    std::uint64_t generation = 2;
    for (std::uint32_t rate = 5; rate < gt && generation < 64; rate = rate == 5 ? 8 : rate * 2) ++generation;
    return generation;
}

const DeviceFigure kQueryOnlyFigures[] = {
    {.key = "",
     .read = [](const GpuDevice& d) {
         // Both figures reported, else nothing to subtract.
         if (d.vram_total_mb == 0 || d.vram_used_mb == 0) return FigureValue{};
         return count(d.vram_total_mb - std::min(d.vram_used_mb, d.vram_total_mb));
     },
     .aliases = {"memory.free"},
     .csv_unit = "MiB",
     .about = "VRAM not in use (total - used)"},
    {.key = "",
     .read = [](const GpuDevice& d) { return count(pcie_generation(d.pcie_speed_gt)); },
     .zero_unreported = true,
     .aliases = {"pcie.link.gen.current"},
     .about = "Current PCIe generation, from the link speed"},
    {.key = "",
     .read = [](const GpuDevice& d) { return count(pcie_generation(d.pcie_max_speed_gt)); },
     .zero_unreported = true,
     .aliases = {"pcie.link.gen.max"},
     .about = "Highest PCIe generation card and slot support, from the link speed"},
    {.key = "",
     .read = [](const GpuDevice&) { return FigureValue{}; },
     .aliases = {"timestamp"},
     .about = "Local time of the sample, YYYY/MM/DD HH:MM:SS.mmm",
     .sample = SampleFigure::timestamp},
    {.key = "",
     .read = [](const GpuDevice&) { return FigureValue{}; },
     .aliases = {"count"},
     .about = "Number of GPUs in the sample",
     .sample = SampleFigure::count},
};

// The info figures by their place among the labels.
std::vector<const DeviceFigure*> ordered_info_figures() {
    std::vector<const DeviceFigure*> figures;
    for (const DeviceFigure& f : kDeviceFigures)
        if (!f.info_label.empty()) figures.push_back(&f);
    std::sort(figures.begin(), figures.end(),
              [](const DeviceFigure* a, const DeviceFigure* b) { return a->info_position < b->info_position; });
    return figures;
}

}  // namespace

std::span<const DeviceFigure> device_figures() { return kDeviceFigures; }
std::span<const ProcessFigure> process_figures() { return kProcessFigures; }

std::span<const DeviceFigure* const> info_figures() {
    static const std::vector<const DeviceFigure*> figures = ordered_info_figures();
    return figures;
}

std::span<const DeviceFigure> query_only_figures() { return kQueryOnlyFigures; }

const DeviceFigure* find_query_figure(std::string_view name) {
    for (const auto table : {device_figures(), query_only_figures()})
        for (const DeviceFigure& f : table)
            if (std::find(f.aliases.begin(), f.aliases.end(), name) != f.aliases.end() && !name.empty()) return &f;
    for (const DeviceFigure& f : kDeviceFigures)
        if (f.key == name) return &f;
    return nullptr;
}

const ProcessFigure* find_app_figure(std::string_view name) {
    for (const ProcessFigure& f : kProcessFigures)
        if ((f.aliases[0] == name || f.key == name) && !name.empty()) return &f;
    return nullptr;
}

const DeviceFigure* find_app_gpu_figure(std::string_view name) {
    for (const DeviceFigure& f : kDeviceFigures)
        if (f.app_alias == name && !name.empty()) return &f;
    return nullptr;
}

std::string label_text(const FigureValue& value) {
    switch (value.kind) {
        case Kind::text: return std::string(value.text);
        case Kind::count: return numfmt::unsigned_text(value.count);
        default: return {};
    }
}

}  // namespace karvo::render
