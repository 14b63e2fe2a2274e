#include "discovery/adapter_stats/adapter_stats.h"

#include <gtest/gtest.h>

#include "discovery/adapter_stats/pcie_link.h"
#include "fake_gpu_os.h"
#include "support/source_table.h"

namespace karvo::discovery::adapter_stats {
namespace {

using testing::amd_adapter;
using testing::FakeAdapter;
using testing::FakeGpuOs;
using testing::kGiB;
using testing::kMiB;
using testing::local_segment;

GpuDevice record(std::uint64_t device_id, std::uint32_t index = 0) {
    GpuDevice device;
    device.index = index;
    device.device_id = device_id;
    device.backend = "hip";
    return device;
}

FakeAdapter adapter_with(platform::AdapterDescription desc,
                         std::vector<std::optional<platform::SegmentStatistics>> segs) {
    FakeAdapter a;
    a.description = desc;
    a.segment_count = static_cast<std::uint32_t>(segs.size());
    a.segments = std::move(segs);
    return a;
}

TEST(AdapterKey, HighPartThenLowPartAsEightLowerCaseHexDigits) {
    EXPECT_EQ(adapter_key({0x0000d1f6, 0}), "0x00000000_0x0000d1f6");
    EXPECT_EQ(adapter_key({0xABCDEF12, 0x7}), "0x00000007_0xabcdef12");
    // The high part is signed in the OS structure but written as unsigned.
    EXPECT_EQ(adapter_key({0, -1}), "0xffffffff_0x00000000");
    EXPECT_EQ(adapter_key({0xFFFFFFFF, 0x10}), "0x00000010_0xffffffff");
}

TEST(AdapterStatistics, NothingRunsWhenTheStatisticsCannotOpen) {
    FakeGpuOs os;
    os.state.statistics_available = false;
    os.state.adapters = {adapter_with(amd_adapter(0x744c, 1), {local_segment(8 * kGiB, kGiB, kGiB)})};
    DeviceList devices = {record(0x744c)};

    const AdapterMap map = apply_adapter_statistics(devices, os);

    EXPECT_TRUE(map.empty());
    EXPECT_EQ(devices[0].vram_used_mb, 0u);
    EXPECT_EQ(os.state.process_memory_opened, 0) << "the per-process step must not run";
}

TEST(AdapterStatistics, ResidentAboveCommittedIsPinned) {
    FakeGpuOs os;
    os.state.adapters = {adapter_with(amd_adapter(0x744c, 0xd1f6), {local_segment(24 * kGiB, 5 * kGiB, 6 * kGiB)})};
    DeviceList devices = {record(0x744c)};
    devices[0].vram_total_mb = 24560;

    const AdapterMap map = apply_adapter_statistics(devices, os);

    EXPECT_EQ(devices[0].vram_used_mb, 6144u);
    EXPECT_EQ(devices[0].vram_pinned_mb, 1024u);
    EXPECT_EQ(devices[0].vram_total_mb, 24560u) << "a known total stays";
    EXPECT_EQ(map, (AdapterMap{{"0x00000000_0x0000d1f6", 0}}));
    EXPECT_EQ(os.state.process_memory_opened, 1);
    EXPECT_EQ(os.state.live_sessions_at_process_memory_open, 1) << "runs inside the statistics session";
    EXPECT_EQ(os.state.live_sessions, 0) << "every session is released when the step returns";
}

TEST(AdapterStatistics, ResidentBelowCommittedLeavesPinnedAlone) {
    FakeGpuOs os;
    os.state.adapters = {adapter_with(amd_adapter(0x744c, 1), {local_segment(16 * kGiB, 6 * kGiB, 5 * kGiB)})};
    DeviceList devices = {record(0x744c)};
    devices[0].vram_used_mb = 99;
    devices[0].vram_pinned_mb = 7;

    (void)apply_adapter_statistics(devices, os);

    EXPECT_EQ(devices[0].vram_used_mb, 5120u) << "used is replaced";
    EXPECT_EQ(devices[0].vram_pinned_mb, 7u);
    EXPECT_EQ(devices[0].vram_total_mb, 16384u) << "an unknown total takes the commit limit";
}

TEST(AdapterStatistics, OnlyLocalSegmentsWithACommitLimitCount) {
    FakeGpuOs os;
    platform::SegmentStatistics aperture = local_segment(32 * kGiB, 3 * kGiB, 3 * kGiB);
    aperture.aperture = true;
    os.state.adapters = {adapter_with(amd_adapter(0x744c, 1),
                                      {local_segment(8 * kGiB, 1 * kGiB, 2 * kGiB), aperture,
                                       local_segment(0, 5 * kGiB, 5 * kGiB), std::nullopt,
                                       local_segment(4 * kGiB, 1 * kGiB, 1 * kGiB + 512 * kMiB)})};
    DeviceList devices = {record(0x744c)};

    (void)apply_adapter_statistics(devices, os);

    EXPECT_EQ(devices[0].vram_used_mb, 3584u);
    EXPECT_EQ(devices[0].vram_pinned_mb, 1536u);
    EXPECT_EQ(devices[0].vram_total_mb, 12288u);
}

TEST(AdapterStatistics, SharedMemoryFromApertureSegmentsAndTheAdapterLimit) {
    FakeGpuOs os;
    const auto aperture = [](std::uint64_t limit, std::uint64_t resident) {
        platform::SegmentStatistics segment = local_segment(limit, resident, resident);
        segment.aperture = true;
        return segment;
    };
    platform::AdapterDescription with_limit = amd_adapter(0x744c, 1);
    with_limit.shared_system_memory = 16 * kGiB + 5;
    FakeAdapter no_segments;
    no_segments.description = amd_adapter(0x73bf, 2);
    no_segments.description->shared_system_memory = 8 * kGiB;
    os.state.adapters = {
        adapter_with(with_limit, {aperture(16 * kGiB, kGiB), std::nullopt, local_segment(8 * kGiB, kGiB, kGiB),
                                  aperture(0, 512 * kMiB + 7)}),
        no_segments,
        adapter_with(amd_adapter(0x164e, 3), {local_segment(kGiB, 0, 0)}),
    };
    DeviceList devices = {record(0x744c), record(0x73bf), record(0x164e)};

    (void)apply_adapter_statistics(devices, os);

    EXPECT_EQ(devices[0].gtt_total_mb, 16384u);
    EXPECT_EQ(devices[0].gtt_used_mb, 1536u) << "every aperture segment, even one without a commit limit";
    EXPECT_EQ(devices[0].vram_used_mb, 1024u) << "aperture segments are not VRAM";
    EXPECT_EQ(devices[1].gtt_total_mb, 8192u) << "the limit needs no segment query";
    EXPECT_EQ(devices[1].gtt_used_mb, 0u);
    EXPECT_EQ(devices[2].gtt_total_mb, 0u);
    EXPECT_EQ(devices[2].gtt_used_mb, 0u);
}

TEST(AdapterStatistics, NoCountedSegmentLeavesTheRecordButMapsTheKey) {
    FakeGpuOs os;
    platform::SegmentStatistics aperture = local_segment(8 * kGiB, kGiB, kGiB);
    aperture.aperture = true;
    FakeAdapter no_segment_query;
    no_segment_query.description = amd_adapter(0x73bf, 2);
    os.state.adapters = {adapter_with(amd_adapter(0x744c, 1), {aperture, local_segment(0, kGiB, kGiB)}),
                         no_segment_query};
    DeviceList devices = {record(0x744c), record(0x73bf)};
    devices[0].vram_used_mb = 11;
    devices[1].vram_used_mb = 22;

    const AdapterMap map = apply_adapter_statistics(devices, os);

    EXPECT_EQ(devices[0].vram_used_mb, 11u);
    EXPECT_EQ(devices[0].vram_total_mb, 0u);
    EXPECT_EQ(devices[1].vram_used_mb, 22u);
    EXPECT_EQ(map, (AdapterMap{{"0x00000000_0x00000001", 0}, {"0x00000000_0x00000002", 1}}));
}

TEST(AdapterStatistics, AnUnreadableAdapterIsSkippedAndTheNextStillRead) {
    FakeGpuOs os;
    FakeAdapter unreadable;  // no description
    os.state.adapters = {unreadable, adapter_with(amd_adapter(0, 5), {local_segment(8 * kGiB, kGiB, kGiB)})};
    DeviceList devices = {record(0, 0)};

    const AdapterMap map = apply_adapter_statistics(devices, os);

    // The unreadable adapter is not known to be AMD, so the readable one is AMD position 0.
    EXPECT_EQ(map, (AdapterMap{{"0x00000000_0x00000005", 0}}));
    EXPECT_EQ(devices[0].vram_used_mb, 1024u);
}

TEST(AdapterStatistics, ARecordWithoutDeviceIdIsNeverMatchedToAnotherVendor) {
    FakeGpuOs os;
    os.state.adapters = {
        adapter_with({0x10de, 0x2684, {0x100, 0}}, {local_segment(24 * kGiB, kGiB, 20 * kGiB)}),
        adapter_with(amd_adapter(0x744c, 0x200), {local_segment(24 * kGiB, kGiB, 2 * kGiB)}),
        adapter_with({0x1414, 0x8c, {0x300, 0}}, {local_segment(kGiB, 0, 0)}),  // software renderer
        adapter_with(amd_adapter(0x164e, 0x400), {local_segment(2 * kGiB, 0, 512 * kMiB)}),
    };
    DeviceList devices = {record(0x2684), record(0, 0), record(0, 1)};

    const AdapterMap map = apply_adapter_statistics(devices, os);

    // The index counts AMD adapters only: 0 is the second adapter listed, 1 the
    // fourth; and another vendor's adapter matches no device ID either.
    EXPECT_EQ(map, (AdapterMap{{"0x00000000_0x00000200", 1}, {"0x00000000_0x00000400", 2}}));
    EXPECT_EQ(devices[0].vram_used_mb, 0u);
    EXPECT_EQ(devices[1].vram_used_mb, 2048u);
    EXPECT_EQ(devices[2].vram_used_mb, 512u);
}

TEST(AdapterStatistics, TwinGpusMatchTheirOwnRecords) {
    FakeGpuOs os;
    os.state.adapters = {
        adapter_with(amd_adapter(0x744c, 0xa), {local_segment(24 * kGiB, kGiB, 3 * kGiB)}),
        adapter_with(amd_adapter(0x744c, 0xb), {local_segment(24 * kGiB, kGiB, 5 * kGiB)}),
        adapter_with(amd_adapter(0x744c, 0xc), {local_segment(24 * kGiB, kGiB, 7 * kGiB)}),  // one GPU too many
    };
    DeviceList devices = {record(0x73bf), record(0x744c), record(0x744c)};

    const AdapterMap map = apply_adapter_statistics(devices, os);

    EXPECT_EQ(map, (AdapterMap{{"0x00000000_0x0000000a", 1}, {"0x00000000_0x0000000b", 2}}));
    EXPECT_EQ(devices[0].vram_used_mb, 0u);
    EXPECT_EQ(devices[1].vram_used_mb, 3072u);
    EXPECT_EQ(devices[2].vram_used_mb, 5120u);
}

TEST(AdapterStatistics, FirstMatchingRecordInListOrderWins) {
    FakeGpuOs os;
    os.state.adapters = {adapter_with(amd_adapter(0x744c, 1), {local_segment(8 * kGiB, 0, kGiB)})};
    // Record 0 has another device ID (no index match for it), record 1 matches
    // by index, record 2 by device ID: the earlier one takes the adapter.
    DeviceList devices = {record(0x73bf, 0), record(0, 0), record(0x744c, 0)};

    const AdapterMap map = apply_adapter_statistics(devices, os);

    EXPECT_EQ(map, (AdapterMap{{"0x00000000_0x00000001", 1}}));
    EXPECT_EQ(devices[1].vram_used_mb, 1024u);
    EXPECT_EQ(devices[2].vram_used_mb, 0u);
}

TEST(AdapterStatistics, AnAbsurdSegmentCountIsBounded) {
    FakeGpuOs os;
    FakeAdapter a = adapter_with(amd_adapter(0x744c, 1), {local_segment(8 * kGiB, 0, kGiB)});
    a.segment_count = 0xFFFFFFFFu;
    os.state.adapters = {a};
    DeviceList devices = {record(0x744c)};

    (void)apply_adapter_statistics(devices, os);

    ASSERT_EQ(os.state.segment_queries.size(), kMaxSegmentsPerAdapter);
    for (std::uint32_t id = 0; id < kMaxSegmentsPerAdapter; ++id) {
        ASSERT_EQ(os.state.segment_queries[id], std::make_pair(1u, id)) << "each segment by its own ID";
    }
    EXPECT_EQ(devices[0].vram_used_mb, 1024u) << "the readable segment still counts";
}

TEST(AdapterStatistics, HugeFiguresSaturateInsteadOfWrapping) {
    FakeGpuOs os;
    const std::uint64_t max = ~std::uint64_t{0};
    os.state.adapters = {
        adapter_with(amd_adapter(0x744c, 1), {local_segment(max, max, max), local_segment(max, max, max)})};
    DeviceList devices = {record(0x744c)};

    (void)apply_adapter_statistics(devices, os);

    // The sum is pinned at the largest value, not wrapped to a small one.
    EXPECT_EQ(devices[0].vram_used_mb, bytes_to_mb(max));
    EXPECT_EQ(devices[0].vram_pinned_mb, 0u);
}

}  // namespace
}  // namespace karvo::discovery::adapter_stats

