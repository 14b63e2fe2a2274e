#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/host.h"
#include "platform/process.h"
#include "platform/system.h"
#include "support/run_karvo.h"
#include "fixtures/temp_dir.h"

namespace karvo::platform {
namespace {

std::string child_path() { return testing::fake_dir("child") + "/" + executable_file_name("karvo_child"); }

ProcessOutput run_child(std::vector<std::string> args, ProcessSpec spec = {}) {
    spec.program = child_path();
    spec.args = std::move(args);
    // Wine now and then fails to bring a new process up at all; a child that
    // cannot start fails every try.
    auto result = run_process(spec);
    for (int retry = 0; retry < 2 && !result.ok(); ++retry) result = run_process(spec);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().long_form());
    return result.ok() ? std::move(result).value() : ProcessOutput{};
}

TEST(RunProcess, ArgumentsReachTheChildByteForByte) {
    const std::vector<std::string> tricky = {
        "plain", "", "two words", "quote\"inside", "trailing backslash\\", "back\\\\\"slashes",
        "\"", "tab\there", "caf\xC3\xA9 \xE2\x82\xAC", "-Command", "$_.PNPDeviceID -like 'PCI\\VEN_1002*'",
    };
    std::vector<std::string> args = {"args"};
    args.insert(args.end(), tricky.begin(), tricky.end());
    const auto output = run_child(args);
    std::string expected;
    for (const auto& arg : tricky) expected += std::to_string(arg.size()) + ":" + arg + "\n";
    EXPECT_EQ(output.out, expected);
    EXPECT_EQ(output.exit_code, 0);
}

TEST(RunProcess, ReportsExitStatus) {
    EXPECT_EQ(run_child({"exit", "0"}).exit_code, 0);
    EXPECT_EQ(run_child({"exit", "3"}).exit_code, 3);
    EXPECT_EQ(run_child({"exit", "200"}).exit_code, 200);
}

TEST(RunProcess, DrainsBothPipesWithoutDeadlock) {
    // Far more than any pipe buffer on both streams at once.
    const std::size_t size = 8 * 1024 * 1024;
    const auto output = run_child({"flood", std::to_string(size)});
    EXPECT_EQ(output.out.size(), size);
    EXPECT_EQ(output.err.size(), size);
}

TEST(RunProcess, StandardInputIsEmpty) { EXPECT_EQ(run_child({"stdin"}).out, "0"); }

TEST(RunProcess, EnvironmentChangesApplyToTheChildOnly) {
    set_env("KARVO_TEST_INHERITED", std::string("from parent"));
    ProcessSpec spec;
    spec.env = {{"KARVO_TEST_SET", std::string("value \xC3\xA9")}, {"KARVO_TEST_INHERITED", std::nullopt}};
    EXPECT_EQ(run_child({"env", "KARVO_TEST_SET"}, spec).out, "value \xC3\xA9");
    EXPECT_EQ(run_child({"env", "KARVO_TEST_INHERITED"}, spec).out, "<unset>");
    EXPECT_EQ(run_child({"env", "KARVO_TEST_INHERITED"}).out, "from parent");
    EXPECT_FALSE(get_env("KARVO_TEST_SET").has_value());
    set_env("KARVO_TEST_INHERITED", std::nullopt);
}

TEST(RunProcess, RunsInTheRequestedFolder) {
    testing::TempDir dir;
    ProcessSpec spec;
    spec.working_dir = dir.path().string();
    const auto output = run_child({"cwd"}, spec);
    EXPECT_EQ(std::filesystem::weakly_canonical(output.out), std::filesystem::weakly_canonical(dir.path()));
}

TEST(RunProcess, ChildInheritsOnlyItsStandardStreams) {
    testing::TempDir dir;
    // C stdio leaves its descriptor inheritable; the child must still not see it.
    std::FILE* file = std::fopen(dir.write("open.txt", "x").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    const auto output = run_child({"fds"});
    std::fclose(file);
    // Only POSIX lists descriptors in /proc (Wine shows its own there).
    if (executable_file_name("x") == "x") {
        // 0, 1, 2 and the folder listing itself.
        EXPECT_EQ(output.out, "4");
    }
}

std::uint64_t elapsed_ms(std::uint64_t start_ns) { return (monotonic_ns() - start_ns) / 1000000; }

TEST(RunProcess, TheTimeLimitEndsTheChildAndWhatItStarted) {
    testing::TempDir dir;
    const std::string marker = (dir.path() / "grandchild").string();
    ProcessSpec spec;
    spec.program = child_path();
    spec.time_limit = std::chrono::milliseconds(500);
    // The second child waits for a grandchild that holds the output pipes.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"sleep", "60000"},
                                                 std::vector<std::string>{"tree", "1500", marker}}) {
        spec.args = args;
        const std::uint64_t start = monotonic_ns();
        const auto result = run_process(spec);
        const std::uint64_t took = elapsed_ms(start);
        ASSERT_FALSE(result.ok()) << args[0];
        EXPECT_EQ(result.error().long_form(), child_path() + " did not finish within 500 ms");
        EXPECT_GE(took, 500u) << args[0];
        EXPECT_LT(took, 8000u) << args[0];
    }
    // A grandchild that survived would have ended its sleep by now.
    sleep_milliseconds(2000);
    if (std::filesystem::exists(marker + ".started")) {
        EXPECT_FALSE(std::filesystem::exists(marker + ".done"));
    }
}

TEST(RunProcess, AChildWithinItsLimitRunsAsWithoutOne) {
    ProcessSpec spec;
    spec.time_limit = std::chrono::seconds(60);
    const auto flood = run_child({"flood", "1048576"}, spec);
    EXPECT_EQ(flood.out.size(), 1048576u);
    EXPECT_EQ(flood.err.size(), 1048576u);
    EXPECT_EQ(run_child({"exit", "3"}, spec).exit_code, 3);
    EXPECT_EQ(run_child({"sleep", "10"}, spec).out, "woke");
}

TEST(RunProcess, MissingProgramIsAnError) {
    ProcessSpec spec;
    spec.program = "karvo-no-such-program-anywhere";
    for (const bool limited : {false, true}) {  // with a limit the child would have had a job of its own
        if (limited) spec.time_limit = std::chrono::seconds(10);
        const auto result = run_process(spec);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().message(), "failed to start karvo-no-such-program-anywhere");
        ASSERT_EQ(result.error().causes().size(), 1u);
        EXPECT_EQ(result.error().causes()[0], os_error_text(platform::kWindowsHost ? 2 : ENOENT)) << limited;
    }
}

}  // namespace
}  // namespace karvo::platform
