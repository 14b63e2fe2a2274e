#include "render/json.h"

namespace karvo::render {
namespace {

void write_process(JsonWriter& w, const GpuProcess& p) {
    w.begin_object();
    w.key("pid");
    w.number(p.pid);
    w.key("name");
    w.string(p.name);
    w.key("mem_used_mb");
    w.number(p.mem_used_mb);
    w.key("proc_type");
    w.string(p.proc_type);
    w.end_object();
}

void write_device(JsonWriter& w, const GpuDevice& d) {
    w.begin_object();
    w.key("index");
    w.number(d.index);
    w.key("market_name");
    w.string(d.market_name);
    w.key("vendor_id");
    w.number(d.vendor_id);
    w.key("vendor_name");
    w.string(d.vendor_name);
    w.key("device_id");
    w.number(d.device_id);
    w.key("subsystem_id");
    w.number(d.subsystem_id);
    w.key("rev_id");
    w.number(d.rev_id);
    w.key("asic_serial");
    w.string(d.asic_serial);
    w.key("num_cu");
    w.number(d.num_cu);
    w.key("gfx_version");
    w.string(d.gfx_version);
    w.key("vram_type");
    w.string(d.vram_type);
    w.key("vram_total_mb");
    w.number(d.vram_total_mb);
    w.key("vram_used_mb");
    w.number(d.vram_used_mb);
    w.key("vram_pinned_mb");
    w.number(d.vram_pinned_mb);
    w.key("vram_vendor");
    w.string(d.vram_vendor);
    w.key("bdf");
    w.string(d.bdf);
    w.key("pcie_width");
    w.number(d.pcie_width);
    w.key("pcie_speed_gt");
    w.number(d.pcie_speed_gt);
    w.key("driver_version");
    w.string(d.driver_version);
    w.key("vbios_version");
    w.string(d.vbios_version);
    w.key("temp_edge_c");
    w.optional_number(d.temp_edge_c);
    w.key("temp_hotspot_c");
    w.optional_number(d.temp_hotspot_c);
    w.key("temp_vram_c");
    w.optional_number(d.temp_vram_c);
    w.key("gfx_clock_mhz");
    w.optional_number(d.gfx_clock_mhz);
    w.key("mem_clock_mhz");
    w.optional_number(d.mem_clock_mhz);
    w.key("gfx_util_percent");
    w.optional_number(d.gfx_util_percent);
    w.key("power_w");
    w.optional_number(d.power_w);
    w.key("power_cap_w");
    w.optional_number(d.power_cap_w);
    w.key("backend");
    w.string(d.backend);
    w.key("processes");
    w.begin_array();
    for (const GpuProcess& p : d.processes) write_process(w, p);
    w.end_array();
    w.end_object();
}

}  // namespace

std::string render_json(const DeviceList& devices, JsonLayout layout) {
    JsonWriter w(layout);
    // A device object takes about 1 KB pretty-printed; a process about 120 bytes.
    std::size_t estimate = 2;
    for (const GpuDevice& d : devices) estimate += 1024 + 128 * d.processes.size();
    w.reserve(estimate);
    w.begin_array();
    for (const GpuDevice& d : devices) write_device(w, d);
    w.end_array();
    return w.take();
}

std::string render_json_compact(const DeviceList& devices) { return render_json(devices, JsonLayout::compact); }

std::string render_json_pretty(const DeviceList& devices) { return render_json(devices, JsonLayout::pretty); }

}  // namespace karvo::render
