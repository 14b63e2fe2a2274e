// Cost of the three renderers on a large machine: 8 GPUs with 50 processes each.
#include <benchmark/benchmark.h>

#include <string>

#include "render/json.h"
#include "render/metrics.h"
#include "render/table.h"

namespace {

karvo::DeviceList big_list() {
    karvo::DeviceList list;
    for (std::uint32_t g = 0; g < 8; ++g) {
        karvo::GpuDevice d;
        d.index = g;
        d.market_name = "AMD Radeon RX 7900 XTX";
        d.vendor_id = 0x1002;
        d.vendor_name = "Advanced Micro Devices, Inc. [AMD/ATI]";
        d.device_id = 0x744c;
        d.subsystem_id = 0x0e3b1002;
        d.rev_id = 0xc8;
        d.asic_serial = "0x1A2B3C4D5E6F";
        d.num_cu = 96;
        d.gfx_version = "gfx1100";
        d.vram_type = "GDDR6";
        d.vram_total_mb = 24560;
        d.vram_used_mb = 3071 + g;
        d.vram_pinned_mb = 512;
        d.vram_vendor = "Samsung";
        d.bdf = "0000:03:00.0";
        d.pcie_width = 16;
        d.pcie_speed_gt = 16;
        d.driver_version = "31.0.24027.1012";
        d.vbios_version = "113-D7020100-102";
        d.temp_edge_c = 45.0f + static_cast<float>(g) * 0.37f;
        d.temp_hotspot_c = 71.5f;
        d.temp_vram_c = 80.25f;
        d.gfx_clock_mhz = 2482;
        d.mem_clock_mhz = 1250;
        d.gfx_util_percent = 37;
        d.power_w = 212.25f + static_cast<float>(g) * 1.1f;
        d.power_cap_w = 355.0f;
        d.backend = "hip+wmi+adl";
        for (std::uint32_t p = 0; p < 50; ++p) {
            karvo::GpuProcess proc;
            proc.pid = 1000 * (g + 1) + p;
            proc.name = "worker-process-" + std::to_string(p) + ".exe";
            proc.mem_used_mb = (p * 7919u) % 4096u;
            proc.proc_type = p % 3 == 0 ? karvo::ProcessKind::graphics : karvo::ProcessKind::compute;
            d.processes.push_back(std::move(proc));
        }
        list.push_back(std::move(d));
    }
    return list;
}

template <class Render>
void run(benchmark::State& state, Render render) {
    const karvo::DeviceList list = big_list();
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
    run(state, [](const karvo::DeviceList& list) { return karvo::render::render_metrics(list); });
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
