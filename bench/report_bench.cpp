// What --report and --replay cost over a generated busy machine: 8 cards
// (each behind its own PCIe switch, with hwmon, gpu_metrics and RAS files),
// 2,000 processes with 30 fds each, 200 of them DRM clients and 40 KFD compute
// processes (the shape of the sysfs benchmark).
//   - a recorded pass costs at most 1.5x a plain pass, plus the writing of
//     the file (timed on its own);
//   - the report file stays under 2 MB;
//   - a replayed pass is no slower than a live pass over the tree.
// Counters: pass_ms, recorded_ms, write_ms, report_bytes, load_ms (reading the
// file once), replay_ms and the ratios.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_clocks.h"
#include "wide_machine.h"
#include "discovery/capture/report_file.h"
#include "discovery/capture/session.h"
#include "discovery/discover.h"
#include "fixtures/card_builder.h"
#include "fixtures/process_builder.h"
#include "platform/system.h"

namespace {

using karvo::bench::Clocks;
using karvo::bench::timed;
using karvo::bench::card_bdf;
using karvo::bench::card_bridges;
using karvo::testing::CardBuilder;
using karvo::testing::metrics_v1_3;
using karvo::testing::ProcessBuilder;
using karvo::testing::SysTree;
namespace capture = karvo::discovery::capture;

constexpr int kCards = 8;
constexpr std::uint32_t kProcesses = 2000, kFds = 30, kClients = 200, kKfd = 40;
constexpr std::uint32_t kFirstPid = 1000;
constexpr std::uint32_t kGpuIdBase = 40000;

void build(SysTree& tree) {
    for (int c = 0; c < kCards; ++c) {
        CardBuilder card(tree, "card" + std::to_string(c), card_bdf(c), card_bridges(c));
        card.sensors().telemetry().attr("gpu_metrics", metrics_v1_3());
        card.kfd_node(static_cast<unsigned>(c + 1), "110000", kGpuIdBase + static_cast<unsigned>(c));
    }
    tree.file("sys/module/amdgpu/version", "6.8.0\n");
    ProcessBuilder procs(tree);
    const char* others[] = {"/dev/null", "pipe:[40512]", "socket:[77231]", "anon_inode:[eventfd]",
                            "/usr/lib/x86_64-linux-gnu/libgtk-3.so.0.2409.32", "/home/user/.cache/app/data.db"};
    const std::uint32_t client_every = kProcesses / kClients;
    std::uint32_t client_id = 1;
    for (std::uint32_t i = 0; i < kProcesses; ++i) {
        const std::uint32_t pid = kFirstPid + i;
        procs.comm(pid, "proc" + std::to_string(pid) + "\n");
        const bool client = i % client_every == 0;
        for (std::uint32_t fd = 0; fd < kFds; ++fd) {
            const bool drm = client && (fd == 5 || fd == 6);
            const std::string usage = "drm-total-vram:\t" + std::to_string((64 + i % 512) * 1024) +
                                      " KiB\ndrm-resident-vram:\t" + std::to_string((64 + i % 512) * 1024) +
                                      " KiB\ndrm-engine-gfx:\t" + std::to_string(1000 * i) + " ns\n";
            procs.fd(pid, static_cast<int>(fd),
                     drm ? (fd == 5 ? "/dev/dri/card0" : "/dev/dri/renderD128") : others[(pid + fd) % std::size(others)],
                     drm ? ProcessBuilder::client(card_bdf(static_cast<int>(i % kCards)), client_id, usage)
                         : "pos:\t0\nflags:\t02000002\nmnt_id:\t25\nino:\t" + std::to_string(fd) + "\n");
        }
        if (client) ++client_id;
        if (pid >= kFirstPid + 7 && pid < kFirstPid + 7 + kKfd) {
            for (int c = 0; c < kCards; ++c)
                procs.kfd(pid, kGpuIdBase + static_cast<unsigned>(c),
                          std::to_string(c == static_cast<int>(i % kCards) ? 512u << 20 : 0u) + "\n");
        }
    }
}

// One plain, one recorded and one replayed pass per iteration, in turn, so
// the three meet the same cache state.
void BM_ReportAndReplayAgainstPlainPass(benchmark::State& state) {
    SysTree tree;
    build(tree);
    karvo::platform::set_env("KARVO_SYSROOT", tree.root());
    Clocks plain, recorded, written, loaded, replayed;
    std::size_t report_bytes = 0, answers = 0;
    std::shared_ptr<const capture::ReplaySource> source;
    for (auto _ : state) {
        timed(plain, [] { benchmark::DoNotOptimize(karvo::discovery::discover_devices()); });

        auto recorder = std::make_shared<capture::Recorder>();
        capture::record_passes(recorder);
        timed(recorded, [] { benchmark::DoNotOptimize(karvo::discovery::discover_devices()); });
        capture::live_passes();
        std::string file;
        timed(written, [&] {
            capture::Capture report;
            report.info.time = "2026-01-31T23:59:58.007Z";
            report.records = recorder->records();
            answers = report.records.size();
            file = capture::write_report(report, {}).value();
            report_bytes = file.size();
        });
        // What --replay does once before its passes: unpack, check and index the file.
        timed(loaded, [&] { source = capture::ReplaySource::make(capture::read_report(file).value()); });

        capture::replay_passes(source, true);
        timed(replayed, [] { benchmark::DoNotOptimize(karvo::discovery::discover_devices()); });
        capture::live_passes();
    }
    karvo::platform::set_env("KARVO_SYSROOT", std::nullopt);
    const double n = static_cast<double>(state.iterations());
    state.counters["pass_ms"] = static_cast<double>(plain.wall) / n / 1e6;
    state.counters["recorded_ms"] = static_cast<double>(recorded.wall) / n / 1e6;
    state.counters["write_ms"] = static_cast<double>(written.wall) / n / 1e6;
    state.counters["load_ms"] = static_cast<double>(loaded.wall) / n / 1e6;
    state.counters["replay_ms"] = static_cast<double>(replayed.wall) / n / 1e6;
    state.counters["recorded_x"] = static_cast<double>(recorded.wall) / static_cast<double>(plain.wall);
    state.counters["replay_x"] = static_cast<double>(replayed.wall) / static_cast<double>(plain.wall);
    state.counters["report_bytes"] = static_cast<double>(report_bytes);
    state.counters["answers"] = static_cast<double>(answers);
}
BENCHMARK(BM_ReportAndReplayAgainstPlainPass)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
