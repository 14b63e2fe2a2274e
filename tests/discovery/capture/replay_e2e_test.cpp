// The real karvo recording a pass with --report and replaying it with
// --replay: over the kernel-file trees of the Linux tests, and under Wine over
// the fake HIP runtime, display library and PowerShell. The replayed document
// equals the live one byte for byte (the table apart from its time), whatever
// the output mode, and the report files of this run are left in
// cross-reports/ for the other build to replay. The reports kept in
// tests/reports replay into the documents kept beside them.
//
// KARVO_WRITE_REPORTS=<folder>: each scenario also writes its report and the
// document its replay gives there (how tests/reports is made).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/zip.h"
#include "discovery/capture/report_file.h"
#include "fixtures/card_builder.h"
#include "fixtures/pod_builder.h"
#include "fixtures/process_builder.h"
#include "fixtures/temp_dir.h"
#include "platform/host.h"
#include "platform/system.h"
#include "support/background_process.h"
#include "support/run_karvo.h"

namespace karvo::testing {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spill(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A folder given at build time, reached through Z: under Wine.
fs::path host_folder(const std::string& path) {
    if (platform::kWindowsHost && path.starts_with("/")) return fs::path("Z:" + path);
    return fs::path(path);
}

std::string system_prefix() { return platform::kWindowsHost ? "windows-" : "linux-"; }

// Everything after the first line: the table's title holds the time.
std::string without_title(const std::string& text) {
    const auto end = text.find('\n');
    return end == std::string::npos ? text : text.substr(end + 1);
}

// The lines the report itself adds to standard error.
std::string without_report_line(std::string err) {
    const auto at = err.find("Report written to ");
    if (at != std::string::npos) err.erase(at, err.find('\n', at) + 1 - at);
    return err;
}

platform::ProcessOutput replay(const std::string& report, std::vector<std::string> args) {
    args.insert(args.begin(), {"--replay", report});
    // No GPU, no runtime, no sysroot: the report answers everything.
    return run_karvo(args, {{"LD_LIBRARY_PATH", ""}, {"PATH", ""}});
}

// A machine for one scenario: a tree of kernel files on Linux; a folder with
// karvo.exe and the fake runtimes and PowerShell beside it under Wine.
class Machine {
public:
    Machine() { fs::create_directories(app()); }

    SysTree tree;

    Machine& hip(std::string scenario) {
        copy_fake("hip", "amdhip64.dll");
        env_.emplace_back("KARVO_FAKE_HIP", scenario);
        return *this;
    }
    Machine& adl(const std::string& variant, std::string_view scenario) {
        copy_fake(variant, "atiadlxx.dll");
        const fs::path file = app() / "adl-scenario.txt";
        spill(file, scenario);
        env_.emplace_back("KARVO_FAKE_ADL", file.string());
        return *this;
    }
    Machine& powershell(std::string_view adapters, std::string_view memory = "") {
        copy_fake("powershell", "powershell.exe");
        fs::create_directories(app() / "ps");
        spill(app() / "ps" / "adapters.out", adapters);
        if (!memory.empty()) spill(app() / "ps" / "memory.out", memory);
        env_.emplace_back("KARVO_FAKE_PS_DIR", (app() / "ps").string());
        return *this;
    }

    std::string report_path(const std::string& name) const { return (app() / (name + ".zip")).string(); }

    platform::ProcessOutput run(const std::vector<std::string>& args) {
        testing::EnvChanges env = env_;
        std::string program = karvo_path();
        if (platform::kWindowsHost) {
            program = (app() / "karvo.exe").string();
            if (!fs::exists(program)) fs::copy_file(karvo_path(), program);
        } else {
            env.emplace_back("KARVO_SYSROOT", tree.root());
            env.emplace_back("LD_LIBRARY_PATH", "");
        }
        return run_karvo(args, env, program);
    }

private:
    fs::path app() const { return tree.top() / "app"; }
    void copy_fake(const std::string& folder, const std::string& file) {
        fs::copy_file(fake_dir(folder) + "/" + file, app() / file, fs::copy_options::overwrite_existing);
    }
    testing::EnvChanges env_;
};

// Leaves a report for the other build, and with KARVO_WRITE_REPORTS for tests/reports.
void keep(const std::string& report, const std::string& name, const std::string& json_document) {
    const fs::path cross = host_folder(KARVO_CROSS_REPORTS_DIR);
    fs::create_directories(cross);
    fs::copy_file(report, cross / (system_prefix() + name + ".zip"), fs::copy_options::overwrite_existing);
    if (const auto folder = platform::get_env("KARVO_WRITE_REPORTS")) {
        fs::copy_file(report, fs::path(*folder) / (system_prefix() + name + ".zip"),
                      fs::copy_options::overwrite_existing);
        spill(fs::path(*folder) / (system_prefix() + name + ".json"), json_document);
    }
}

// Records `args` on the machine, replays the report with the same output
// options and with others, and leaves the report where the other build and
// KARVO_WRITE_REPORTS want it.
void record_and_replay(Machine& machine, const std::string& name, const std::vector<std::string>& args,
                       int exit_code = 0) {
    const std::string report = machine.report_path(name);
    std::vector<std::string> recording = {"--report", report};
    recording.insert(recording.end(), args.begin(), args.end());
    const auto live = machine.run(recording);
    ASSERT_EQ(live.exit_code, exit_code) << live.err;
    ASSERT_NE(live.err.find("Report written to " + report + ": "), std::string::npos) << live.err;

    auto read = discovery::capture::read_report(slurp(report));
    ASSERT_TRUE(read.ok()) << read.error().long_form();
    EXPECT_EQ(read->document, live.out);
    EXPECT_EQ(read->stderr_text, without_report_line(live.err).substr(0, read->stderr_text.size()));

    const auto replayed = replay(report, args);
    EXPECT_EQ(replayed.exit_code, exit_code) << replayed.err;
    const bool table = args.empty() || args == std::vector<std::string>{"--verbose"};
    EXPECT_EQ(table ? without_title(replayed.out) : replayed.out, table ? without_title(live.out) : live.out);
    EXPECT_EQ(replayed.err, without_report_line(live.err)) << "the pass's own diagnostics, nothing else";

    // Every output mode replays from the same file.
    const auto json = replay(report, {"--json"});
    EXPECT_EQ(json.exit_code, exit_code) << json.err;
    const auto query = replay(report, {"--query-gpu=index,name,memory.used,temperature.gpu", "--format=csv"});
    EXPECT_EQ(query.exit_code, exit_code) << query.err;

    keep(report, name, json.out);
}

// ---- Linux: trees of kernel files ----------------------------------------------

class LinuxReports : public ::testing::Test {
protected:
    void SetUp() override {
        if (platform::kWindowsHost) GTEST_SKIP() << "the trees are read by the Linux build";
    }
};

void busy_card(SysTree& tree) {
    CardBuilder(tree, "card1", "0000:03:00.0").sensors().kfd_node(1, "110000", 48213);
    tree.file("usr/share/libdrm/amdgpu.ids", "1.0.0\n744C,\tC8,\tAMD Radeon RX 7900 XTX\n");
    tree.file("sys/module/amdgpu/version", "6.10.5\n");
}

void busy_processes(SysTree& tree) {
    ProcessBuilder(tree)
        .comm(77, "Xorg\n")
        .fd(77, 5, "/dev/dri/card1",
            ProcessBuilder::client("0000:03:00.0", 2, "drm-memory-vram:\t524288 KiB\ndrm-engine-gfx:\t9000 ns\n"))
        .fd(77, 6, "/home/someone/secret-plans.txt")
        .comm(4242, "python3\n")
        .fd(4242, 7, "/dev/dri/renderD128",
            ProcessBuilder::client("0000:03:00.0", 3, "drm-resident-vram:\t2048 MiB\ndrm-engine-compute:\t1 ns\n"))
        .comm(9000, "worker\n")
        .kfd(9000, 48213, "1073741824\n");
    const std::string container = "4a1f0e3b9c7d2e8f6a5b4c3d2e1f0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d4e3f";
    PodBuilder(tree, "ml-team", "trainer-7f9c", "0d3b6c2a-1e4f-4a5b-8c9d-0e1f2a3b4c5d")
        .container("pytorch", container)
        .process(4242, container);
}

TEST_F(LinuxReports, BusyCardWithProcessesAndPods) {
    Machine machine;
    busy_card(machine.tree);
    busy_processes(machine.tree);
    record_and_replay(machine, "busy-card", {"--json"});
    record_and_replay(machine, "busy-card-table", {"--verbose"});
}

TEST_F(LinuxReports, TwoCardsOneAsleep) {
    Machine machine;
    busy_card(machine.tree);
    CardBuilder(machine.tree, "card2", "0000:43:00.0").sensors().attr("power/runtime_status", "suspended\n");
    record_and_replay(machine, "two-cards", {"--compact"});
}

TEST_F(LinuxReports, NoCardAnywhere) {
    Machine machine;
    record_and_replay(machine, "no-card", {"--json"}, 2);
}

// The same machine redacted twice gives the same file; its names are gone,
// its figures are not, and it replays into the document it holds.
TEST_F(LinuxReports, RedactedReportsAreStableAndStillReplay) {
    Machine machine;
    busy_card(machine.tree);
    machine.tree.file("sys/devices/pci0000:00/0000:03:00.0/unique_id", "5a1b2c3d4e5f6071\n");
    busy_processes(machine.tree);
    const std::string first = machine.report_path("first"), second = machine.report_path("second");
    const auto live = machine.run({"--report", first, "--redact", "--compact"});
    ASSERT_EQ(live.exit_code, 0) << live.err;
    EXPECT_NE(live.err.find("names replaced by placeholders"), std::string::npos) << live.err;
    ASSERT_EQ(machine.run({"--report", second, "--redact", "--compact"}).exit_code, 0);

    auto a = discovery::capture::read_report(slurp(first));
    auto b = discovery::capture::read_report(slurp(second));
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a->records, b->records);
    EXPECT_EQ(a->document, b->document);
    EXPECT_TRUE(a->info.redacted);

    const std::string answers = discovery::capture::write_answers(a->records) + a->document;
    for (const char* secret : {"python3", "Xorg", "worker", "trainer-7f9c", "ml-team", "pytorch", "4a1f0e3b9c7d",
                               "5a1b2c3d4e5f6071", "secret-plans"}) {
        EXPECT_EQ(answers.find(secret), std::string::npos) << secret;
    }
    // The shape stays: the same processes, figures and pod, by placeholder.
    EXPECT_NE(a->document.find(R"("pid":4242,"name":"process-)"), std::string::npos) << a->document;
    EXPECT_NE(a->document.find(R"("container_id":"000000000001","container":"container-1","pod":"pod-1",)"
                               R"("namespace":"namespace-1")"),
              std::string::npos)
        << a->document;
    EXPECT_NE(live.out.find(R"("name":"python3")"), std::string::npos) << "the screen shows the real names";

    const auto replayed = replay(first, {"--compact"});
    EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
    EXPECT_EQ(replayed.out, a->document);
    keep(first, "redacted", replay(first, {"--json"}).out);
}

// --serve answers every request from the report.
TEST_F(LinuxReports, ServeAnswersFromTheReport) {
    Machine machine;
    busy_card(machine.tree);
    const std::string report = machine.report_path("serve");
    ASSERT_EQ(machine.run({"--report", report, "--json"}).exit_code, 0);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string port = free_loopback_port();
        const fs::path out = machine.tree.top() / "serve.out";
        auto server = BackgroundProcess::start(karvo_path(), {"--replay", report, "--serve", port}, out.string(),
                                               (machine.tree.top() / "serve.err").string());
        ASSERT_TRUE(server.ok()) << server.error().long_form();
        for (int i = 0; i < 3000 && slurp(out).find("Auth:") == std::string::npos && server->running(); ++i) {
            platform::sleep_milliseconds(10);
        }
        if (slurp(out).find("Auth:") == std::string::npos) continue;  // the port was taken meanwhile
        const std::string reply = loopback_get(port, "/metrics");
        EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
        EXPECT_NE(reply.find("\namd_gpu_vram_total_mb{id=\"0\",name=\"AMD Radeon RX 7900 XTX\"} 24560\n"),
                  std::string::npos)
            << reply;
        EXPECT_NE(reply.find("\namd_gpu_temp_hotspot_c{id=\"0\"} 71.5\n"), std::string::npos) << reply;
        return;
    }
    FAIL() << "karvo did not start serving";
}

// A report that lacks answers (a newer karvo reads more) is replayed as if
// those sources had failed, with one warning per source.
TEST_F(LinuxReports, MissingAnswersWarnOncePerSource) {
    Machine machine;
    busy_card(machine.tree);
    const std::string report = machine.report_path("partial");
    ASSERT_EQ(machine.run({"--report", report, "--json"}).exit_code, 0);
    auto capture = discovery::capture::read_report(slurp(report));
    ASSERT_TRUE(capture.ok());
    std::erase_if(capture->records, [](const discovery::capture::Record& record) {
        return record.key.find("/hwmon") != std::string::npos || record.key.ends_with("/kfd/topology/nodes");
    });
    spill(report, discovery::capture::write_report(*capture, {}).value());
    const auto replayed = replay(report, {"--json"});
    EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
    EXPECT_EQ(replayed.err.rfind("warning: the report holds no answer from ", 0), 0u) << replayed.err;
    std::size_t lines = 0;
    for (char c : replayed.err) lines += c == '\n';
    EXPECT_EQ(lines, 2u) << replayed.err;  // sysfs and kfd, once each
}

// ---- Windows: the fake runtimes and PowerShell under Wine ------------------------

class WindowsReports : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::kWindowsHost) GTEST_SKIP() << "the Windows sources run under Wine";
    }
};

