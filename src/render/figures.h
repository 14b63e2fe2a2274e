#pragma once
// Every figure karvo reports, described once: its JSON key (the table order is
// the key order), its unit, and the Prometheus family it feeds, with the help
// text. The JSON writer, the metrics text and the documentation checks all walk
// these tables, so a figure cannot be added to one output and forgotten in
// another.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/device.h"

namespace karvo::render {

// One figure of one record, as the renderers see it.
struct FigureValue {
    enum class Kind {
        null,       // not reported
        count,      // unsigned integer
        real,       // 32-bit float
        real64,     // double
        text,       // string
        reasons,    // list of throttling reasons
        engines,    // busy nanoseconds per engine
        processes,  // the device's process list
    };
    Kind kind = Kind::null;
    std::uint64_t count = 0;
    float real = 0;
    double real64 = 0;
    std::string_view text;
    const std::vector<std::string>* reasons = nullptr;
    const EngineTimes* engines = nullptr;
};

enum class MetricType { none, gauge, counter };

// How a figure appears in the metrics text. Samples of one family are written
// together; several figures may feed one family, told apart by a fixed label.
struct MetricShape {
    std::string_view name;  // empty: no metric
    MetricType type = MetricType::none;
    std::string_view help;
    std::string_view label_key;  // a fixed label of this figure's sample ("rail", "type")
    std::string_view label_value;
    bool zero_unreported = false;  // a plain 0 means "not reported": no sample
    bool name_label = false;       // the GPU's name as a label after its id
    double divisor = 1.0;          // sample = value / divisor (nanoseconds to seconds)
};

struct DeviceFigure {
    std::string_view key;
    std::string_view unit;  // "" for names and identifiers
    FigureValue (*read)(const GpuDevice&);
    MetricShape metric;
    // When set, the sample is written only where this holds (a used figure
    // whose total was not reported).
    bool (*sampled)(const GpuDevice&) = nullptr;
};

struct ProcessFigure {
    std::string_view key;
    std::string_view unit;
    FigureValue (*read)(const GpuProcess&);
    MetricShape metric;
};

// In JSON key order.
std::span<const DeviceFigure> device_figures();
std::span<const ProcessFigure> process_figures();

// The labels of the info series (name, then the key the value comes from), and
// the families that are not a figure of a record.
struct InfoLabel {
    std::string_view label;
    std::string_view key;
};
std::span<const InfoLabel> info_labels();

inline constexpr std::string_view kInfoMetric = "amd_gpu_info";
inline constexpr std::string_view kInfoHelp =
    "Identity of each GPU as labels (name, PCI address, graphics target, serial, driver, VBIOS, memory type, "
    "sources); the value is always 1.";
inline constexpr std::string_view kDiscoveryMetric = "amd_gpu_discovery_seconds";
inline constexpr std::string_view kDiscoveryHelp = "How long the discovery pass behind this scrape took, in seconds.";

// Labels of the process families beyond id, pid, name and type, written when
// non-empty (label name, then the process key).
std::span<const InfoLabel> process_context_labels();

// The text of a figure's value in a label (the info series): strings as they
// are, numbers in decimal.
std::string label_text(const FigureValue& value);

// How every output spells a process's kind: "C" (compute) or "G" (graphics).
constexpr std::string_view process_kind_code(ProcessKind kind) { return kind == ProcessKind::compute ? "C" : "G"; }

// The figure of a record by its JSON key; nullptr when there is none.
const DeviceFigure* find_device_figure(std::string_view key);
const ProcessFigure* find_process_figure(std::string_view key);

}  // namespace karvo::render
