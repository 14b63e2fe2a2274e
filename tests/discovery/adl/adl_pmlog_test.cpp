// The PMLog sensor query against the display library double, in this process:
// context and counting, adapter selection, both sensor queries, diagnostics,
// and the record step in discovery and enrichment mode.

#include <gtest/gtest.h>

#include "discovery/adl/adl_library.h"
#include "fake_adl_fixture.h"
#include "support/source_table.h"

namespace karvo::discovery::adl {
namespace {

using testing::FakeAdl;

bool is_load_error(const Error& error) {
    return error.message() == "dlopen failed" || error.message() == "LoadLibraryExW failed";
}
bool is_resolve_error(const Error& error) {
    return error.message() == "dlsym failed" || error.message() == "GetProcAddress failed";
}

GpuDevice record(std::string backend, std::uint64_t device_id = 0) {
    GpuDevice device;
    device.market_name = "from another source";
    device.device_id = device_id;
    device.vram_type = "GDDR6";
    device.backend = std::move(backend);
    return device;
}

// Two GPUs (one with a second output on the same bus) plus entries that are never queried.
constexpr std::string_view kTwoGpus = R"(
adapter 0 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8_4&1A2B
name   AMD Radeon RX 7900 XTX  
driver Software\x5cAMD\x5cDriver 24.1
sensor 8 45
sensor 27 70
sensor 1 2400
sensor 73 2505
sensor 40 16000
sensor 41 65552
memory ADL2_Adapter_MemoryInfoX4_Get GDDR6
adapter 1 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8_4&1A2B
sensor 8 99
adapter 2 4098 -1 0 0
sensor 8 99
adapter 3 4318 9 0 0
sensor 8 99
adapter 7 1002 12 0 1
udid PCI_VEN_1002&DEV_73BF&SUBSYS_1
name Radeon RX 6900 XT
sensor 9 80
sensor 23 1000
memory ADL2_Adapter_MemoryInfoX4_Get HBM2
)";

TEST(QueryPmlogDiscovery, OneRecordPerGpuWithEveryField) {
    FakeAdl fake(kTwoGpus);
    DeviceList devices;
    const Status status = query_pmlog(devices, fake.host());
    ASSERT_TRUE(status.ok()) << status.error().long_form();
    ASSERT_EQ(devices.size(), 2u);

    const GpuDevice& first = devices[0];
    EXPECT_EQ(first.index, 0u);
    EXPECT_EQ(first.market_name, "AMD Radeon RX 7900 XTX");
    EXPECT_EQ(first.vendor_id, 4098u);
    EXPECT_EQ(first.vendor_name, "AMD");
    EXPECT_EQ(first.device_id, 0x744Cu);
    EXPECT_EQ(first.subsystem_id, 0u);
    EXPECT_EQ(first.num_cu, 0u);
    EXPECT_EQ(first.gfx_version, "gfx1100");
    EXPECT_EQ(first.vram_type, "GDDR6");
    EXPECT_EQ(first.vram_total_mb, 0u);
    EXPECT_EQ(first.bdf, "PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8_4&1A2B bus 3 dev 0 fn 0");
    EXPECT_EQ(first.driver_version, "Software\\AMD\\Driver 24.1");
    EXPECT_EQ(first.temp_edge_c, 45.0f);
    EXPECT_EQ(first.temp_hotspot_c, 70.0f);
    EXPECT_FALSE(first.temp_vram_c.has_value());
    EXPECT_EQ(first.gfx_clock_mhz, 2400u);
    EXPECT_FALSE(first.mem_clock_mhz.has_value());
    EXPECT_EQ(first.power_w, 250.5f);
    EXPECT_FALSE(first.power_cap_w.has_value());
    EXPECT_EQ(first.pcie_speed_gt, 16u);
    EXPECT_EQ(first.pcie_width, 16u);
    EXPECT_EQ(first.backend, "adl-pmlog");
    EXPECT_TRUE(first.processes.empty());

    const GpuDevice& second = devices[1];
    EXPECT_EQ(second.index, 1u);
    EXPECT_EQ(second.device_id, 0x73BFu);
    EXPECT_EQ(second.gfx_version, "gfx1030");
    EXPECT_EQ(second.vram_type, "HBM2");
    EXPECT_EQ(second.bdf, "PCI_VEN_1002&DEV_73BF&SUBSYS_1 bus 12 dev 0 fn 1");
    EXPECT_EQ(second.temp_vram_c, 80.0f);
    EXPECT_EQ(second.power_w, 100.0f);
    EXPECT_EQ(second.pcie_width, 0u);  // missing PCIe sensors read as 0 here
    EXPECT_EQ(second.pcie_speed_gt, 0u);

    // Only the first element per bus, AMD vendors and real buses were queried.
    EXPECT_TRUE(fake.called("ADL2_New_QueryPMLogData_Get ctx=ok adapter=0 size=2052"));
    EXPECT_TRUE(fake.called("ADL2_New_QueryPMLogData_Get ctx=ok adapter=7 size=2052"));
    EXPECT_EQ(fake.count_calls("ADL2_New_QueryPMLogData_Get"), 2);
    EXPECT_FALSE(fake.called("PMLog_Support_Get"));
    EXPECT_TRUE(fake.called("ADL2_Main_Control_Create connected=1 alloc=ok"));
    EXPECT_TRUE(fake.called("ADL2_Adapter_AdapterInfo_Get size=7860 isize=ok"));
    EXPECT_EQ(fake.count_calls("ADL2_Main_Control_Destroy ctx=ok"), 1);
    EXPECT_EQ(fake.diagnostics, "");
    EXPECT_TRUE(fake.sleeps.empty());
    EXPECT_EQ(fake.memory_queries, 0);
}

TEST(QueryPmlogDiscovery, MemoryTypeFromTheDeviceIdWhenTheLibraryHasNone) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
udid PCI_VEN_1002&DEV_15BF&SUBSYS_1
sensor 8 50
adapter 1 4098 2 0 0
udid PCI_VEN_1002&DEV_67DF&SUBSYS_1
sensor 8 50
memory ADL2_Adapter_MemoryInfoX4_Get
adapter 2 4098 4 0 0
udid no device id here
name   
sensor 8 50
)");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host(35)).ok());
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].vram_type, "LPDDR5 (Shared)");  // integrated: the system memory query
    EXPECT_EQ(devices[0].gfx_version, "gfx1103");
    EXPECT_EQ(devices[1].vram_type, "GDDR5");  // an empty answer counts as none
    EXPECT_EQ(devices[2].device_id, 0u);
    EXPECT_EQ(devices[2].gfx_version, "unknown");
    EXPECT_EQ(devices[2].vram_type, "GDDR6");
    EXPECT_EQ(devices[2].market_name, "");
    EXPECT_EQ(devices[2].bdf, "no device id here bus 4 dev 0 fn 0");
    EXPECT_EQ(fake.memory_queries, 1);
}

