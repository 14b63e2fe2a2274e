// The Linux pass over a generated busy machine: 8 cards (each behind its own
// PCIe switch, with hwmon, gpu_metrics, RAS counters and a render node), 2,000 processes with
// 30 fds each, 200 of them DRM clients (two fds each, one a dup of the other;
// VRAM, GTT and engine times) and 40 KFD compute processes. Measured in the same loop as a bare walk of
// the same tree with plain POSIX calls doing exactly the reads the pass needs:
// the pass should cost at most 1.5x the bare walk.
// Beside it, the share of the pass spent asking the driver (the render node of
// each awake card): at most 2 %.
// Then the heap and resident size over 10,000 watch refreshes (pass + table),
// over a smaller tree so that the run stays short.

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "bench_clocks.h"
#include "wide_machine.h"
#include "platform/amdgpu.h"
#include "platform/files.h"
#include "fixtures/card_builder.h"
#include "fixtures/process_builder.h"
#include "discovery/linux/linux_pass.h"
#include "platform/system.h"
#include "render/table.h"

namespace {

namespace fs = std::filesystem;
using karvo::discovery::linux::CardRef;
using karvo::testing::CardBuilder;
using karvo::testing::metrics_v1_3;
using karvo::testing::ProcessBuilder;
using karvo::testing::SysTree;
using karvo::discovery::linux::Root;
using karvo::bench::Clocks;
using karvo::bench::timed;
using karvo::bench::card_bdf;
using karvo::bench::card_bridges;

constexpr int kCards = 8;
constexpr std::uint32_t kFirstPid = 1000;
constexpr std::uint32_t kGpuIdBase = 40000;

// The memory and engine lines of an amdgpu client, as a 6.11 kernel prints them.
std::string client_usage(std::uint64_t vram_mib, bool compute) {
    const std::string vram_kib = std::to_string(vram_mib * 1024);
    std::string text = "drm-total-vram:\t" + std::to_string(vram_mib * 1024 + 512) +
                       " KiB\ndrm-shared-vram:\t0\ndrm-resident-vram:\t" + vram_kib +
                       " KiB\ndrm-total-gtt:\t2048 KiB\ndrm-shared-gtt:\t0\ndrm-resident-gtt:\t2048 KiB\n"
                       "drm-total-cpu:\t0\ndrm-shared-cpu:\t0\ndrm-resident-cpu:\t0\n"
                       "drm-memory-vram:\t" + vram_kib +
                       " KiB\ndrm-memory-gtt: \t2048 KiB\ndrm-memory-cpu: \t0 KiB\namd-evicted-vram:\t0 KiB\n"
                       "amd-requested-vram:\t" + vram_kib + " KiB\n";
    text += compute ? "drm-engine-compute:\t8123456 ns\n"
                    : "drm-engine-gfx:\t91234567 ns\ndrm-engine-dma:\t1234 ns\ndrm-engine-dec:\t5512 ns\n"
                      "drm-engine-enc:\t812 ns\ndrm-engine-jpeg:\t77 ns\n";
    return text;
}

// A generated machine (the cards as the tests build them, with every reading,
// behind their own switches), and the list of what the pass reads in it.
struct Tree {
    SysTree tree;
    fs::path top = tree.top();
    std::vector<CardRef> cards;
    std::vector<std::vector<std::string>> card_files;  // each card's function files, in full
    std::vector<std::uint32_t> with_vram;  // pids whose comm the pass reads
    std::uint32_t kfd_first = 0, kfd_count = 0;

    std::vector<fs::path> render_nodes;  // each card's drm/renderD* folder, as sysfs shows it

