// What container attribution costs the Linux pass. A generated machine with 2
// cards and 200 processes holding VRAM, either alone (200 processes) or among
// 1,800 others (2,000): in the "containers" tree half of the 200 run in
// Kubernetes pods (50 pods of 2 containers, among 150 pods whose log folders
// the kubelet keeps), a quarter in Docker containers and a quarter on the host;
// in the "host" tree every cgroup file places its process on the host.
// Each iteration times the pass as linux_pass runs it: the cards and
// their processes (scan_cards + attach_processes), then attribute_containers
// on the result; attribution should add at most 10% to the rest.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "discovery/linux/containers.h"
#include "bench_clocks.h"
#include "fixtures/card_builder.h"
#include "fixtures/pod_builder.h"
#include "fixtures/process_builder.h"
#include "discovery/linux/linux_pass.h"
#include "platform/system.h"

namespace {

namespace fs = std::filesystem;
using karvo::discovery::linux::Root;
using karvo::testing::CardBuilder;
using karvo::testing::PodBuilder;
using karvo::testing::ProcessBuilder;
using karvo::testing::SysTree;
using karvo::bench::Clocks;
using karvo::bench::timed;

constexpr int kCards = 2;
constexpr std::uint32_t kFirstPid = 1000;
constexpr std::uint32_t kGpuProcesses = 200;
constexpr std::uint32_t kFds = 20;
constexpr std::uint32_t kPods = 150;  // on the node; the first 50 hold GPU processes

std::string bdf(int card) { return card == 0 ? "0000:03:00.0" : "0000:13:00.0"; }

// 64 hex digits made from a number.
std::string container_id(std::uint32_t n) {
    char head[17];
    std::snprintf(head, sizeof head, "%016x", n * 2654435761u + 1);
    std::string id = head;
    while (id.size() < 64) id += "0123456789abcdef";
    return id.substr(0, 64);
}

std::string pod_uid(std::uint32_t pod) {
    char uid[37];
    std::snprintf(uid, sizeof uid, "%08x-4d5e-4f60-8a9b-%012x", pod * 40503u + 7, pod);
    return uid;
}

struct Tree {
    SysTree tree;
    fs::path top = tree.top();

    Tree(std::uint32_t processes, bool containers) {
        for (int c = 0; c < kCards; ++c) {
            CardBuilder(tree, "card" + std::to_string(c), bdf(c))
                .attr("mem_info_vram_total", "25753026560\n")
                .attr("mem_info_vram_used", "1073741824\n")
                .attr("power/runtime_status", "active\n")
                .attr("gpu_busy_percent", "12\n");
        }
        for (std::uint32_t pod = 0; pod < kPods; ++pod) {
            PodBuilder(tree, "gpu-jobs", "worker-" + std::to_string(pod), pod_uid(pod))
                .container("main", container_id(pod * 2))
                .container("sidecar", container_id(pod * 2 + 1));
        }

        ProcessBuilder procs(tree);
        const char* others[] = {"/dev/null", "pipe:[40512]", "socket:[77231]", "anon_inode:[eventfd]",
                                "/usr/lib/x86_64-linux-gnu/libgtk-3.so.0.2409.32"};
        const std::uint32_t gpu_every = processes / kGpuProcesses;
        for (std::uint32_t i = 0; i < processes; ++i) {
            const std::uint32_t pid = kFirstPid + i;
            const bool gpu = i % gpu_every == 0;
            const std::uint32_t g = i / gpu_every;  // which of the GPU processes
            procs.comm(pid, "proc" + std::to_string(pid) + "\n");
            std::string cgroup = "0::/system.slice/service-" + std::to_string(pid % 40) + ".service\n";
            if (containers && gpu && g < kGpuProcesses / 2) {
                cgroup = PodBuilder::cgroup(pod_uid(g / 2), container_id(g));
            } else if (containers && gpu && g < kGpuProcesses * 3 / 4) {
                cgroup = "0::/system.slice/docker-" + container_id(100000 + g) + ".scope\n";
            }
            tree.file("proc/" + std::to_string(pid) + "/cgroup", cgroup);
            for (std::uint32_t fd = 0; fd < kFds; ++fd) {
                const bool drm = gpu && fd == 5;
                // Only DRM fds have their fdinfo read; the others' are left out to keep the set-up short.
                procs.fd(pid, static_cast<int>(fd), drm ? "/dev/dri/renderD128" : others[(pid + fd) % 5],
                         drm ? ProcessBuilder::client(bdf(static_cast<int>(g % kCards)), g + 1,
                                                      "drm-memory-vram:\t" + std::to_string(64 + g) +
                                                          " MiB\ndrm-memory-gtt:\t2048 KiB\n")
                             : "");
            }
        }
    }
};

// The pass without attribution: what linux_pass does before it.
karvo::DeviceList bare_pass(const Root& root) {
    const karvo::discovery::naming::MemoryCodeQuery query = [&root] { return karvo::discovery::linux::smbios_memory_code(root); };
    auto scan = karvo::discovery::linux::scan_cards(root, query);
    karvo::discovery::linux::attach_processes(root, scan.cards, scan.devices);
    return std::move(scan.devices);
}

void BM_AttributionShareOfThePass(benchmark::State& state) {
    const auto processes = static_cast<std::uint32_t>(state.range(0));
    const bool containers = state.range(1) != 0;
    const Tree tree(processes, containers);
    const Root root{tree.top.string()};
    Clocks bare, attribution;
    std::size_t listed = 0, in_pods = 0;
    for (auto _ : state) {
        karvo::DeviceList devices;
        timed(bare, [&] { devices = bare_pass(root); });
        timed(attribution, [&] { karvo::discovery::linux::attribute_containers(root, devices); });
        listed = in_pods = 0;
        for (const auto& device : devices)
            for (const auto& process : device.processes) {
                ++listed;
                in_pods += !process.container.empty() && !process.pod_namespace.empty();
            }
    }
    if (listed != kGpuProcesses || in_pods != (containers ? kGpuProcesses / 2 : 0))
        state.SkipWithError(("found " + std::to_string(listed) + " processes, " + std::to_string(in_pods) +
                             " named in pods").c_str());
    const double n = static_cast<double>(state.iterations());
    state.counters["pass_cpu_ms"] = static_cast<double>(bare.cpu + attribution.cpu) / n / 1e6;
    state.counters["attribution_cpu_ms"] = static_cast<double>(attribution.cpu) / n / 1e6;
    state.counters["added_cpu_pct"] = 100.0 * static_cast<double>(attribution.cpu) / static_cast<double>(bare.cpu);
    state.counters["pass_wall_ms"] = static_cast<double>(bare.wall + attribution.wall) / n / 1e6;
    state.counters["attribution_wall_ms"] = static_cast<double>(attribution.wall) / n / 1e6;
    state.counters["added_wall_pct"] = 100.0 * static_cast<double>(attribution.wall) / static_cast<double>(bare.wall);
}
BENCHMARK(BM_AttributionShareOfThePass)
    ->ArgNames({"processes", "containers"})
    ->Args({200, 0})
    ->Args({200, 1})
    ->Args({2000, 0})
    ->Args({2000, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace
