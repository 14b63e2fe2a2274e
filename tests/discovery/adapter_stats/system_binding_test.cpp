// The real OS binding end to end. On a system without the interfaces (any
// POSIX system, or a Windows emulation that lacks a piece) the step must end
// silently; where they answer, the figures must be sane.

#include <gtest/gtest.h>

#include <algorithm>

#include "common/text.h"
#include "discovery/adapter_stats/adapter_stats.h"
#include "platform/system.h"

namespace karvo::discovery::adapter_stats {
namespace {

GpuDevice sample_record() {
    GpuDevice device;
    device.index = 0;
    device.market_name = "Test GPU";
    device.vendor_id = kAmdVendorId;
    device.device_id = 0x744c;
    device.vram_total_mb = 0;
    device.backend = "hip";
    return device;
}

TEST(SystemBinding, RunsSilentlyAndLeavesASaneList) {
    DeviceList devices = {sample_record()};

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    apply_adapter_statistics(devices);
    apply_adapter_statistics(devices);  // a second pass starts from scratch
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    ASSERT_EQ(devices.size(), 1u);
    const GpuDevice& device = devices[0];
    EXPECT_EQ(device.market_name, "Test GPU");
    EXPECT_EQ(device.device_id, 0x744cu);
    EXPECT_EQ(device.backend, "hip");
    if (device.vram_total_mb != 0) {
        EXPECT_LE(device.vram_pinned_mb, device.vram_used_mb);
    } else {
        EXPECT_EQ(device.vram_used_mb, 0u);
        EXPECT_EQ(device.vram_pinned_mb, 0u);
    }
    for (const GpuProcess& process : device.processes) {
        EXPECT_NE(process.pid, 0u);
        EXPECT_GT(process.total_mb(), 0u);
        EXPECT_FALSE(process.name.empty());
    }
}

TEST(SystemBinding, SessionsOpenAndCloseRepeatedly) {
    platform::GpuOs& os = platform::system_gpu_os();
    for (int round = 0; round < 3; ++round) {
        if (auto stats = os.open_statistics()) {
            // Walk the adapters the system lists, as the step does.
            for (std::uint32_t ordinal = 0; ordinal < kMaxAdapters; ++ordinal) {
                const auto entry = (*stats)->adapter(ordinal);
                if (entry.kind == platform::EnumeratedAdapter::Kind::end) break;
                if (entry.kind != platform::EnumeratedAdapter::Kind::described) continue;
                if (const auto count = (*stats)->segment_count(entry.description.luid)) {
                    for (std::uint32_t id = 0; id < std::min(*count, kMaxSegmentsPerAdapter); ++id) {
                        (void)(*stats)->segment(entry.description.luid, id);
                    }
                }
            }
        }
        if (auto memory = os.open_process_memory()) {
            // The snapshot must list this very test program by its file name.
            const auto snapshot = (*memory)->process_snapshot();
            const std::string self = platform::executable_file_name("karvo_adapter_stats_tests");
            bool found_self = false;
            for (const auto& process : snapshot) {
                EXPECT_LE(process.exe_name.size(), 260u);
                if (text::equals_ignore_ascii_case(text::utf16_to_utf8(process.exe_name), self)) found_self = true;
            }
            EXPECT_TRUE(found_self) << "no " << self << " among " << snapshot.size() << " processes";
            (void)(*memory)->collect_counters();
        }
        if (auto tree = os.open_device_tree()) {
            EXPECT_EQ((*tree)->locate("PCI\\VEN_1002&DEV_0000\\karvo-no-such-device"), std::nullopt);
            EXPECT_EQ((*tree)->locate(""), std::nullopt) << "an empty ID is not the root of the tree";
        }
    }
}

}  // namespace
}  // namespace karvo::discovery::adapter_stats
