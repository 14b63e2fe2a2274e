#pragma once
// The history the graphs draw: per GPU (and for all GPUs together) the
// figures of each refresh, in rings of a fixed size, so memory stays the same
// however long the screen runs.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "discovery/device.h"

namespace karvo::render::top {

// Samples a ring keeps: over an hour at the default interval of one second,
// and more than the widest graph shows (two samples per column). Older
// samples are dropped.
inline constexpr std::size_t kHistorySamples = 4096;

// A ring of the last `capacity` values; the storage is taken once.
template <class T>
class Ring {
public:
    Ring() : items_(kHistorySamples) {}
    explicit Ring(std::size_t capacity) : items_(capacity) {}

    void push(const T& value) {
        items_[next_] = value;
        next_ = next_ + 1 == items_.size() ? 0 : next_ + 1;
        if (size_ < items_.size()) ++size_;
    }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return items_.size(); }
    // The value pushed `age` pushes before the last one (age 0: the last).
    const T& newest(std::size_t age) const {
        const std::size_t back = age % items_.size() + 1;
        return items_[next_ >= back ? next_ - back : next_ + items_.size() - back];
    }

private:
    std::vector<T> items_;
    std::size_t next_ = 0;
    std::size_t size_ = 0;
};

// The figures a graph can show; NaN where a pass did not report one.
enum class Series : std::uint8_t { gpu_use, vram, edge, hotspot, power, gfx_clock, mem_clock };
inline constexpr std::size_t kSeriesCount = 7;

struct SeriesRings {
    std::array<Ring<float>, kSeriesCount> rings;
    // The board's power limit at the last pass, 0 when unknown: the top of the power scale.
    float power_cap = 0.0f;

    const Ring<float>& operator[](Series s) const { return rings[static_cast<std::size_t>(s)]; }
    Ring<float>& operator[](Series s) { return rings[static_cast<std::size_t>(s)]; }
};

class History {
public:
    // Adds one pass taken at `time_ns` (monotonic). A GPU is known by its
    // PCI address (its index when it has none); a GPU the pass does not
    // list is forgotten, one that appears starts with an empty history.
    void add(const DeviceList& devices, std::uint64_t time_ns);

    // The rings of one GPU of the last pass, or null.
    const SeriesRings* gpu(const GpuDevice& device) const;
    // All GPUs of each pass together: mean use, VRAM of all, the hottest
    // temperatures, the total power (and power limit), the highest clocks.
    const SeriesRings& all() const { return all_; }
    // When each pass was taken.
    const Ring<std::uint64_t>& times() const { return times_; }

private:
    struct Entry {
        std::string key;
        SeriesRings rings;
    };
    Ring<std::uint64_t> times_;
    SeriesRings all_;
    std::vector<Entry> gpus_;
};

// The key History files a GPU under.
std::string gpu_key(const GpuDevice& device);

}  // namespace karvo::render::top
