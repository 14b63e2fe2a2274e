// The OverdriveN fallback and the memory-type query against the display
// library double, in this process.

#include <gtest/gtest.h>

#include "discovery/adl/adl_library.h"
#include "fake_adl_fixture.h"

namespace karvo::discovery::adl {
namespace {

using testing::FakeAdl;

GpuDevice record(std::string backend, std::uint64_t device_id = 0) {
    GpuDevice device;
    device.device_id = device_id;
    device.backend = std::move(backend);
    return device;
}

TEST(OverdriveFallback, ReadingsAndUnitConversions) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_1
odn_temp 45500
odn_perf 185000 125000 0 100 16000 65552
)");
    DeviceList devices{record("hip", 0x744C)};
    ASSERT_TRUE(overdrive_fallback(devices, fake.host()).ok());
    const GpuDevice& device = devices[0];
    EXPECT_EQ(device.temp_edge_c, 45.5f);
    EXPECT_EQ(device.gfx_clock_mhz, 1850u);  // no graphics clock: the core clock
    EXPECT_EQ(device.mem_clock_mhz, 1250u);
    EXPECT_EQ(device.gfx_util_percent, 100u);
    EXPECT_EQ(device.pcie_speed_gt, 16u);
    EXPECT_EQ(device.pcie_width, 16u);
    EXPECT_EQ(device.backend, "hip+adl-odn");
    EXPECT_TRUE(fake.called("ADL2_OverdriveN_Temperature_Get ctx=null adapter=0 type=0"));
    EXPECT_TRUE(fake.called("ADL2_OverdriveN_PerformanceStatus_Get ctx=null adapter=0"));
    EXPECT_TRUE(fake.called("ADL_Main_Control_Create connected=1 alloc=ok"));
    EXPECT_EQ(fake.count_calls("ADL_Main_Control_Destroy"), 1);
    EXPECT_EQ(fake.diagnostics, "");
}

TEST(OverdriveFallback, ThrottleAndFan) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
odn_throttle 1 2
odn_fan 2 0
adapter 1 4098 2 0 0
odn_temp 40000
)");
    DeviceList devices{record("hip"), record("wmi")};
    ASSERT_TRUE(overdrive_fallback(devices, fake.host()).ok());
    EXPECT_EQ(devices[0].throttle, std::vector<std::string>{"thermal"});
    EXPECT_EQ(devices[0].fan_rpm, 0u);
    EXPECT_FALSE(devices[0].fan_percent.has_value());
    EXPECT_FALSE(devices[1].throttle.has_value());
    EXPECT_FALSE(devices[1].fan_rpm.has_value());
    EXPECT_EQ(devices[1].temp_edge_c, 40.0f);
    EXPECT_TRUE(fake.called("ADL2_OverdriveN_ThrottleNotification_Get ctx=null adapter=1"));
    EXPECT_TRUE(fake.called("ADL2_OverdriveN_FanControl_Get ctx=null adapter=1"));
}

TEST(OverdriveFallback, OutOfRangeReadingsKeepTheFields) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
odn_perf 0 0 0 101 0 0
adapter 1 4098 2 0 0
odn_perf 0 -5 190000 -1 -1 -1
)");
    DeviceList devices{record("wmi"), record("hip+wmi")};
    for (auto& device : devices) {
        device.gfx_clock_mhz = 7;
        device.mem_clock_mhz = 8;
        device.gfx_util_percent = 9;
        device.pcie_speed_gt = 4;
        device.pcie_width = 4;
    }
    ASSERT_TRUE(overdrive_fallback(devices, fake.host()).ok());
    EXPECT_EQ(devices[0].gfx_clock_mhz, 7u);
    EXPECT_EQ(devices[0].mem_clock_mhz, 8u);
    EXPECT_EQ(devices[0].gfx_util_percent, 9u);
    EXPECT_EQ(devices[0].pcie_speed_gt, 4u);
    EXPECT_EQ(devices[0].pcie_width, 4u);
    EXPECT_FALSE(devices[0].temp_edge_c.has_value());  // temperature call failed
    EXPECT_EQ(devices[1].gfx_clock_mhz, 1900u);        // the graphics clock wins over the core clock
    EXPECT_EQ(devices[1].mem_clock_mhz, 8u);
    EXPECT_EQ(devices[1].gfx_util_percent, 9u);
    EXPECT_EQ(devices[1].pcie_speed_gt, 4u);
    EXPECT_EQ(devices[0].backend, "wmi+adl-odn");
    EXPECT_EQ(devices[1].backend, "hip+wmi+adl-odn");
}