    Tree(std::uint32_t processes, std::uint32_t fds, std::uint32_t clients, std::uint32_t kfd) {
        for (int c = 0; c < kCards; ++c) {
            CardBuilder card(tree, "card" + std::to_string(c), card_bdf(c), card_bridges(c));
            card.sensors().telemetry().attr("gpu_metrics", metrics_v1_3());
            card.kfd_node(static_cast<unsigned>(c + 1), "110000", kGpuIdBase + static_cast<unsigned>(c));
            // What the scan may read of the function: every file the builder wrote there.
            std::vector<std::string> files;
            for (const auto& entry : fs::recursive_directory_iterator(top / card.path("")))
                if (entry.is_regular_file() && !entry.is_symlink()) files.push_back(entry.path().string());
            card_files.push_back(std::move(files));
            // Its render node, where the pass asks the driver: a regular file here, so it is opened, seen to be
            // no device and closed, as a node that cannot answer would cost.
            const std::string render = "renderD" + std::to_string(128 + c);
            card.attr("drm/" + render + "/dev", "226:" + std::to_string(128 + c) + "\n");
            tree.file("dev/dri/" + render, "");
            render_nodes.push_back(top / card.path("drm/" + render));
            cards.push_back(CardRef{card_bdf(c), kGpuIdBase + static_cast<unsigned>(c), static_cast<std::size_t>(c)});
        }
        tree.folder("sys/bus/pci/drivers/amdgpu");
        tree.file("sys/module/amdgpu/version", "6.8.0\n");
        tree.file("proc/sys/kernel/osrelease", "6.8.0-45-generic\n");
        tree.file("proc/meminfo", "MemTotal: 1 kB\n");
        tree.link("proc/self", std::to_string(kFirstPid));

        ProcessBuilder procs(tree);
        const char* others[] = {"/dev/null", "pipe:[40512]", "socket:[77231]", "anon_inode:[eventfd]",
                                "/usr/lib/x86_64-linux-gnu/libgtk-3.so.0.2409.32", "/home/user/.cache/app/data.db"};
        kfd_first = kFirstPid + 7;
        kfd_count = kfd;
        const std::uint32_t client_every = clients ? processes / clients : processes + 1;
        std::uint32_t client_id = 1;
        for (std::uint32_t i = 0; i < processes; ++i) {
            const std::uint32_t pid = kFirstPid + i;
            procs.comm(pid, "proc" + std::to_string(pid) + "\n");
            const bool client = clients && i % client_every == 0 && i / client_every < clients;
            const bool in_kfd = pid >= kfd_first && pid < kfd_first + kfd_count;
            for (std::uint32_t fd = 0; fd < fds; ++fd) {
                const bool drm = client && (fd == 5 || fd == 6);
                const int card = static_cast<int>(i % kCards);
                procs.fd(pid, static_cast<int>(fd),
                         drm ? (fd == 5 ? "/dev/dri/card0" : "/dev/dri/renderD128") : others[(pid + fd) % std::size(others)],
                         drm ? ProcessBuilder::client(card_bdf(card), client_id, client_usage(64 + i % 512, i % 3 == 0))
                             : "pos:\t0\nflags:\t02000002\nmnt_id:\t25\nino:\t" + std::to_string(fd) + "\n");
            }
            if (client) ++client_id;
            if (in_kfd)
                for (int c = 0; c < kCards; ++c)
                    procs.kfd(pid, kGpuIdBase + static_cast<unsigned>(c),
                              std::to_string(c == static_cast<int>(i % kCards) ? 512u << 20 : 0u) + "\n");
            if (client || in_kfd) with_vram.push_back(pid);
        }
    }
};

// The bare walk: plain POSIX calls, fixed buffers, the same reads as the
// pass (each card's files and topology node, every fd link, fdinfo of the
// /dev/dri/ ones, KFD's VRAM files, comm of the processes that hold VRAM).
char g_buffer[16384];

std::size_t read_whole(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, g_buffer, sizeof g_buffer);
    close(fd);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool numeric(const char* name) {
    if (*name == '\0') return false;
    for (; *name; ++name)
        if (*name < '0' || *name > '9') return false;
    return true;
}

// Appends `text` at `end` of a fixed path buffer; the new end.
char* put(char* end, const char* text) {
    const std::size_t n = std::strlen(text);
    std::memcpy(end, text, n + 1);
    return end + n;
}

std::size_t bare_process_walk(const Tree& tree) {
    std::size_t bytes = 0;
    char target[512];
    char real[PATH_MAX];
    for (std::size_t c = 0; c < tree.cards.size(); ++c) {
        for (const auto& file : tree.card_files[c]) bytes += read_whole(file.c_str());
        // The driver link, and the bridges above the function: their vendors,
        // and the capability of the card (upstream port) and of the slot (root port).
        const std::string entry = (tree.top / "sys/class/drm" / ("card" + std::to_string(c)) / "device").string();
        if (realpath(entry.c_str(), real) == nullptr) continue;
        bytes += static_cast<std::size_t>(readlink((std::string(real) + "/driver").c_str(), target, sizeof target));
        // The render node, found in the function's drm folder, opened and closed.
        if (DIR* drm = opendir((std::string(real) + "/drm").c_str())) {
            while (const dirent* node_entry = readdir(drm)) {
                if (std::strncmp(node_entry->d_name, "renderD", 7) != 0) continue;
                const int node = open((tree.top / "dev/dri" / node_entry->d_name).c_str(),
                                      O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
                struct stat status {};
                if (node >= 0 && fstat(node, &status) == 0) bytes += S_ISCHR(status.st_mode) ? 1 : 0;
                if (node >= 0) close(node);
            }
            closedir(drm);
        }
        std::string parent = real;
        for (int up = 0; up < 3; ++up) {
            parent.resize(parent.rfind('/'));
            bytes += read_whole((parent + "/vendor").c_str());
            if (up > 0) bytes += read_whole((parent + "/max_link_speed").c_str()) +
                                 read_whole((parent + "/max_link_width").c_str());
        }
    }
    for (std::size_t c = 1; c <= tree.cards.size(); ++c) {
        const std::string node = (tree.top / "sys/class/kfd/kfd/topology/nodes" / std::to_string(c)).string();
        bytes += read_whole((node + "/properties").c_str()) + read_whole((node + "/gpu_id").c_str());
    }
    const std::string proc = (tree.top / "proc").string();
    char path[512];
    DIR* top = opendir(proc.c_str());
    char* const after_proc = put(put(path, proc.c_str()), "/");
    while (const dirent* entry = readdir(top)) {
        if (!numeric(entry->d_name)) continue;
        char* const after_pid = put(after_proc, entry->d_name);
        char* const after_fd = put(after_pid, "/fd/");
        after_fd[-1] = '\0';
        DIR* fds = opendir(path);
        after_fd[-1] = '/';
        if (fds == nullptr) continue;
        while (const dirent* fd = readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            put(after_fd, fd->d_name);
            const ssize_t n = readlink(path, target, sizeof target);
            if (n < 9 || std::memcmp(target, "/dev/dri/", 9) != 0) continue;
            put(put(after_pid, "/fdinfo/"), fd->d_name);
            bytes += read_whole(path);
            put(after_pid, "/fd/");
        }
        closedir(fds);
    }
    closedir(top);
    const std::string kfd = (tree.top / "sys/class/kfd/kfd/proc").string();
    DIR* kfd_folder = opendir(kfd.c_str());
    char* const after_kfd = put(put(path, kfd.c_str()), "/");
    while (const dirent* entry = readdir(kfd_folder)) {
        if (!numeric(entry->d_name)) continue;
        char* const after_vram = put(put(after_kfd, entry->d_name), "/vram_");
        for (const CardRef& card : tree.cards) {
            *std::to_chars(after_vram, path + sizeof path - 1, *card.kfd_gpu_id).ptr = '\0';
            bytes += read_whole(path);
        }
    }
    closedir(kfd_folder);
    for (const std::uint32_t pid : tree.with_vram) {
        std::snprintf(path, sizeof path, "%s/%u/comm", proc.c_str(), pid);
        bytes += read_whole(path);
    }
    return bytes;
}

std::size_t process_count(const karvo::DeviceList& devices) {
    std::size_t n = 0;
    for (const auto& device : devices) n += device.processes.size();
    return n;
}

void BM_ProcessPassAgainstBareWalk(benchmark::State& state) {
    const Tree tree(2000, 30, 200, 40);
    const Root root{tree.top.string()};
    Clocks pass, bare;
    bool pass_first = true;
    std::size_t found = 0;
    for (auto _ : state) {
        auto run_pass = [&] {
            timed(pass, [&] {
                const karvo::DeviceList devices = karvo::discovery::linux::linux_pass(root);
                found = process_count(devices);
            });
        };
        auto run_bare = [&] { timed(bare, [&] { benchmark::DoNotOptimize(bare_process_walk(tree)); }); };
        // Alternating the order keeps either side from always finding the caches warm.
        if (pass_first) {
            run_pass();
            run_bare();
        } else {
            run_bare();
            run_pass();
        }
        pass_first = !pass_first;
    }
    if (found != tree.with_vram.size())
        state.SkipWithError(("expected " + std::to_string(tree.with_vram.size()) + " process entries, found " +
                             std::to_string(found)).c_str());
    const double n = static_cast<double>(state.iterations());
    state.counters["pass_cpu_ms"] = static_cast<double>(pass.cpu) / n / 1e6;
    state.counters["bare_cpu_ms"] = static_cast<double>(bare.cpu) / n / 1e6;
    state.counters["ratio_cpu"] = static_cast<double>(pass.cpu) / static_cast<double>(bare.cpu);
    state.counters["pass_wall_ms"] = static_cast<double>(pass.wall) / n / 1e6;
    state.counters["bare_wall_ms"] = static_cast<double>(bare.wall) / n / 1e6;
    state.counters["ratio_wall"] = static_cast<double>(pass.wall) / static_cast<double>(bare.wall);
}
BENCHMARK(BM_ProcessPassAgainstBareWalk)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// What asking the driver costs the pass: each awake card's drm folder listed
// and its render node opened, checked and closed, timed in the same loop as
// the whole pass (goal: at most 2 % of it).
void BM_DriverQueryShareOfThePass(benchmark::State& state) {
    const Tree tree(2000, 30, 200, 40);
    const Root root{tree.top.string()};
    Clocks pass, asking;
    for (auto _ : state) {
        timed(pass, [&] { benchmark::DoNotOptimize(karvo::discovery::linux::linux_pass(root)); });
        timed(asking, [&] {
            for (const fs::path& node : tree.render_nodes) {
                std::string found;
                karvo::platform::for_each_entry(node.parent_path().string(), [&](std::string_view name) {
                    if (name.starts_with("renderD")) found = (tree.top / "dev/dri" / std::string(name)).string();
                });
                benchmark::DoNotOptimize(karvo::platform::amdgpu_device_info(found));
            }
        });
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["pass_cpu_ms"] = static_cast<double>(pass.cpu) / n / 1e6;
    state.counters["asking_cpu_us"] = static_cast<double>(asking.cpu) / n / 1e3;
    state.counters["share_percent"] = 100.0 * static_cast<double>(asking.cpu) / static_cast<double>(pass.cpu);
}
BENCHMARK(BM_DriverQueryShareOfThePass)->Unit(benchmark::kMillisecond)->MinTime(3.0);

std::size_t resident_kb() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

// One watch refresh: the pass and the table it draws.
std::size_t refresh(const Root& root) {
    const karvo::DeviceList devices = karvo::discovery::linux::linux_pass(root);
    karvo::render::TableOptions options;
    options.watch = 1;
    return karvo::render::render_table(devices, options, "2026-01-01 00:00:00").size();
}

void BM_HeapOver10000WatchRefreshes(benchmark::State& state) {
    const Tree tree(50, 30, 10, 4);
    const Root root{tree.top.string()};
    constexpr int kRefreshes = 10000;
    for (auto _ : state) {
        for (int i = 0; i < 20; ++i) benchmark::DoNotOptimize(refresh(root));  // warm-up
        const std::size_t heap_before = mallinfo2().uordblks;
        const std::size_t rss_before = resident_kb();
        for (int i = 0; i < kRefreshes; ++i) benchmark::DoNotOptimize(refresh(root));
        state.counters["heap_growth_bytes"] =
            static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heap_before);
        state.counters["rss_growth_kb"] = static_cast<double>(resident_kb()) - static_cast<double>(rss_before);
    }
}
BENCHMARK(BM_HeapOver10000WatchRefreshes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
