#include "render/figures.h"

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

constexpr MetricShape gauge(std::string_view name, std::string_view help) {
    return MetricShape{name, MetricType::gauge, help};
}

// A gauge whose plain 0 means the source did not report it.
constexpr MetricShape gauge_if_reported(std::string_view name, std::string_view help) {
    MetricShape m{name, MetricType::gauge, help};
    m.zero_unreported = true;
    return m;
}

constexpr MetricShape labelled(MetricShape m, std::string_view key, std::string_view value) {
    m.label_key = key;
    m.label_value = value;
    return m;
}

constexpr std::string_view kVoltageHelp = "Voltage of a supply rail (gfx, soc, mem) in millivolts.";
constexpr std::string_view kEccHelp =
    "Memory errors (ECC) since the driver loaded, summed over the blocks that count them, by type.";

const DeviceFigure kDeviceFigures[] = {
    {"index", "", [](const GpuDevice& d) { return count(d.index); }, {}},
    {"market_name", "", [](const GpuDevice& d) { return text(d.market_name); }, {}},
    {"vendor_id", "", [](const GpuDevice& d) { return count(d.vendor_id); }, {}},
    {"vendor_name", "", [](const GpuDevice& d) { return text(d.vendor_name); }, {}},
    {"device_id", "", [](const GpuDevice& d) { return count(d.device_id); }, {}},
    {"subsystem_id", "", [](const GpuDevice& d) { return count(d.subsystem_id); }, {}},
    {"rev_id", "", [](const GpuDevice& d) { return count(d.rev_id); }, {}},
    {"asic_serial", "", [](const GpuDevice& d) { return text(d.asic_serial); }, {}},
    {"num_cu", "", [](const GpuDevice& d) { return count(d.num_cu); }, {}},
    {"gfx_version", "", [](const GpuDevice& d) { return text(d.gfx_version); }, {}},
    {"vram_type", "", [](const GpuDevice& d) { return text(d.vram_type); }, {}},
    {"vram_total_mb", "MB", [](const GpuDevice& d) { return count(d.vram_total_mb); },
     [] {
         MetricShape m = gauge("amd_gpu_vram_total_mb", "Dedicated video memory (VRAM) of the GPU in MB.");
         m.name_label = true;
         return m;
     }()},
    {"vram_used_mb", "MB", [](const GpuDevice& d) { return count(d.vram_used_mb); },
     gauge("amd_gpu_vram_used_mb", "VRAM in use in MB.")},
    {"vram_pinned_mb", "MB", [](const GpuDevice& d) { return count(d.vram_pinned_mb); },
     gauge("amd_gpu_vram_pinned_mb", "VRAM pinned by the runtime in MB (0 where no source reports it).")},
    {"vram_vendor", "", [](const GpuDevice& d) { return text(d.vram_vendor); }, {}},
    {"bdf", "", [](const GpuDevice& d) { return text(d.bdf); }, {}},
    {"pcie_width", "lanes", [](const GpuDevice& d) { return count(d.pcie_width); },
     gauge_if_reported("amd_gpu_pcie_width", "Current PCIe link width in lanes.")},
    {"pcie_speed_gt", "GT/s", [](const GpuDevice& d) { return count(d.pcie_speed_gt); },
     gauge_if_reported("amd_gpu_pcie_speed_gt", "Current PCIe link speed in GT/s (whole numbers).")},
    {"driver_version", "", [](const GpuDevice& d) { return text(d.driver_version); }, {}},
    {"vbios_version", "", [](const GpuDevice& d) { return text(d.vbios_version); }, {}},
    {"temp_edge_c", "°C", [](const GpuDevice& d) { return real(d.temp_edge_c); },
     gauge("amd_gpu_temp_edge_c", "Edge temperature of the GPU in degrees Celsius.")},
    {"temp_hotspot_c", "°C", [](const GpuDevice& d) { return real(d.temp_hotspot_c); },
     gauge("amd_gpu_temp_hotspot_c", "Hotspot (junction) temperature of the GPU in degrees Celsius.")},
    {"temp_vram_c", "°C", [](const GpuDevice& d) { return real(d.temp_vram_c); },
     gauge("amd_gpu_temp_vram_c", "Temperature of the video memory in degrees Celsius.")},
    {"gfx_clock_mhz", "MHz", [](const GpuDevice& d) { return count(d.gfx_clock_mhz); },
     gauge("amd_gpu_gfx_clock_mhz", "Current graphics clock in MHz.")},
    {"mem_clock_mhz", "MHz", [](const GpuDevice& d) { return count(d.mem_clock_mhz); },
     gauge("amd_gpu_mem_clock_mhz", "Current memory clock in MHz.")},
    {"gfx_util_percent", "%", [](const GpuDevice& d) { return count(d.gfx_util_percent); },
     gauge("amd_gpu_util_percent", "Graphics engine utilisation in percent.")},
    {"power_w", "W", [](const GpuDevice& d) { return real(d.power_w); },
     gauge("amd_gpu_power_watts", "Board (or socket) power draw in watts.")},
    {"power_cap_w", "W", [](const GpuDevice& d) { return real(d.power_cap_w); },
     gauge("amd_gpu_power_cap_watts", "Power limit in watts.")},
    {"gtt_total_mb", "MB", [](const GpuDevice& d) { return count(d.gtt_total_mb); },
     gauge_if_reported("amd_gpu_gtt_total_mb",
                       "System memory the GPU can map (GTT on Linux, shared GPU memory on Windows) in MB.")},
    {"gtt_used_mb", "MB", [](const GpuDevice& d) { return count(d.gtt_used_mb); },
     gauge("amd_gpu_gtt_used_mb", "System memory mapped by the GPU in use, in MB."),
     [](const GpuDevice& d) { return d.gtt_total_mb != 0 || d.gtt_used_mb != 0; }},
    {"fan_rpm", "RPM", [](const GpuDevice& d) { return count(d.fan_rpm); },
     gauge("amd_gpu_fan_rpm", "Fan speed in revolutions per minute.")},
    {"fan_percent", "%", [](const GpuDevice& d) { return count(d.fan_percent); },
     gauge("amd_gpu_fan_percent", "Fan duty in percent of full speed.")},
    {"voltage_gfx_mv", "mV", [](const GpuDevice& d) { return count(d.voltage_gfx_mv); },
     labelled(gauge("amd_gpu_voltage_mv", kVoltageHelp), "rail", "gfx")},
    {"voltage_soc_mv", "mV", [](const GpuDevice& d) { return count(d.voltage_soc_mv); },
     labelled(gauge("amd_gpu_voltage_mv", kVoltageHelp), "rail", "soc")},
    {"voltage_mem_mv", "mV", [](const GpuDevice& d) { return count(d.voltage_mem_mv); },
     labelled(gauge("amd_gpu_voltage_mv", kVoltageHelp), "rail", "mem")},
    {"mem_util_percent", "%", [](const GpuDevice& d) { return count(d.mem_util_percent); },
     gauge("amd_gpu_mem_util_percent", "Memory controller activity in percent.")},
    {"media_util_percent", "%", [](const GpuDevice& d) { return count(d.media_util_percent); },
     gauge("amd_gpu_media_util_percent", "Video engine (decode and encode) activity in percent.")},
    {"energy_j", "J", [](const GpuDevice& d) { return real64(d.energy_j); },
     MetricShape{"amd_gpu_energy_joules_total", MetricType::counter,
                 "Energy used since the driver started counting, in joules (resets with the driver)."}},
    {"throttle", "", [](const GpuDevice& d) { return reasons(d.throttle); },
     gauge("amd_gpu_throttled", "1 while the GPU is throttled for this reason (power, current, thermal, prochot, "
                                "other), else 0.")},
    {"pcie_max_width", "lanes", [](const GpuDevice& d) { return count(d.pcie_max_width); },
     gauge_if_reported("amd_gpu_pcie_max_width", "Widest PCIe link the card and its slot both support, in lanes.")},
    {"pcie_max_speed_gt", "GT/s", [](const GpuDevice& d) { return count(d.pcie_max_speed_gt); },
     gauge_if_reported("amd_gpu_pcie_max_speed_gt", "Fastest PCIe link the card and its slot both support, in GT/s.")},
    {"ecc_correctable", "errors", [](const GpuDevice& d) { return count(d.ecc_correctable); },
     labelled(MetricShape{"amd_gpu_ecc_errors_total", MetricType::counter, kEccHelp}, "type", "correctable")},
    {"ecc_uncorrectable", "errors", [](const GpuDevice& d) { return count(d.ecc_uncorrectable); },
     labelled(MetricShape{"amd_gpu_ecc_errors_total", MetricType::counter, kEccHelp}, "type", "uncorrectable")},
    {"backend", "", [](const GpuDevice& d) { return text(d.backend); }, {}},
    {"processes", "",
     [](const GpuDevice&) {
         FigureValue v;
         v.kind = Kind::processes;
         return v;
     },
     {}},
};

const ProcessFigure kProcessFigures[] = {
    {"pid", "", [](const GpuProcess& p) { return count(p.pid); }, {}},
    {"name", "", [](const GpuProcess& p) { return text(p.name); }, {}},
    {"mem_used_mb", "MB", [](const GpuProcess& p) { return count(p.mem_used_mb); },
     gauge("amd_gpu_process_mem_mb", "VRAM held by a process in MB.")},
    {"proc_type", "", [](const GpuProcess& p) { return text(process_kind_code(p.proc_type)); }, {}},
    {"gtt_used_mb", "MB", [](const GpuProcess& p) { return count(p.gtt_used_mb); },
     gauge("amd_gpu_process_gtt_mb", "System memory mapped by the GPU for a process (GTT, shared memory) in MB.")},
    {"busy_ns", "ns", [](const GpuProcess& p) { return engines(p.busy_ns); },
     [] {
         MetricShape m{"amd_gpu_process_busy_seconds_total", MetricType::counter,
                       "Time a process kept a GPU engine busy, in seconds, by engine."};
         m.divisor = 1e9;
         return m;
     }()},
    {"container_id", "", [](const GpuProcess& p) { return text(p.container_id); }, {}},
    {"container", "", [](const GpuProcess& p) { return text(p.container); }, {}},
    {"pod", "", [](const GpuProcess& p) { return text(p.pod); }, {}},
    {"namespace", "", [](const GpuProcess& p) { return text(p.pod_namespace); }, {}},
};

