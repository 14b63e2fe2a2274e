// Cadence and memory of a sampling loop (--loop / --loop-ms) in real time: the
// driver's own loop with the real clock and sleep over a discovery that hands
// back the fixtures' 8-GPU list after 20 ms of work, the output thrown away. Reports
// how far the last sample started from its place on the schedule (drift, in
// percent of the whole run) and how much the resident memory grew between the
// 10th and the last sample (Linux).
//
// The --loop=1 case runs 100 s; run it alone with
//   build/bench/bin/loop_bench --benchmark_filter=Loop/1000
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <unistd.h>

#include "cli/driver.h"
#include "fixtures/sample_devices.h"
#include "platform/system.h"
#include "render/report.h"

namespace {

long resident_kb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void BM_Loop(benchmark::State& state) {
    const auto interval_ms = static_cast<std::uint64_t>(state.range(0));
    const int samples = static_cast<int>(state.range(1));
    for (auto _ : state) {
        karvo::cli::Services services = karvo::cli::system_services();
        int pass = 0;
        std::uint64_t first_ns = 0, last_ns = 0;
        long rss_10 = 0, rss_last = 0;
        services.exit_zero_on_interrupt = [] {};
        services.report = [&](const karvo::render::ReportOptions& options)
            -> karvo::Result<karvo::render::ReportOutcome> {
            const std::uint64_t now = karvo::platform::monotonic_ns();
            if (pass == 0) first_ns = now;
            last_ns = now;
            if (++pass > samples) return karvo::Error("write to standard output failed: bench over");
            karvo::render::ReportIo io;
            io.write_out = [](std::string_view text) -> karvo::Status {
                benchmark::DoNotOptimize(text.data());
                return karvo::Ok{};
            };
            io.write_err = io.write_out;
            const auto outcome = karvo::render::run_report(options, [] {
                karvo::platform::sleep_milliseconds(20);  // the discovery pass
                return karvo::testing::many_gpus(8, 20);
            }, io);
            if (pass == 10) rss_10 = resident_kb();
            rss_last = resident_kb();
            return outcome;
        };
        const std::string loop = "--loop-ms=" + std::to_string(interval_ms);
        karvo::cli::run({"karvo", "--query-gpu=timestamp,index,name,memory.used,power.draw", loop}, services);
        const double expected_ns = static_cast<double>(interval_ms) * 1e6 * samples;
        const double actual_ns = static_cast<double>(last_ns - first_ns);
        state.counters["drift_percent"] = (actual_ns - expected_ns) / expected_ns * 100.0;
        state.counters["rss_growth_kb"] = static_cast<double>(rss_last - rss_10);
    }
}

}  // namespace

BENCHMARK(BM_Loop)->Args({100, 100})->Args({1000, 100})->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
