// Any bytes: the parser never reads past them or crashes, and what it gives
// stays within what a reading can be: percentages up to 100, finite
// non-negative values, throttle reasons from the five names in their order.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "discovery/linux/gpu_metrics.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

template <class T>
void check_value(const std::optional<T>& value, T most) {
    if (value) check(std::isfinite(static_cast<double>(*value)) && *value >= 0 && *value <= most);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto m = karvo::discovery::linux::parse_gpu_metrics(std::string_view(reinterpret_cast<const char*>(data), size));
    if (size < 4) check(m.format_revision == 0 && m.content_revision == 0);
    for (const auto* temperature : {&m.temp_edge_c, &m.temp_hotspot_c, &m.temp_vram_c})
        check_value(*temperature, 200.0f);
    for (const auto* percent : {&m.gfx_util_percent, &m.mem_util_percent, &m.media_util_percent})
        check_value(*percent, 100u);
    check_value(m.power_w, 5000.0f);
    check_value(m.energy_j, 281474976710656.0);  // 2^64 x 2^-16 J
    if (m.pcie_width) check(*m.pcie_width >= 1 && *m.pcie_width <= 32);
    if (m.pcie_speed_gt) check(*m.pcie_speed_gt >= 1 && *m.pcie_speed_gt <= 128);
    if (m.throttle) {
        static constexpr std::string_view kOrder[] = {"power", "current", "thermal", "prochot", "other"};
        std::size_t next = 0;  // each name after the one before: in order and once
        for (const std::string& reason : *m.throttle) {
            while (next < std::size(kOrder) && kOrder[next] != reason) ++next;
            check(next < std::size(kOrder));
            ++next;
        }
    }
    return 0;
}
