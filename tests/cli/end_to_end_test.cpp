// Runs the real karvo executable and checks its streams and exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/json_reader.h"
#include "platform/host.h"
#include "platform/system.h"
#include "support/background_process.h"
#include "support/run_karvo.h"
#include "support/special_files.h"
#include "fixtures/temp_dir.h"

namespace karvo::cli {
namespace {

using testing::run_karvo;
using testing::TempDir;

constexpr std::string_view kNoGpu =
    "No AMD GPU found. Tried: HIP (amdhip64) -> ADL (atiadlxx.dll) -> WMI (Win32_VideoController) on Windows; "
    "HIP+sysfs on Linux\n"
    "Hint: check driver installed and C:\\TheRock\\build\\bin is in PATH\n";

constexpr std::string_view kWarning =
    "warning: --token is visible in process listings; prefer --token-file or KARVO_TOKEN env\n";

TEST(EndToEndTest, HelpAndVersion) {
    const auto help = run_karvo({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_TRUE(help.err.empty()) << help.err;
    EXPECT_TRUE(help.out.starts_with("karvo - portable single-exe Karvo for AMD GPUs (Windows+Linux). "
                                     "AMD-compatible,\nunofficial. Reference: include/karvo/gpu_ref.h (MIT)\n"))
        << help.out;
    EXPECT_NE(help.out.find("\nUsage: " + platform::executable_file_name("karvo") + " [OPTIONS]\n"), std::string::npos)
        << help.out;
    EXPECT_NE(help.out.find("--watch [<SECS>]"), std::string::npos);
    EXPECT_NE(help.out.find("--token-file <FILE>"), std::string::npos);
    EXPECT_NE(help.out.find("(requires\n                           token) [default: 127.0.0.1]\n"), std::string::npos);

    const auto short_help = run_karvo({"-h"});
    EXPECT_EQ(short_help.exit_code, 0);
    EXPECT_EQ(short_help.out, help.out);

    for (const std::string flag : {"--version", "-V"}) {
        const auto version = run_karvo({flag, "--bogus"});
        EXPECT_EQ(version.exit_code, 0) << flag;
        EXPECT_EQ(version.out, "karvo 1.2.0\n") << flag;
        EXPECT_TRUE(version.err.empty()) << flag;
    }
}

TEST(EndToEndTest, UsageErrorsExitTwoWithNothingOnStdout) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},          {"--json", "--json"},        {"--serve", "65536"},
        {"--serve", "abc"},   {"--token-file", ""},        {"--listen"},
        {"report"},           {""},                        {"="},
        {"--", "--json"},     {"--watch", "99999999999999999999999999"},
        {"--json=yes"},       {"-x"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(arguments.empty() ? "" : arguments.front());
        const auto result = run_karvo(arguments);
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_TRUE(result.err.starts_with("error: ")) << result.err;
        EXPECT_TRUE(result.err.ends_with(" [OPTIONS]\n\nFor more information, try '--help'.\n")) << result.err;
    }
}

TEST(EndToEndTest, ShowRefIgnoresEverythingElse) {
    const auto result = run_karvo({"--serve", "--watch", "--json", "--token", "short", "--show-ref"},
                                  {{"KARVO_TOKEN", "x"}, {"KARVO_TOKEN_FILE", "/does/not/exist"}});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out,
              "Reference cloned to: include/karvo/gpu_ref.h\n"
              "TheRock HIP runtime: C:\\TheRock\\build\\bin\\amdhip64_7.dll\n");
    EXPECT_TRUE(result.err.empty()) << result.err;
}

TEST(EndToEndTest, TokenErrorsStopServeMode) {
    const auto short_option = run_karvo({"--serve", "--token", "  0123456789abcde  "});
    EXPECT_EQ(short_option.exit_code, 1);
    EXPECT_TRUE(short_option.out.empty()) << short_option.out;
    EXPECT_EQ(short_option.err,
              std::string(kWarning) + "Error: --token too short (need >=16 chars, use `openssl rand -hex 32`)\n");

    const auto empty_option = run_karvo({"--serve=0", "--token="});
    EXPECT_EQ(empty_option.exit_code, 1);
    EXPECT_EQ(empty_option.err,
              std::string(kWarning) + "Error: --token too short (need >=16 chars, use `openssl rand -hex 32`)\n");

    const auto short_variable = run_karvo({"--serve", "0"}, {{"KARVO_TOKEN", " 0123456789abcde\n"}});
    EXPECT_EQ(short_variable.exit_code, 1);
    EXPECT_TRUE(short_variable.out.empty());
    EXPECT_EQ(short_variable.err, "Error: KARVO_TOKEN too short (need >=16 chars)\n");
}

TEST(EndToEndTest, TokenFileErrors) {
    TempDir dir;
    const std::string missing = (dir.path() / "missing.token").string();
    const std::string empty = dir.write("empty.token", "");
    const std::string latin1 = dir.write("latin1.token", "0123456789abcdef\xE9\r\n");

    // The file wins over --token: no warning, and the short --token is never examined.
    const auto no_file = run_karvo({"--serve", "--token-file", missing, "--token", "x"});
    EXPECT_EQ(no_file.exit_code, 1);
    EXPECT_TRUE(no_file.out.empty());
    EXPECT_EQ(no_file.err, "Error: read token file " + missing + ": " + platform::os_error_text(2) + "\n");

    const auto empty_file = run_karvo({"--serve", "--token-file=" + empty});
    EXPECT_EQ(empty_file.exit_code, 1);
    EXPECT_EQ(empty_file.err,
              "Error: token in " + empty + " too short (need >=16 chars, use `openssl rand -hex 32`)\n");

    // The variable's path is trimmed before use.
    const auto bad_utf8 = run_karvo({"--serve"}, {{"KARVO_TOKEN_FILE", "  " + latin1 + "\n"}, {"KARVO_TOKEN", "x"}});
    EXPECT_EQ(bad_utf8.exit_code, 1);
    EXPECT_EQ(bad_utf8.err, "Error: read token file " + latin1 + ": stream did not contain valid UTF-8\n");
}

// Paths that could block or exhaust memory fail at once, from either file source.
TEST(EndToEndTest, TokenFilesThatAreNoRegularFilesOrTooLarge) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> cases = {
        {dir.path().string(), "not a regular file"},
        {testing::device_path(), "not a regular file"},
        {dir.write("big.token", std::string(65 * 1024, 'k')), "file too large"},
    };
    if (const auto fifo = testing::make_fifo(dir.path())) cases.emplace_back(*fifo, "not a regular file");
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        const std::string expected = "Error: read token file " + path + ": " + reason + "\n";
        const auto option = run_karvo({"--serve", "0", "--token-file", path});
        EXPECT_EQ(option.exit_code, 1);
        EXPECT_EQ(option.err, expected);
        const auto variable = run_karvo({"--serve", "0"}, {{"KARVO_TOKEN_FILE", path}});
        EXPECT_EQ(variable.exit_code, 1);
        EXPECT_EQ(variable.err, expected);
    }
    const auto too_long = run_karvo({"--serve", "0"}, {{"KARVO_TOKEN", std::string(4097, 'k')}});
    EXPECT_EQ(too_long.exit_code, 1);
    EXPECT_TRUE(too_long.out.empty());
    EXPECT_EQ(too_long.err, "Error: token too long (max 4096 bytes)\n");
}

