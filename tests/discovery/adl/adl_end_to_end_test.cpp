// The real karvo executable with the display library double next to it:
// discovery of "adl-pmlog" records, enrichment of HIP records, the OverdriveN
// fallback after a failed enrichment, and the diagnostic lines. Windows only:
// the Linux build never loads the display library (its logic stays covered by
// the unit tests on both systems).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/host.h"
#include "support/run_karvo.h"
#include "fixtures/temp_dir.h"

namespace karvo::discovery::adl {
namespace {

namespace fs = std::filesystem;
using karvo::testing::EnvChanges;
using karvo::testing::TempDir;

// A private copy of karvo with the doubles it should find beside it (Windows
// searches the program's folder; Linux is pointed at it by LD_LIBRARY_PATH).
class Installation {
public:
    Installation(const std::string& adl_variant, std::string_view scenario, bool with_hip) {
        program_ = (dir_.path() / fs::path(karvo::testing::karvo_path()).filename()).string();
        fs::copy_file(karvo::testing::karvo_path(), program_);
        copy_folder(karvo::testing::fake_dir(adl_variant));
        if (with_hip) copy_folder(karvo::testing::fake_dir("hip"));
        scenario_ = dir_.write("adl-scenario.txt", scenario);
        log_ = (dir_.path() / "adl-calls.log").string();
    }

    platform::ProcessOutput run(std::vector<std::string> args, std::string hip_scenario = "") {
        EnvChanges env = {{"KARVO_FAKE_ADL", scenario_},
                          {"KARVO_FAKE_ADL_LOG", log_},
                          {"LD_LIBRARY_PATH", dir_.path().string()},
                          {"KARVO_FAKE_HIP", hip_scenario.empty() ? std::nullopt : std::optional(hip_scenario)}};
        return karvo::testing::run_karvo(args, env, program_);
    }

    int count_calls(std::string_view needle) const {
        std::ifstream in(log_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        const std::string calls = text.str();
        int found = 0;
        for (auto at = calls.find(needle); at != std::string::npos; at = calls.find(needle, at + 1)) ++found;
        return found;
    }

private:
    void copy_folder(const std::string& folder) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.is_regular_file()) fs::copy_file(entry.path(), dir_.path() / entry.path().filename());
        }
    }

    TempDir dir_;
    std::string program_;
    std::string scenario_;
    std::string log_;
};

class AdlEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::kWindowsHost) GTEST_SKIP() << "the Linux pass never asks the display library";
    }
};

int occurrences(const std::string& text, std::string_view needle) {
    int found = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++found;
    return found;
}

TEST_F(AdlEndToEnd, DiscoveryModeReportsEachGpuOnce) {
    Installation install("adl", R"(
adapter 0 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002
name AMD Radeon RX 7900 XTX
driver 31.0.24027.1012
sensor 8 45
sensor 27 71
sensor 73 2505
sensor 40 16000
sensor 41 16
memory ADL2_Adapter_MemoryInfoX4_Get GDDR6
adapter 1 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002
sensor 8 99
adapter 2 4098 5 0 0
ret ADL2_New_QueryPMLogData_Get -8
adapter 3 1002 8 0 0
udid PCI_VEN_1002&DEV_7480&SUBSYS_1
name AMD Radeon RX 7600
sensor 23 455
memory ADL2_Adapter_MemoryInfoX4_Get GDDR6
)",
                         false);
    const auto result = install.run({"--json"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "[adl] New_QueryPMLog adapter 2 ret -8\n");
    EXPECT_EQ(occurrences(result.out, "\"backend\": \"adl-pmlog\""), 2) << result.out;
    EXPECT_NE(result.out.find("\"market_name\": \"AMD Radeon RX 7900 XTX\""), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\"vendor_name\": \"AMD\""), std::string::npos);
    EXPECT_NE(result.out.find("\"device_id\": 29772"), std::string::npos);  // 0x744C
    EXPECT_NE(result.out.find("\"gfx_version\": \"gfx1100\""), std::string::npos);
    EXPECT_NE(result.out.find("\"gfx_version\": \"gfx1102\""), std::string::npos);
    EXPECT_NE(result.out.find("\"bdf\": \"PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002 bus 3 dev 0 fn 0\""),
              std::string::npos);
    EXPECT_NE(result.out.find("\"temp_edge_c\": 45.0"), std::string::npos);
    EXPECT_NE(result.out.find("\"power_w\": 250.5"), std::string::npos);
    EXPECT_NE(result.out.find("\"power_w\": 45.5"), std::string::npos);
    EXPECT_NE(result.out.find("\"pcie_speed_gt\": 16"), std::string::npos);
    EXPECT_EQ(result.out.find("\"temp_edge_c\": 99.0"), std::string::npos);  // the second output of GPU 0
    // One library use: the records are returned at once, no enrichment pass.
    EXPECT_EQ(install.count_calls("ADL2_Main_Control_Create"), 1);
    EXPECT_EQ(install.count_calls("ADL2_Main_Control_Destroy ctx=ok"), 1);
}