TEST(OverdriveFallback, AdapterByDeviceIdThenAmdPositionThenPosition) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
udid PCI_VEN_1002&DEV_7480&SUBSYS_1
odn_temp 10000
adapter 2 4318 2 0 0
udid PCI_VEN_10DE&DEV_744C&SUBSYS_1
odn_temp 20000
adapter 4 1002 3 0 0
udid PCI_VEN_1002&DEV_73BF&SUBSYS_1
odn_temp 40000
adapter 4 4098 3 0 0
udid PCI_VEN_1002&DEV_73BF&SUBSYS_1
)");
    // 0: its device ID is adapter 4's; 1: no match (the 0x744C element is not AMD), so
    // the AMD element with one AMD element before it (index 4); 3: past the AMD elements.
    DeviceList devices{record("hip", 0x73BF), record("hip", 0x744C), record("hip", 0x9999), record("adl", 0x1)};
    ASSERT_TRUE(overdrive_fallback(devices, fake.host()).ok());
    EXPECT_EQ(devices[0].temp_edge_c, 40.0f);
    EXPECT_EQ(devices[1].temp_edge_c, 40.0f);
    EXPECT_EQ(devices[2].temp_edge_c, 40.0f);   // the third AMD element, also index 4
    EXPECT_FALSE(devices[3].temp_edge_c.has_value());
    EXPECT_TRUE(fake.called("ADL2_OverdriveN_Temperature_Get ctx=null adapter=3 type=0"));
    EXPECT_EQ(devices[3].backend, "adl");
    // Every record is labelled, even when both calls failed for it.
    EXPECT_EQ(devices[2].backend, "hip+adl-odn");
}

TEST(OverdriveFallback, OneAmdAdapterLeavesLaterRecordsOnTheirPosition) {
    // The table holds one AMD element (index 4): the second record uses index 1 itself.
    FakeAdl limited("fill 1\nadapter 4 4098 1 0 0\nodn_temp 40000\nadapter 1 4098 9 0 0\nodn_temp 1000\n");
    DeviceList devices{record("hip", 5), record("hip", 6)};
    ASSERT_TRUE(overdrive_fallback(devices, limited.host()).ok());
    EXPECT_EQ(devices[0].temp_edge_c, 40.0f);
    EXPECT_EQ(devices[1].temp_edge_c, 1.0f);
    EXPECT_TRUE(limited.called("ADL2_OverdriveN_Temperature_Get ctx=null adapter=1 type=0"));
}

TEST(OverdriveFallback, NegativeCountMeansEveryRecordUsesItsPosition) {
    FakeAdl fake("count -3\nadapter 1 4098 1 0 0\nodn_temp 30000\n");
    DeviceList devices{record("hip"), record("hip")};
    ASSERT_TRUE(overdrive_fallback(devices, fake.host()).ok());
    EXPECT_FALSE(devices[0].temp_edge_c.has_value());
    EXPECT_EQ(devices[1].temp_edge_c, 30.0f);
    EXPECT_FALSE(fake.called("AdapterInfo_Get"));
    EXPECT_EQ(devices[0].backend, "hip+adl-odn");
}

