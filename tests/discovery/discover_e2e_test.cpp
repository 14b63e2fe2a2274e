// The real karvo binary over fake sources: the fake HIP runtimes of
// bin/fakes/hip* and the fake PowerShell of bin/fakes/powershell. No display
// library is present, so every Windows pass also reports its failed
// enrichment. On Linux only the HIP runtime is asked (the tree of
// KARVO_SYSROOT holds no card), the memory type comes from SMBIOS, and the
// runs that need WMI are Windows-only.
//
// Linux: the child gets the fakes' folders as its library path and program
// search path. Windows: the loader and CreateProcess look in the program's own
// folder first (and Wine keeps a PowerShell stub in system32), so karvo.exe is
// copied into a temporary folder together with the fakes and that copy is run.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "common/json_reader.h"
#include "common/text.h"
#include "platform/system.h"
#include "support/run_karvo.h"
#include "fixtures/temp_dir.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kEnrichFailed = "[adl] PMLog enrich failed: ";
constexpr std::string_view kNoGpu =
    "No AMD GPU found. Tried: HIP (amdhip64) -> ADL (atiadlxx.dll) -> WMI (Win32_VideoController) on Windows; "
    "HIP+sysfs on Linux\nHint: check driver installed and C:\\TheRock\\build\\bin is in PATH\n";

constexpr const char* kWmiOnly = "WMI is asked on Windows only";

bool on_windows() { return platform::executable_file_name("karvo") != "karvo"; }

// The runtime file names karvo looks for by bare name on this system.
std::string runtime_name() { return on_windows() ? "amdhip64.dll" : "libamdhip64.so"; }

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// One machine for one test: which HIP runtime (if any) under which file
// names, whether PowerShell exists, and what it answers.
class Machine {
public:
    Machine() {
        fs::create_directories(app_dir());
        fs::create_directories(lib_dir());
        fs::create_directories(ps_dir());
        fs::create_directories(empty_dir());
    }

    // Puts the fake runtime of bin/fakes/<folder> in place under `file_name`.
    Machine& hip(const std::string& scenario, const std::string& folder = "hip", std::string file_name = "") {
        if (file_name.empty()) file_name = runtime_name();
        fs::copy_file(testing::fake_dir(folder) + "/" + runtime_name(), runtime_dir() / file_name,
                      fs::copy_options::overwrite_existing);
        hip_scenario_ = scenario + ";log=" + hip_log().string();
        return *this;
    }
    Machine& powershell() {
        powershell_ = true;
        return *this;
    }
    Machine& adapters(std::string_view json) {
        dir_.write("ps/adapters.out", json);
        return powershell();
    }
    Machine& adapters_mode(std::string_view mode) {
        dir_.write("ps/adapters.mode", mode);
        return powershell();
    }
    Machine& memory(std::string_view code) {
        dir_.write("ps/memory.out", code);
        return powershell();
    }
    // One installed SMBIOS memory device of this type, in the KARVO_SYSROOT tree.
    Machine& smbios(unsigned char code) {
        std::string raw(0x28, '\0');
        raw[0] = 17;    // Memory Device
        raw[1] = 0x28;  // length of the formatted part
        raw[0x0D] = 0x40;  // Size: 16 GB
        raw[0x12] = static_cast<char>(code);
        fs::create_directories(dir_.path() / "root/sys/firmware/dmi/entries/17-0");
        dir_.write("root/sys/firmware/dmi/entries/17-0/raw", raw);
        return *this;
    }

    platform::ProcessOutput run(const std::vector<std::string>& args) {
        testing::EnvChanges env = {{"KARVO_FAKE_PS_DIR", ps_dir().string()}};
        if (fs::exists(dir_.path() / "root")) env.emplace_back("KARVO_SYSROOT", (dir_.path() / "root").string());
        if (!hip_scenario_.empty()) env.emplace_back("KARVO_FAKE_HIP", hip_scenario_);
        std::string program = testing::karvo_path();
        if (on_windows()) {
            program = (app_dir() / platform::executable_file_name("karvo")).string();
            fs::copy_file(testing::karvo_path(), program, fs::copy_options::overwrite_existing);
            if (powershell_) {
                const std::string name = platform::executable_file_name("powershell");
                fs::copy_file(testing::fake_dir("powershell") + "/" + name, app_dir() / name,
                              fs::copy_options::overwrite_existing);
            }
        } else {
            env.emplace_back("PATH", powershell_ ? testing::fake_dir("powershell") : empty_dir().string());
            env.emplace_back("LD_LIBRARY_PATH", lib_dir().string());
        }
        return testing::run_karvo(args, env, program);
    }

