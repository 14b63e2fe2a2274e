#include "render/metrics.h"

#include <cstdint>
#include <optional>

#include "common/numfmt.h"
#include "common/text.h"

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

// Starts a sample of a metric that is labelled by the GPU id only.
void begin_sample(std::string& out, std::string_view metric, std::string_view id) {
    out += metric;
    out += "{id=\"";
    out += id;
    out += "\"} ";
}

void integer_sample(std::string& out, std::string_view metric, std::string_view id, std::uint64_t value) {
    begin_sample(out, metric, id);
    numfmt::append_unsigned(out, value);
    out += '\n';
}

void optional_sample(std::string& out, std::string_view metric, std::string_view id,
                     const std::optional<std::uint32_t>& value) {
    if (value) integer_sample(out, metric, id, *value);
}

void optional_sample(std::string& out, std::string_view metric, std::string_view id,
                     const std::optional<float>& value) {
    if (!value) return;
    begin_sample(out, metric, id);
    numfmt::append_float_plain(out, *value);
    out += '\n';
}

void append_device(std::string& out, const GpuDevice& d) {
    const std::string id = numfmt::unsigned_text(d.index);

    out += "amd_gpu_vram_total_mb{id=\"";
    out += id;
    out += "\",name=\"";
    append_label_value(out, d.market_name);
    out += "\"} ";
    numfmt::append_unsigned(out, d.vram_total_mb);
    out += '\n';
    integer_sample(out, "amd_gpu_vram_used_mb", id, d.vram_used_mb);
    integer_sample(out, "amd_gpu_vram_pinned_mb", id, d.vram_pinned_mb);
    optional_sample(out, "amd_gpu_temp_edge_c", id, d.temp_edge_c);
    optional_sample(out, "amd_gpu_temp_hotspot_c", id, d.temp_hotspot_c);
    optional_sample(out, "amd_gpu_gfx_clock_mhz", id, d.gfx_clock_mhz);
    optional_sample(out, "amd_gpu_mem_clock_mhz", id, d.mem_clock_mhz);
    optional_sample(out, "amd_gpu_util_percent", id, d.gfx_util_percent);
    optional_sample(out, "amd_gpu_power_watts", id, d.power_w);

    for (const GpuProcess& p : d.processes) {
        out += "amd_gpu_process_mem_mb{id=\"";
        out += id;
        out += "\",pid=\"";
        numfmt::append_unsigned(out, p.pid);
        out += "\",name=\"";
        append_label_value(out, p.name);
        // The type is our own one-letter code ("C" or "G"), written as it is.
        out += "\",type=\"";
        out += p.proc_type;
        out += "\"} ";
        numfmt::append_unsigned(out, p.mem_used_mb);
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

std::string render_metrics(const DeviceList& devices) {
    std::string out;
    std::size_t estimate = 0;
    for (const GpuDevice& d : devices) estimate += 512 + 112 * d.processes.size();
    out.reserve(estimate);
    for (const GpuDevice& d : devices) append_device(out, d);
    return out;
}

}  // namespace karvo::render
