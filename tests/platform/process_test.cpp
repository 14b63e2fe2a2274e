#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/process.h"
#include "platform/system.h"
#include "support/run_karvo.h"
#include "support/temp_dir.h"

namespace karvo::platform {
namespace {

std::string child_path() { return testing::fake_dir("child") + "/" + executable_file_name("karvo_child"); }

ProcessOutput run_child(std::vector<std::string> args, ProcessSpec spec = {}) {
    spec.program = child_path();
    spec.args = std::move(args);
    auto result = run_process(spec);
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

TEST(RunProcess, MissingProgramIsAnError) {
    ProcessSpec spec;
    spec.program = "karvo-no-such-program-anywhere";
    const auto result = run_process(spec);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "failed to start karvo-no-such-program-anywhere");
    EXPECT_EQ(result.error().causes().size(), 1u);
}

}  // namespace
}  // namespace karvo::platform
