// Cost of the three renderers on a large machine: 8 GPUs with 50 processes each.
#include <benchmark/benchmark.h>

#include <string>

#include "fixtures/sample_devices.h"
#include "render/json.h"
#include "render/metrics.h"
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
BENCHMARK(BM_Table);
BENCHMARK(BM_TableVerbose);
