// Cost of the renderers on a large machine: 8 GPUs with 50 processes each. A
// query renders less than --compact from the same list, so it must cost less.
#include <benchmark/benchmark.h>

#include <string>

#include "fixtures/sample_devices.h"
#include "render/json.h"
#include "render/metrics.h"
#include "render/query.h"
#include "render/table.h"

namespace {

template <class Render>
void run(benchmark::State& state, Render render) {
    const karvo::DeviceList list = karvo::testing::many_gpus(8, 50);
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = render(list);
        bytes += text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_JsonCompact(benchmark::State& state) { run(state, karvo::render::render_json_compact); }
void BM_JsonPretty(benchmark::State& state) { run(state, karvo::render::render_json_pretty); }
void BM_Metrics(benchmark::State& state) {
    run(state, [](const karvo::DeviceList& l) { return karvo::render::render_metrics(l); });
}

// The fields a status bar or logger asks for, and every field there is.
void query(benchmark::State& state, karvo::render::QueryKind kind, const std::string& fields) {
    const karvo::render::Query q = karvo::render::parse_query(kind, fields).value();
    const karvo::platform::WallTime time{2026, 1, 31, 23, 59, 58, 7};
    run(state, [&](const karvo::DeviceList& l) {
        return karvo::render::query_header(q) + karvo::render::query_rows(q, l, time);
    });
}
void BM_QueryGpuTypical(benchmark::State& state) {
    query(state, karvo::render::QueryKind::gpus,
          "timestamp,index,name,pci.bus_id,temperature.gpu,utilization.gpu,memory.used,memory.total,power.draw,"
          "clocks.gr,fan.speed");
}
void BM_QueryGpuEveryField(benchmark::State& state) {
    std::string fields;
    for (const auto& f : karvo::render::device_figures()) fields += std::string(fields.empty() ? "" : ",") += f.key;
    query(state, karvo::render::QueryKind::gpus, fields);
}
void BM_QueryApps(benchmark::State& state) {
    query(state, karvo::render::QueryKind::apps, "pid,process_name,type,used_memory,gpu_index,gpu_name");
}
void BM_JsonLine(benchmark::State& state) {
    run(state, [](const karvo::DeviceList& l) {
        return karvo::render::json_line(l, karvo::platform::WallTime{2026, 1, 31, 23, 59, 58, 7});
    });
}
void BM_Table(benchmark::State& state) {
    run(state, [](const karvo::DeviceList& l) { return karvo::render::render_table(l, {false, 1}, "2026-01-31 23:59:58"); });
}
void BM_TableVerbose(benchmark::State& state) {
    run(state, [](const karvo::DeviceList& l) { return karvo::render::render_table(l, {true, {}}, "2026-01-31 23:59:58"); });
}

}  // namespace

BENCHMARK(BM_JsonCompact);
BENCHMARK(BM_JsonPretty);
BENCHMARK(BM_Metrics);
BENCHMARK(BM_QueryGpuTypical);
BENCHMARK(BM_QueryGpuEveryField);
BENCHMARK(BM_QueryApps);
BENCHMARK(BM_JsonLine);
BENCHMARK(BM_Table);
BENCHMARK(BM_TableVerbose);