TEST(QueryPmlogDiscovery, BrokenTextsAreBoundedDecodedAndTrimmed) {
    const std::string long_name(300, 'N');
    FakeAdl fake("adapter 0 4098 1 0 0\nudid DEV_744C&\\xff\\xfe\nname " + long_name +
                 "\ndriver \\xe2\\x80\\x83 24.1 \\xc3\nsensor 8 50\n");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].market_name, std::string(256, 'N'));
    EXPECT_EQ(devices[0].device_id, 0x744Cu);
    EXPECT_EQ(devices[0].bdf, "DEV_744C&\xEF\xBF\xBD\xEF\xBF\xBD bus 1 dev 0 fn 0");
    EXPECT_EQ(devices[0].driver_version, "24.1 \xEF\xBF\xBD");
}

TEST(QueryPmlogNewStyle, OneAdapterAnsweringIsEnoughForNoLegacyQuery) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
ret ADL2_New_QueryPMLogData_Get -8
support 8
log 8 40
adapter 1 4098 2 0 0
sensor 8 45
)");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].temp_edge_c, 45.0f);
    EXPECT_EQ(devices[0].index, 0u);
    EXPECT_EQ(fake.diagnostics, "[adl] New_QueryPMLog adapter 0 ret -8\n");
    EXPECT_FALSE(fake.called("PMLog_Support_Get"));
}

TEST(QueryPmlogNewStyle, EmptyAnswersFallBackToTheLegacyLog) {
    FakeAdl fake(R"(
adapter 5 4098 1 0 0
support 8 1 2
log 8 44 1 1800 2 1000
)");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].temp_edge_c, 44.0f);
    EXPECT_EQ(devices[0].gfx_clock_mhz, 1800u);
    EXPECT_EQ(devices[0].mem_clock_mhz, 1000u);
    EXPECT_EQ(fake.diagnostics, "[adl] New_QueryPMLog adapter 5 empty\n");
    EXPECT_EQ(fake.sleeps, (std::vector<std::uint32_t>{300}));
}

TEST(QueryPmlogLegacy, StartListSampleRateWaitAndCleanUp) {
    FakeAdl fake(R"(
adapter 4 4098 1 0 0
support_range 1 256
log 8 45 1 1850 0 0 2 1000
adapter 6 4098 2 0 0
support 27 0 8
log 27 88
)", "adl-no-new-query");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    ASSERT_EQ(devices.size(), 2u);
    // Pairs after the one with ID 0 are not read.
    EXPECT_EQ(devices[0].temp_edge_c, 45.0f);
    EXPECT_EQ(devices[0].gfx_clock_mhz, 1850u);
    EXPECT_FALSE(devices[0].mem_clock_mhz.has_value());
    EXPECT_EQ(devices[1].temp_hotspot_c, 88.0f);

    // 256 listed IDs: the first 255 are passed, then the terminating 0.
    EXPECT_TRUE(fake.called("ADL2_Adapter_PMLog_Start ctx=ok adapter=4 device=1004 rate=100 sensors=255 first=1 last=255"));
    // A 0 in the support list ends it.
    EXPECT_TRUE(fake.called("ADL2_Adapter_PMLog_Start ctx=ok adapter=6 device=1006 rate=100 sensors=1 first=27 last=27"));
    EXPECT_TRUE(fake.called("ADL2_Adapter_PMLog_Stop ctx=ok adapter=4 device=1004"));
    EXPECT_TRUE(fake.called("ADL2_Device_PMLog_Device_Destroy ctx=ok device=1004"));
    EXPECT_TRUE(fake.called("ADL2_Device_PMLog_Device_Destroy ctx=ok device=1006"));
    EXPECT_EQ(fake.sleeps, (std::vector<std::uint32_t>{300, 300}));
    EXPECT_EQ(fake.diagnostics, "");
}

TEST(QueryPmlogLegacy, EveryFailingStepIsReportedAndSkipped) {
    FakeAdl fake(R"(
adapter 1 4098 1 0 0
ret ADL2_Adapter_PMLog_Support_Get -3
adapter 2 4098 2 0 0
adapter 3 4098 3 0 0
support 8
ret ADL2_Device_PMLog_Device_Create -1
adapter 4 4098 4 0 0
support 8
ret ADL2_Adapter_PMLog_Start -9
adapter 5 4098 5 0 0
support 8
log_null
adapter 6 4098 6 0 0
support 8
)", "adl-no-new-query");
    DeviceList devices{record("hip")};
    const Status status = query_pmlog(devices, fake.host());
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().long_form(), "no PMLog data");
    EXPECT_EQ(fake.diagnostics,
              "[adl] PMLog Support_Get adapter 1 ret -3\n"
              "[adl] adapter 2 no sensors\n"
              "[adl] Device_Create failed 3\n"
              "[adl] PMLog_Start adapter 4 ret -9\n"
              "[adl] PMLog data empty adapter 5\n"
              "[adl] PMLog data empty adapter 6\n");
    // A failed start still releases its logging device, and is not stopped.
    EXPECT_TRUE(fake.called("ADL2_Device_PMLog_Device_Destroy ctx=ok device=1004"));
    EXPECT_FALSE(fake.called("ADL2_Adapter_PMLog_Stop ctx=ok adapter=4"));
    EXPECT_EQ(fake.sleeps.size(), 2u);  // adapters 5 and 6 started
    EXPECT_EQ(fake.count_calls("ADL2_Main_Control_Destroy ctx=ok"), 1);
    // A failed call leaves the list as it was.
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].backend, "hip");
    EXPECT_FALSE(devices[0].temp_edge_c.has_value());
}

