#include "render/json.h"

#include "render/figures.h"

namespace karvo::render {
namespace {

void write_process(JsonWriter& w, const GpuProcess& p);

// One figure's value; the caller has written its key.
void write_value(JsonWriter& w, const FigureValue& v, const GpuDevice* device) {
    using Kind = FigureValue::Kind;
    switch (v.kind) {
        case Kind::null: w.null(); break;
        case Kind::count: w.number(v.count); break;
        case Kind::real: w.number(v.real); break;
        case Kind::real64: w.number(v.real64); break;
        case Kind::text: w.string(v.text); break;
        case Kind::reasons:
            w.begin_array();
            for (const std::string& reason : *v.reasons) w.string(reason);
            w.end_array();
            break;
        case Kind::engines:
            w.begin_object();
            for (std::size_t e = 0; e < kEngineCount; ++e) {
                if (!v.engines->ns[e]) continue;
                w.key(kEngineNames[e]);
                w.number(*v.engines->ns[e]);
            }
            w.end_object();
            break;
        case Kind::processes:
            w.begin_array();
            if (device != nullptr)
                for (const GpuProcess& p : device->processes) write_process(w, p);
            w.end_array();
            break;
    }
}

void write_process(JsonWriter& w, const GpuProcess& p) {
    w.begin_object();
    for (const ProcessFigure& figure : process_figures()) {
        w.key(figure.key);
        write_value(w, figure.read(p), nullptr);
    }
    w.end_object();
}

void write_device(JsonWriter& w, const GpuDevice& d) {
    w.begin_object();
    for (const DeviceFigure& figure : device_figures()) {
        w.key(figure.key);
        write_value(w, figure.read(d), &d);
    }
    w.end_object();
}

}  // namespace

std::string render_json(const DeviceList& devices, JsonLayout layout) {
    JsonWriter w(layout);
    // A device object takes about 1.6 KB pretty-printed; a process about 250 bytes.
    std::size_t estimate = 2;
    for (const GpuDevice& d : devices) estimate += 1600 + 256 * d.processes.size();
    w.reserve(estimate);
    w.begin_array();
    for (const GpuDevice& d : devices) write_device(w, d);
    w.end_array();
    return w.take();
}

std::string render_json_compact(const DeviceList& devices) { return render_json(devices, JsonLayout::compact); }

std::string render_json_pretty(const DeviceList& devices) { return render_json(devices, JsonLayout::pretty); }

}  // namespace karvo::render
