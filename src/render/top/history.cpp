#include "render/top/history.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "common/numfmt.h"

namespace karvo::render::top {
namespace {

constexpr float kNone = std::numeric_limits<float>::quiet_NaN();

template <class T>
float figure(const std::optional<T>& value) {
    return value ? static_cast<float>(*value) : kNone;
}

float vram_percent(std::uint64_t used, std::uint64_t total) {
    return total == 0 ? kNone : static_cast<float>(100.0 * static_cast<double>(used) / static_cast<double>(total));
}

void push_device(SeriesRings& rings, const GpuDevice& d) {
    rings[Series::gpu_use].push(figure(d.gfx_util_percent));
    rings[Series::vram].push(vram_percent(d.vram_used_mb, d.vram_total_mb));
    rings[Series::edge].push(figure(d.temp_edge_c));
    rings[Series::hotspot].push(figure(d.temp_hotspot_c));
    rings[Series::power].push(figure(d.power_w));
    rings[Series::gfx_clock].push(figure(d.gfx_clock_mhz));
    rings[Series::mem_clock].push(figure(d.mem_clock_mhz));
    rings.power_cap = d.power_cap_w.value_or(0.0f);
}

// Folds one figure of every GPU into one: a sum, a mean or the largest.
class Fold {
public:
    void add(float value) {
        if (std::isnan(value)) return;
        sum_ += value;
        max_ = count_ == 0 ? value : std::max(max_, value);
        ++count_;
    }
    float sum() const { return count_ == 0 ? kNone : static_cast<float>(sum_); }
    float mean() const { return count_ == 0 ? kNone : static_cast<float>(sum_ / count_); }
    float max() const { return count_ == 0 ? kNone : max_; }

private:
    double sum_ = 0;
    float max_ = 0;
    int count_ = 0;
};

void push_all(SeriesRings& rings, const DeviceList& devices) {
    Fold use, edge, hotspot, power, gfx, mem;
    std::uint64_t used = 0, total = 0;
    float cap = 0;
    for (const GpuDevice& d : devices) {
        use.add(figure(d.gfx_util_percent));
        edge.add(figure(d.temp_edge_c));
        hotspot.add(figure(d.temp_hotspot_c));
        power.add(figure(d.power_w));
        gfx.add(figure(d.gfx_clock_mhz));
        mem.add(figure(d.mem_clock_mhz));
        if (d.vram_total_mb != 0) {
            used += d.vram_used_mb;
            total += d.vram_total_mb;
        }
        cap += d.power_cap_w.value_or(0.0f);
    }
    rings[Series::gpu_use].push(use.mean());
    rings[Series::vram].push(vram_percent(used, total));
    rings[Series::edge].push(edge.max());
    rings[Series::hotspot].push(hotspot.max());
    rings[Series::power].push(power.sum());
    rings[Series::gfx_clock].push(gfx.max());
    rings[Series::mem_clock].push(mem.max());
    rings.power_cap = cap;
}

}  // namespace

std::string gpu_key(const GpuDevice& device) {
    return device.bdf.empty() ? "#" + numfmt::unsigned_text(device.index) : device.bdf;
}

void History::add(const DeviceList& devices, std::uint64_t time_ns) {
    times_.push(time_ns);
    std::vector<Entry> kept;
    kept.reserve(devices.size());
    for (const GpuDevice& d : devices) {
        std::string key = gpu_key(d);
        auto known = std::find_if(gpus_.begin(), gpus_.end(), [&](const Entry& e) { return e.key == key; });
        if (known != gpus_.end()) {
            kept.push_back(std::move(*known));
            gpus_.erase(known);
        } else {
            kept.push_back(Entry{std::move(key), SeriesRings{}});
        }
        push_device(kept.back().rings, d);
    }
    gpus_ = std::move(kept);
    push_all(all_, devices);
}

const SeriesRings* History::gpu(const GpuDevice& device) const {
    const std::string key = gpu_key(device);
    for (const Entry& e : gpus_)
        if (e.key == key) return &e.rings;
    return nullptr;
}

}  // namespace karvo::render::top
