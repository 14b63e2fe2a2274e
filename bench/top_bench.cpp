// The screen of `karvo top` on a large machine: 8 GPUs with 400 processes
// each, the history full.
//
//   BM_TopFrame       a refresh of the screen: the selection kept in view, the frame built and
//                     diffed against the previous one (CPU time)
//   BM_TopAddPass     taking a new pass: process rows with their rates, history
//   BM_TopBytes       bytes a refresh writes against a full frame: only numbers changed (a steady
//                     load), and everything moving (the use jumping, the table reordering)
//   BM_TopRefreshRss  10,000 refreshes (pass, frame, diff): resident memory after the 100th, 1,000th,
//                     5,000th and the last (Linux); the history is full from the 4,096th on
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <unistd.h>

#include "fixtures/sample_devices.h"
#include "render/top/encode.h"
#include "render/top/screen.h"

namespace {

using namespace karvo::render::top;

constexpr std::uint32_t kGpus = 8;
constexpr std::uint32_t kProcesses = 400;

// Pass k under a steady load: temperatures, power, clocks, the GPUs' VRAM,
// the processes' shared memory and engine time move from pass to pass, the
// use stays the same and no process changes places. With `jumpy` the use of
// each GPU swings between 10 and 90 % and the processes' VRAM moves too (the
// table reorders).
karvo::DeviceList pass_devices(const karvo::DeviceList& base, int k, bool jumpy) {
    karvo::DeviceList devices = base;
    for (karvo::GpuDevice& d : devices) {
        d.gfx_util_percent = jumpy ? (k % 2 == 0 ? 10u : 90u) : 37u;
        d.vram_used_mb += static_cast<std::uint32_t>(k % 5);
        d.temp_edge_c = 45.0f + static_cast<float>(k % 3);
        d.power_w = 212.0f + static_cast<float>(k % 7);
        d.gfx_clock_mhz = 2400u + static_cast<std::uint32_t>(k % 4) * 10;
        for (karvo::GpuProcess& p : d.processes) {
            if (jumpy) p.mem_used_mb += static_cast<std::uint32_t>((k + p.pid) % 3);
            p.gtt_used_mb = 16 + static_cast<std::uint32_t>((k * 7 + p.pid) % 5);
            p.busy_ns = karvo::EngineTimes{};
            p.busy_ns->add(karvo::Engine::compute, static_cast<std::uint64_t>(k) * (p.pid % 50) * 10000000ull);
            p.busy_ns->add(karvo::Engine::dec, static_cast<std::uint64_t>(k) * (p.pid % 7) * 1000000ull);
        }
    }
    return devices;
}

Sample make_sample(const karvo::DeviceList& base, int k, bool jumpy) {
    Sample sample;
    sample.devices = pass_devices(base, k, jumpy);
    sample.time_ns = 1000000000ull * static_cast<unsigned>(k + 1);
    sample.clock = "12:00:00";
    return sample;
}

// A monitor that has taken `passes` passes.
Monitor full_monitor(const karvo::DeviceList& base, int passes, bool jumpy) {
    Monitor monitor;
    for (int k = 0; k < passes; ++k) monitor.add(make_sample(base, k, jumpy));
    return monitor;
}

void BM_TopFrame(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const karvo::DeviceList base = karvo::testing::many_gpus(kGpus, kProcesses);
    Monitor monitor = full_monitor(base, 600, false);
    const TopState ui;
    const Look look;
    const Screen screen{monitor, ui, look};
    Frame shown = frame(screen, width, height);
    Monitor next_monitor = monitor;
    next_monitor.add(make_sample(base, 600, false));
    const Screen next_screen{next_monitor, ui, look};
    std::size_t bytes = 0;
    for (auto _ : state) {
        // What the screen's loop does for a refresh: keep the selection in view, build, diff.
        benchmark::DoNotOptimize(settle(ui, key_context(next_screen, width, height)));
        Frame next = frame(next_screen, width, height);
        const std::string changes = encode_changes(shown, next);
        bytes += changes.size();
        benchmark::DoNotOptimize(changes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_TopAddPass(benchmark::State& state) {
    const karvo::DeviceList base = karvo::testing::many_gpus(kGpus, kProcesses);
    Monitor monitor = full_monitor(base, 10, false);
    std::vector<Sample> samples;
    for (int k = 10; k < 20; ++k) samples.push_back(make_sample(base, k, false));
    std::size_t i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Sample sample = samples[i++ % samples.size()];
        sample.time_ns = 1000000000ull * (100 + i);
        state.ResumeTiming();
        monitor.add(std::move(sample));
    }
}

void BM_TopBytes(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const bool jumpy = state.range(2) != 0;
    const karvo::DeviceList base = karvo::testing::many_gpus(kGpus, kProcesses);
    for (auto _ : state) {
        Monitor monitor = full_monitor(base, 300, jumpy);
        const TopState ui;
        const Look look;
        const Frame before = frame(Screen{monitor, ui, look}, width, height);
        monitor.add(make_sample(base, 300, jumpy));
        const Frame after = frame(Screen{monitor, ui, look}, width, height);
        const std::size_t full = encode_full(after).size();
        const std::size_t changed = encode_changes(before, after).size();
        state.counters["full_bytes"] = static_cast<double>(full);
        state.counters["refresh_bytes"] = static_cast<double>(changed);
        state.counters["refresh_percent"] = 100.0 * static_cast<double>(changed) / static_cast<double>(full);
    }
}

long resident_kb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void BM_TopRefreshRss(benchmark::State& state) {
    const karvo::DeviceList base = karvo::testing::many_gpus(kGpus, kProcesses);
    for (auto _ : state) {
        Monitor monitor;
        TopState ui;
        const Look look;
        Frame shown;
        long rss_100 = 0, rss_1000 = 0, rss_5000 = 0;
        std::size_t bytes = 0;
        for (int k = 0; k < 10000; ++k) {
            monitor.add(make_sample(base, k, k % 10 == 0));
            // Every graph in turn, so each path has run once by the 5,000th refresh.
            ui.graph = static_cast<GraphKind>(k / 250 % 4);
            Frame next = frame(Screen{monitor, ui, look}, 160, 50);
            bytes += (shown.width() == 0 ? encode_full(next) : encode_changes(shown, next)).size();
            shown = std::move(next);
            if (k == 99) rss_100 = resident_kb();
            if (k == 999) rss_1000 = resident_kb();
            if (k == 4999) rss_5000 = resident_kb();
        }
        benchmark::DoNotOptimize(bytes);
        const long rss_10000 = resident_kb();
        state.counters["rss_100_kb"] = static_cast<double>(rss_100);
        state.counters["rss_1000_kb"] = static_cast<double>(rss_1000);
        state.counters["rss_5000_kb"] = static_cast<double>(rss_5000);
        state.counters["rss_10000_kb"] = static_cast<double>(rss_10000);
        state.counters["growth_5000_to_10000_kb"] = static_cast<double>(rss_10000 - rss_5000);
    }
}

}  // namespace

BENCHMARK(BM_TopFrame)->Args({120, 40})->Args({200, 60})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TopAddPass)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TopBytes)->Args({120, 40, 0})->Args({200, 60, 0})->Args({120, 40, 1})->Args({200, 60, 1})->Iterations(1);
BENCHMARK(BM_TopRefreshRss)->Iterations(1)->Unit(benchmark::kSecond);
