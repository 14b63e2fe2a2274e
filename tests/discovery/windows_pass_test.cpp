// The discovery pass over fake sources: the merge by position with its field
// rules, the order of the calls, and the one line a pass writes itself.

#include "discovery/windows_pass.h"

#include <gtest/gtest.h>

#include <charconv>
#include <string>
#include <vector>

#include "support/source_table.h"

namespace karvo::discovery {
namespace {

std::string decimal(std::uint64_t value) {
    char digits[24];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

GpuDevice hip_record(std::uint32_t index, std::string name, std::string gfx, std::uint32_t total_mb) {
    GpuDevice device;
    device.index = index;
    device.market_name = std::move(name);
    device.vendor_id = kAmdVendorId;
    device.vendor_name = kAmdVendorName;
    device.num_cu = 48;
    device.gfx_version = std::move(gfx);
    device.vram_type = "GDDR6";
    device.vram_total_mb = total_mb;
    device.backend = "hip";
    return device;
}

GpuDevice wmi_record(std::uint32_t index, std::string name, std::uint32_t device_id) {
    GpuDevice device;
    device.index = index;
    device.market_name = std::move(name);
    device.vendor_id = kAmdVendorId;
    device.vendor_name = kAmdVendorName;
    device.device_id = device_id;
    device.subsystem_id = 0x0E3B1002;
    device.rev_id = 0xC8;
    device.gfx_version = "gfx1101";
    device.vram_type = "HBM2";
    device.vram_total_mb = 4095;
    device.bdf = "PCI\\VEN_1002&DEV_" + decimal(device_id);
    device.driver_version = "31.0.24027.1012";
    device.backend = "wmi";
    return device;
}

// Fake sources that record every call in order.
struct Recorder {
    std::vector<std::string> calls;
    std::string stderr_text;
    Result<DeviceList> hip = DeviceList{};
    Result<DeviceList> wmi = DeviceList{};
    // Discovery mode (called with an empty list) and enrichment mode.
    Status adl_discovery = Error("ADL library not found");
    DeviceList adl_found;
    Status adl_enrich = Ok{};
    Status overdrive = Ok{};

    WindowsSources sources() {
        return WindowsSources{
            .hip = [this] { return (calls.push_back("hip"), hip); },
            .wmi = [this] { return (calls.push_back("wmi"), wmi); },
            .adl_pmlog =
                [this](DeviceList& devices) {
                    if (devices.empty()) {
                        calls.push_back("adl-discover");
                        if (adl_discovery.ok()) devices = adl_found;
                        return adl_discovery;
                    }
                    calls.push_back("adl-enrich");
                    if (adl_enrich.ok())
                        for (auto& device : devices) device.backend += "+adl";
                    return adl_enrich;
                },
            .adl_overdrive_fallback =
                [this](DeviceList& devices) {
                    calls.push_back("odn");
                    for (auto& device : devices) device.backend += "+adl-odn";
                    return overdrive;
                },
            .adapter_statistics =
                [this](DeviceList& devices) {
                    calls.push_back("stats:" + decimal(devices.size()));
                    for (auto& device : devices) device.vram_used_mb = 7;
                },
            .write_stderr = [this](std::string_view text) { stderr_text += text; },
        };
    }
};

std::vector<std::string> backends(const DeviceList& devices) {
    std::vector<std::string> labels;
    for (const auto& device : devices) labels.push_back(device.backend);
    return labels;
}

TEST(Merge, TwoHipRecordsAndThreeWmiRecords) {
    DeviceList hip = {hip_record(0, "AMD Radeon RX 7900 XTX", "gfx1100", 24560),
                      hip_record(1, "AMD Radeon RX 7600", "unknown", 0)};
    DeviceList wmi = {wmi_record(0, "WMI zero", 0x744C), wmi_record(1, "WMI one", 0x7480),
                      wmi_record(2, "WMI two", 0x73BF)};
    const DeviceList merged = merge_by_position(hip, wmi);
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(backends(merged), (std::vector<std::string>{"hip+wmi", "hip+wmi", "wmi"}));

    // Completed from WMI: PCI identity, location, driver.
    EXPECT_EQ(merged[0].device_id, 0x744Cu);
    EXPECT_EQ(merged[0].subsystem_id, 0x0E3B1002u);
    EXPECT_EQ(merged[0].rev_id, 0xC8u);
    EXPECT_EQ(merged[0].bdf, wmi[0].bdf);
    EXPECT_EQ(merged[0].driver_version, "31.0.24027.1012");
    // Kept from HIP: name, index, memory type, compute units, a known target and size.
    EXPECT_EQ(merged[0].market_name, "AMD Radeon RX 7900 XTX");
    EXPECT_EQ(merged[0].index, 0u);
    EXPECT_EQ(merged[0].vram_type, "GDDR6");
    EXPECT_EQ(merged[0].num_cu, 48u);
    EXPECT_EQ(merged[0].gfx_version, "gfx1100");
    EXPECT_EQ(merged[0].vram_total_mb, 24560u);
    // "unknown" target and a size of 0 are taken from WMI.
    EXPECT_EQ(merged[1].gfx_version, "gfx1101");
    EXPECT_EQ(merged[1].vram_total_mb, 4095u);
    EXPECT_EQ(merged[1].market_name, "AMD Radeon RX 7600");
    // The surplus WMI record is appended unchanged, with its own index.
    EXPECT_EQ(merged[2].index, 2u);
    EXPECT_EQ(merged[2].market_name, "WMI two");
    EXPECT_EQ(merged[2].device_id, 0x73BFu);
}

TEST(Merge, TwoHipRecordsAndOneWmiRecord) {
    const DeviceList merged = merge_by_position({hip_record(0, "A", "gfx1100", 1), hip_record(1, "B", "unknown", 0)},
                                                {wmi_record(0, "W", 0x744C)});
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(backends(merged), (std::vector<std::string>{"hip+wmi", "hip"}));
    EXPECT_EQ(merged[1].gfx_version, "unknown");  // nothing to complete it from
    EXPECT_EQ(merged[1].vram_total_mb, 0u);
    EXPECT_EQ(merged[1].device_id, 0u);
}

TEST(Merge, WmiTextsReplaceHipTextsEvenWhenEmpty) {
    GpuDevice hip = hip_record(0, "A", "gfx1100", 1);
    hip.bdf = "from hip";
    hip.driver_version = "from hip";
    GpuDevice wmi = wmi_record(0, "W", 0);
    wmi.bdf.clear();
    wmi.driver_version.clear();
    wmi.gfx_version = "unknown";
    const DeviceList merged = merge_by_position({hip}, {wmi});
    EXPECT_EQ(merged[0].bdf, "");
    EXPECT_EQ(merged[0].driver_version, "");
    EXPECT_EQ(merged[0].gfx_version, "gfx1100");
    EXPECT_EQ(merged[0].device_id, 0u);
}

TEST(Merge, MatchesByPositionOnlyAndOnlyTheExactUnknownText) {
    GpuDevice hip = hip_record(0, "AMD Radeon RX 7900 XTX", "Unknown", 0);
    GpuDevice wmi = wmi_record(0, "AMD Radeon RX 7900 XTX", 0x744C);
    wmi.vram_total_mb = 0;
    const DeviceList merged = merge_by_position({hip}, {wmi});
    EXPECT_EQ(merged[0].gfx_version, "Unknown");
    EXPECT_EQ(merged[0].vram_total_mb, 0u);
}

TEST(Merge, OneSideEmpty) {
    const DeviceList hip_only = merge_by_position({hip_record(0, "A", "gfx1100", 1)}, {});
    EXPECT_EQ(backends(hip_only), std::vector<std::string>{"hip"});
    const DeviceList wmi_only = merge_by_position({}, {wmi_record(0, "W", 1), wmi_record(1, "X", 2)});
    EXPECT_EQ(backends(wmi_only), (std::vector<std::string>{"wmi", "wmi"}));
    EXPECT_EQ(wmi_only[1].market_name, "X");
    EXPECT_TRUE(merge_by_position({}, {}).empty());
}

TEST(Pass, AsksBothSourcesThenEnrichesAndCollectsStatistics) {
    Recorder recorder;
    recorder.hip = DeviceList{hip_record(0, "A", "gfx1100", 1)};
    recorder.wmi = DeviceList{wmi_record(0, "W", 0x744C), wmi_record(1, "X", 0x7480)};
    const DeviceList devices = windows_pass(recorder.sources());
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"hip", "wmi", "adl-enrich", "stats:2"}));
    EXPECT_EQ(backends(devices), (std::vector<std::string>{"hip+wmi+adl", "wmi+adl"}));
    EXPECT_EQ(devices[1].vram_used_mb, 7u);
    EXPECT_EQ(recorder.stderr_text, "");  // a successful enrichment says nothing
}