TEST(EndToEndTest, NoGpuEndsWithStatusTwo) {
    // No GPU source can exist: an empty program search path and no extra libraries.
    TempDir empty;
    const testing::EnvChanges bare = {{"PATH", empty.path().string()}, {"LD_LIBRARY_PATH", ""}};

    const auto one_shot = run_karvo({}, bare);
    EXPECT_EQ(one_shot.exit_code, 2);
    EXPECT_TRUE(one_shot.out.empty()) << one_shot.out;
    EXPECT_TRUE(one_shot.err.ends_with(kNoGpu)) << one_shot.err;
    // Linux asks neither the display library nor PowerShell: the message alone.
    if (!platform::kWindowsHost) {
        EXPECT_EQ(one_shot.err, kNoGpu);
    }

    const auto json = run_karvo({"--json", "--token", "ignored"}, bare);
    EXPECT_EQ(json.exit_code, 2);
    EXPECT_TRUE(json.out.empty()) << json.out;
    EXPECT_TRUE(json.err.ends_with(kNoGpu)) << json.err;
    EXPECT_EQ(json.err.find("warning"), std::string::npos);

    // The watch screen is cleared once, then the first pass ends the program.
    const auto watch = run_karvo({"--watch", "--compact"}, bare);
    EXPECT_EQ(watch.exit_code, 2);
    EXPECT_EQ(watch.out, "\x1b[2J\x1b[1;1H");
    EXPECT_TRUE(watch.err.ends_with(kNoGpu)) << watch.err;
}