    // One line per PowerShell start: "adapters", "memory" or "other".
    std::vector<std::string> powershell_starts() const { return lines_of(read_file(ps_dir() / "starts")); }
    std::vector<std::string> hip_calls() const { return lines_of(read_file(hip_log())); }

private:
    fs::path app_dir() const { return dir_.path() / "app"; }
    fs::path lib_dir() const { return dir_.path() / "lib"; }
    fs::path runtime_dir() const { return on_windows() ? app_dir() : lib_dir(); }
    fs::path ps_dir() const { return dir_.path() / "ps"; }
    fs::path empty_dir() const { return dir_.path() / "empty"; }
    fs::path hip_log() const { return dir_.path() / "hip.log"; }

    testing::TempDir dir_;
    std::string hip_scenario_;
    bool powershell_ = false;
};

// The devices of a JSON document printed by karvo.
std::vector<json::Value> devices_of(const platform::ProcessOutput& output) {
    auto parsed = json::parse(output.out);
    if (!parsed.ok()) {
        ADD_FAILURE() << parsed.error().long_form() << "\nstdout: " << output.out << "\nstderr: " << output.err;
        return {};
    }
    const auto* items = parsed->as_array();
    if (items == nullptr) {
        ADD_FAILURE() << "not an array: " << output.out;
        return {};
    }
    return *items;
}

std::string text_of(const json::Value& device, std::string_view key) {
    const json::Value* value = device.find(key);
    if (value == nullptr || value->as_string() == nullptr) return "<missing " + std::string(key) + ">";
    return *value->as_string();
}

std::uint64_t number_of(const json::Value& device, std::string_view key) {
    const json::Value* value = device.find(key);
    return value != nullptr && value->as_u64() ? *value->as_u64() : UINT64_MAX;
}

std::vector<std::string> backends_of(const std::vector<json::Value>& devices) {
    std::vector<std::string> labels;
    for (const auto& device : devices) labels.push_back(text_of(device, "backend"));
    return labels;
}

// A pass that found GPUs but no display library: exactly one enrichment line
// on Windows; nothing at all on Linux, which never asks that library.
void expect_one_enrichment_failure(const platform::ProcessOutput& output) {
    if (!on_windows()) {
        EXPECT_EQ(output.err, "");
        return;
    }
    const auto lines = lines_of(output.err);
    ASSERT_EQ(lines.size(), 1u) << output.err;
    EXPECT_EQ(lines[0].rfind(kEnrichFailed, 0), 0u) << output.err;
    EXPECT_EQ(output.err.back(), '\n');
}

// A pass that found nothing: the enrichment line, then the two-line message.
void expect_no_gpu(const platform::ProcessOutput& output) {
    EXPECT_EQ(output.exit_code, 2) << output.err;
    EXPECT_EQ(output.out, "");
    ASSERT_GE(output.err.size(), kNoGpu.size()) << output.err;
    EXPECT_EQ(output.err.substr(output.err.size() - kNoGpu.size()), kNoGpu);
    if (on_windows()) {
        EXPECT_EQ(output.err.rfind(kEnrichFailed, 0), 0u) << output.err;
    } else {
        EXPECT_EQ(output.err, kNoGpu);
    }
}

constexpr const char* kTwoHip =
    "dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=25753026560;"
    "dev1.name=AMD Radeon RX 7600;dev1.mem=0;dev1.warp=64";

constexpr std::string_view kThreeWmi =
    R"([{"Name":"WMI 7900","PNPDeviceID":"PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\\6&1",)"
    R"("DriverVersion":"31.0.1","AdapterRAM":2147483648},)"
    R"({"Name":"WMI 7600","PNPDeviceID":"PCI\\VEN_1002&DEV_7480&SUBSYS_12341002&REV_C0\\6&2",)"
    R"("DriverVersion":"31.0.2","AdapterRAM":2147483648},)"
    R"({"Name":"WMI 6800","PNPDeviceID":"PCI\\VEN_1002&DEV_73BF&SUBSYS_0E3A1002&REV_C1\\6&3",)"
    R"("DriverVersion":"31.0.3","AdapterRAM":1073741824}])";