namespace karvo::discovery::adapter_stats {
namespace {

using testing::amd_adapter;
using testing::FakeGpuOs;
using testing::kGiB;
using testing::local_segment;

// The adapter statistics, the per-process counters and the device tree in the
// pass's source table: a session that does not open is missing; an adapter
// of ours whose statistics the kernel refuses is a failure.
TEST(AdapterStatistics, SourceStatus) {
    const struct {
        bool statistics, process_memory, device_tree, segments_refused;
        std::string table;
    } cases[] = {
        {true, true, true, false, "d3dkmt up\npdh up\ncfgmgr up\n"},
        {false, true, true, false, "d3dkmt missing\ncfgmgr up\n"},  // no per-process step without statistics
        {true, false, false, false, "d3dkmt up\npdh missing\ncfgmgr missing\n"},
        {true, true, true, true, "d3dkmt failed\npdh up\ncfgmgr up\n"},
    };
    for (const auto& c : cases) {
        FakeGpuOs os;
        os.state.statistics_available = c.statistics;
        os.state.process_memory_available = c.process_memory;
        os.state.device_tree_available = c.device_tree;
        FakeAdapter adapter = adapter_with(amd_adapter(0x744c, 1), {local_segment(8 * kGiB, kGiB, kGiB)});
        if (c.segments_refused) adapter.segment_count.reset();
        os.state.adapters = {adapter};
        DeviceList devices = {record(0x744c)};
        devices[0].bdf = "PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\\6&1A2B3C4D&0&00000009";
        const SourceLedger ledger;
        (void)apply_adapter_statistics(devices, os);
        apply_pcie_links(devices, os);
        EXPECT_EQ(karvo::testing::source_table(ledger), c.table);
    }
    // The device tree is asked only for records WMI named by PCI device path.
    FakeGpuOs os;
    DeviceList devices = {record(0x744c)};
    const SourceLedger ledger;
    apply_pcie_links(devices, os);
    EXPECT_EQ(karvo::testing::source_table(ledger), "");
}

}  // namespace
}  // namespace karvo::discovery::adapter_stats
