#pragma once
// Every figure karvo reports, described once: its JSON key (the table order is
// the key order), its unit as docs/json.md gives it, the Prometheus family it
// feeds with the help text, and the labels it lends to other series. The JSON
// writer, the metrics text and the documentation checks all walk these rows,
// so a figure cannot be added to one output and forgotten in another.

#include <array>
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
    // Written for every GPU, a figure that is not reported as 0: the series
    // that tell a GPU is there at all (alerts and dashboards count them).
    bool always = false;
    bool name_label = false;       // the GPU's name as a label after its id
    double divisor = 1.0;          // sample = value / divisor (nanoseconds to seconds)
};

enum class SampleFigure { none, timestamp, count };

struct DeviceFigure {
    std::string_view key;
    std::string_view unit;  // as docs/json.md words it; "" for names and identifiers
    FigureValue (*read)(const GpuDevice&) = nullptr;
    MetricShape metric;
    // When set, the sample is written only where this holds (a used figure
    // whose total was not reported).
    bool (*sampled)(const GpuDevice&) = nullptr;
    // A label of the info series (amd_gpu_info) and its place among them.
    std::string_view info_label;
    int info_position = 0;
    // A plain 0 means "not reported" (the record has no other way to say
    // so): a query shows [N/A] and the metrics text writes no sample (unless
    // the family is written always).
    bool zero_unreported = false;
    // Queries (--query-gpu): the familiar names that stand for the key, the
    // unit of the CSV cells ("" for none), and what the figure means.
    std::array<std::string_view, 2> aliases{};
    std::string_view csv_unit;
    // Under its familiar names the reading prints as scripts written for
    // other GPU tools expect it: a whole number without a unit (45, not
    // "45.00 C"). Under its JSON key it keeps karvo's own form.
    bool familiar_whole = false;
    std::string_view about;
    // The name --query-apps knows this figure of a process's GPU by.
    std::string_view app_alias;
    // Figures of the sample rather than of a record (timestamp, count).
    SampleFigure sample = SampleFigure::none;
};

struct ProcessFigure {
    std::string_view key;
    std::string_view unit;
    FigureValue (*read)(const GpuProcess&) = nullptr;
    MetricShape metric;
    // A label of every process series, written when the text is not empty.
    std::string_view context_label;
    // Queries (--query-apps): as for a device figure.
    std::array<std::string_view, 1> aliases{};
    std::string_view csv_unit;
    std::string_view about;
};

// In JSON key order.
std::span<const DeviceFigure> device_figures();
std::span<const ProcessFigure> process_figures();

// Figures only queries offer: computed from the record (memory.free, the PCIe
// generations) or taken from the sample (timestamp, count). No JSON key.
std::span<const DeviceFigure> query_only_figures();

// The figure a query names: an alias, else a JSON key; nullptr when none.
const DeviceFigure* find_query_figure(std::string_view name);
// For --query-apps: a process alias or key, else nullptr (see app_alias).
const ProcessFigure* find_app_figure(std::string_view name);
const DeviceFigure* find_app_gpu_figure(std::string_view name);

// The unit a query cell shows under the figure's familiar names ("" for none).
constexpr std::string_view familiar_unit(const DeviceFigure& f) { return f.familiar_whole ? "" : f.csv_unit; }

// The figures that label the info series, in label order.
std::span<const DeviceFigure* const> info_figures();

inline constexpr std::string_view kInfoMetric = "amd_gpu_info";
inline constexpr std::string_view kInfoHelp =
    "Identity of each GPU as labels (name, PCI address, graphics target, serial, driver, VBIOS, memory type, "
    "sources); the value is always 1.";
inline constexpr std::string_view kDiscoveryMetric = "amd_gpu_discovery_seconds";
inline constexpr std::string_view kDiscoveryHelp = "How long the discovery pass behind this scrape took, in seconds.";
inline constexpr std::string_view kProcessesDroppedMetric = "amd_gpu_process_series_dropped";
inline constexpr std::string_view kProcessesDroppedHelp =
    "Processes on the GPU that have no process series (left out by --metrics-processes or --metrics-max-processes).";
inline constexpr std::string_view kSourceUpMetric = "amd_gpu_source_up";
inline constexpr std::string_view kSourceUpHelp =
    "1 when the source answered the discovery pass behind this scrape, 0 when it did not (reason: missing, failed "
    "or timeout).";
inline constexpr std::string_view kSourceSecondsMetric = "amd_gpu_source_seconds";
inline constexpr std::string_view kSourceSecondsHelp =
    "Time the discovery pass behind this scrape spent asking the source, in seconds.";

// The text of a figure's value in a label (the info series): strings as they
// are, numbers in decimal.
std::string label_text(const FigureValue& value);

// How every output spells a process's kind: "C" (compute) or "G" (graphics).
constexpr std::string_view process_kind_code(ProcessKind kind) { return kind == ProcessKind::compute ? "C" : "G"; }

}  // namespace karvo::render