TEST(DiscoverEndToEnd, TwoHipGpusMergedWithThreeWmiAdapters) {
    if (!on_windows()) GTEST_SKIP() << kWmiOnly;
    Machine machine;
    machine.hip(kTwoHip).adapters(kThreeWmi);
    const auto output = machine.run({"--json"});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    const auto devices = devices_of(output);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(backends_of(devices), (std::vector<std::string>{"hip+wmi", "hip+wmi", "wmi"}));

    EXPECT_EQ(text_of(devices[0], "market_name"), "AMD Radeon RX 7900 XTX");
    EXPECT_EQ(number_of(devices[0], "device_id"), 0x744Cu);
    EXPECT_EQ(number_of(devices[0], "subsystem_id"), 0x0E3B1002u);
    EXPECT_EQ(number_of(devices[0], "rev_id"), 0xC8u);
    EXPECT_EQ(text_of(devices[0], "bdf"), "PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\\6&1");
    EXPECT_EQ(text_of(devices[0], "driver_version"), "31.0.1");
    EXPECT_EQ(text_of(devices[0], "gfx_version"), "gfx1100");  // HIP's own target stays
    EXPECT_EQ(number_of(devices[0], "vram_total_mb"), 24560u);  // HIP's own size stays
    EXPECT_EQ(number_of(devices[0], "num_cu"), 32u);

    EXPECT_EQ(text_of(devices[1], "market_name"), "AMD Radeon RX 7600");
    EXPECT_EQ(text_of(devices[1], "gfx_version"), "gfx1102");  // "unknown" from HIP, WMI's target
    EXPECT_EQ(number_of(devices[1], "vram_total_mb"), 2048u);   // 0 from HIP, WMI's size
    EXPECT_EQ(number_of(devices[1], "num_cu"), 16u);
    EXPECT_EQ(number_of(devices[1], "index"), 1u);

    EXPECT_EQ(text_of(devices[2], "market_name"), "WMI 6800");
    EXPECT_EQ(number_of(devices[2], "index"), 2u);
    EXPECT_EQ(text_of(devices[2], "gfx_version"), "gfx1030");
    EXPECT_EQ(number_of(devices[2], "vram_total_mb"), 1024u);

    expect_one_enrichment_failure(output);
    EXPECT_EQ(machine.powershell_starts(), std::vector<std::string>{"adapters"});
    EXPECT_EQ(machine.hip_calls(), (std::vector<std::string>{"count", "props_r0600 0", "props_r0600 1", "unload"}));
}

TEST(DiscoverEndToEnd, TwoHipGpusAndOneWmiAdapter) {
    if (!on_windows()) GTEST_SKIP() << kWmiOnly;
    Machine machine;
    machine.hip(kTwoHip).adapters(
        R"({"Name":"WMI","PNPDeviceID":"PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\\6&1","AdapterRAM":1048576})");
    const auto output = machine.run({"--compact"});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    const auto devices = devices_of(output);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(backends_of(devices), (std::vector<std::string>{"hip+wmi", "hip"}));
    EXPECT_EQ(text_of(devices[1], "gfx_version"), "unknown");
    EXPECT_EQ(number_of(devices[1], "vram_total_mb"), 0u);
    EXPECT_EQ(text_of(devices[0], "driver_version"), "");  // WMI had none: replaced by empty

    // The compact document is one line and one "\n".
    ASSERT_FALSE(output.out.empty());
    EXPECT_EQ(output.out.find('\n'), output.out.size() - 1);
    EXPECT_EQ(output.out.rfind("[{\"index\":0,\"market_name\":\"AMD Radeon RX 7900 XTX\",", 0), 0u);
    EXPECT_NE(output.out.find(R"("backend":"hip","processes":[]}])"), std::string::npos);
}