constexpr std::string_view kThreeWmi =
    R"([{"Name":"WMI 7900","PNPDeviceID":"PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\\6&1",)"
    R"("DriverVersion":"31.0.1","AdapterRAM":2147483648},)"
    R"({"Name":"AMD Radeon(TM) Graphics","PNPDeviceID":"PCI\\VEN_1002&DEV_1681&SUBSYS_00000000&REV_C8\\4&2",)"
    R"("DriverVersion":"31.0.2","AdapterRAM":536870912}])";

constexpr std::string_view kSensors = R"(
adapter 0 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002
name AMD Radeon RX 7900 XTX
sensor 8 45
sensor 27 71
sensor 73 2505
sensor 14 1200
sensor 35 1
memory ADL2_Adapter_MemoryInfoX4_Get GDDR6
adapter 1 4098 5 0 0
udid PCI_VEN_1002&DEV_1681&SUBSYS_0
sensor 8 52
)";

TEST_F(WindowsReports, HipWmiAndDisplayLibrary) {
    Machine machine;
    machine.hip("dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=25753026560")
        .powershell(kThreeWmi, " 35\r\n")
        .adl("adl", kSensors);
    record_and_replay(machine, "hip-wmi-adl", {"--json"});
    record_and_replay(machine, "hip-wmi-adl-table", {"--verbose"});
}

