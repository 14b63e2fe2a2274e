#include "render/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/process.h"
#include "platform/system.h"
#include "render/json.h"
#include "render/table.h"
#include "fixtures/sample_devices.h"
#include "support/run_karvo.h"

namespace karvo::render {
namespace {

// Records what a report does, in order.
struct Recorder {
    std::vector<std::string> events;
    std::vector<std::string> out;
    std::vector<std::string> err;
    std::optional<Error> out_failure;

    ReportIo io() {
        return ReportIo{
            [this](std::string_view bytes) -> Status {
                events.push_back("out");
                out.emplace_back(bytes);
                if (out_failure) return *out_failure;
                return Ok{};
            },
            [this](std::string_view bytes) -> Status {
                events.push_back("err");
                err.emplace_back(bytes);
                return Ok{};
            },
            [this](platform::Zone) {
                events.push_back("time");
                return platform::WallTime{2026, 1, 31, 23, 59, 58, 7};
            },
        };
    }

    Discover discover(DeviceList list) {
        return [this, list] {
            events.push_back("discover");
            return list;
        };
    }
};

TEST(Report, EmptyListWritesTheTwoLinesToStandardErrorOnly) {
    for (const bool json : {false, true}) {
        Recorder r;
        const auto outcome = run_report({json, json, false, 3, {}}, r.discover({}), r.io());
        ASSERT_TRUE(outcome.ok());
        EXPECT_EQ(*outcome, ReportOutcome::no_gpu);
        EXPECT_EQ(r.events, (std::vector<std::string>{"discover", "err"}));
        ASSERT_EQ(r.err.size(), 1u);
        EXPECT_EQ(r.err[0],
                  "No AMD GPU found. Tried: HIP (amdhip64) -> ADL (atiadlxx.dll) -> WMI (Win32_VideoController) on "
                  "Windows; HIP+sysfs on Linux\n"
                  "Hint: check driver installed and C:\\TheRock\\build\\bin is in PATH\n");
    }
}

TEST(Report, TableIsOneWriteWithTheTimeTakenAfterDiscovery) {
    Recorder r;
    const DeviceList list = testing::mixed_list();
    const ReportOptions options{false, false, true, 2, {}};
    const auto outcome = run_report(options, r.discover(list), r.io());
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(*outcome, ReportOutcome::printed);
    EXPECT_EQ(r.events, (std::vector<std::string>{"discover", "time", "out"}));
    ASSERT_EQ(r.out.size(), 1u);
    EXPECT_EQ(r.out[0], render_table(list, {true, 2}, "2026-01-31 23:59:58"));
}

TEST(Report, JsonLayoutsEndWithOneLineBreak) {
    const DeviceList list = testing::mixed_list();
    struct Case {
        bool json, compact;
        std::string expected;
    };
    const Case cases[] = {
        {true, false, render_json_pretty(list) + "\n"},
        {false, true, render_json_compact(list) + "\n"},
        {true, true, render_json_compact(list) + "\n"},  // compact wins
    };
    for (const Case& c : cases) {
        Recorder r;
        ASSERT_TRUE(run_report({c.json, c.compact, true, 1, {}}, r.discover(list), r.io()).ok());
        EXPECT_EQ(r.events, (std::vector<std::string>{"discover", "out"}));  // no clock for JSON
        ASSERT_EQ(r.out.size(), 1u);
        EXPECT_EQ(r.out[0], c.expected);
    }
}

TEST(Report, ScreenPrefixGoesOutWithTheReportOrAloneBeforeTheNoGpuLines) {
    const DeviceList list = testing::mixed_list();
    ReportOptions options{false, true, false, 1, {}};
    options.screen_prefix = "\x1b[2J\x1b[1;1H";
    Recorder printed;
    ASSERT_TRUE(run_report(options, printed.discover(list), printed.io()).ok());
    EXPECT_EQ(printed.events, (std::vector<std::string>{"discover", "out"}));
    EXPECT_EQ(printed.out, std::vector<std::string>{"\x1b[2J\x1b[1;1H" + render_json_compact(list) + "\n"});

    Recorder none;
    EXPECT_EQ(*run_report(options, none.discover({}), none.io()), ReportOutcome::no_gpu);
    EXPECT_EQ(none.events, (std::vector<std::string>{"discover", "out", "err"}));
    EXPECT_EQ(none.out, std::vector<std::string>{"\x1b[2J\x1b[1;1H"});
}

TEST(Report, FailedWriteIsAnErrorWithTheSystemText) {
    Recorder r;
    r.out_failure = Error("Broken pipe (os error 32)");
    const auto outcome = run_report({}, r.discover(testing::mixed_list()), r.io());
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message(), "write to standard output failed: Broken pipe (os error 32)");
    EXPECT_EQ(outcome.error().long_form(), "write to standard output failed: Broken pipe (os error 32)");
    EXPECT_TRUE(is_output_failure(outcome.error()));
    EXPECT_FALSE(is_output_failure(Error("probe failed")));
}

// --- The report on the process's real streams, checked from a child process. ---

constexpr const char* kChildVariable = "KARVO_RENDER_REPORT_CHILD";
constexpr std::string_view kMarker = "<<report>>";

TEST(ReportChild, WritesToTheRealStreams) {
    const auto mode = platform::get_env(kChildVariable);
    if (!mode) GTEST_SKIP() << "only runs as the child of the ReportStreams tests";
    std::fflush(nullptr);
    (void)platform::write_stdout(kMarker);
    ReportOptions options;
    options.compact = *mode == "compact";
    options.json = *mode == "json";
    const auto outcome = run_report(options, [&] { return *mode == "none" ? DeviceList{} : testing::mixed_list(); });
    // Leave before the test framework prints anything more.
    std::_Exit(!outcome.ok() ? 1 : *outcome == ReportOutcome::no_gpu ? 2 : 0);
}

platform::ProcessOutput run_child(const std::string& mode) {
    platform::ProcessSpec spec;
    spec.program = testing::bin_dir() + "/" + platform::executable_file_name("karvo_render_tests");
    spec.args = {"--gtest_filter=ReportChild.WritesToTheRealStreams"};
    spec.env = {{kChildVariable, mode}};
    auto result = platform::run_process(spec);
    if (!result.ok()) {
        ADD_FAILURE() << result.error().long_form();
        return {};
    }
    return std::move(result).value();
}

// What the report wrote after the marker.
std::string report_part(const std::string& out) {
    const auto at = out.find(kMarker);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no marker in: " << out;
        return {};
    }
    return out.substr(at + kMarker.size());
}