TEST(QueryPmlogLegacy, MissingEntryPointsAreReportedOnce) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
ret ADL2_New_QueryPMLogData_Get -8
adapter 1 4098 2 0 0
)", "adl-no-legacy-pmlog");
    DeviceList devices;
    const Status status = query_pmlog(devices, fake.host());
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(), "no PMLog data");
    EXPECT_EQ(fake.diagnostics,
              "[adl] New_QueryPMLog adapter 0 ret -8\n"
              "[adl] New_QueryPMLog adapter 1 empty\n"
              "[adl] legacy PMLog symbols missing\n");
    EXPECT_TRUE(devices.empty());
}

TEST(QueryPmlogContext, LegacyModeWhenTheAdl2ContextFails) {
    FakeAdl fake(R"(
ret ADL2_Main_Control_Create -1
adapter 0 4098 1 0 0
sensor 8 45
memory ADL2_Adapter_MemoryInfo_Get never asked in legacy mode
memory ADL2_Adapter_MemoryInfo2_Get GDDR6X
)");
    DeviceList devices{record("hip")};
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    EXPECT_EQ(devices[0].vram_type, "GDDR6X");
    EXPECT_EQ(devices[0].backend, "hip+adl");
    EXPECT_TRUE(fake.called("ADL_Main_Control_Create connected=1 alloc=ok"));
    EXPECT_TRUE(fake.called("ADL_Adapter_NumberOfAdapters_Get"));
    EXPECT_TRUE(fake.called("ADL_Adapter_AdapterInfo_Get size=1572 isize=ok"));
    EXPECT_FALSE(fake.called("ADL2_Adapter_AdapterInfo_Get"));
    EXPECT_TRUE(fake.called("ADL2_New_QueryPMLogData_Get ctx=null adapter=0"));
    EXPECT_TRUE(fake.called("ADL2_Adapter_MemoryInfoX4_Get ctx=null adapter=0"));
    EXPECT_TRUE(fake.called("ADL2_Adapter_MemoryInfo2_Get ctx=null adapter=0"));
    EXPECT_FALSE(fake.called("ADL2_Adapter_MemoryInfo_Get"));
    EXPECT_EQ(fake.count_calls("ADL_Main_Control_Destroy"), 1);
    EXPECT_FALSE(fake.called("ADL2_Main_Control_Destroy"));
}

TEST(QueryPmlogContext, LibraryWithoutAdl2ContextUsesTheLegacyOne) {
    FakeAdl fake("adapter 0 4098 1 0 0\nsensor 8 45\n", "adl-no-adl2");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_TRUE(fake.called("ADL_Main_Control_Create connected=1"));
    EXPECT_EQ(fake.count_calls("ADL_Main_Control_Destroy"), 1);
}

TEST(QueryPmlogContext, MissingAdl2DestroyLeavesTheContext) {
    FakeAdl fake("adapter 0 4098 1 0 0\nsensor 8 45\n", "adl-no-adl2-destroy");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    EXPECT_EQ(devices.size(), 1u);
    EXPECT_FALSE(fake.called("Destroy"));
}

TEST(QueryPmlogContext, LegacyContextFailures) {
    {
        FakeAdl fake("ret ADL2_Main_Control_Create -1\nret ADL_Main_Control_Create -2\nadapter 0 4098 1 0 0\n");
        DeviceList devices;
        const Status status = query_pmlog(devices, fake.host());
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().long_form(), "ADL_Main_Control_Create failed");
        EXPECT_FALSE(fake.called("ADL_Main_Control_Destroy"));
    }
    {
        FakeAdl fake("ret ADL2_Main_Control_Create -1\nadapter 0 4098 1 0 0\n", "adl-no-legacy-destroy");
        DeviceList devices;
        const Status status = query_pmlog(devices, fake.host());
        ASSERT_FALSE(status.ok());
        EXPECT_TRUE(is_resolve_error(status.error())) << status.error().long_form();
        EXPECT_FALSE(status.error().causes().empty());
        EXPECT_FALSE(fake.called("ADL_Main_Control_Create"));  // nothing opened that would need closing
    }
}