TEST(DiscoverEndToEnd, TableRowOfAHipOnlyGpu) {
    Machine machine;
    machine.hip("dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=25753026560");
    const auto output = machine.run({});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    const std::string row = text::pad_right("0", 3) + " " + text::pad_right("AMD Radeon RX 7900 XTX", 26) + " " +
                            text::pad_right("gfx1100", 8) + " " + text::pad_right("0 / 24560 MB", 23) + " " +
                            text::pad_right("-", 9) + " " + text::pad_right("-", 6) + " " + text::pad_right("-", 8) +
                            " " + text::pad_right("-", 6) + " " + text::pad_right("-", 8) + " " +
                            text::pad_right("hip", 8) + "\n";
    EXPECT_NE(output.out.find(row), std::string::npos) << output.out;
    EXPECT_EQ(output.out.rfind("Karvo Portable | 1 GPU(s) | ", 0), 0u) << output.out;
    expect_one_enrichment_failure(output);
}

TEST(DiscoverEndToEnd, NamingTablesAndOneMemoryQueryPerIntegratedGpu) {
    Machine machine;
    machine.hip("dev0.name=AMD Radeon 780M Graphics;dev1.name=AMD Radeon(TM) Vega 8 Graphics;"
                "dev2.name=AMD Radeon 880M;dev3.name=AMD Radeon RX 9070 XT;dev4.name=AMD Radeon(TM) Graphics");
    if (on_windows()) machine.adapters("null").memory(" 35\r\n");
    else machine.smbios(35);
    const auto output = machine.run({"--json"});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    const auto devices = devices_of(output);
    ASSERT_EQ(devices.size(), 5u);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"gfx1151", "LPDDR5 (Shared)"}, {"unknown", "DDR4 (Shared)"}, {"unknown", "LPDDR5 (Shared)"},
        {"gfx1201", "GDDR6"},           {"gfx1151", "LPDDR5 (Shared)"}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(text_of(devices[i], "gfx_version"), expected[i].first) << i;
        EXPECT_EQ(text_of(devices[i], "vram_type"), expected[i].second) << i;
        EXPECT_EQ(text_of(devices[i], "backend"), "hip") << i;
    }
    // Three integrated GPUs: three memory queries, then the adapter query.
    if (on_windows()) {
        EXPECT_EQ(machine.powershell_starts(), (std::vector<std::string>{"memory", "memory", "memory", "adapters"}));
    }
}

TEST(DiscoverEndToEnd, WmiAloneWithSharedMemoryDevice) {
    if (!on_windows()) GTEST_SKIP() << kWmiOnly;
    Machine machine;
    machine
        .adapters(R"({"Name":"AMD Radeon(TM) Graphics","PNPDeviceID":"PCI\\VEN_1002&DEV_1681&SUBSYS_00000000&REV_C8",)"
                  R"("DriverVersion":"x","AdapterRAM":536870912})")
        .memory("32");
    const auto output = machine.run({"--json"});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    const auto devices = devices_of(output);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(text_of(devices[0], "backend"), "wmi");
    EXPECT_EQ(number_of(devices[0], "device_id"), 0x1681u);
    EXPECT_EQ(text_of(devices[0], "vram_type"), "DDR4 (Shared)");  // code 32 has no full-table name
    EXPECT_EQ(number_of(devices[0], "vram_total_mb"), 512u);
    EXPECT_EQ(machine.powershell_starts(), (std::vector<std::string>{"adapters", "memory"}));
    expect_one_enrichment_failure(output);
}

TEST(DiscoverEndToEnd, NothingFoundAnywhere) {
    Machine absent;  // no runtime, no PowerShell
    expect_no_gpu(absent.run({"--json"}));

    Machine empty;
    empty.adapters("null");
    expect_no_gpu(empty.run({}));
    // Linux never starts PowerShell, even one on its search path.
    EXPECT_EQ(empty.powershell_starts(), on_windows() ? std::vector<std::string>{"adapters"} : std::vector<std::string>{});
}

TEST(DiscoverEndToEnd, BadPowerShellOutputLeavesTheHipRecords) {
    if (!on_windows()) GTEST_SKIP() << kWmiOnly;
    for (const char* mode : {"garbage", "nested", "stderr"}) {
        Machine machine;
        machine.hip("dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=1073741824").adapters("[{]").adapters_mode(mode);
        const auto output = machine.run({"--compact"});
        ASSERT_EQ(output.exit_code, 0) << mode << ": " << output.err;
        const auto devices = devices_of(output);
        ASSERT_EQ(devices.size(), 1u) << mode;
        EXPECT_EQ(text_of(devices[0], "backend"), "hip") << mode;
        expect_one_enrichment_failure(output);
    }
}

