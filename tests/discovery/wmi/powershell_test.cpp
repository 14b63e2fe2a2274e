// The PowerShell runner and the two WMI queries against the fake PowerShell
// (tests/fakes/powershell), which answers from a scenario folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <chrono>
#include <optional>
#include <string>

#include "discovery/wmi/powershell.h"
#include "discovery/wmi/wmi_fallback.h"
#include "platform/system.h"
#include "support/run_karvo.h"
#include "support/source_table.h"
#include "fixtures/temp_dir.h"

namespace karvo::discovery::wmi {
namespace {

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path from_utf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool on_windows() { return platform::executable_file_name("x") != "x"; }

// Makes "powershell" resolve to the fake for the duration of a test: its
// folder goes first on PATH (POSIX search) and becomes the current folder
// (Windows searches that before the system folder, where Wine keeps a stub).
class FakePowerShell : public ::testing::Test {
protected:
    void SetUp() override {
        saved_path_ = platform::get_env("PATH");
        saved_scenario_ = platform::get_env("KARVO_FAKE_PS_DIR");
        saved_cwd_ = std::filesystem::current_path();
        use_program_folder(from_utf8(testing::fake_dir("powershell")));
        platform::set_env("KARVO_FAKE_PS_DIR", utf8(scenario_.path()));
    }

    void TearDown() override {
        std::filesystem::current_path(saved_cwd_);
        platform::set_env("PATH", saved_path_);
        platform::set_env("KARVO_FAKE_PS_DIR", saved_scenario_);
    }

    void use_program_folder(const std::filesystem::path& folder) {
        std::string path = utf8(folder);
        if (saved_path_) path += platform::path_list_separator() + *saved_path_;
        platform::set_env("PATH", path);
        std::filesystem::current_path(folder);
    }

    void write(std::string_view name, std::string_view bytes) { scenario_.write(name, bytes); }
    std::string starts() const { return read_bytes(scenario_.path() / "starts"); }
    std::string received_args() const { return read_bytes(scenario_.path() / "args"); }

