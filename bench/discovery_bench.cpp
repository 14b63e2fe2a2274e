// One discovery pass, measured three ways:
//  - with no source on the machine, against the bare look-ups such a pass
//    cannot avoid (the failed library opens and the program search for
//    PowerShell), both timed in the same loop; the pass should cost at most
//    10% more than the look-ups alone;
//  - over the fake HIP runtime and the fake PowerShell, with the time spent
//    in PowerShell child processes reported apart from our own;
//  - the heap and resident size over 10,000 passes, which must not grow.
//
// The library path is read once at process start, so main() re-runs this
// program with LD_LIBRARY_PATH set to a private folder; each benchmark puts
// the fake runtime there or leaves it empty. The fakes are looked for in
// fakes/ next to this executable (configure with the tests enabled to build
// them) or in the folder named by KARVO_BENCH_FAKES.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "discovery/adapter_stats/adapter_stats.h"
#include "discovery/adl/adl_backend.h"
#include "discovery/adl/adl_library.h"
#include "discovery/discover.h"
#include "discovery/hip/hip_backend.h"
#include "discovery/wmi/powershell.h"
#include "discovery/wmi/wmi_fallback.h"
#include "platform/library.h"
#include "platform/process.h"
#include "platform/system.h"

namespace {

namespace fs = std::filesystem;
using karvo::platform::get_env;
using karvo::platform::monotonic_ns;
using karvo::platform::set_env;

constexpr const char* kLibDirVariable = "KARVO_BENCH_LIB_DIR";

fs::path lib_dir() { return get_env(kLibDirVariable).value_or(""); }

fs::path fakes_dir() {
    if (auto dir = get_env("KARVO_BENCH_FAKES")) return *dir;
    return fs::path(karvo::platform::executable_dir()) / "fakes";
}

std::size_t line_count(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

std::size_t resident_kb() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

// Each pass writes its enrichment failure line; keep that off the report
// (the write still happens and is still timed).
class QuietStderr {
public:
    QuietStderr() : saved_(dup(2)) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        close(null_fd);
    }
    ~QuietStderr() {
        dup2(saved_, 2);
        close(saved_);
    }

private:
    int saved_;
};

// A machine with the given fake sources (or none): the runtime in the
// private library folder, the fake PowerShell first on PATH.
class Machine {
public:
    Machine(bool with_fakes) : folder_(lib_dir().parent_path() / "machine") {
        fs::remove_all(folder_);
        fs::create_directories(folder_ / "ps");
        fs::create_directories(folder_ / "empty");
        for (const auto& entry : fs::directory_iterator(lib_dir())) fs::remove(entry.path());
        if (!with_fakes) {
            set_env("PATH", (folder_ / "empty").string());
            return;
        }
        const fs::path runtime = fakes_dir() / "hip" / "libamdhip64.so";
        const fs::path powershell = fakes_dir() / "powershell" / "powershell";
        usable_ = fs::exists(runtime) && fs::exists(powershell);
        if (!usable_) return;
        fs::copy_file(runtime, lib_dir() / "libamdhip64.so");
        set_env("PATH", powershell.parent_path().string());
        set_env("KARVO_FAKE_PS_DIR", (folder_ / "ps").string());
        std::ofstream(folder_ / "ps" / "adapters.out", std::ios::binary)
            << R"([{"Name":"AMD Radeon RX 7900 XTX","PNPDeviceID":"PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\\6&1",)"
            << R"("DriverVersion":"31.0.24027.1012","AdapterRAM":4293918720},)"
            << R"({"Name":"AMD Radeon 780M Graphics","PNPDeviceID":"PCI\\VEN_1002&DEV_15BF&SUBSYS_0E3B1002&REV_C8\\6&2",)"
            << R"("DriverVersion":"31.0.24027.1012","AdapterRAM":536870912}])";
        std::ofstream(folder_ / "ps" / "memory.out", std::ios::binary) << "34\r\n";
    }
    ~Machine() {
        set_env("KARVO_FAKE_HIP", std::nullopt);
        set_env("KARVO_FAKE_PS_DIR", std::nullopt);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        for (const auto& entry : fs::directory_iterator(lib_dir(), ignored)) fs::remove(entry.path(), ignored);
    }