constexpr InfoLabel kInfoLabels[] = {
    {"name", "market_name"}, {"bdf", "bdf"},       {"gfx", "gfx_version"},  {"serial", "asic_serial"},
    {"driver", "driver_version"}, {"vbios", "vbios_version"}, {"vram_type", "vram_type"}, {"backend", "backend"},
};

constexpr InfoLabel kProcessContextLabels[] = {
    {"container", "container"},
    {"pod", "pod"},
    {"namespace", "namespace"},
};

}  // namespace

std::span<const DeviceFigure> device_figures() { return kDeviceFigures; }
std::span<const ProcessFigure> process_figures() { return kProcessFigures; }
std::span<const InfoLabel> info_labels() { return kInfoLabels; }
std::span<const InfoLabel> process_context_labels() { return kProcessContextLabels; }

std::string label_text(const FigureValue& value) {
    switch (value.kind) {
        case Kind::text: return std::string(value.text);
        case Kind::count: return numfmt::unsigned_text(value.count);
        default: return {};
    }
}

const DeviceFigure* find_device_figure(std::string_view key) {
    for (const DeviceFigure& f : kDeviceFigures)
        if (f.key == key) return &f;
    return nullptr;
}

const ProcessFigure* find_process_figure(std::string_view key) {
    for (const ProcessFigure& f : kProcessFigures)
        if (f.key == key) return &f;
    return nullptr;
}

}  // namespace karvo::render