// karvo in the background over one fake HIP GPU. On Linux the fake runtime's
// folder is the library path; on Windows karvo.exe is copied next to the fake
// DLL (the loader looks in the program's folder first).
class WatchOverOneGpu {
public:
    explicit WatchOverOneGpu(const std::string& stdout_path,
                             const std::vector<std::string>& args = {"--watch", "1", "--compact"}) {
        const bool windows = platform::executable_file_name("karvo") != "karvo";
        std::string program = testing::karvo_path();
        std::vector<std::pair<std::string, std::optional<std::string>>> env = {
            {"KARVO_FAKE_HIP", "dev0.name=AMD Radeon RX 7600;dev0.mem=8589934592"}};
        if (windows) {
            program = (dir_.path() / "karvo.exe").string();
            std::filesystem::copy_file(testing::karvo_path(), program);
            std::filesystem::copy_file(testing::fake_dir("hip") + "/amdhip64.dll", dir_.path() / "amdhip64.dll");
        } else {
            env.emplace_back("LD_LIBRARY_PATH", testing::fake_dir("hip"));
            env.emplace_back("PATH", dir_.path().string());  // no PowerShell
        }
        // The child inherits our environment: change it for the start only.
        std::vector<std::pair<std::string, std::optional<std::string>>> saved;
        for (const auto& [name, value] : env) {
            saved.emplace_back(name, platform::get_env(name));
            platform::set_env(name, value);
        }
        auto started = testing::BackgroundProcess::start(program, args, stdout_path,
                                                         (dir_.path() / "err.txt").string());
        for (const auto& [name, value] : saved) platform::set_env(name, value);
        if (started.ok()) process_ = std::move(started).value();
        else ADD_FAILURE() << started.error().long_form();
    }

    testing::BackgroundProcess& process() { return process_; }
    std::string err() const { return read((dir_.path() / "err.txt").string()); }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    TempDir dir_;
    testing::BackgroundProcess process_;
};