TEST(DiscoverEndToEnd, HugePowerShellOutputStillParses) {
    if (!on_windows()) GTEST_SKIP() << kWmiOnly;
    Machine machine;
    machine.adapters(R"({"Name":"AMD Radeon RX 7900 XTX","PNPDeviceID":"PCI\\VEN_1002&DEV_744C"})")
        .adapters_mode("huge stderr");
    const auto output = machine.run({"--compact"});
    ASSERT_EQ(output.exit_code, 0) << output.err.substr(0, 200);
    const auto devices = devices_of(output);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(text_of(devices[0], "gfx_version"), "gfx1100");
}

TEST(DiscoverEndToEnd, MisbehavingRuntimeLeavesTheWmiRecords) {
    if (!on_windows()) GTEST_SKIP() << kWmiOnly;
    const std::string wmi = R"({"Name":"WMI 7900","PNPDeviceID":"PCI\\VEN_1002&DEV_744C"})";
    for (const char* scenario : {"count=-7", "count_status=100", "count=2147483647;missing_status=101",
                                 "count=3;dev0.status=1;dev1.status=101;dev2.status=-1"}) {
        Machine machine;
        machine.hip(scenario).adapters(wmi);
        const auto output = machine.run({"--json"});
        ASSERT_EQ(output.exit_code, 0) << scenario << ": " << output.err;
        const auto devices = devices_of(output);
        ASSERT_EQ(devices.size(), 1u) << scenario;
        EXPECT_EQ(text_of(devices[0], "backend"), "wmi") << scenario;
        EXPECT_EQ(text_of(devices[0], "market_name"), "WMI 7900") << scenario;
        EXPECT_LE(machine.hip_calls().size(), 1026u) << scenario;  // count, at most 1024 ordinals, unload
    }
}

TEST(DiscoverEndToEnd, NamesThatAreNotUtf8) {
    Machine machine;
    machine.hip("dev0.name=Radeon %FF%C3 Pro;dev0.mem=1048576")
        .adapters("{\"Name\":\"W\xff\",\"PNPDeviceID\":\"x\"}");
    // The WMI name is not valid UTF-8 either: the whole answer is decoded with replacement first.
    const auto output = machine.run({"--json"});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    const auto devices = devices_of(output);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(text_of(devices[0], "market_name"), "Radeon \xef\xbf\xbd\xef\xbf\xbd Pro");
    EXPECT_EQ(text_of(devices[0], "backend"), on_windows() ? "hip+wmi" : "hip");
    EXPECT_TRUE(text::is_valid_utf8(output.out));
}

TEST(DiscoverEndToEnd, OlderRuntimeWithThePlainPropertiesEntryPoint) {
    Machine machine;
    machine.hip("dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=2147483648", "hip-legacy");
    const auto output = machine.run({"--json"});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    const auto devices = devices_of(output);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(number_of(devices[0], "vram_total_mb"), 2048u);
    EXPECT_EQ(machine.hip_calls(), (std::vector<std::string>{"count", "props 0", "unload"}));
}

TEST(DiscoverEndToEnd, RuntimeCandidateOrder) {
    Machine machine;
    if (on_windows()) {
        // amdhip64_7.dll comes before amdhip64.dll.
        machine.hip("dev0.name=A", "hip-legacy", "amdhip64.dll").hip("dev0.name=A", "hip", "amdhip64_7.dll");
    } else {
        // libamdhip64.so comes before libamdhip64.so.7.
        machine.hip("dev0.name=A", "hip-legacy", "libamdhip64.so").hip("dev0.name=A", "hip", "libamdhip64.so.7");
    }
    const auto output = machine.run({"--json"});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    EXPECT_EQ(devices_of(output).size(), 1u);
    const auto calls = machine.hip_calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[1], on_windows() ? "props_r0600 0" : "props 0");
}

TEST(DiscoverEndToEnd, LastCandidateAlone) {
    Machine machine;
    machine.hip("dev0.name=AMD Radeon RX 7900 XTX", "hip", on_windows() ? "amdhip64_7.dll" : "libamdhip64.so.7");
    const auto output = machine.run({"--json"});
    ASSERT_EQ(output.exit_code, 0) << output.err;
    const auto devices = devices_of(output);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(text_of(devices[0], "market_name"), "AMD Radeon RX 7900 XTX");
}

}  // namespace
}  // namespace karvo