TEST(OverdriveFallback, Errors) {
    {
        FakeAdl fake("adapter 0 4098 1 0 0\n", "adl-no-odn");
        DeviceList devices{record("hip")};
        const Status status = overdrive_fallback(devices, fake.host());
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().long_form(), "OverdriveN not supported");
        EXPECT_EQ(devices[0].backend, "hip");
        EXPECT_FALSE(fake.called("ADL_Main_Control_Create"));
    }
    {
        FakeAdl fake("adapter 0 4098 1 0 0\n", "adl-no-legacy-destroy");
        DeviceList devices{record("hip")};
        const Status status = overdrive_fallback(devices, fake.host());
        ASSERT_FALSE(status.ok());
        EXPECT_TRUE(status.error().message() == "dlsym failed" || status.error().message() == "GetProcAddress failed")
            << status.error().long_form();
    }
    {
        FakeAdl fake("ret ADL_Main_Control_Create -1\nadapter 0 4098 1 0 0\nodn_temp 1000\n");
        DeviceList devices{record("hip")};
        const Status status = overdrive_fallback(devices, fake.host());
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().long_form(), "ADL create failed");
        EXPECT_EQ(devices[0].backend, "hip");
        EXPECT_FALSE(fake.called("ADL_Main_Control_Destroy"));
    }
    {
        AdlHost host;
        host.library_names = {"no-such-display-library.dll"};
        DeviceList devices{record("hip")};
        const Status status = overdrive_fallback(devices, host);
        ASSERT_FALSE(status.ok());
        EXPECT_TRUE(status.error().message() == "dlopen failed" ||
                    status.error().message() == "LoadLibraryExW failed");
    }
}

// Opens the double as the PMLog query would and hands out an ADL2 context.
class MemoryTypeQuery : public ::testing::Test {
protected:
    std::optional<std::string> query(FakeAdl& fake, int index, bool adl2_mode) {
        CallbackArena arena;
        auto library = platform::Library::open(fake.library_path());
        EXPECT_TRUE(library.ok());
        if (!library.ok()) return std::nullopt;
        AdlContext context = nullptr;
        if (adl2_mode) {
            auto create = find_entry<Adl2MainControlCreate>(library.value(), "ADL2_Main_Control_Create");
            EXPECT_EQ(create(adl_memory_alloc, 1, &context), 0);
        }
        auto answer = query_memory_type(library.value(), context, index, adl2_mode);
        if (adl2_mode) find_entry<Adl2MainControlDestroy>(library.value(), "ADL2_Main_Control_Destroy")(context);
        return answer;
    }
};

TEST_F(MemoryTypeQuery, FirstNonEmptyAnswerInOrder) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
memory ADL2_Adapter_MemoryInfoX4_Get GDDR6X
memory ADL_Adapter_MemoryInfoX4_Get GDDR5
adapter 1 4098 2 0 0
memory ADL2_Adapter_MemoryInfoX4_Get
ret ADL_Adapter_MemoryInfoX4_Get -1
memory ADL_Adapter_MemoryInfoX4_Get HBM
memory ADL2_Adapter_MemoryInfo_Get  GDDR7 
adapter 2 4098 3 0 0
memory ADL2_Adapter_MemoryInfo2_Get HBM3
adapter 3 4098 4 0 0
)");
    EXPECT_EQ(query(fake, 0, true), "GDDR6X");
    EXPECT_EQ(query(fake, 1, true), "GDDR7");
    EXPECT_EQ(query(fake, 2, true), "HBM3");
    EXPECT_EQ(query(fake, 3, true), std::nullopt);
    EXPECT_EQ(query(fake, 9, true), std::nullopt);
}

TEST_F(MemoryTypeQuery, Adl2UnknownFallsThroughButLegacyUnknownIsTaken) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
memory ADL2_Adapter_MemoryInfoX4_Get Unknown
memory ADL_Adapter_MemoryInfoX4_Get unknown
memory ADL2_Adapter_MemoryInfo_Get GDDR6
)");
    EXPECT_EQ(query(fake, 0, true), "unknown");
}

TEST_F(MemoryTypeQuery, LegacyModeSkipsOnlyTheAdl2MemoryInfoCall) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
memory ADL2_Adapter_MemoryInfo_Get GDDR6
memory ADL2_Adapter_MemoryInfo2_Get GDDR5
)");
    EXPECT_EQ(query(fake, 0, false), "GDDR5");
    EXPECT_TRUE(fake.called("ADL2_Adapter_MemoryInfoX4_Get ctx=null adapter=0"));
    EXPECT_TRUE(fake.called("ADL_Adapter_MemoryInfoX4_Get adapter=0"));
    EXPECT_TRUE(fake.called("ADL_Adapter_MemoryInfo_Get adapter=0"));
    EXPECT_TRUE(fake.called("ADL2_Adapter_MemoryInfo2_Get ctx=null adapter=0"));
    EXPECT_FALSE(fake.called("ADL2_Adapter_MemoryInfo_Get"));
}

}  // namespace
}  // namespace karvo::discovery::adl