TEST(QueryPmlogContext, NoLibraryGivesTheLastLoadError) {
    AdlHost host;
    host.library_names = {"C:\\Windows\\System32\\atiadlxx.dll", "no-such-display-library.dll"};
    DeviceList devices;
    const Status status = query_pmlog(devices, host);
    ASSERT_FALSE(status.ok());
    EXPECT_TRUE(is_load_error(status.error())) << status.error().long_form();
    ASSERT_EQ(status.error().causes().size(), 1u);  // the loader's or the system's text
    EXPECT_FALSE(status.error().causes()[0].empty());
}

TEST(QueryPmlogCount, Adl2CountFallsBackToTheLegacyCount) {
    FakeAdl fake("ret ADL2_Adapter_NumberOfAdapters_Get -1\nret ADL_Adapter_NumberOfAdapters_Get -1\n"
                 "adapter 0 4098 1 0 0\nsensor 8 45\n");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());  // the legacy count is taken whatever it returns
    EXPECT_EQ(devices.size(), 1u);
    EXPECT_TRUE(fake.called("ADL_Adapter_NumberOfAdapters_Get"));
}

TEST(QueryPmlogCount, NoneNegativeOrFailedCountsMeanNoAdapters) {
    for (const char* scenario : {"count 0\n", "count -7\n", "ret ADL2_Main_Control_Create -1\ncount 3\n"
                                                             "ret ADL_Adapter_NumberOfAdapters_Get -1\n"}) {
        FakeAdl fake(std::string(scenario) + "adapter 0 4098 1 0 0\nsensor 8 45\n");
        DeviceList devices;
        const Status status = query_pmlog(devices, fake.host());
        ASSERT_FALSE(status.ok()) << scenario;
        EXPECT_EQ(status.error().long_form(), "no adapters") << scenario;
        EXPECT_FALSE(fake.called("AdapterInfo_Get")) << scenario;
        EXPECT_EQ(fake.count_calls("Main_Control_Destroy"), 1) << scenario;
    }
}

TEST(QueryPmlogCount, HugeCountsAreCapped) {
    FakeAdl fake("count 2147483647\nadapter 0 4098 1 0 0\nsensor 8 45\n");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    EXPECT_EQ(devices.size(), 1u);
    static_assert(kMaxAdapters == 4096);
    EXPECT_TRUE(fake.called("ADL2_Adapter_AdapterInfo_Get size=6438912 isize=ok"));
}

TEST(QueryPmlogTable, Adl2TableFailureFallsBackAndUnfilledElementsAreDropped) {
    FakeAdl fake(R"(
count 3
fill 1
ret ADL2_Adapter_AdapterInfo_Get -1
adapter 0 4098 1 0 0
sensor 8 45
adapter 1 4098 2 0 0
sensor 8 46
)");
    DeviceList devices;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].temp_edge_c, 45.0f);
    EXPECT_TRUE(fake.called("ADL_Adapter_AdapterInfo_Get size=4716 isize=ok"));
}

constexpr std::string_view kEnrichment = R"(
adapter 0 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_1
sensor 8 45
sensor 19 97
memory ADL2_Adapter_MemoryInfoX4_Get GDDR6X
adapter 1 4098 4 0 0
udid PCI_VEN_1002&DEV_7480&SUBSYS_1
sensor 8 55
sensor 2 1250
memory ADL2_Adapter_MemoryInfoX4_Get unknown
memory ADL_Adapter_MemoryInfoX4_Get N/a
)";