    testing::TempDir scenario_;

private:
    std::optional<std::string> saved_path_;
    std::optional<std::string> saved_scenario_;
    std::filesystem::path saved_cwd_;
};

constexpr std::string_view kOneAdapter =
    "{\"Name\":\"AMD Radeon RX 7900 XTX\",\"PNPDeviceID\":\"PCI\\\\VEN_1002\\u0026DEV_744C\\u0026SUBSYS_0E3B1002"
    "\\u0026REV_C8\\\\6\\u00261\",\"DriverVersion\":\"32.0.12033.1030\",\"AdapterRAM\":4293918720}\r\n";

TEST_F(FakePowerShell, ArgumentsReachTheChildByteForByte) {
    const std::string scripts[] = {
        "Write-Output \"quoted text\" 'single'",
        "C:\\path with spaces\\",
        "ends with two backslashes\\\\",
        "\\\"backslash before quote\\\\\"",
        "\"",
        "",
        " ",
        "tab\there and\nnew line",
        "Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93 \xF0\x9F\x98\x80 \xE4\xB8\xAD\xE6\x96\x87",
        "$env:PATH | % { $_ -replace '\\\\', '/' } ; & \"x\" ^ %PATH% <in >out",
    };
    for (const std::string& script : scripts) {
        const auto output = run_powershell(script);
        ASSERT_TRUE(output.ok()) << output.error().long_form();
        EXPECT_EQ(*output, "") << "an unknown script gets no answer";
        EXPECT_EQ(received_args(), "-NoProfile" + std::string(1, '\0') + "-Command" + std::string(1, '\0') + script +
                                       std::string(1, '\0'))
            << script;
    }
    std::string lines;
    for (std::size_t i = 0; i < std::size(scripts); ++i) lines += "other\n";
    EXPECT_EQ(starts(), lines);
}

TEST_F(FakePowerShell, OutputIsReturnedWhateverTheExitStatus) {
    write("memory.out", std::string(" 34\r\n\x00\xff", 7));
    write("memory.mode", "exit=3");
    const auto output = run_powershell(kMemoryScript);
    ASSERT_TRUE(output.ok()) << output.error().long_form();
    EXPECT_EQ(*output, std::string(" 34\r\n\x00\xff", 7));
    EXPECT_EQ(received_args(), std::string("-NoProfile\0-Command\0", 20) + std::string(kMemoryScript) + '\0');
}

TEST_F(FakePowerShell, FloodedStandardErrorAndHugeOutput) {
    write("adapters.out", kOneAdapter);
    write("adapters.mode", "stderr huge");
    const auto output = run_powershell(kAdapterScript);
    ASSERT_TRUE(output.ok()) << output.error().long_form();
    EXPECT_EQ(output->size(), (40u << 20) + kOneAdapter.size());
    EXPECT_EQ(output->substr(output->size() - kOneAdapter.size()), kOneAdapter);

    const auto devices = parse_wmi_adapters(*output, {});
    ASSERT_TRUE(devices.ok()) << devices.error().long_form();
    ASSERT_EQ(devices->size(), 1u);
    EXPECT_EQ((*devices)[0].device_id, 0x744Cu);
}

TEST_F(FakePowerShell, AdapterQuery) {
    write("adapters.out", kOneAdapter);
    const auto devices = query_wmi_devices();
    ASSERT_TRUE(devices.ok()) << devices.error().long_form();
    ASSERT_EQ(devices->size(), 1u);
    const GpuDevice& d = (*devices)[0];
    EXPECT_EQ(d.market_name, "AMD Radeon RX 7900 XTX");
    EXPECT_EQ(d.bdf, "PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\\6&1");
    EXPECT_EQ(d.subsystem_id, 0x0E3B1002u);
    EXPECT_EQ(d.rev_id, 0xC8u);
    EXPECT_EQ(d.gfx_version, "gfx1100");
    EXPECT_EQ(d.vram_type, "GDDR6");
    EXPECT_EQ(d.vram_total_mb, 0u) << "the saturated 32-bit AdapterRAM says nothing";
    EXPECT_EQ(d.driver_version, "32.0.12033.1030");
    EXPECT_EQ(starts(), "adapters\n");
}

TEST_F(FakePowerShell, EverySharedMemoryAdapterStartsOneMemoryQuery) {
    write("adapters.out",
          "[{\"Name\":\"AMD Radeon 780M\",\"PNPDeviceID\":\"PCI\\\\VEN_1002&DEV_15BF&REV_C1\"},"
          "{\"Name\":\"AMD Radeon RX 7900 XTX\",\"PNPDeviceID\":\"PCI\\\\VEN_1002&DEV_744C\"},"
          "{\"Name\":\"AMD Radeon Graphics\",\"PNPDeviceID\":\"PCI\\\\VEN_1002&DEV_1681\"}]");
    write("memory.out", "35\r\n");
    const auto devices = query_wmi_devices();
    ASSERT_TRUE(devices.ok()) << devices.error().long_form();
    ASSERT_EQ(devices->size(), 3u);
    EXPECT_EQ((*devices)[0].vram_type, "LPDDR5 (Shared)");
    EXPECT_EQ((*devices)[1].vram_type, "GDDR6");
    EXPECT_EQ((*devices)[2].vram_type, "LPDDR5 (Shared)");
    EXPECT_EQ(starts(), "adapters\nmemory\nmemory\n");
}

TEST_F(FakePowerShell, SharedMemoryFallbackWhenTheQueryGivesNothing) {
    write("adapters.out", "{\"PNPDeviceID\":\"PCI\\\\VEN_1002&DEV_1681\"}");
    const auto devices = query_wmi_devices();  // no memory.out: the memory script prints nothing
    ASSERT_TRUE(devices.ok()) << devices.error().long_form();
    EXPECT_EQ((*devices)[0].vram_type, "DDR4 (Shared)");
    EXPECT_EQ(starts(), "adapters\nmemory\n");
}

TEST_F(FakePowerShell, AdapterQueryFailures) {
    auto failure = [] {
        const auto devices = query_wmi_devices();
        return devices.ok() ? std::string("(no error)") : devices.error().long_form();
    };
    EXPECT_EQ(failure(), "no AMD GPU via WMI");  // nothing printed
    write("adapters.out", "null\r\n");
    EXPECT_EQ(failure(), "no AMD GPU via WMI");
    write("adapters.out", "[]\r\n");
    EXPECT_EQ(failure(), "no AMD WMI entries");
    write("adapters.mode", "garbage");
    EXPECT_EQ(failure().rfind("invalid JSON at line ", 0), 0u);
    write("adapters.mode", "nested stderr");
    EXPECT_NE(failure().find("nested more than 128 deep"), std::string::npos);
    EXPECT_EQ(starts(), "adapters\nadapters\nadapters\nadapters\nadapters\n");
}

TEST_F(FakePowerShell, MemoryQuery) {
    EXPECT_EQ(query_system_memory_code(), std::nullopt);  // nothing printed
    write("memory.out", " 34\r\n");
    EXPECT_EQ(query_system_memory_code(), 34u);
    write("memory.out", "+26");
    EXPECT_EQ(query_system_memory_code(), 26u);
    write("memory.out", "Get-CimInstance : Access denied\r\n");
    EXPECT_EQ(query_system_memory_code(), std::nullopt);
    write("memory.out", "3\xff" "0");
    EXPECT_EQ(query_system_memory_code(), std::nullopt);
    write("memory.mode", "garbage");
    EXPECT_EQ(query_system_memory_code(), std::nullopt);
    write("memory.out", "30\r\n");
    write("memory.mode", "stderr");
    EXPECT_EQ(query_system_memory_code(), 30u);
    EXPECT_EQ(starts(), "memory\nmemory\nmemory\nmemory\nmemory\nmemory\nmemory\n");
}

// A child that never answers is stopped at the limit and counts as failed,
// like one that cannot start; the next run is not held up by it.
TEST_F(FakePowerShell, AHangingChildIsStoppedAtTheLimit) {
    write("adapters.out", kOneAdapter);
    write("adapters.mode", "hang-first");
    const std::uint64_t start = platform::monotonic_ns();
    std::optional<SourceLedger> ledger(std::in_place);
    const auto output = run_powershell(kAdapterScript, std::chrono::milliseconds(1500));
    const std::uint64_t took_ms = (platform::monotonic_ns() - start) / 1000000;
    ASSERT_FALSE(output.ok());
    EXPECT_EQ(output.error().long_form(), "powershell did not finish within 1500 ms");
    EXPECT_LT(took_ms, 8000u);
    // In the pass's source table: a timeout, and the time it cost.
    EXPECT_EQ(testing::source_table(*ledger), "wmi timeout\n");
    EXPECT_GE(ledger->statuses()[0].seconds, 1.5);
    ledger.reset();

    const auto devices = query_wmi_devices();  // the real limit; the fake answers at once now
    ASSERT_TRUE(devices.ok()) << devices.error().long_form();
    EXPECT_EQ(devices->size(), 1u);
}

TEST_F(FakePowerShell, MissingPowerShell) {
    if (on_windows()) GTEST_SKIP() << "Windows always finds a powershell.exe in the system folder";
    testing::TempDir empty;
    platform::set_env("PATH", utf8(empty.path()));
    std::filesystem::current_path(empty.path());

    const SourceLedger ledger;
    const auto output = run_powershell(kAdapterScript);
    ASSERT_FALSE(output.ok());
    EXPECT_NE(output.error().long_form().find("powershell"), std::string::npos) << output.error().long_form();
    const auto devices = query_wmi_devices();
    ASSERT_FALSE(devices.ok());
    EXPECT_EQ(devices.error().long_form(), output.error().long_form());
    EXPECT_EQ(query_system_memory_code(), std::nullopt);
    EXPECT_EQ(starts(), "");
    EXPECT_EQ(testing::source_table(ledger), "wmi missing\n");
}

// WMI answered when PowerShell printed what was asked, or nothing with
// success (no AMD adapter); it failed when the script failed without output
// or printed something else.
TEST_F(FakePowerShell, SourceStatus) {
    const struct {
        std::string_view adapters_out, adapters_mode, memory_out, memory_mode, table;
    } cases[] = {
        {kOneAdapter, "", "", "", "wmi up\n"},
        {"", "", "", "", "wmi up\n"},
        {"null\r\n", "", "", "", "wmi up\n"},
        {"[]", "", "", "", "wmi up\n"},
        {"", "exit=1", "", "", "wmi failed\n"},
        {kOneAdapter, "exit=1", "", "", "wmi up\n"},  // what was asked, whatever the status
        {"", "garbage", "", "", "wmi failed\n"},
        {"{\"Name\":", "", "", "", "wmi failed\n"},
        {"", "", "34", "", "wmi up\n"},
        {"", "", "", "exit=1", "wmi failed\n"},
        {"", "", "Get-CimInstance : Access denied\r\n", "", "wmi failed\n"},
    };
    for (const auto& c : cases) {
        write("adapters.out", c.adapters_out);
        write("adapters.mode", c.adapters_mode);
        write("memory.out", c.memory_out);
        write("memory.mode", c.memory_mode);
        const SourceLedger ledger;
        if (c.memory_out.empty() && c.memory_mode.empty()) {
            (void)query_wmi_devices();
        } else {
            (void)query_system_memory_code();
        }
        EXPECT_EQ(testing::source_table(ledger), c.table)
            << c.adapters_out << "|" << c.adapters_mode << "|" << c.memory_out << "|" << c.memory_mode;
    }
}

}  // namespace
}  // namespace karvo::discovery::wmi
