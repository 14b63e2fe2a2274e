// The HIP backend against its record rules (over hand-made property buffers)
// and against the fake runtimes in bin/fakes/hip*, loaded in this process.

#include "discovery/hip/hip_backend.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/library.h"
#include "support/run_karvo.h"
#include "support/source_table.h"
#include "fixtures/temp_dir.h"

namespace karvo::discovery::hip {
namespace {

using Buffer = std::vector<unsigned char>;

Buffer properties(std::string_view name, std::uint64_t total_mem, std::int32_t warp, std::int32_t threads) {
    Buffer buffer(kPropertiesBufferSize, 0);
    std::memcpy(buffer.data(), name.data(), name.size());
    std::memcpy(buffer.data() + 288, &total_mem, sizeof total_mem);
    std::memcpy(buffer.data() + 308, &warp, sizeof warp);
    std::memcpy(buffer.data() + 320, &threads, sizeof threads);
    return buffer;
}

struct CountingQuery {
    int calls = 0;
    std::optional<std::uint32_t> code;
    naming::MemoryCodeQuery query() {
        return [this] {
            ++calls;
            return code;
        };
    }
};

TEST(HipRecord, FillsTheFieldsTheRuntimeKnowsAndNeutralValuesElsewhere) {
    CountingQuery memory;
    const GpuDevice device = device_from_properties(
        properties("AMD Radeon RX 7900 XTX", 25753026560ull, 32, 1024), 3, memory.query());
    EXPECT_EQ(device.index, 3u);
    EXPECT_EQ(device.market_name, "AMD Radeon RX 7900 XTX");
    EXPECT_EQ(device.vendor_id, 0x1002u);
    EXPECT_EQ(device.vendor_name, "Advanced Micro Devices, Inc. [AMD/ATI]");
    EXPECT_EQ(device.device_id, 0u);
    EXPECT_EQ(device.subsystem_id, 0u);
    EXPECT_EQ(device.rev_id, 0u);
    EXPECT_EQ(device.num_cu, 32u);
    EXPECT_EQ(device.gfx_version, "gfx1100");
    EXPECT_EQ(device.vram_type, "GDDR6");
    EXPECT_EQ(device.vram_total_mb, 24560u);
    EXPECT_EQ(device.vram_used_mb, 0u);
    EXPECT_EQ(device.vram_pinned_mb, 0u);
    EXPECT_EQ(device.pcie_width, 0u);
    EXPECT_EQ(device.pcie_speed_gt, 0u);
    EXPECT_TRUE(device.asic_serial.empty() && device.vram_vendor.empty() && device.bdf.empty() &&
                device.driver_version.empty() && device.vbios_version.empty());
    EXPECT_FALSE(device.temp_edge_c || device.temp_hotspot_c || device.temp_vram_c || device.gfx_clock_mhz ||
                 device.mem_clock_mhz || device.gfx_util_percent || device.power_w || device.power_cap_w);
    EXPECT_EQ(device.backend, "hip");
    EXPECT_TRUE(device.processes.empty());
    EXPECT_EQ(memory.calls, 0);  // a discrete GPU needs no system memory query
}

TEST(HipRecord, IntegratedGpuRunsTheSystemMemoryQueryOnce) {
    CountingQuery memory;
    memory.code = 35;
    const GpuDevice device = device_from_properties(properties("AMD Radeon 780M Graphics", 0, 32, 1024), 0,
                                                    memory.query());
    EXPECT_EQ(device.gfx_version, "gfx1151");
    EXPECT_EQ(device.vram_type, "LPDDR5 (Shared)");
    EXPECT_EQ(memory.calls, 1);
}

TEST(HipRecord, NameEndsAtTheFirstNulAndNeverRunsPastItsField) {
    CountingQuery memory;
    Buffer early = properties(std::string_view("AMD\0junk", 8), 0, 32, 1024);
    EXPECT_EQ(device_from_properties(early, 0, memory.query()).market_name, "AMD");

    // 256 name bytes without a NUL, followed by more text in the next field.
    Buffer full = properties(std::string(256, 'A') + "BEYOND", 0, 32, 1024);
    EXPECT_EQ(device_from_properties(full, 0, memory.query()).market_name, std::string(256, 'A'));

    Buffer empty = properties("", 0, 32, 1024);
    EXPECT_EQ(device_from_properties(empty, 0, memory.query()).market_name, "");
}

TEST(HipRecord, InvalidUtf8InTheNameBecomesReplacementCharacters) {
    CountingQuery memory;
    const GpuDevice device =
        device_from_properties(properties("Radeon \xff\xfe X \xe2\x82", 0, 32, 1024), 0, memory.query());
    EXPECT_EQ(device.market_name, "Radeon \xef\xbf\xbd\xef\xbf\xbd X \xef\xbf\xbd");
    EXPECT_EQ(device.backend, "hip");
}

TEST(HipRecord, TotalMemoryIsTruncatedToWholeMegabytesAndSaturates) {
    CountingQuery memory;
    EXPECT_EQ(device_from_properties(properties("x", 2 * 1048576ull - 1, 32, 1024), 0, memory.query()).vram_total_mb,
              1u);
    EXPECT_EQ(device_from_properties(properties("x", 1048575, 32, 1024), 0, memory.query()).vram_total_mb, 0u);
    EXPECT_EQ(device_from_properties(properties("x", UINT64_MAX, 32, 1024), 0, memory.query()).vram_total_mb,
              UINT32_MAX);
}

TEST(HipRecord, ComputeUnitsAreThreadsPerBlockOverWarpSize) {
    EXPECT_EQ(compute_units(1024, 32), 32u);
    EXPECT_EQ(compute_units(1024, 64), 16u);
    EXPECT_EQ(compute_units(1023, 32), 31u);  // truncates
    EXPECT_EQ(compute_units(1024, 0), 0u);
    EXPECT_EQ(compute_units(0, 32), 0u);
    EXPECT_EQ(compute_units(-1024, -32), 32u);
    EXPECT_EQ(compute_units(-1024, 32), 0u);  // a negative count means nothing usable
    EXPECT_EQ(compute_units(INT_MIN, -1), 2147483648u);  // no signed overflow
    EXPECT_EQ(compute_units(INT_MIN, 0), 0u);
}

TEST(HipCandidates, AreTriedInTheFixedOrder) {
    const std::vector<std::string_view> expected = {
        "C:\\TheRock\\build\\bin\\amdhip64_7.dll", "C:\\TheRock\\build\\bin\\amdhip64.dll",
        "C:\\Windows\\System32\\amdhip64_7.dll",  "C:\\Windows\\System32\\amdhip64.dll",
        "amdhip64_7.dll",                          "amdhip64.dll",
        "libamdhip64.so",                          "libamdhip64.so.7"};
    EXPECT_EQ(std::vector<std::string_view>(kRuntimeCandidates.begin(), kRuntimeCandidates.end()), expected);
}

// ---- against the fake runtimes -------------------------------------------

// The fake's file in bin/fakes/<folder>, whichever name it has on this system.
std::string fake_runtime(const std::string& folder) {
    for (const char* name : {"amdhip64.dll", "libamdhip64.so"}) {
        const std::string path = testing::fake_dir(folder) + "/" + name;
        if (std::filesystem::exists(path)) return path;
    }
    ADD_FAILURE() << "fake runtime missing in " << testing::fake_dir(folder);
    return {};
}

std::vector<std::string> read_lines(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

// Holds the fake loaded while a test runs, so the scenario handed to it stays;
// the backend's own load and unload then only move the reference count.
class FakeRuntime {
public:
    FakeRuntime(const std::string& folder, const std::string& scenario) : path_(fake_runtime(folder)) {
        log_ = (dir_.path() / "calls.log").string();
        auto opened = platform::Library::open(path_);
        if (!opened.ok()) {
            ADD_FAILURE() << opened.error().long_form();
            return;
        }
        library_ = std::move(opened).value();
        const auto set = library_.find_as<void (*)(const char*)>("fake_hip_set_scenario");
        const std::string text = scenario + ";log=" + log_;
        if (set != nullptr) set(text.c_str());
    }

    const std::string& path() const { return path_; }
    std::vector<std::string> calls() const { return read_lines(log_); }
    // Drops our reference; the library unloads unless someone else kept one.
    void release() { library_ = platform::Library(); }

private:
    testing::TempDir dir_;
    std::string path_;
    std::string log_;
    platform::Library library_;
};

Result<DeviceList> query(const std::vector<std::string>& candidates) {
    const std::vector<std::string_view> views(candidates.begin(), candidates.end());
    return query_hip_devices_from(views, [] { return std::optional<std::uint32_t>(34); });
}

TEST(HipFake, ReadsEveryDeviceInOrdinalOrder) {
    FakeRuntime fake("hip",
                     "dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=25753026560;dev0.warp=32;dev0.threads=1024;"
                     "dev1.name=AMD Radeon(TM) Graphics;dev1.mem=536870912;dev1.warp=64;dev1.threads=1024");
    auto result = query({fake.path()});
    ASSERT_TRUE(result.ok()) << result.error().long_form();
    ASSERT_EQ(result->size(), 2u);
    const GpuDevice& first = (*result)[0];
    EXPECT_EQ(first.index, 0u);
    EXPECT_EQ(first.market_name, "AMD Radeon RX 7900 XTX");
    EXPECT_EQ(first.vram_total_mb, 24560u);
    EXPECT_EQ(first.num_cu, 32u);  // not the runtime's multiprocessor count
    EXPECT_EQ(first.gfx_version, "gfx1100");
    const GpuDevice& second = (*result)[1];
    EXPECT_EQ(second.index, 1u);
    EXPECT_EQ(second.num_cu, 16u);
    EXPECT_EQ(second.gfx_version, "gfx1151");
    EXPECT_EQ(second.vram_type, "DDR5 (Shared)");
    EXPECT_EQ(fake.calls(), (std::vector<std::string>{"count", "props_r0600 0", "props_r0600 1"}));
}

TEST(HipFake, OrdinalWhosePropertiesFailIsLeftOut) {
    FakeRuntime fake("hip", "count=3;dev0.name=A;dev1.status=101;dev2.name=C");
    auto result = query({fake.path()});
    ASSERT_TRUE(result.ok()) << result.error().long_form();
    ASSERT_EQ(result->size(), 2u);
    EXPECT_EQ((*result)[0].index, 0u);
    EXPECT_EQ((*result)[0].market_name, "A");
    EXPECT_EQ((*result)[1].index, 2u);
    EXPECT_EQ((*result)[1].market_name, "C");
}

TEST(HipFake, FailedCountNamesItsStatus) {
    {
        FakeRuntime fake("hip", "count_status=100;dev0.name=A");
        auto result = query({fake.path()});
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().long_form(), "hipGetDeviceCount failed: 100");
        EXPECT_EQ(fake.calls(), std::vector<std::string>{"count"});
    }
    FakeRuntime fake("hip", "count_status=-2147483648");
    auto result = query({fake.path()});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().long_form(), "hipGetDeviceCount failed: -2147483648");
}

TEST(HipFake, ZeroOrNegativeCountIsAnEmptySuccess) {
    for (const char* scenario : {"count=0", "count=-1", "count=-2147483648;dev0.name=A"}) {
        FakeRuntime fake("hip", scenario);
        auto result = query({fake.path()});
        ASSERT_TRUE(result.ok()) << scenario;
        EXPECT_TRUE(result->empty()) << scenario;
        EXPECT_EQ(fake.calls(), std::vector<std::string>{"count"}) << scenario;
    }
}

TEST(HipFake, HugeCountIsCutAtTheOrdinalLimit) {
    FakeRuntime fake("hip", "count=2147483647;missing_status=101;dev5.name=five;dev2000.name=far");
    auto result = query({fake.path()});
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result->size(), 1u);
    EXPECT_EQ((*result)[0].index, 5u);
    const auto calls = fake.calls();
    ASSERT_EQ(calls.size(), 1u + static_cast<std::size_t>(kMaxOrdinals));
    EXPECT_EQ(calls.back(), "props_r0600 1023");
}