TEST(QueryPmlogEnrichment, ByPositionThenByDeviceId) {
    FakeAdl fake(kEnrichment);
    DeviceList devices{record("hip+wmi", 0x9999), record("hip"), record("wmi", 0x7480), record("adl-pmlog", 0x744C)};
    devices[0].temp_edge_c = 10.0f;
    devices[0].mem_clock_mhz = 900;
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    ASSERT_EQ(devices.size(), 4u);

    EXPECT_EQ(devices[0].temp_edge_c, 45.0f);          // entry 0 by position, whatever its device ID
    EXPECT_EQ(devices[0].gfx_util_percent, 97u);
    EXPECT_EQ(devices[0].mem_clock_mhz, 900u);         // no reading: kept
    EXPECT_EQ(devices[0].vram_type, "GDDR6X");
    EXPECT_EQ(devices[0].backend, "hip+wmi+adl");
    EXPECT_EQ(devices[0].market_name, "from another source");

    EXPECT_EQ(devices[1].temp_edge_c, 55.0f);          // entry 1 by position
    EXPECT_EQ(devices[1].vram_type, "GDDR6");          // "unknown", then "N/a": both discarded
    EXPECT_EQ(devices[1].backend, "hip+adl");

    EXPECT_EQ(devices[2].temp_edge_c, 55.0f);          // beyond the entries: by device ID
    EXPECT_EQ(devices[2].mem_clock_mhz, 1250u);
    EXPECT_EQ(devices[2].backend, "wmi+adl");

    EXPECT_EQ(devices[3].temp_edge_c, 45.0f);
    EXPECT_EQ(devices[3].backend, "adl-pmlog");        // already carries "adl"
    EXPECT_EQ(fake.memory_queries, 0);
}

TEST(QueryPmlogEnrichment, RecordsWithoutAnEntryAreLeftAlone) {
    FakeAdl fake(kEnrichment);
    DeviceList devices{record("hip"), record("hip"), record("hip", 0x1234), record("hip", 0)};
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
    for (std::size_t k : {2u, 3u}) {
        EXPECT_FALSE(devices[k].temp_edge_c.has_value()) << k;
        EXPECT_EQ(devices[k].backend, "hip") << k;
        EXPECT_EQ(devices[k].vram_type, "GDDR6") << k;
    }
    // One memory query per enriched record.
    EXPECT_EQ(fake.count_calls("ADL2_Adapter_MemoryInfoX4_Get"), 2);
}

TEST(QueryPmlogEnrichment, UnknownMemoryAnswersInAnyCaseKeepTheType) {
    for (const char* answer : {"UNKNOWN", "Unknown", "n/a", "N/A", "  unknown  "}) {
        FakeAdl fake(std::string("adapter 0 4098 1 0 0\nsensor 8 45\nmemory ADL_Adapter_MemoryInfo_Get ") + answer +
                     "\n");
        DeviceList devices{record("hip")};
        ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
        EXPECT_EQ(devices[0].vram_type, "GDDR6") << answer;
        EXPECT_EQ(devices[0].backend, "hip+adl");
    }
}