TEST(Pass, SourceErrorsAreDroppedSilently) {
    Recorder recorder;
    recorder.hip = Error("HIP runtime not found (amdhip64)");
    recorder.wmi = DeviceList{wmi_record(0, "W", 0x744C)};
    const DeviceList devices = windows_pass(recorder.sources());
    EXPECT_EQ(backends(devices), std::vector<std::string>{"wmi+adl"});
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"hip", "wmi", "adl-enrich", "stats:1"}));

    Recorder wmi_failing;
    wmi_failing.hip = DeviceList{hip_record(0, "A", "gfx1100", 1)};
    wmi_failing.wmi = Error("no AMD GPU via WMI");
    EXPECT_EQ(backends(windows_pass(wmi_failing.sources())), std::vector<std::string>{"hip+adl"});
    EXPECT_EQ(wmi_failing.stderr_text, "");
}

TEST(Pass, AdlDiscoveryResultIsReturnedAtOnce) {
    Recorder recorder;
    recorder.hip = Error("HIP runtime not found (amdhip64)");
    recorder.adl_discovery = Ok{};
    GpuDevice adl;
    adl.market_name = "AMD Radeon RX 7900 XTX";
    adl.backend = "adl-pmlog";
    recorder.adl_found = {adl};
    const DeviceList devices = windows_pass(recorder.sources());
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"hip", "wmi", "adl-discover"}));
    EXPECT_EQ(backends(devices), std::vector<std::string>{"adl-pmlog"});
    EXPECT_EQ(devices[0].vram_used_mb, 0u);  // no statistics step ran
}

