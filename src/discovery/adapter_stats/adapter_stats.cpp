#include "discovery/adapter_stats/adapter_stats.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <vector>

#include "discovery/adapter_stats/pcie_link.h"
#include "discovery/adapter_stats/process_memory.h"
#include "discovery/sources/source_ledger.h"

namespace karvo::discovery::adapter_stats {
namespace {

void append_hex8(std::string& out, std::uint32_t value) {
    char digits[8];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, 16);  // lower-case digits
    (void)ec;  // eight digits always suffice for 32 bits
    out.append(static_cast<std::size_t>(digits + sizeof digits - end), '0');
    out.append(digits, end);
}

// The record an AMD adapter belongs to: the first one, in list order, that no
// earlier adapter of this pass took, whose device ID equals the adapter's, or
// which has no device ID and whose index equals the adapter's position among
// the AMD adapters.
std::optional<std::size_t> find_record(const DeviceList& devices, const std::vector<bool>& taken,
                                       std::uint32_t device_id, std::uint32_t amd_ordinal) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (taken[i]) continue;
        const GpuDevice& device = devices[i];
        if (device.device_id != 0 ? device.device_id == device_id : device.index == amd_ordinal) return i;
    }
    return std::nullopt;
}

struct SegmentTotals {
    std::uint64_t resident = 0;
    std::uint64_t committed = 0;
    std::uint64_t limit = 0;
    bool any = false;
    std::uint64_t aperture_resident = 0;  // system memory the GPU has mapped
    bool any_aperture = false;
};

// Sums the adapter's memory segments: those that hold memory of the card
// (segments without a commit limit do not count), and apart from them the
// aperture segments, windows onto system memory.
SegmentTotals sum_segments(platform::GpuStatisticsSession& stats, const platform::AdapterLuid& luid,
                           std::uint32_t segment_count) {
    SegmentTotals totals;
    for (std::uint32_t id = 0; id < segment_count; ++id) {
        const auto segment = stats.segment(luid, id);
        if (!segment) continue;
        if (segment->aperture) {
            totals.aperture_resident = saturating_add(totals.aperture_resident, segment->bytes_resident);
            totals.any_aperture = true;
            continue;
        }
        if (segment->commit_limit == 0) continue;
        totals.resident = saturating_add(totals.resident, segment->bytes_resident);
        totals.committed = saturating_add(totals.committed, segment->bytes_committed);
        totals.limit = saturating_add(totals.limit, segment->commit_limit);
        totals.any = true;
    }
    return totals;
}

// Resident memory is what the card holds now; what is resident beyond the
// committed amount is pinned.
void apply_totals(GpuDevice& device, const SegmentTotals& totals) {
    const std::uint32_t used = bytes_to_mb(totals.resident);
    const std::uint32_t committed = bytes_to_mb(totals.committed);
    device.vram_used_mb = used;
    if (used > committed) device.vram_pinned_mb = used - committed;
    if (device.vram_total_mb == 0) device.vram_total_mb = bytes_to_mb(totals.limit);
}

}  // namespace

std::string adapter_key(const platform::AdapterLuid& luid) {
    std::string key = "0x";
    append_hex8(key, static_cast<std::uint32_t>(luid.high_part));
    key += "_0x";
    append_hex8(key, luid.low_part);
    return key;
}

AdapterMap apply_adapter_statistics(DeviceList& devices, platform::GpuOs& os) {
    constexpr std::string_view kSource = "d3dkmt";
    const SourceTimer timed(kSource);
    auto opened = os.open_statistics();
    // DXGI or the kernel's statistics query is not there.
    note_source(kSource, opened ? std::nullopt : std::optional(SourceReason::missing));
    if (!opened) return {};
    platform::GpuStatisticsSession& stats = **opened;

    AdapterMap adapters;
    std::vector<bool> taken(devices.size(), false);
    std::uint32_t amd_ordinal = 0;
    for (std::uint32_t ordinal = 0; ordinal < kMaxAdapters; ++ordinal) {
        const platform::EnumeratedAdapter entry = stats.adapter(ordinal);
        if (entry.kind == platform::EnumeratedAdapter::Kind::end) break;
        if (entry.kind == platform::EnumeratedAdapter::Kind::no_description) continue;
        const platform::AdapterDescription& desc = entry.description;
        // Other vendors' adapters (including the OS's software renderer) never
        // stand for one of our records, and do not count as AMD positions.
        if (desc.vendor_id != kAmdVendorId) continue;
        const std::uint32_t amd_index = amd_ordinal++;

        const auto position = find_record(devices, taken, desc.device_id, amd_index);
        if (!position) continue;
        taken[*position] = true;
        adapters[adapter_key(desc.luid)] = *position;
        GpuDevice& device = devices[*position];
        if (desc.shared_system_memory != 0) device.gtt_total_mb = bytes_to_mb(desc.shared_system_memory);

        const auto segment_count = stats.segment_count(desc.luid);
        if (!segment_count) {
            // An adapter of ours whose statistics the kernel will not give.
            note_source(kSource, SourceReason::failed);
            continue;
        }
        const SegmentTotals totals = sum_segments(stats, desc.luid, std::min(*segment_count, kMaxSegmentsPerAdapter));
        if (totals.any) apply_totals(device, totals);
        if (totals.any_aperture) device.gtt_used_mb = bytes_to_mb(totals.aperture_resident);
    }

    // Runs while the statistics session (and the adapters' library) is still open.
    apply_process_memory(devices, adapters, os);
    return adapters;
}

void apply_adapter_statistics(DeviceList& devices) {
    platform::GpuOs& os = platform::system_gpu_os();
    (void)apply_adapter_statistics(devices, os);
    apply_pcie_links(devices, os);
}

}  // namespace karvo::discovery::adapter_stats