TEST_F(WindowsReports, DisplayLibraryAloneWithTheLegacyLog) {
    Machine machine;
    machine.adl("adl-no-new-query", R"(
adapter 0 1002 3 0 0
udid PCI_VEN_1002&DEV_73BF&SUBSYS_1
name AMD Radeon RX 6900 XT
support_range 1 256
log 8 47 30 900 0 0 27 99
adapter 1 4098 4 0 0
support 8
log_null
)");
    record_and_replay(machine, "adl-legacy-log", {"--json"});
}

TEST_F(WindowsReports, FailedEnrichmentFallsBackToOverdriveN) {
    Machine machine;
    machine.powershell(kThreeWmi, "26").adl("adl-no-legacy-pmlog", R"(
adapter 0 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002
ret ADL2_New_QueryPMLogData_Get -8
odn_temp 45500
odn_perf 185000 125000 0 33 16000 16
odn_throttle 0 3
odn_fan 2 1100
)");
    record_and_replay(machine, "overdrive-fallback", {"--json"});
}

TEST_F(WindowsReports, NothingFound) {
    Machine machine;
    machine.powershell("null");
    record_and_replay(machine, "nothing-found", {"--json"}, 2);
}

// A file that is no report, or one karvo cannot read, stops karvo before any
// pass with a message naming the file and exit status 2.
TEST(BadReports, ExitTwoWithTheReason) {
    TempDir dir;
    const std::string missing = (dir.path() / "missing.zip").string();
    const std::string text = dir.write("text.zip", "not a zip at all");
    const std::string newer = dir.write(
        "newer.zip", zip::write({{"report.json", R"({"format":"karvo report","version":9,"system":"linux"})"},
                                 {"answers.txt", ""}},
                                {})
                         .value());
    const std::string folder = dir.path().string();
    const std::pair<std::string, std::string> cases[] = {
        {missing, platform::os_error_text(2)},
        {text, "not a karvo report: zip: not a zip archive"},
        {newer, "the report's format version 9 is newer than this karvo reads (1); replay it with a newer karvo"},
        {folder, "not a regular file"},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        for (const std::vector<std::string>& mode : {std::vector<std::string>{"--json"}, {"--serve", "0"}}) {
            std::vector<std::string> args = {"--replay", path};
            args.insert(args.end(), mode.begin(), mode.end());
            const auto result = run_karvo(args);
            EXPECT_EQ(result.exit_code, 2);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err.rfind("Error: cannot replay " + path + ": " + reason, 0), 0u) << result.err;
        }
    }
}