TEST(ReportStreams, JsonReachesStandardOutputByteForByte) {
    const auto child = run_child("compact");
    EXPECT_EQ(child.exit_code, 0) << child.err;
    EXPECT_EQ(report_part(child.out), render_json_compact(testing::mixed_list()) + "\n");
    EXPECT_EQ(child.err, "");
}

TEST(ReportStreams, TableCarriesTheLocalTime) {
    const auto child = run_child("table");
    EXPECT_EQ(child.exit_code, 0) << child.err;
    const std::string text = report_part(child.out);
    const std::string prefix = "Karvo Portable | 2 GPU(s) | ";
    ASSERT_TRUE(text.starts_with(prefix)) << text;
    // "YYYY-MM-DD HH:MM:SS", then the rest of the title.
    const std::string time = text.substr(prefix.size(), 19);
    for (std::size_t i = 0; i < time.size(); ++i) {
        const char expected = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
        if (expected == '0') {
            EXPECT_TRUE(time[i] >= '0' && time[i] <= '9') << time;
        } else {
            EXPECT_EQ(time[i], expected) << time;
        }
    }
    EXPECT_EQ(text, render_table(testing::mixed_list(), {}, time));
}

TEST(ReportStreams, NoGpuGoesToStandardErrorWithNothingOnStandardOutput) {
    const auto child = run_child("none");
    EXPECT_EQ(child.exit_code, 2);
    EXPECT_EQ(report_part(child.out), "");
    EXPECT_TRUE(child.err.ends_with(kNoGpuMessage)) << child.err;
}

// A verbose watch screen keeps its previous pass: the second refresh shows
// how busy each process kept the GPU in between, the first shows "-".
TEST(Report, WatchRefreshesShowBusyRatesAgainstThePreviousPass) {
    DeviceList first = testing::telemetry_list();
    DeviceList second = first;
    second[0].processes[0].busy_ns->add(Engine::gfx, 500000000);  // half of the 2 s between the passes
    std::uint64_t clock = 1000000000;
    PreviousPass previous;
    ReportOptions options{false, false, true, 2, {}};
    options.previous = &previous;
    std::vector<std::string> rows;
    for (const DeviceList& pass : {first, second}) {
        Recorder r;
        ReportIo io = r.io();
        io.monotonic_ns = [&clock] { return clock; };
        ASSERT_TRUE(run_report(options, r.discover(pass), io).ok());
        const std::string& text = r.out.at(0);
        const auto at = text.find("\n0    4242 ");
        ASSERT_NE(at, std::string::npos) << text;
        rows.push_back(text.substr(at + 1, text.find('\n', at + 1) - at - 1));
        clock += 2000000000;
    }
    EXPECT_TRUE(rows[0].ends_with("   -      -")) << rows[0];
    EXPECT_TRUE(rows[1].ends_with("  25%     0%")) << rows[1];
    EXPECT_EQ(previous.time_ns, 3000000000u);

    // One-shot reports keep nothing and show no busy columns.
    Recorder once;
    ASSERT_TRUE(run_report({false, false, true, std::nullopt, {}}, once.discover(second), once.io()).ok());
    EXPECT_EQ(once.out.at(0).find("GPU%"), std::string::npos);
}

}  // namespace
}  // namespace karvo::render
