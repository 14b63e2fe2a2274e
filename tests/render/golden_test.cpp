// Whole documents compared byte for byte with the files in golden/. The same
// files must match on every platform: "\n" is one LF byte everywhere.
#include <gtest/gtest.h>

#include "render/json.h"
#include "render/metrics.h"
#include "render/table.h"
#include "fixtures/sample_devices.h"
#include "render/golden.h"
#include "support/json_documents.h"

namespace karvo::render {
namespace {

using testing::crowded_list;
using testing::golden;
using testing::mixed_list;

constexpr std::string_view kTime = "2026-01-31 23:59:58";

void expect_golden(const std::string& name, const std::string& actual) {
    if (name.ends_with(".json")) testing::collect_json_document("golden-" + name, actual);
    EXPECT_EQ(actual, golden(name, actual)) << "golden file " << name;
}

TEST(Golden, Json) {
    expect_golden("mixed.json", render_json_pretty(mixed_list()));
    expect_golden("mixed.compact.json", render_json_compact(mixed_list()));
    expect_golden("crowded.json", render_json_pretty(crowded_list()));
    expect_golden("telemetry.json", render_json_pretty(testing::telemetry_list()));
}

TEST(Golden, Metrics) {
    expect_golden("mixed.metrics.txt", render_metrics(mixed_list()));
    expect_golden("crowded.metrics.txt", render_metrics(crowded_list()));
    expect_golden("telemetry.metrics.txt", render_metrics(testing::telemetry_list(), 0.0125));
}

// The process series a busy node may bound: by kind, or the most VRAM per GPU.
TEST(Golden, MetricsProcessSeries) {
    expect_golden("mixed.compute.metrics.txt",
                  render_metrics(mixed_list(), std::nullopt, {}, {ProcessSeries::compute, std::nullopt}));
    expect_golden("mixed.none.metrics.txt",
                  render_metrics(mixed_list(), std::nullopt, {}, {ProcessSeries::none, std::nullopt}));
    expect_golden("crowded.top4.metrics.txt", render_metrics(crowded_list(), std::nullopt, {}, {ProcessSeries::all, 4}));
}

// A Windows pass that found no GPU: only how its sources fared.
TEST(Golden, MetricsSourcesWithoutGpus) {
    const std::vector<discovery::SourceStatus> sources = {
        {"hip", discovery::SourceReason::missing, 0.0001},   {"wmi", discovery::SourceReason::timeout, 10.0203},
        {"adl", discovery::SourceReason::failed, 0.0125},    {"d3dkmt", std::nullopt, 0.0009},
        {"pdh", std::nullopt, 0.0412},                       {"cfgmgr", discovery::SourceReason::missing, 0.000015}};
    expect_golden("none.sources.metrics.txt", render_metrics({}, 10.1, sources));
}

TEST(Golden, Table) {
    expect_golden("mixed.table.txt", render_table(mixed_list(), {false, std::nullopt}, kTime));
    expect_golden("mixed.verbose-watch.table.txt", render_table(mixed_list(), {true, 5}, kTime));
    expect_golden("crowded.table.txt", render_table(crowded_list(), {false, 1}, kTime));
    expect_golden("crowded.verbose.table.txt", render_table(crowded_list(), {true, std::nullopt}, kTime));
    expect_golden("telemetry.table.txt", render_table(testing::telemetry_list(), {false, std::nullopt}, kTime));
    // A verbose watch refresh one second after the previous one: the trainer
    // kept its compute engine busy for 0.25 s of it.
    PreviousPass previous{testing::telemetry_list(), 1000000000};
    DeviceList now = testing::telemetry_list();
    now[0].processes[0].busy_ns->add(Engine::compute, 250000000);
    TableOptions watch{true, 1};
    watch.busy_columns = true;
    watch.previous = &previous;
    watch.now_ns = 2000000000;
    expect_golden("telemetry.verbose-watch.table.txt", render_table(now, watch, kTime));
}

}  // namespace
}  // namespace karvo::render
