// The source table of a pass: what the ledger keeps of the notes and timers
// of the sources, and the table of whole Windows passes replayed from the kept
// reports (on either system: the table follows from the recorded answers).
#include "discovery/sources/source_ledger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "discovery/capture/report_file.h"
#include "discovery/capture/session.h"
#include "discovery/discover.h"
#include "platform/host.h"
#include "platform/system.h"
#include "support/source_table.h"

namespace karvo::discovery {
namespace {

using testing::source_table;

TEST(SourceLedger, OnlyTheSourcesAskedInTheirFixedOrder) {
    note_source("hip", SourceReason::missing);  // outside a pass: nothing happens
    const SourceLedger ledger;
    EXPECT_EQ(source_table(ledger), "");
    note_source("cgroup", std::nullopt);
    { const SourceTimer timed("driver"); }
    note_source("sysfs", SourceReason::missing);
    note_source("no such source", SourceReason::failed);
    EXPECT_EQ(source_table(ledger), "sysfs missing\ncgroup up\ndriver up\n");
    {
        const SourceLedger inner;  // a pass inside a pass keeps its own table
        note_source("kfd", std::nullopt);
        EXPECT_EQ(source_table(inner), "kfd up\n");
    }
    EXPECT_EQ(source_table(ledger), "sysfs missing\ncgroup up\ndriver up\n");
}

// A specific reason outweighs a failure that callers note when all they see
// is an error; a timeout outweighs them all; an answer never hides a reason.
TEST(SourceLedger, TheMostTellingReasonStays) {
    const struct {
        std::vector<std::optional<SourceReason>> notes;
        std::string table;
    } cases[] = {
        {{std::nullopt}, "wmi up\n"},
        {{SourceReason::failed, std::nullopt}, "wmi failed\n"},
        {{SourceReason::missing, SourceReason::failed}, "wmi missing\n"},
        {{SourceReason::failed, SourceReason::missing}, "wmi missing\n"},
        {{std::nullopt, SourceReason::timeout, SourceReason::failed}, "wmi timeout\n"},
        {{SourceReason::missing, SourceReason::timeout}, "wmi timeout\n"},
    };
    for (const auto& c : cases) {
        const SourceLedger ledger;
        for (const auto& note : c.notes) note_source("wmi", note);
        EXPECT_EQ(source_table(ledger), c.table);
    }
    const SourceLedger ledger;
    note_source("adl", SourceReason::failed);
    forget_source_outcome("adl");
    EXPECT_EQ(source_table(ledger), "adl up\n");  // still asked
}

// A call's time leaves out the calls of other sources made from inside it.
TEST(SourceLedger, NestedCallsCountForTheirOwnSource) {
    const SourceLedger ledger;
    {
        const SourceTimer hip("hip");
        const SourceTimer wmi("wmi");
        platform::sleep_milliseconds(60);
    }
    const std::vector<SourceStatus> statuses = ledger.statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_GE(statuses[1].seconds, 0.06);
    EXPECT_LT(statuses[0].seconds, statuses[1].seconds);
}

std::string read_report_file(const std::string& name) {
    std::string path = std::string(KARVO_TESTS_DIR) + "/reports/" + name;
    if (platform::kWindowsHost && path.starts_with("/")) path = "Z:" + path;
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Windows passes recorded under Wine over the fake runtimes, replayed here:
// the table follows from the answers. Wine gives no adapter statistics
// session (d3dkmt missing) but a configuration manager.
TEST(SourceLedger, WindowsPassesReplayedFromKeptReports) {
    const struct {
        const char* report;
        const char* table;
    } cases[] = {
        {"windows-nothing-found.zip", "hip missing\nwmi up\nadl missing\nd3dkmt missing\n"},
        {"windows-hip-wmi-adl.zip", "hip up\nwmi up\nadl up\nd3dkmt missing\ncfgmgr up\n"},
        // The sensor query failed; OverdriveN answered for the GPU.
        {"windows-overdrive-fallback.zip", "hip missing\nwmi up\nadl up\nd3dkmt missing\ncfgmgr up\n"},
        // The display library found the GPU itself: nothing after it is asked.
        {"windows-adl-legacy-log.zip", "hip missing\nwmi up\nadl up\n"},
    };
    for (const auto& c : cases) {
        auto report = capture::read_report(read_report_file(c.report));
        ASSERT_TRUE(report.ok()) << c.report << ": " << report.error().long_form();
        capture::replay_passes(capture::ReplaySource::make(std::move(report).value()), true);
        const PassResult pass = discover_pass();
        capture::live_passes();
        for (const SourceStatus& s : pass.sources) {
            EXPECT_GE(s.seconds, 0.0);
            EXPECT_LE(s.seconds, pass.seconds);
        }
        EXPECT_EQ(testing::source_table(pass.sources), c.table) << c.report;
    }
}

}  // namespace
}  // namespace karvo::discovery