// ---- every report kept in tests/reports, and those of the other build ----------

// Replays each report of `folder` with --json against `expected(report)`.
void replay_folder(const fs::path& folder, const std::function<std::string(const fs::path&)>& expected) {
    if (!fs::exists(folder)) return;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".zip") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const auto replayed = replay(entry.path().string(), {"--json"});
        EXPECT_TRUE(replayed.exit_code == 0 || replayed.exit_code == 2) << replayed.err;
        EXPECT_EQ(replayed.err.find("warning: "), std::string::npos) << replayed.err;
        EXPECT_EQ(replayed.out, expected(entry.path()));
    }
}

TEST(KeptReports, ReplayIntoTheirDocuments) {
    const fs::path folder = host_folder(KARVO_TESTS_DIR) / "reports";
    std::size_t reports = 0;
    replay_folder(folder, [&](const fs::path& report) {
        ++reports;
        fs::path document = report;
        document.replace_extension(".json");
        EXPECT_TRUE(fs::exists(document)) << "every report is kept with its expected document";
        return slurp(document);
    });
    EXPECT_GT(reports, 0u);
}

// The reports the other build recorded in this test run (or an earlier one)
// replay here into the documents they hold (those recorded with --json).
TEST(CrossSystem, ReportsOfTheOtherBuildReplayHere) {
    replay_folder(host_folder(KARVO_OTHER_CROSS_REPORTS_DIR), [](const fs::path& report) {
        auto read = discovery::capture::read_report(slurp(report));
        if (!read.ok()) return std::string("<unreadable>");
        const auto& line = read->info.command_line;
        if (std::find(line.begin(), line.end(), "--json") == line.end()) {
            return replay(report.string(), {"--json"}).out;  // only checks that it replays
        }
        return read->document;
    });
}

}  // namespace
}  // namespace karvo::testing