TEST(HipFake, OlderRuntimeWithOnlyThePlainPropertiesEntryPoint) {
    FakeRuntime fake("hip-legacy", "dev0.name=AMD Radeon RX 9070 XT;dev0.mem=17163091968");
    auto result = query({fake.path()});
    ASSERT_TRUE(result.ok()) << result.error().long_form();
    ASSERT_EQ(result->size(), 1u);
    EXPECT_EQ((*result)[0].gfx_version, "gfx1201");
    EXPECT_EQ((*result)[0].vram_total_mb, 16368u);
    EXPECT_EQ(fake.calls(), (std::vector<std::string>{"count", "props 0"}));
}

TEST(HipFake, RuntimeWithoutPropertiesEntryPointFailsWithoutTryingTheNextCandidate) {
    FakeRuntime partial("hip-partial", "dev0.name=A");
    FakeRuntime full("hip", "dev0.name=B");
    auto result = query({partial.path(), full.path()});
    ASSERT_FALSE(result.ok());
    EXPECT_FALSE(result.error().message().empty());
    EXPECT_TRUE(partial.calls().empty());  // failed before anything was called
    EXPECT_TRUE(full.calls().empty());
}

TEST(HipFake, NoCandidateOpens) {
    testing::TempDir dir;
    auto result = query({"C:\\TheRock\\build\\bin\\amdhip64_7.dll", (dir.path() / "absent.dll").string(),
                         (dir.path() / "libabsent.so").string()});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().long_form(), "HIP runtime not found (amdhip64)");

    auto none = query({});
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().long_form(), "HIP runtime not found (amdhip64)");
}

