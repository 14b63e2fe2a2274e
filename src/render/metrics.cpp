#include "render/metrics.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/numfmt.h"
#include "common/text.h"
#include "render/figures.h"

namespace karvo::render {
namespace {

void append_escaped_label(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n':
            case '\r': out += ' '; break;
            default: out += c;
        }
    }
}

void append_label(std::string& out, std::string_view key, std::string_view value) {
    out += ',';
    out += key;
    out += "=\"";
    append_label_value(out, value);
    out += '"';
}

void append_family_header(std::string& out, std::string_view name, std::string_view help, MetricType type) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += type == MetricType::counter ? " counter\n" : " gauge\n";
}

// A sample's number: integers in decimal, floats in their shortest plain form.
void append_number(std::string& out, const FigureValue& v, double divisor) {
    using Kind = FigureValue::Kind;
    if (divisor != 1.0) {
        const double raw = v.kind == Kind::count ? static_cast<double>(v.count) : v.kind == Kind::real ? v.real : v.real64;
        numfmt::append_double_plain(out, raw / divisor);
    } else if (v.kind == Kind::count) {
        numfmt::append_unsigned(out, v.count);
    } else if (v.kind == Kind::real) {
        numfmt::append_float_plain(out, v.real);
    } else {
        numfmt::append_double_plain(out, v.real64);
    }
}

// Writes the samples of one figure: `labels` is the label set so far, without
// its closing brace ("{id=\"0\"" and so on). `zero_unreported`: the figure's
// plain 0 means "not reported".
void append_samples(std::string& out, const MetricShape& m, const FigureValue& v, std::string_view labels,
                    bool zero_unreported = false) {
    using Kind = FigureValue::Kind;
    auto begin = [&](std::string_view extra_key, std::string_view extra_value) {
        out += m.name;
        out += labels;
        if (!m.label_key.empty()) append_label(out, m.label_key, m.label_value);
        if (!extra_key.empty()) append_label(out, extra_key, extra_value);
        out += "} ";
    };
    switch (v.kind) {
        case Kind::null:
        case Kind::text:
        case Kind::processes: return;
        case Kind::count:
            if (zero_unreported && v.count == 0 && !m.always) return;
            [[fallthrough]];
        case Kind::real:
        case Kind::real64:
            begin({}, {});
            append_number(out, v, m.divisor);
            out += '\n';
            return;
        case Kind::reasons:
            for (const char* reason : kThrottleReasons) {
                begin("reason", reason);
                bool active = false;
                for (const std::string& r : *v.reasons) active = active || r == reason;
                out += active ? "1\n" : "0\n";
            }
            return;
        case Kind::engines:
            for (std::size_t e = 0; e < kEngineCount; ++e) {
                if (!v.engines->ns[e]) continue;
                begin("engine", kEngineNames[e]);
                FigureValue ns;
                ns.kind = Kind::count;
                ns.count = *v.engines->ns[e];
                append_number(out, ns, m.divisor);
                out += '\n';
            }
            return;
    }
}

std::string device_labels(const GpuDevice& d, bool with_name) {
    std::string labels = "{id=\"";
    numfmt::append_unsigned(labels, d.index);
    labels += '"';
    if (with_name) append_label(labels, "name", d.market_name);
    return labels;
}

std::string process_labels(const GpuDevice& d, const GpuProcess& p) {
    std::string labels = "{id=\"";
    numfmt::append_unsigned(labels, d.index);
    labels += "\",pid=\"";
    numfmt::append_unsigned(labels, p.pid);
    labels += '"';
    append_label(labels, "name", p.name);
    // The type is our own one-letter code: nothing to escape.
    labels += ",type=\"";
    labels += process_kind_code(p.proc_type);
    labels += '"';
    for (const ProcessFigure& f : process_figures()) {
        if (f.context_label.empty()) continue;
        const std::string value = label_text(f.read(p));
        if (!value.empty()) append_label(labels, f.context_label, value);
    }
    return labels;
}

void append_info(std::string& out, const DeviceList& devices) {
    append_family_header(out, kInfoMetric, kInfoHelp, MetricType::gauge);
    for (const GpuDevice& d : devices) {
        out += kInfoMetric;
        out += device_labels(d, false);
        for (const DeviceFigure* info : info_figures()) append_label(out, info->info_label, label_text(info->read(d)));
        out += "} 1\n";
    }
}

// Families in the order their first figure appears in `figures`.
template <class Figure>
std::vector<std::string_view> families_of(std::span<const Figure> figures) {
    std::vector<std::string_view> names;
    for (const Figure& f : figures) {
        if (f.metric.name.empty()) continue;
        bool known = false;
        for (const auto name : names) known = known || name == f.metric.name;
        if (!known) names.push_back(f.metric.name);
    }
    return names;
}