TEST(EndToEndTest, WatchEndsWhenTheReaderOfStandardOutputHasGone) {
    WatchOverOneGpu watch(testing::BackgroundProcess::kClosedPipe);
    const auto exit_code = watch.process().wait_for_exit(60'000);
    ASSERT_TRUE(exit_code.has_value()) << "the watch loop went on writing into a closed pipe";
    EXPECT_EQ(*exit_code, 1);
    // The same line a one-shot run prints; the reason is the system's (a
    // broken pipe on Linux).
    const std::string err = watch.err();
    const std::string line = "Error: write to standard output failed: ";
    EXPECT_NE(err.find(line), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with(")\n") && err.find('\n', err.find(line)) == err.size() - 1) << err;
    if (platform::executable_file_name("karvo") == "karvo") {
        EXPECT_TRUE(err.ends_with(line + platform::os_error_text(32) + "\n")) << err;
    }
}

// Each refresh is the clear sequence and the document in one piece.
TEST(EndToEndTest, WatchRefreshBytes) {
    TempDir out_dir;
    const std::string out_path = (out_dir.path() / "out.txt").string();
    WatchOverOneGpu watch(out_path);
    constexpr std::string_view kClear = "\x1b[2J\x1b[1;1H";
    std::string out;
    for (int waited = 0; waited < 600; ++waited) {  // two refreshes, within a minute
        out = WatchOverOneGpu::read(out_path);
        if (out.find(kClear, kClear.size()) != std::string::npos) break;
        platform::sleep_milliseconds(100);
    }
    watch.process().kill();
    out = WatchOverOneGpu::read(out_path);
    ASSERT_TRUE(out.starts_with(kClear)) << out;
    const std::size_t second = out.find(kClear, kClear.size());
    ASSERT_NE(second, std::string::npos) << out;
    const std::string refresh = out.substr(0, second);
    EXPECT_TRUE(refresh.starts_with(std::string(kClear) + "[{\"index\":0,\"market_name\":\"AMD Radeon RX 7600\""))
        << refresh;
    EXPECT_EQ(refresh.find('\n'), refresh.size() - 1) << refresh;
}

// One-shot runs over two fake HIP GPUs (karvo next to the fake runtime on Windows).
class TwoGpus {
public:
    TwoGpus() {
        program_ = testing::karvo_path();
        env_ = {{"KARVO_FAKE_HIP", "dev0.name=AMD Radeon RX 7600;dev0.mem=8589934592;dev1.name=Radeon, \"Pro\""}};
        if (platform::executable_file_name("karvo") != "karvo") {
            program_ = (dir_.path() / "karvo.exe").string();
            std::filesystem::copy_file(testing::karvo_path(), program_);
            std::filesystem::copy_file(testing::fake_dir("hip") + "/amdhip64.dll", dir_.path() / "amdhip64.dll");
        } else {
            env_.emplace_back("LD_LIBRARY_PATH", testing::fake_dir("hip"));
            env_.emplace_back("PATH", dir_.path().string());  // no PowerShell
        }
    }
    platform::ProcessOutput run(const std::vector<std::string>& args) {
        return run_karvo(args, env_, program_);
    }

private:
    TempDir dir_;
    std::string program_;
    testing::EnvChanges env_;
};

TEST(EndToEndTest, QueriesAndSelection) {
    TwoGpus gpus;
    const auto csv = gpus.run({"--query-gpu=index,name,memory.total,temperature.gpu", "--format=csv"});
    EXPECT_EQ(csv.exit_code, 0) << csv.err;
    EXPECT_EQ(csv.out,
              "index, name, memory.total [MiB], temperature.gpu\n"
              "0, AMD Radeon RX 7600, 8192 MiB, [N/A]\n"
              "1, \"Radeon, \"\"Pro\"\"\", [N/A], [N/A]\n");
    const auto one = gpus.run({"--query-gpu=name,count", "--format=csv,noheader,nounits", "--id=1"});
    EXPECT_EQ(one.out, "\"Radeon, \"\"Pro\"\"\", 1\n");  // the GPUs of the sample
    const auto json = gpus.run({"--compact", "--id", "1"});
    EXPECT_TRUE(json.out.starts_with("[{\"index\":1,")) << json.out;
    const auto apps = gpus.run({"--query-compute-apps=pid,used_memory"});
    EXPECT_EQ(apps.out, "pid, used_memory [MiB]\n");

    for (const std::vector<std::string>& args : {std::vector<std::string>{"--id=5"},
                                                 std::vector<std::string>{"--query-gpu=index", "--id=0,03:00.0"}}) {
        const auto unmatched = gpus.run(args);
        EXPECT_EQ(unmatched.exit_code, 2);
        EXPECT_TRUE(unmatched.out.empty()) << unmatched.out;
        EXPECT_NE(unmatched.err.find("no GPU matches --id '"), std::string::npos) << unmatched.err;
    }
    const auto bad = gpus.run({"--query-gpu=index,nope"});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_TRUE(bad.out.empty());
    EXPECT_TRUE(bad.err.starts_with("error: unknown field 'nope' in --query-gpu\n")) << bad.err;
}

TEST(EndToEndTest, LoopEndsWhenTheReaderHasGone) {
    WatchOverOneGpu loop(testing::BackgroundProcess::kClosedPipe, {"--query-gpu=index,name", "--loop-ms=100"});
    const auto exit_code = loop.process().wait_for_exit(60'000);
    ASSERT_TRUE(exit_code.has_value()) << "the loop went on writing into a closed pipe";
    EXPECT_EQ(*exit_code, 0);
    // Quietly: no error line (Windows still has its display-library diagnostics).
    EXPECT_EQ(loop.err().find("Error"), std::string::npos) << loop.err();
}

TEST(EndToEndTest, JsonLoopWritesOneParsableLinePerSample) {
    TempDir out_dir;
    const std::string out_path = (out_dir.path() / "out.txt").string();
    WatchOverOneGpu loop(out_path, {"--compact", "--loop-ms=100"});
    std::string out;
    for (int waited = 0; waited < 600 && std::count(out.begin(), out.end(), '\n') < 3; ++waited) {
        platform::sleep_milliseconds(100);
        out = WatchOverOneGpu::read(out_path);
    }
    loop.process().kill();
    std::size_t lines = 0;
    for (std::size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
        const std::string line = out.substr(start, end - start);
        EXPECT_TRUE(line.starts_with("{\"timestamp\":\"20")) << line;
        const Result<json::Value> parsed = json::parse(line);
        ASSERT_TRUE(parsed.ok()) << line;
        EXPECT_EQ(parsed->find("gpus")->as_array()->size(), 1u);
    }
    EXPECT_GE(lines, 3u) << out;
}

}  // namespace
}  // namespace karvo::cli
