// The PMLog sensor pass against the display library double: four GPUs
// answering the new-style query (no 300 ms wait), and the heap over 10,000
// passes, which must stay flat: the double keeps the 64-byte block it asks of
// the allocation callback at every pass, as the real library does, and each
// pass frees its blocks once the library is unloaded.
//
// The double is looked for in fakes/adl/ next to this executable (configure
// with the tests enabled to build it) or at KARVO_BENCH_ADL_FAKE.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <string>

#include "discovery/adl/adl_internal.h"
#include "platform/system.h"

namespace {

namespace fs = std::filesystem;
using karvo::DeviceList;
using karvo::discovery::adl::AdlHost;

constexpr int kCallbackBlockBytes = 64;

std::string decimal(unsigned long long value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string scenario_text() {
    std::string text = "alloc 64\n";
    const char* ids[] = {"744C", "7480", "73BF", "7550"};
    for (int gpu = 0; gpu < 4; ++gpu) {
        const std::string index = decimal(gpu * 2);
        text += "adapter " + index + " 4098 " + decimal(3 + gpu) + " 0 0\n";
        text += "udid PCI_VEN_1002&DEV_" + std::string(ids[gpu]) + "&SUBSYS_0E3B1002&REV_C8\n";
        text += "name AMD Radeon Test GPU " + index + "\ndriver 31.0.24027.1012\n";
        text += "sensor 1 2400\nsensor 2 1250\nsensor 8 45\nsensor 9 60\nsensor 19 99\nsensor 27 70\n"
                "sensor 73 2505\nsensor 40 16000\nsensor 41 16\n";
        text += "memory ADL2_Adapter_MemoryInfoX4_Get GDDR6\n";
        // A second display output of the same GPU, skipped by the selection.
        text += "adapter " + decimal(gpu * 2 + 1) + " 4098 " + decimal(3 + gpu) + " 0 0\n";
    }
    return text;
}

struct BenchSetup {
    std::string library;
    fs::path folder;

    BenchSetup() {
        const auto override_path = karvo::platform::get_env("KARVO_BENCH_ADL_FAKE");
        library = override_path ? *override_path : karvo::platform::executable_dir() + "/fakes/adl/atiadlxx.dll";
        folder = fs::temp_directory_path() / ("karvo-adl-bench-" + decimal(karvo::platform::monotonic_ns()));
        fs::create_directories(folder);
        const fs::path scenario = folder / "scenario.txt";
        std::ofstream(scenario, std::ios::binary) << scenario_text();
        karvo::platform::set_env("KARVO_FAKE_ADL", scenario.string());
        karvo::platform::set_env("KARVO_FAKE_ADL_LOG", std::nullopt);
    }
    ~BenchSetup() {
        karvo::platform::set_env("KARVO_FAKE_ADL", std::nullopt);
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    AdlHost host() const {
        AdlHost host;
        host.library_names = {library};
        host.sleep_ms = [](std::uint32_t) {};
        host.memory_code_query = [] { return std::optional<std::uint32_t>(); };
        host.write_line = [](std::string_view) {};
        return host;
    }
    bool usable() const { return fs::exists(library); }
};

bool one_pass(const AdlHost& host) {
    DeviceList devices;
    const karvo::Status status = karvo::discovery::adl::query_pmlog(devices, host);
    benchmark::DoNotOptimize(devices);
    return status.ok() && devices.size() == 4;
}

void BM_AdlPmlogPassFourGpus(benchmark::State& state) {
    BenchSetup setup;
    if (!setup.usable()) {
        state.SkipWithError("display library double not found (build the tests or set KARVO_BENCH_ADL_FAKE)");
        return;
    }
    const AdlHost host = setup.host();
    for (auto _ : state) {
        if (!one_pass(host)) {
            state.SkipWithError("pass failed");
            break;
        }
    }
}
BENCHMARK(BM_AdlPmlogPassFourGpus)->Unit(benchmark::kMicrosecond);

// Heap in use before and after 10,000 passes (goal: no growth).
void BM_AdlPmlogHeapOver10000Passes(benchmark::State& state) {
    BenchSetup setup;
    if (!setup.usable()) {
        state.SkipWithError("display library double not found (build the tests or set KARVO_BENCH_ADL_FAKE)");
        return;
    }
    const AdlHost host = setup.host();
    constexpr int kPasses = 10000;
    double growth_per_pass = 0;
    for (auto _ : state) {
        one_pass(host);  // warm-up: first-use allocations of the loader and the runtime
        const std::size_t before = mallinfo2().uordblks;
        for (int pass = 0; pass < kPasses; ++pass) {
            if (!one_pass(host)) {
                state.SkipWithError("pass failed");
                return;
            }
        }
        const std::size_t after = mallinfo2().uordblks;
        growth_per_pass = (static_cast<double>(after) - static_cast<double>(before)) / kPasses;
    }
    state.counters["heap_growth_bytes_per_pass"] = growth_per_pass;
    state.counters["callback_bytes_per_pass"] = kCallbackBlockBytes;
}
BENCHMARK(BM_AdlPmlogHeapOver10000Passes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