TEST(HipFake, LaterCandidateIsUsedWhenEarlierOnesAreMissing) {
    testing::TempDir dir;
    FakeRuntime fake("hip", "dev0.name=AMD Radeon RX 7900 XTX");
    auto result = query({(dir.path() / "missing.dll").string(), "C:\\Windows\\System32\\amdhip64_7.dll", fake.path()});
    ASSERT_TRUE(result.ok()) << result.error().long_form();
    EXPECT_EQ(result->size(), 1u);
}

TEST(HipFake, LibraryIsUnloadedOnSuccessAndOnFailure) {
    for (const char* scenario : {"dev0.name=A", "count_status=100"}) {
        FakeRuntime fake("hip", scenario);
        (void)query({fake.path()});
        EXPECT_NE(fake.calls().back(), "unload") << scenario;  // we still hold it
        fake.release();
        EXPECT_EQ(fake.calls().back(), "unload") << scenario;
    }
    FakeRuntime partial("hip-partial", "");
    (void)query({partial.path()});
    partial.release();
    EXPECT_EQ(partial.calls(), std::vector<std::string>{"unload"});
}

// What the pass's source table says of the runtime: missing when no
// candidate opens, failed when it cannot be used, up when it answered, even
// with no GPU it supports (hipErrorNoDevice).
TEST(HipFake, SourceStatus) {
    testing::TempDir dir;
    const struct {
        std::string folder;  // empty: no runtime at all
        std::string scenario;
        std::string table;
    } cases[] = {
        {"", "", "hip missing\n"},
        {"hip", "dev0.name=AMD Radeon RX 7900 XTX", "hip up\n"},
        {"hip", "count=0", "hip up\n"},
        {"hip", "count_status=100", "hip up\n"},
        {"hip", "count_status=35", "hip failed\n"},
        {"hip-partial", "dev0.name=A", "hip failed\n"},
    };
    for (const auto& c : cases) {
        std::optional<FakeRuntime> fake;
        std::vector<std::string> candidates = {(dir.path() / "absent.dll").string()};
        if (!c.folder.empty()) {
            fake.emplace(c.folder, c.scenario);
            candidates.push_back(fake->path());
        }
        const SourceLedger ledger;
        (void)query(candidates);
        EXPECT_EQ(testing::source_table(ledger), c.table) << c.folder << " " << c.scenario;
    }
    // Outside a pass nothing is kept, and nothing fails.
    EXPECT_FALSE(query({(dir.path() / "absent.dll").string()}).ok());
}

}  // namespace
}  // namespace karvo::discovery::hip