TEST(Pass, FailedEnrichmentIsReportedOnceAndFallsBackToOverdrive) {
    Recorder recorder;
    recorder.hip = DeviceList{hip_record(0, "A", "gfx1100", 1)};
    recorder.adl_enrich = Error("ADL_Main_Control_Create failed").with_cause("status -1").with_cause("no driver");
    recorder.overdrive = Error("OverdriveN not supported");
    const DeviceList devices = windows_pass(recorder.sources());
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"hip", "wmi", "adl-enrich", "odn", "stats:1"}));
    EXPECT_EQ(recorder.stderr_text,
              "[adl] PMLog enrich failed: ADL_Main_Control_Create failed: status -1: no driver\n");
    EXPECT_EQ(backends(devices), std::vector<std::string>{"hip+adl-odn"});
}

TEST(Pass, NothingAnywhereStillRunsEveryLaterStepOnTheEmptyList) {
    Recorder recorder;
    recorder.hip = Error("HIP runtime not found (amdhip64)");
    recorder.wmi = Error("failed to start powershell");
    recorder.adl_enrich = Error("ADL library not found");
    const DeviceList devices = windows_pass(recorder.sources());
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(recorder.calls,
              (std::vector<std::string>{"hip", "wmi", "adl-discover", "adl-discover", "odn", "stats:0"}));
    EXPECT_EQ(recorder.stderr_text, "[adl] PMLog enrich failed: ADL library not found\n");
}

TEST(Pass, AdlDiscoveryThatSucceedsEmptyCountsAsNoData) {
    Recorder recorder;
    recorder.adl_discovery = Ok{};  // succeeds but finds nothing
    const DeviceList devices = windows_pass(recorder.sources());
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(recorder.calls,
              (std::vector<std::string>{"hip", "wmi", "adl-discover", "adl-discover", "stats:0"}));
    EXPECT_EQ(recorder.stderr_text, "");
}

TEST(Pass, EnrichmentOnTheEmptyListMayStillFindAdapters) {
    // The first discovery call fails, the one in the enrichment step succeeds:
    // its records go on through the statistics step.
    Recorder recorder;
    GpuDevice adl;
    adl.backend = "adl-pmlog";
    recorder.adl_found = {adl};
    int discover_calls = 0;
    WindowsSources sources = recorder.sources();
    sources.adl_pmlog = [&](DeviceList& devices) -> Status {
        recorder.calls.push_back("adl");
        if (++discover_calls == 1) return Error("busy");
        devices = recorder.adl_found;
        return Ok{};
    };
    const DeviceList devices = windows_pass(sources);
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"hip", "wmi", "adl", "adl", "stats:1"}));
    EXPECT_EQ(backends(devices), std::vector<std::string>{"adl-pmlog"});
}

// The display library in the source table: after a failed sensor query the
// OverdriveN fallback decides for the GPUs it reads; with no GPU to read the
// failure stands.
TEST(Pass, TheOverdriveFallbackDecidesForTheDisplayLibrary) {
    const struct {
        bool gpus;
        bool fallback_answers;
        std::string table;
    } cases[] = {
        {true, true, "adl up\n"},
        {true, false, "adl failed\n"},
        {false, true, "adl failed\n"},
    };
    for (const auto& c : cases) {
        Recorder recorder;
        if (c.gpus) recorder.hip = DeviceList{hip_record(0, "AMD Radeon RX 7900 XTX", "gfx1100", 24560)};
        WindowsSources sources = recorder.sources();
        // As the real library calls do: each says how it went.
        sources.adl_pmlog = [](DeviceList&) -> Status {
            note_source("adl", SourceReason::failed);
            return Error("no PMLog data");
        };
        sources.adl_overdrive_fallback = [&c](DeviceList&) -> Status {
            note_source("adl", c.fallback_answers ? std::nullopt : std::optional(SourceReason::failed));
            return c.fallback_answers ? Status() : Status(Error("OverdriveN not supported"));
        };
        const SourceLedger ledger;
        (void)windows_pass(sources);
        EXPECT_EQ(testing::source_table(ledger), c.table) << c.gpus << c.fallback_answers;
    }
}

}  // namespace
}  // namespace karvo::discovery