TEST_F(AdlEndToEnd, EnrichesTheRecordsOfAnotherSource) {
    Installation install("adl", R"(
adapter 0 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002
sensor 8 45
sensor 19 87
memory ADL2_Adapter_MemoryInfoX4_Get GDDR6X
adapter 1 4098 4 0 0
udid PCI_VEN_1002&DEV_7480&SUBSYS_1
sensor 8 52
memory ADL2_Adapter_MemoryInfoX4_Get n/A
)",
                         true);
    const auto result =
        install.run({"--json"}, "dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=25753026560;dev1.name=AMD Radeon RX 7600");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(occurrences(result.out, "\"backend\": \"hip+adl\""), 2) << result.out;
    EXPECT_NE(result.out.find("\"temp_edge_c\": 45.0"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\"temp_edge_c\": 52.0"), std::string::npos);
    EXPECT_NE(result.out.find("\"gfx_util_percent\": 87"), std::string::npos);
    EXPECT_NE(result.out.find("\"vram_type\": \"GDDR6X\""), std::string::npos);
    EXPECT_EQ(result.out.find("n/A"), std::string::npos);
    EXPECT_EQ(install.count_calls("ADL2_Main_Control_Create"), 1);
    // Enrichment worked: no fallback (only the throttle and fan calls that complement PMLog).
    EXPECT_EQ(install.count_calls("OverdriveN_Temperature_Get"), 0);
    EXPECT_EQ(install.count_calls("OverdriveN_PerformanceStatus_Get"), 0);
    EXPECT_EQ(install.count_calls("OverdriveN_ThrottleNotification_Get ctx=ok"), 2);
}

TEST_F(AdlEndToEnd, FailedEnrichmentFallsBackToOverdriveN) {
    Installation install("adl-no-legacy-pmlog", R"(
adapter 0 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002
ret ADL2_New_QueryPMLogData_Get -8
odn_temp 45500
odn_perf 185000 125000 0 33 16000 16
)",
                         true);
    const auto result = install.run({"--json"}, "dev0.name=AMD Radeon RX 7900 XTX");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err,
              "[adl] New_QueryPMLog adapter 0 ret -8\n"
              "[adl] legacy PMLog symbols missing\n"
              "[adl] PMLog enrich failed: no PMLog data\n");
    EXPECT_NE(result.out.find("\"backend\": \"hip+adl-odn\""), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\"temp_edge_c\": 45.5"), std::string::npos);
    EXPECT_NE(result.out.find("\"gfx_clock_mhz\": 1850"), std::string::npos);
    EXPECT_NE(result.out.find("\"mem_clock_mhz\": 1250"), std::string::npos);
    EXPECT_NE(result.out.find("\"gfx_util_percent\": 33"), std::string::npos);
    EXPECT_EQ(install.count_calls("ADL_Main_Control_Destroy"), 1);
}

TEST_F(AdlEndToEnd, LegacyLogWhenTheNewQueryIsMissing) {
    Installation install("adl-no-new-query", R"(
adapter 0 1002 3 0 0
udid PCI_VEN_1002&DEV_73BF&SUBSYS_1
support_range 1 256
log 8 47 30 900 0 0 27 99
adapter 1 4098 4 0 0
support 8
log_null
)",
                         false);
    const auto result = install.run({"--compact"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "[adl] PMLog data empty adapter 1\n");
    EXPECT_EQ(occurrences(result.out, "\"backend\":\"adl-pmlog\""), 1) << result.out;
    EXPECT_NE(result.out.find("\"temp_edge_c\":47.0"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\"temp_hotspot_c\":null"), std::string::npos);  // after the pair with ID 0
    EXPECT_NE(result.out.find("\"power_w\":90.0"), std::string::npos);
    EXPECT_EQ(install.count_calls("sensors=255 first=1 last=255"), 1);
    EXPECT_EQ(install.count_calls("ADL2_Adapter_PMLog_Stop"), 2);  // a null log is still stopped
    EXPECT_EQ(install.count_calls("ADL2_Device_PMLog_Device_Destroy"), 2);
}

TEST_F(AdlEndToEnd, NoAdaptersAnywhere) {
    Installation install("adl", "count 0\n", false);
    const auto result = install.run({"--json"});
    EXPECT_EQ(result.exit_code, 2);
    // Discovery failed silently; the enrichment of the empty list reports once.
    EXPECT_EQ(occurrences(result.err, "[adl] PMLog enrich failed: no adapters\n"), 1) << result.err;
    EXPECT_EQ(result.err.rfind("[adl] PMLog enrich failed: no adapters\n", 0), 0u) << result.err;
    EXPECT_EQ(result.out, "");
}

}  // namespace
}  // namespace karvo::discovery::adl