    bool usable() const { return usable_; }
    void hip_scenario(const std::string& text) const { set_env("KARVO_FAKE_HIP", text); }
    std::size_t powershell_starts() const { return line_count(folder_ / "ps" / "starts"); }

private:
    fs::path folder_;
    bool usable_ = true;
};

// What a pass with nothing present cannot avoid: every runtime candidate and
// every display-library candidate (the enrichment, the discovery mode and the
// fallback each open it), and the search for PowerShell.
void bare_lookups() {
    auto hip = karvo::platform::Library::open_first(karvo::discovery::hip::kRuntimeCandidates);
    benchmark::DoNotOptimize(hip);
    for (int i = 0; i < 3; ++i) {
        auto adl = karvo::platform::Library::open_first(karvo::discovery::adl::kLibraryNames);
        benchmark::DoNotOptimize(adl);
    }
    karvo::platform::ProcessSpec command;
    command.program = "powershell";
    command.args = {"-NoProfile", "-Command", std::string(karvo::discovery::wmi::kAdapterScript)};
    auto started = karvo::platform::run_process(command);
    benchmark::DoNotOptimize(started);
}

// CPU time of this thread (kernel time of its system calls included): unlike
// the wall clock it does not count the time other processes hold the CPU.
std::uint64_t thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

struct Clocks {
    std::uint64_t wall = 0;
    std::uint64_t cpu = 0;
};

template <class Fn>
void timed(Clocks& clocks, Fn&& fn) {
    const std::uint64_t wall = monotonic_ns(), cpu = thread_cpu_ns();
    fn();
    clocks.cpu += thread_cpu_ns() - cpu;
    clocks.wall += monotonic_ns() - wall;
}

void BM_NoSourcePassAgainstBareLookups(benchmark::State& state) {
    Machine machine(false);
    QuietStderr quiet;
    Clocks pass, lookups;
    bool found = false;
    bool pass_first = true;
    for (auto _ : state) {
        // Alternating the order keeps either side from always finding the caches warm.
        auto run_pass = [&] { timed(pass, [&] { found = found || !karvo::discovery::discover_devices().empty(); }); };
        auto run_lookups = [&] { timed(lookups, bare_lookups); };
        if (pass_first) {
            run_pass();
            run_lookups();
        } else {
            run_lookups();
            run_pass();
        }
        pass_first = !pass_first;
    }
    if (found) state.SkipWithError("a source answered on a machine that should have none");
    const double n = static_cast<double>(state.iterations());
    state.counters["pass_cpu_us"] = static_cast<double>(pass.cpu) / n / 1000.0;
    state.counters["lookups_cpu_us"] = static_cast<double>(lookups.cpu) / n / 1000.0;
    state.counters["overhead_cpu_pct"] =
        (static_cast<double>(pass.cpu) / static_cast<double>(lookups.cpu) - 1.0) * 100.0;
    state.counters["pass_wall_us"] = static_cast<double>(pass.wall) / n / 1000.0;
    state.counters["lookups_wall_us"] = static_cast<double>(lookups.wall) / n / 1000.0;
    state.counters["overhead_wall_pct"] =
        (static_cast<double>(pass.wall) / static_cast<double>(lookups.wall) - 1.0) * 100.0;
}
BENCHMARK(BM_NoSourcePassAgainstBareLookups)->Unit(benchmark::kMicrosecond);

// Where the thread CPU time of a pass with nothing present goes, step by step.
void BM_NoSourceSteps(benchmark::State& state) {
    Machine machine(false);
    QuietStderr quiet;
    Clocks hip, wmi, adl, odn, stats, lookups;
    for (auto _ : state) {
        karvo::DeviceList list;
        timed(hip, [&] { benchmark::DoNotOptimize(karvo::discovery::hip::query_hip_devices()); });
        timed(wmi, [&] { benchmark::DoNotOptimize(karvo::discovery::wmi::query_wmi_devices()); });
        timed(adl, [&] { benchmark::DoNotOptimize(karvo::discovery::adl::query_pmlog(list)); });
        timed(odn, [&] { benchmark::DoNotOptimize(karvo::discovery::adl::overdrive_fallback(list)); });
        timed(stats, [&] { karvo::discovery::adapter_stats::apply_adapter_statistics(list); });
        timed(lookups, bare_lookups);
    }
    const double n = static_cast<double>(state.iterations());
    for (const auto& [name, clocks] : {std::pair{"hip_us", &hip}, {"wmi_us", &wmi}, {"adl_once_us", &adl},
                                       {"odn_us", &odn}, {"stats_us", &stats}, {"lookups_us", &lookups}})
        state.counters[name] = static_cast<double>(clocks->cpu) / n / 1000.0;
}
BENCHMARK(BM_NoSourceSteps)->Unit(benchmark::kMicrosecond);

constexpr const char* kTwoGpus =
    "dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=25753026560;dev1.name=AMD Radeon 780M Graphics;dev1.mem=536870912";

// Two HIP GPUs (one integrated: one system memory query) merged with two WMI
// adapters (one with a shared-memory device ID: one more query).
void BM_FakeHipAndWmiPass(benchmark::State& state) {
    Machine machine(true);
    if (!machine.usable()) {
        state.SkipWithError("fakes not found (build the tests or set KARVO_BENCH_FAKES)");
        return;
    }
    machine.hip_scenario(kTwoGpus);
    QuietStderr quiet;

    Clocks pass, start;
    for (auto _ : state) {
        karvo::DeviceList devices;
        timed(pass, [&] { devices = karvo::discovery::discover_devices(); });
        // One PowerShell start on its own, under the same conditions as the pass.
        state.PauseTiming();
        timed(start, [] { benchmark::DoNotOptimize(karvo::discovery::wmi::run_powershell(karvo::discovery::wmi::kMemoryScript)); });
        state.ResumeTiming();
        if (devices.size() != 2 || devices[0].backend != "hip+wmi") {
            state.SkipWithError("the fake scenario was not discovered");
            return;
        }
    }
    const double iterations = static_cast<double>(state.iterations());
    const double starts_per_pass = static_cast<double>(machine.powershell_starts()) / iterations - 1.0;
    const double start_us = static_cast<double>(start.wall) / iterations / 1000.0;
    const double pass_us = static_cast<double>(pass.wall) / iterations / 1000.0;
    state.counters["pass_us"] = pass_us;
    state.counters["own_cpu_us"] = static_cast<double>(pass.cpu) / iterations / 1000.0;
    state.counters["ps_starts_per_pass"] = starts_per_pass;
    state.counters["child_us"] = starts_per_pass * start_us;
    state.counters["own_wall_us"] = pass_us - starts_per_pass * start_us;
}
BENCHMARK(BM_FakeHipAndWmiPass)->Unit(benchmark::kMillisecond);

// Heap in use and resident size before and after 10,000 passes.
void heap_over_passes(benchmark::State& state, bool with_fakes) {
    Machine machine(with_fakes);
    if (!machine.usable()) {
        state.SkipWithError("fakes not found (build the tests or set KARVO_BENCH_FAKES)");
        return;
    }
    // A discrete HIP GPU needs no memory query of its own: two PowerShell starts
    // per pass (the adapters, and the shared-memory WMI device) keep the run short.
    machine.hip_scenario("dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=25753026560");
    QuietStderr quiet;
    constexpr int kPasses = 10000;
    for (auto _ : state) {
        if (karvo::discovery::discover_devices().size() != (with_fakes ? 2u : 0u)) {
            state.SkipWithError("unexpected discovery result");
            return;
        }
        for (int i = 0; i < 20; ++i) benchmark::DoNotOptimize(karvo::discovery::discover_devices());  // warm-up
        const std::size_t heap_before = mallinfo2().uordblks;
        const std::size_t rss_before = resident_kb();
        for (int pass = 0; pass < kPasses; ++pass) benchmark::DoNotOptimize(karvo::discovery::discover_devices());
        state.counters["heap_growth_bytes"] =
            static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heap_before);
        state.counters["rss_growth_kb"] = static_cast<double>(resident_kb()) - static_cast<double>(rss_before);
    }
}

void BM_HeapOver10000NoSourcePasses(benchmark::State& state) { heap_over_passes(state, false); }
BENCHMARK(BM_HeapOver10000NoSourcePasses)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_HeapOver10000FakePasses(benchmark::State& state) { heap_over_passes(state, true); }
BENCHMARK(BM_HeapOver10000FakePasses)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (!get_env(kLibDirVariable)) {
        // First start: make the private library folder and run again with it
        // as the library path (the loader reads the path only at start).
        char pid[16];
        const auto end = std::to_chars(pid, pid + sizeof pid, static_cast<long>(getpid())).ptr;
        const fs::path root = fs::temp_directory_path() / ("karvo-discovery-bench-" + std::string(pid, end));
        fs::create_directories(root / "lib");
        set_env(kLibDirVariable, (root / "lib").string());
        set_env("LD_LIBRARY_PATH", (root / "lib").string());
        execv("/proc/self/exe", argv);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(lib_dir().parent_path(), ignored);
    return 0;
}
