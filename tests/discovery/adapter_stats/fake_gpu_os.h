#pragma once
// A scripted stand-in for the OS's adapter and process-memory interfaces: the
// tests describe adapters, segments, processes and counter items, and the fake
// records which queries the code under test made.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/gpu_os.h"

namespace karvo::testing {

struct FakeAdapter {
    std::optional<platform::AdapterDescription> description;  // nothing: GetDesc-style failure
    std::optional<std::uint32_t> segment_count;               // nothing: adapter query fails
    std::vector<std::optional<platform::SegmentStatistics>> segments;  // nothing: that segment's query fails
};

struct FakeGpuState {
    bool statistics_available = true;
    bool process_memory_available = true;
    std::vector<FakeAdapter> adapters;
    std::vector<platform::ProcessEntry> processes;
    std::vector<platform::CounterItem> counter_items;  // dedicated usage
    std::vector<platform::CounterItem> shared_items;
    std::vector<platform::CounterItem> running_time_items;

    // What was asked.
    int statistics_opened = 0;
    int process_memory_opened = 0;
    int live_sessions = 0;
    int live_sessions_at_process_memory_open = -1;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> segment_queries;  // (luid low part, segment id)
};

class FakeGpuOs final : public platform::GpuOs {
public:
    FakeGpuState state;

    Result<std::unique_ptr<platform::GpuStatisticsSession>> open_statistics() override {
        ++state.statistics_opened;
        if (!state.statistics_available) return Error("no statistics here");
        return std::unique_ptr<platform::GpuStatisticsSession>(std::make_unique<Statistics>(state));
    }

    Result<std::unique_ptr<platform::ProcessMemorySession>> open_process_memory() override {
        ++state.process_memory_opened;
        state.live_sessions_at_process_memory_open = state.live_sessions;
        if (!state.process_memory_available) return Error("no counters here");
        return std::unique_ptr<platform::ProcessMemorySession>(std::make_unique<ProcessMemory>(state));
    }

private:
    struct Session {
        explicit Session(FakeGpuState& s) : state(s) { ++state.live_sessions; }
        ~Session() { --state.live_sessions; }
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;
        FakeGpuState& state;
    };

    struct Statistics final : platform::GpuStatisticsSession, Session {
        using Session::Session;

        const FakeAdapter* find(const platform::AdapterLuid& luid) const {
            for (const FakeAdapter& a : state.adapters) {
                if (a.description && a.description->luid.low_part == luid.low_part &&
                    a.description->luid.high_part == luid.high_part) {
                    return &a;
                }
            }
            return nullptr;
        }
        platform::EnumeratedAdapter adapter(std::uint32_t ordinal) override {
            if (ordinal >= state.adapters.size()) return {};
            const FakeAdapter& a = state.adapters[ordinal];
            if (!a.description) return {platform::EnumeratedAdapter::Kind::no_description, {}};
            return {platform::EnumeratedAdapter::Kind::described, *a.description};
        }
        std::optional<std::uint32_t> segment_count(const platform::AdapterLuid& luid) override {
            const FakeAdapter* a = find(luid);
            return a != nullptr ? a->segment_count : std::nullopt;
        }
        std::optional<platform::SegmentStatistics> segment(const platform::AdapterLuid& luid,
                                                           std::uint32_t id) override {
            state.segment_queries.emplace_back(luid.low_part, id);
            const FakeAdapter* a = find(luid);
            if (a == nullptr || id >= a->segments.size()) return std::nullopt;
            return a->segments[id];
        }
    };

    struct ProcessMemory final : platform::ProcessMemorySession, Session {
        using Session::Session;
        std::vector<platform::ProcessEntry> process_snapshot() override { return state.processes; }
        platform::ProcessCounters collect_counters() override {
            return {state.counter_items, state.shared_items, state.running_time_items};
        }
    };
};

// Helpers for describing the scene.
inline constexpr std::uint64_t kMiB = 1048576;
inline constexpr std::uint64_t kGiB = 1024 * kMiB;

inline platform::AdapterDescription amd_adapter(std::uint32_t device_id, std::uint32_t luid_low,
                                                std::int32_t luid_high = 0) {
    return {0x1002, device_id, {luid_low, luid_high}};
}

inline platform::SegmentStatistics local_segment(std::uint64_t limit, std::uint64_t committed,
                                                 std::uint64_t resident) {
    return {limit, committed, resident, false};
}

inline platform::CounterItem counter_item(const std::u16string& name, std::int64_t bytes) {
    return {name, bytes};
}

}  // namespace karvo::testing
