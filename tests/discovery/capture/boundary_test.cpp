// Recording and replay inside this process, through the real loader and the
// display library and HIP doubles: every entry point the backends call goes
// through a stand-in, and the replayed backend produces the same records from
// the capture alone (the double removed, its scenario gone).
#include <gtest/gtest.h>

#include <filesystem>

#include "discovery/adl/adl_internal.h"
#include "discovery/capture/recording.h"
#include "discovery/capture/replay.h"
#include "discovery/capture/vendor_calls.h"
#include "discovery/hip/hip_backend.h"
#include "../adl/fake_adl_fixture.h"
#include "platform/boundary.h"
#include "platform/files.h"
#include "platform/host.h"

namespace karvo::discovery::capture {
namespace {

using adl::testing::FakeAdl;

// Runs `step` once recorded and once replayed from what was recorded.
template <class Step>
std::pair<std::vector<Record>, std::invoke_result_t<Step>> record(Step step) {
    Recorder recorder;
    RecordingBoundary boundary(recorder);
    const platform::BoundaryScope installed(&boundary);
    const VendorCallsScope calls(&boundary);
    auto result = step();
    return {recorder.records(), std::move(result)};
}

template <class Step>
std::invoke_result_t<Step> replay(const std::vector<Record>& records, Step step) {
    Capture capture;
    capture.records = records;
    ReplayBoundary boundary(ReplaySource::make(std::move(capture)), true);
    const platform::BoundaryScope installed(&boundary);
    const VendorCallsScope calls(&boundary);
    return step();
}

std::string json_of(const DeviceList& devices) {
    std::string text;
    for (const auto& d : devices) {
        text += d.market_name + "|" + d.backend + "|" + d.vram_type + "|" + std::to_string(d.device_id) + "|" +
                std::to_string(d.temp_edge_c.value_or(-1)) + "|" + std::to_string(d.power_w.value_or(-1)) + "|" +
                std::to_string(d.fan_rpm.value_or(0)) + "|" + std::to_string(d.gfx_clock_mhz.value_or(0)) + "\n";
    }
    return text;
}

TEST(Boundary, DisplayLibraryNewQueryAndLegacyLogReplay) {
    const struct {
        const char* variant;
        const char* scenario;
    } cases[] = {
        {"adl", "adapter 0 4098 3 0 0\nudid PCI_VEN_1002&DEV_744C&SUBSYS_1\nname A\nsensor 8 45\nsensor 73 2505\n"
                "sensor 14 1200\nmemory ADL2_Adapter_MemoryInfoX4_Get GDDR6\nodn_throttle 0 3\n"},
        {"adl-no-new-query", "adapter 0 1002 3 0 0\nudid PCI_VEN_1002&DEV_73BF&SUBSYS_1\nname B\n"
                             "support_range 1 256\nlog 8 47 30 900 0 0 27 99\nadapter 1 4098 4 0 0\nsupport 8\nlog_null\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        std::string live_json, replayed_json;
        std::vector<Record> records;
        {
            FakeAdl fake(c.scenario, c.variant);
            auto [recorded, devices] = record([&] {
                DeviceList list;
                const Status status = adl::query_pmlog(list, fake.host());
                EXPECT_TRUE(status.ok()) << status.error().long_form();
                return list;
            });
            records = std::move(recorded);
            live_json = json_of(devices);
            ASSERT_FALSE(devices.empty());
        }
        FakeAdl gone("", c.variant);  // the double now knows no adapter at all
        const DeviceList devices = replay(records, [&] {
            DeviceList list;
            EXPECT_TRUE(adl::query_pmlog(list, gone.host()).ok());
            return list;
        });
        EXPECT_EQ(json_of(devices), live_json);
        EXPECT_FALSE(gone.called("ADL")) << "the replay never calls the library";
    }
}

TEST(Boundary, HipRuntimeReplaysWithoutTheLibrary) {
    const std::string library = (std::filesystem::path(karvo::testing::fake_dir("hip")) /
                                 (platform::kWindowsHost ? "amdhip64.dll" : "libamdhip64.so")).string();
    // Held open while recording, so the scenario handed to it stays.
    auto fake = platform::Library::open_native(library);
    ASSERT_TRUE(fake.ok()) << fake.error().long_form();
    const auto set_scenario = fake->find_as<void (*)(const char*)>("fake_hip_set_scenario");
    ASSERT_NE(set_scenario, nullptr);
    set_scenario("dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=25753026560;dev1.name=B;dev1.status=1");
    const std::string_view names[] = {"no-such-runtime", library};
    auto [records, live] = record([&] { return hip::query_hip_devices_from(names, [] { return std::nullopt; }); });
    set_scenario("count=0");
    ASSERT_TRUE(live.ok()) << live.error().long_form();
    ASSERT_EQ(live->size(), 1u);

    // Other names than those recorded: the first is not held, and fails like a missing runtime.
    const std::string_view renamed[] = {"also-never-tried", library};
    auto replayed = replay(records, [&] { return hip::query_hip_devices_from(renamed, [] { return std::nullopt; }); });
    ASSERT_TRUE(replayed.ok()) << replayed.error().long_form();
    EXPECT_EQ(json_of(*replayed), json_of(*live));

    const std::string_view unknown[] = {"never-recorded"};
    auto missing = replay(records, [&] { return hip::query_hip_devices_from(unknown, [] { return std::nullopt; }); });
    EXPECT_FALSE(missing.ok());
}

// A question asked more often than recorded gets the last answer again; each
// recorded answer is given in order first.
TEST(Boundary, RepeatedQuestionsGetTheirAnswersInOrder) {
    std::vector<Record> records = {{Kind::file, "/a", Answer::value, "one"},
                                   {Kind::file, "/a", Answer::value, "two"},
                                   {Kind::file, "/b", Answer::absent, ""}};
    const auto answers = replay(records, [] {
        std::vector<std::optional<std::string>> seen;
        for (int i = 0; i < 3; ++i) seen.push_back(platform::read_file_prefix("/a", 2));
        seen.push_back(platform::read_file_prefix("/b", 100));
        seen.push_back(platform::read_file_prefix("/c", 100));
        return seen;
    });
    EXPECT_EQ(answers, (std::vector<std::optional<std::string>>{"on", "tw", "tw", std::nullopt, std::nullopt}));
}

TEST(Boundary, RecorderKeepsChangedAnswersOnly) {
    Recorder recorder;
    recorder.add(Kind::file, "/a", Answer::value, "x");
    recorder.add(Kind::file, "/a", Answer::value, "x");
    recorder.add(Kind::file, "/b", Answer::value, "x");
    recorder.add(Kind::file, "/a", Answer::value, "y");
    recorder.add(Kind::file, "/a", Answer::value, "y");
    recorder.add(Kind::link, "/a", Answer::value, "y");
    EXPECT_EQ(recorder.records().size(), 4u);
}

TEST(Boundary, SourcesOfQuestions) {
    EXPECT_EQ(source_of(Kind::file, "/r/sys/class/drm/card0/device/vendor"), "sysfs");
    EXPECT_EQ(source_of(Kind::file, "/r/sys/class/kfd/kfd/proc/4/vram_1"), "kfd");
    EXPECT_EQ(source_of(Kind::link, "/r/proc/4/fd/7"), "fdinfo");
    EXPECT_EQ(source_of(Kind::file, "/r/proc/4/cgroup"), "cgroup");
    EXPECT_EQ(source_of(Kind::file, "/r/proc/4/comm"), "procfs");
    EXPECT_EQ(source_of(Kind::folder, "/r/var/log/pods"), "kubelet");
    EXPECT_EQ(source_of(Kind::call, "ADL2_New_QueryPMLogData_Get(0)"), "adl");
    EXPECT_EQ(source_of(Kind::symbol, "amdhip64.dll!hipGetDeviceCount"), "hip");
    EXPECT_EQ(source_of(Kind::counters, ""), "pdh");
    EXPECT_EQ(source_of(Kind::link_property, "3/max_speed"), "cfgmgr");
}

}  // namespace
}  // namespace karvo::discovery::capture