void append_device_families(std::string& out, const DeviceList& devices) {
    std::string samples;
    for (const std::string_view family : families_of(device_figures())) {
        samples.clear();
        const MetricShape* shape = nullptr;
        for (const GpuDevice& d : devices) {
            std::string labels;
            for (const DeviceFigure& f : device_figures()) {
                if (f.metric.name != family) continue;
                shape = &f.metric;
                if (f.sampled != nullptr && !f.sampled(d)) continue;
                if (labels.empty()) labels = device_labels(d, f.metric.name_label);
                append_samples(samples, f.metric, f.read(d), labels, f.zero_unreported);
            }
        }
        if (samples.empty()) continue;
        append_family_header(out, family, shape->help, shape->type);
        out += samples;
    }
}

void append_process_families(std::string& out, const DeviceList& devices, const MetricsOptions& options) {
    // The processes that get series, and the labels every process family
    // gives them, built once per process.
    std::vector<const GpuProcess*> kept;
    std::vector<std::string> labels;
    std::vector<std::size_t> dropped;  // per GPU
    for (const GpuDevice& d : devices) {
        const std::vector<std::size_t> positions = process_series_kept(d, options);
        for (const std::size_t i : positions) {
            kept.push_back(&d.processes[i]);
            labels.push_back(process_labels(d, d.processes[i]));
        }
        dropped.push_back(d.processes.size() - positions.size());
    }
    std::string samples;
    for (const ProcessFigure& f : process_figures()) {
        if (f.metric.name.empty()) continue;
        samples.clear();
        for (std::size_t k = 0; k < kept.size(); ++k) append_samples(samples, f.metric, f.read(*kept[k]), labels[k]);
        if (samples.empty()) continue;
        append_family_header(out, f.metric.name, f.metric.help, f.metric.type);
        out += samples;
    }
    if (!options.limits_processes()) return;
    append_family_header(out, kProcessesDroppedMetric, kProcessesDroppedHelp, MetricType::gauge);
    for (std::size_t g = 0; g < devices.size(); ++g) {
        out += kProcessesDroppedMetric;
        out += device_labels(devices[g], false);
        out += "} ";
        numfmt::append_unsigned(out, dropped[g]);
        out += '\n';
    }
}

void append_source_families(std::string& out, std::span<const discovery::SourceStatus> sources) {
    if (sources.empty()) return;
    const auto begin = [&out](std::string_view metric, const discovery::SourceStatus& s) {
        out += metric;
        out += "{source=\"";
        out += s.source;  // our own names: nothing to escape
        out += '"';
    };
    append_family_header(out, kSourceUpMetric, kSourceUpHelp, MetricType::gauge);
    for (const discovery::SourceStatus& s : sources) {
        begin(kSourceUpMetric, s);
        if (s.up()) {
            out += "} 1\n";
        } else {
            out += ",reason=\"";
            out += discovery::reason_name(*s.reason);
            out += "\"} 0\n";
        }
    }
    append_family_header(out, kSourceSecondsMetric, kSourceSecondsHelp, MetricType::gauge);
    for (const discovery::SourceStatus& s : sources) {
        begin(kSourceSecondsMetric, s);
        out += "} ";
        numfmt::append_double_plain(out, s.seconds);
        out += '\n';
    }
}

}  // namespace

void append_label_value(std::string& out, std::string_view text) {
    if (text::is_valid_utf8(text)) {
        append_escaped_label(out, text);
    } else {
        append_escaped_label(out, text::utf8_lossy(text));
    }
}

std::vector<std::size_t> process_series_kept(const GpuDevice& device, const MetricsOptions& options) {
    std::vector<std::size_t> kept;
    if (options.processes == ProcessSeries::none) return kept;
    for (std::size_t i = 0; i < device.processes.size(); ++i) {
        if (options.processes == ProcessSeries::compute && device.processes[i].proc_type != ProcessKind::compute)
            continue;
        kept.push_back(i);
    }
    if (!options.max_processes || kept.size() <= *options.max_processes) return kept;
    // The most VRAM first (equal amounts in list order), cut, then back in list order.
    std::stable_sort(kept.begin(), kept.end(), [&](std::size_t a, std::size_t b) {
        return device.processes[a].mem_used_mb > device.processes[b].mem_used_mb;
    });
    kept.resize(static_cast<std::size_t>(*options.max_processes));
    std::sort(kept.begin(), kept.end());
    return kept;
}

std::string render_metrics(const DeviceList& devices, std::optional<double> discovery_seconds,
                           std::span<const discovery::SourceStatus> sources, const MetricsOptions& options) {
    std::string out;
    std::size_t estimate = 0;
    for (const GpuDevice& d : devices) estimate += 3072 + 512 * d.processes.size();
    out.reserve(estimate + 4096);
    // No GPU: only what the sources said (an empty text when there is nothing to say).
    if (devices.empty()) {
        append_source_families(out, sources);
        return out;
    }
    append_info(out, devices);
    append_device_families(out, devices);
    append_process_families(out, devices, options);
    if (discovery_seconds) {
        append_family_header(out, kDiscoveryMetric, kDiscoveryHelp, MetricType::gauge);
        out += kDiscoveryMetric;
        out += ' ';
        numfmt::append_double_plain(out, *discovery_seconds);
        out += '\n';
    }
    append_source_families(out, sources);
    return out;
}

}  // namespace karvo::render
