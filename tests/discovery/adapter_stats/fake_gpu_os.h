#pragma once
// A scripted stand-in for the OS's adapter and process-memory interfaces: the
// tests describe adapters, segments, processes and counter items, and the fake
// records which queries the code under test made.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "platform/gpu_os.h"

namespace karvo::testing {

struct FakeAdapter {
    std::optional<platform::AdapterDescription> description;  // nothing: GetDesc-style failure
    std::optional<std::uint32_t> segment_count;               // nothing: adapter query fails
    std::vector<std::optional<platform::SegmentStatistics>> segments;  // nothing: that segment's query fails
};

// One node of the device tree.
struct FakeNode {
    std::optional<std::string> instance_id;  // nothing: reading it fails
    std::optional<std::uint32_t> parent;     // nothing: the top of the tree
    std::map<platform::PciLinkProperty, std::uint32_t> link;
};

struct FakeGpuState {
    bool statistics_available = true;
    bool process_memory_available = true;
    bool device_tree_available = true;
    std::map<std::uint32_t, FakeNode> nodes;
    std::vector<FakeAdapter> adapters;
    std::vector<platform::ProcessEntry> processes;
    std::vector<platform::CounterItem> counter_items;  // dedicated usage
    std::vector<platform::CounterItem> shared_items;
    std::vector<platform::CounterItem> running_time_items;

    // What was asked.
    int statistics_opened = 0;
    int process_memory_opened = 0;
    int device_tree_opened = 0;
    int parent_calls = 0;
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

    Result<std::unique_ptr<platform::DeviceTreeSession>> open_device_tree() override {
        ++state.device_tree_opened;
        if (!state.device_tree_available) return Error("no device tree here");
        return std::unique_ptr<platform::DeviceTreeSession>(std::make_unique<DeviceTree>(state));
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

    struct DeviceTree final : platform::DeviceTreeSession, Session {
        using Session::Session;
        const FakeNode* node(std::uint32_t id) const {
            const auto found = state.nodes.find(id);
            return found != state.nodes.end() ? &found->second : nullptr;
        }
        std::optional<std::uint32_t> locate(std::string_view instance_id) override {
            for (const auto& [id, n] : state.nodes) {
                if (n.instance_id && text::equals_ignore_ascii_case(*n.instance_id, instance_id)) return id;
            }
            return std::nullopt;
        }
        std::optional<std::uint32_t> parent(std::uint32_t id) override {
            ++state.parent_calls;
            const FakeNode* n = node(id);
            return n != nullptr ? n->parent : std::nullopt;
        }
        std::optional<std::string> instance_id(std::uint32_t id) override {
            const FakeNode* n = node(id);
            return n != nullptr ? n->instance_id : std::nullopt;
        }
        std::optional<std::uint32_t> link_property(std::uint32_t id, platform::PciLinkProperty property) override {
            const FakeNode* n = node(id);
            if (n == nullptr) return std::nullopt;
            const auto found = n->link.find(property);
            return found != n->link.end() ? std::optional(found->second) : std::nullopt;
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
inline FakeNode tree_node(std::optional<std::string> instance_id, std::optional<std::uint32_t> parent,
                          std::map<platform::PciLinkProperty, std::uint32_t> link = {}) {
    return {std::move(instance_id), parent, std::move(link)};
}

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