// The throttle notification wins over the PMLog status; the fan state is
// asked only when PMLog has no fan duty; each call failing alone leaves only
// its own figure to the other source (or unreported).
TEST(QueryPmlogEnrichment, OverdriveNThrottleAndFanNextToThePmlogSensors) {
    FakeAdl fake(R"(
adapter 0 4098 1 0 0
sensor 8 45
sensor 14 1650
sensor 15 38
sensor 35 1
odn_throttle 1 5
odn_fan 1 99
adapter 1 4098 2 0 0
sensor 8 46
sensor 35 0
odn_fan 1 40
adapter 2 4098 3 0 0
sensor 8 47
sensor 35 9
odn_throttle 0 2
ret ADL2_OverdriveN_ThrottleNotification_Get -8
odn_fan 2 2100
ret ADL2_OverdriveN_FanControl_Get -1
adapter 3 4098 4 0 0
sensor 8 48
odn_throttle 0 -1
)");
    DeviceList devices{record("hip"), record("hip"), record("hip"), record("hip")};
    ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());

    EXPECT_EQ(devices[0].throttle, (std::vector<std::string>{"power", "current"}));
    EXPECT_EQ(devices[0].fan_rpm, 1650u);
    EXPECT_EQ(devices[0].fan_percent, 38u);
    EXPECT_FALSE(fake.called("ADL2_OverdriveN_FanControl_Get ctx=ok adapter=0"));

    EXPECT_EQ(devices[1].throttle, std::vector<std::string>{});  // no notification: the PMLog status
    EXPECT_EQ(devices[1].fan_percent, 40u);
    EXPECT_FALSE(devices[1].fan_rpm.has_value());

    EXPECT_EQ(devices[2].throttle, std::vector<std::string>{"other"});  // failed notification
    EXPECT_FALSE(devices[2].fan_percent.has_value());
    EXPECT_FALSE(devices[2].fan_rpm.has_value());

    EXPECT_FALSE(devices[3].throttle.has_value());  // all-ones flags and no PMLog status
    EXPECT_EQ(fake.count_calls("ADL2_OverdriveN_ThrottleNotification_Get ctx=ok"), 4);
    EXPECT_EQ(fake.count_calls("ADL2_OverdriveN_FanControl_Get ctx=ok"), 3);
}

// The library keeps the blocks it gets through the callback; each use frees
// them after unloading it (the double writes to them at destroy and unload, so
// an early free shows under the sanitizers).
TEST(CallbackBlocks, EveryBlockIsFreedWhenItsUseEnds) {
    struct Case {
        const char* variant;
        bool overdrive;
        const char* create_line;
    };
    const Case cases[] = {
        {"adl", false, "ADL2_Main_Control_Create connected=1 alloc=ok"},
        {"adl-no-adl2", false, "ADL_Main_Control_Create connected=1 alloc=ok"},
        {"adl-no-adl2-destroy", false, "ADL2_Main_Control_Create connected=1 alloc=ok"},
        {"adl", true, "ADL_Main_Control_Create connected=1 alloc=ok"},
    };
    constexpr int kPasses = 200;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.variant) + (c.overdrive ? " overdrive" : " pmlog"));
        FakeAdl fake("alloc 1000\nadapter 0 4098 3 0 0\nsensor 8 45\nodn_temp 45000\n", c.variant);
        for (int pass = 0; pass < kPasses; ++pass) {
            DeviceList devices{record("hip")};
            const Status status = c.overdrive ? overdrive_fallback(devices, fake.host()) : query_pmlog(devices, fake.host());
            ASSERT_TRUE(status.ok()) << status.error().long_form();
            ASSERT_EQ(CallbackArena::live_blocks(), 0u) << "after pass " << pass;
        }
        EXPECT_EQ(fake.count_calls(c.create_line), kPasses);
    }
}

// The display library in the pass's source table: missing when it does not
// load, failed when it answers with nothing usable, up when it answered;
// the OverdriveN fallback counts as the library too (the Windows pass lets it
// decide after a failed sensor query).
TEST(QueryPmlogSources, SourceStatus) {
    {
        FakeAdl fake(kTwoGpus);
        const SourceLedger ledger;
        DeviceList devices;
        ASSERT_TRUE(query_pmlog(devices, fake.host()).ok());
        EXPECT_EQ(karvo::testing::source_table(ledger), "adl up\n");
    }
    {
        FakeAdl fake("count 0\n");
        const SourceLedger ledger;
        DeviceList devices;
        EXPECT_FALSE(query_pmlog(devices, fake.host()).ok());
        EXPECT_EQ(karvo::testing::source_table(ledger), "adl failed\n");
    }
    {
        FakeAdl fake(kTwoGpus);
        AdlHost host = fake.host();
        host.library_names = {"no-such-display-library.dll"};
        const SourceLedger ledger;
        DeviceList devices;
        EXPECT_FALSE(query_pmlog(devices, host).ok());
        EXPECT_FALSE(overdrive_fallback(devices, host).ok());
        EXPECT_EQ(karvo::testing::source_table(ledger), "adl missing\n");
    }
}

}  // namespace
}  // namespace karvo::discovery::adl
