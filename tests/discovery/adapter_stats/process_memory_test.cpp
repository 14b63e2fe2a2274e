#include "discovery/adapter_stats/process_memory.h"

#include <gtest/gtest.h>

#include <limits>

#include "fake_gpu_os.h"

namespace karvo::discovery::adapter_stats {
namespace {

using testing::counter_item;
using testing::FakeGpuOs;
using testing::kMiB;

constexpr std::int64_t MiB = static_cast<std::int64_t>(kMiB);
const std::u16string kLuid = u"luid_0x00000000_0x0000d1f6_phys_0";

std::u16string instance(std::uint32_t pid, const std::u16string& rest = kLuid) {
    std::u16string name = u"pid_";
    for (char c : std::to_string(pid)) name += static_cast<char16_t>(c);
    return name + u"_" + rest;
}

// Two records; the first is on adapter 0x0000d1f6, the second on 0x0000beef.
struct Scene {
    DeviceList devices{2};
    AdapterMap adapters{{"0x00000000_0x0000d1f6", 0}, {"0x00000000_0x0000beef", 1}};
    ProcessNames names;

    void add(std::vector<platform::CounterItem> items) { add_process_items(devices, adapters, names, items); }
    const std::vector<GpuProcess>& first() const { return devices[0].processes; }
};

TEST(ClassifyProcess, ComputeMarksInTheLowerCasedName) {
    EXPECT_EQ(classify_process("python.exe"), ProcessKind::compute);
    EXPECT_EQ(classify_process("Ollama App.exe"), ProcessKind::compute);
    EXPECT_EQ(classify_process("MyComputeTool.exe"), ProcessKind::compute);
    EXPECT_EQ(classify_process("LLAMA-SERVER.EXE"), ProcessKind::compute);
    EXPECT_EQ(classify_process("TorchRun.exe"), ProcessKind::compute);
    EXPECT_EQ(classify_process("explorer.exe"), ProcessKind::graphics);
    EXPECT_EQ(classify_process("Unknown"), ProcessKind::graphics);
    EXPECT_EQ(classify_process(""), ProcessKind::graphics);
}

TEST(InstanceProcessId, DecimalBetweenPrefixAndNextUnderscore) {
    EXPECT_EQ(instance_process_id("pid_4242_luid_0x0_0x1_phys_0"), 4242u);
    EXPECT_EQ(instance_process_id("PID_12_LUID"), 12u);
    EXPECT_EQ(instance_process_id("pid_77"), 77u);
    EXPECT_EQ(instance_process_id("pid_+5_x"), 5u);
    EXPECT_EQ(instance_process_id("pid_4294967295_x"), 4294967295u);
    EXPECT_EQ(instance_process_id("pid_0_luid"), std::nullopt);
    EXPECT_EQ(instance_process_id("pid_abc_luid"), std::nullopt);
    EXPECT_EQ(instance_process_id("pid_12a_luid"), std::nullopt);
    EXPECT_EQ(instance_process_id("pid__luid"), std::nullopt);
    EXPECT_EQ(instance_process_id("pid_"), std::nullopt);
    EXPECT_EQ(instance_process_id("pid_-3_x"), std::nullopt);
    EXPECT_EQ(instance_process_id("pid_4294967296_x"), std::nullopt);
    EXPECT_EQ(instance_process_id("xpid_12_luid"), std::nullopt);
    EXPECT_EQ(instance_process_id("_Total"), std::nullopt);
}

TEST(CounterMegabytes, WholeMegabytesOfSensibleCounts) {
    EXPECT_EQ(counter_megabytes(1048575), std::nullopt);
    EXPECT_EQ(counter_megabytes(1048576), 1u);
    EXPECT_EQ(counter_megabytes(3 * MiB - 1), 2u);
    EXPECT_EQ(counter_megabytes(0), std::nullopt);
    EXPECT_EQ(counter_megabytes(-1), std::nullopt);
    EXPECT_EQ(counter_megabytes(-5 * MiB), std::nullopt);
    EXPECT_EQ(counter_megabytes(std::numeric_limits<std::int64_t>::min()), std::nullopt);
    EXPECT_EQ(counter_megabytes(std::int64_t{0xFFFFFFFF} * MiB), 0xFFFFFFFFu);
    EXPECT_EQ(counter_megabytes(std::int64_t{0x100000000} * MiB), std::nullopt);
    EXPECT_EQ(counter_megabytes(std::numeric_limits<std::int64_t>::max()), std::nullopt);
}

TEST(InstanceEngine, LabelPrefixesCaseBlindWithoutTheRepeatSuffix) {
    const std::string base = "pid_7_luid_0x00000000_0x0000d1f6_phys_0_eng_3_engtype_";
    const std::vector<std::pair<std::string, std::optional<Engine>>> cases = {
        {"3D", Engine::gfx},
        {"3D#1", Engine::gfx},
        {"High Priority 3D", Engine::gfx},
        {"Compute_0", Engine::compute},
        {"COMPUTE_1#2", Engine::compute},
        {"High Priority Compute", Engine::compute},
        {"Copy", Engine::dma},
        {"VideoDecode", Engine::dec},
        {"Video Codec 0", Engine::dec},
        {"VideoEncode#1", Engine::enc},
        // AMD's drivers spell the labels with blanks.
        {"Video Decode", Engine::dec},
        {"video decode#3", Engine::dec},
        {"Video Encode", Engine::enc},
        {"VIDEO ENCODE 1", Engine::enc},
        {"Video JPEG", Engine::dec},
        {"VideoJpeg#1", Engine::dec},
        {"Video Codec 1", Engine::dec},
        {"High Priority Compute#1", Engine::compute},
        {"HighPriority3D", Engine::gfx},
        {" 3D", Engine::gfx},
        {"Video Processing", Engine::other},
        {"VideoProcessing", Engine::other},
        {"Security", Engine::other},
        {"", Engine::other},
    };
    for (const auto& [label, engine] : cases) EXPECT_EQ(instance_engine(base + label), engine) << label;
    EXPECT_EQ(instance_engine("pid_7_luid_0x00000000_0x0000d1f6_phys_0"), std::nullopt);
}

TEST(RunningTimeNs, HundredNanosecondTicks) {
    EXPECT_EQ(running_time_ns(0), 0u);
    EXPECT_EQ(running_time_ns(12345), 1234500u);
    EXPECT_EQ(running_time_ns(-1), std::nullopt);
    EXPECT_EQ(running_time_ns(std::numeric_limits<std::int64_t>::max()), std::numeric_limits<std::uint64_t>::max());
}

TEST(ProcessNames, LaterEntryWinsAndBadUnitsAreReplaced) {
    const ProcessNames names = process_names({{4, u"System"}, {8, u"old.exe"}, {8, u"new.exe"}, {9, u"a\xD800" u"b"}});
    EXPECT_EQ(names.at(4), "System");
    EXPECT_EQ(names.at(8), "new.exe");
    EXPECT_EQ(names.at(9), "a\xEF\xBF\xBD" "b");
}

TEST(ProcessItems, OneEntryPerProcessWithTheLargestValue) {
    Scene s;
    s.names = {{4242, "python.exe"}};
    s.add({counter_item(u"pid_4242_luid_0x00000000_0x0000d1f6_phys_0", 300 * MiB),
           counter_item(u"pid_4242_luid_0x00000000_0x0000d1f6_phys_1", 500 * MiB),
           counter_item(u"pid_4242_luid_0x00000000_0x0000d1f6_phys_2", 100 * MiB)});

    ASSERT_EQ(s.first().size(), 1u);
    EXPECT_EQ(s.first()[0], (GpuProcess{4242, "python.exe", 500, ProcessKind::compute}));
    EXPECT_TRUE(s.devices[1].processes.empty());
}

TEST(ProcessItems, TheAdapterKeyPicksTheRecordWhateverTheCase) {
    Scene s;
    s.add({counter_item(u"PID_12_LUID_0X00000000_0X0000D1F6_PHYS_0", 40 * MiB),
           counter_item(u"pid_13_luid_0x00000000_0x0000BEEF_phys_0", 50 * MiB),
           counter_item(u"pid_14_luid_0x00000000_0x00001234_phys_0", 60 * MiB)});  // no such adapter

    ASSERT_EQ(s.first().size(), 1u);
    EXPECT_EQ(s.first()[0], (GpuProcess{12, "Unknown", 40, ProcessKind::graphics}));
    ASSERT_EQ(s.devices[1].processes.size(), 1u);
    EXPECT_EQ(s.devices[1].processes[0].pid, 13u);
}

TEST(ProcessItems, ItemsTheStepCannotUseAreSkipped) {
    Scene s;
    s.add({
        {std::nullopt, 50 * MiB},                      // no name
        counter_item(instance(20), 1048575),            // under 1 MB
        counter_item(instance(21), -200 * MiB),         // negative
        counter_item(instance(22), std::int64_t{1} << 62),  // beyond any MB count
        counter_item(instance(0), 50 * MiB),            // process 0
        counter_item(u"pid_abc_" + kLuid, 50 * MiB),    // not a number
        counter_item(u"proc_23_" + kLuid, 50 * MiB),    // wrong prefix
        counter_item(u"pid_24", 50 * MiB),              // no adapter key
        counter_item(instance(25), 1 * MiB),            // the only usable one
    });

    ASSERT_EQ(s.first().size(), 1u);
    EXPECT_EQ(s.first()[0].pid, 25u);
    EXPECT_EQ(s.first()[0].mem_used_mb, 1u);
}

TEST(ProcessItems, AMapPositionOutsideTheListIsIgnored) {
    Scene s;
    s.adapters = {{"0x00000000_0x0000d1f6", 5}};
    s.add({counter_item(instance(30), 10 * MiB)});
    EXPECT_TRUE(s.first().empty());
    EXPECT_TRUE(s.devices[1].processes.empty());
}

TEST(ProcessItems, MoreThanTheCardHoldsIsIgnoredWhenTheTotalIsKnown) {
    Scene s;
    s.devices[0].vram_total_mb = 8192;
    s.add({counter_item(instance(40), 9000 * MiB), counter_item(instance(41), 8192 * MiB)});
    ASSERT_EQ(s.first().size(), 1u);
    EXPECT_EQ(s.first()[0].pid, 41u);

    Scene unknown_total;
    unknown_total.add({counter_item(instance(40), 9000 * MiB)});
    ASSERT_EQ(unknown_total.first().size(), 1u);
    EXPECT_EQ(unknown_total.first()[0].mem_used_mb, 9000u);
}

TEST(ProcessItems, MergingKeepsTheFirstNameAndType) {
    Scene s;
    s.devices[0].processes = {{7, "ollama.exe", 10, ProcessKind::compute}};
    s.names = {{7, "explorer.exe"}};
    s.add({counter_item(instance(7), 30 * MiB), counter_item(instance(7), 20 * MiB)});
    ASSERT_EQ(s.first().size(), 1u);
    EXPECT_EQ(s.first()[0], (GpuProcess{7, "ollama.exe", 30, ProcessKind::compute}));
}

TEST(SharedItems, MergedIntoListedProcessesOrListedFromOneMegabyte) {
    Scene s;
    s.devices[0].gtt_total_mb = 16384;
    s.names = {{8, "game.exe"}};
    s.add({counter_item(instance(7), 300 * MiB)});
    add_shared_items(s.devices, s.adapters, s.names,
                     {counter_item(instance(7), 20 * MiB),
                      counter_item(instance(7, u"luid_0x00000000_0x0000d1f6_phys_1"), 90 * MiB),
                      counter_item(instance(8), 1 * MiB), counter_item(instance(9), 1048575),
                      counter_item(instance(10), 16385 * MiB),
                      counter_item(instance(11, u"luid_0x00000000_0x0000beef_phys_0"), 5 * MiB),
                      counter_item(instance(12, u"luid_0x00000001_0x0000d1f6_phys_0"), 5 * MiB)});

    GpuProcess seven{7, "Unknown", 300, ProcessKind::graphics};
    seven.gtt_used_mb = 90;
    GpuProcess eight{8, "game.exe", 0, ProcessKind::graphics};
    eight.gtt_used_mb = 1;
    // Under 1 MB, beyond the limit, another LUID: left out.
    EXPECT_EQ(s.first(), (std::vector<GpuProcess>{seven, eight}));
    ASSERT_EQ(s.devices[1].processes.size(), 1u);
    EXPECT_EQ(s.devices[1].processes[0].gtt_used_mb, 5u) << "no known limit on the second record";
}

TEST(EngineItems, SummedPerGroupForListedProcessesOnly) {
    Scene s;
    s.add({counter_item(instance(7), 300 * MiB), counter_item(instance(8), 10 * MiB),
           counter_item(instance(7, u"luid_0x00000000_0x0000beef_phys_0"), 5 * MiB)});
    const auto engine = [](std::uint32_t pid, const std::u16string& luid, const std::u16string& label) {
        return instance(pid, u"luid_0x00000000_0x" + luid + u"_phys_0_eng_0_engtype_" + label);
    };
    add_engine_items(s.devices, s.adapters,
                     {counter_item(engine(7, u"0000d1f6", u"3D"), 10), counter_item(engine(7, u"0000D1F6", u"3D#1"), 5),
                      counter_item(engine(7, u"0000d1f6", u"High Priority 3D"), 1),
                      counter_item(engine(7, u"0000d1f6", u"Compute_1"), 0),
                      counter_item(engine(7, u"0000d1f6", u"VideoDecode"), 3),
                      counter_item(engine(7, u"0000d1f6", u"Copy"), -4),           // negative: dropped
                      counter_item(engine(7, u"0000beef", u"Copy"), 2),            // the other record
                      counter_item(engine(7, u"00001234", u"VideoEncode"), 9),     // no such adapter
                      counter_item(engine(9, u"0000d1f6", u"3D"), 9),              // not listed
                      counter_item(instance(8), 50)});                             // not an engine
    EngineTimes seven;
    seven[Engine::gfx] = 1600;
    seven[Engine::compute] = 0;
    seven[Engine::dec] = 300;
    EXPECT_EQ(s.first()[0].busy_ns, seven);
    EXPECT_EQ(s.first()[1].busy_ns, std::nullopt);
    EngineTimes other_record;
    other_record[Engine::dma] = 200;
    EXPECT_EQ(s.devices[1].processes[0].busy_ns, other_record);
    EXPECT_EQ(s.first().size(), 2u);
}

// Each counter reads on its own: without the dedicated one, shared memory
// lists the processes and the engine times still reach them.
// AMD's labels with blanks reach the video columns: decode, JPEG and encode.
TEST(EngineItems, AmdVideoLabelsCountAsDecodeAndEncode) {
    Scene s;
    s.add({counter_item(instance(7), 300 * MiB)});
    const auto engine = [](const std::u16string& label) {
        return instance(7, u"luid_0x00000000_0x0000d1f6_phys_0_eng_4_engtype_" + label);
    };
    add_engine_items(s.devices, s.adapters,
                     {counter_item(engine(u"Video Decode"), 10), counter_item(engine(u"Video JPEG"), 2),
                      counter_item(engine(u"Video Codec 0#1"), 1), counter_item(engine(u"Video Encode"), 4),
                      counter_item(engine(u"High Priority Compute"), 6), counter_item(engine(u"Video Processing"), 8)});
    EngineTimes seven;
    seven[Engine::dec] = 1300;
    seven[Engine::enc] = 400;
    seven[Engine::compute] = 600;
    seven[Engine::other] = 800;
    EXPECT_EQ(s.first()[0].busy_ns, seven);
}

TEST(ProcessMemoryStep, EachCounterWorksWithoutTheOthers) {
    FakeGpuOs os;
    os.state.processes = {{100, u"explorer.exe"}};
    os.state.shared_items = {counter_item(instance(100), 64 * MiB), counter_item(instance(200), 128 * MiB)};
    os.state.running_time_items = {counter_item(instance(100, kLuid + u"_eng_0_engtype_3D"), 7)};
    DeviceList devices(1);
    const AdapterMap adapters{{"0x00000000_0x0000d1f6", 0}};

    apply_process_memory(devices, adapters, os);

    ASSERT_EQ(devices[0].processes.size(), 2u);
    EXPECT_EQ(devices[0].processes[0].pid, 200u) << "ordered by dedicated plus shared memory";
    EXPECT_EQ(devices[0].processes[1].name, "explorer.exe");
    EXPECT_EQ(devices[0].processes[1].gtt_used_mb, 64u);
    EXPECT_EQ((*devices[0].processes[1].busy_ns)[Engine::gfx], 700u);

    os.state.shared_items.clear();
    os.state.counter_items = {counter_item(instance(100), 8 * MiB)};
    DeviceList dedicated_only(1);
    apply_process_memory(dedicated_only, adapters, os);
    ASSERT_EQ(dedicated_only[0].processes.size(), 1u);
    EXPECT_EQ(dedicated_only[0].processes[0].gtt_used_mb, 0u);
    EXPECT_TRUE(dedicated_only[0].processes[0].busy_ns.has_value());
}

// Sorted largest first; equal sizes keep the order in which they were appended.
TEST(ProcessMemoryStep, NamesFromTheSnapshotAndSortedEntries) {
    FakeGpuOs os;
    os.state.processes = {{100, u"explorer.exe"}, {200, u"python.exe"}};
    os.state.counter_items = {counter_item(instance(100), 100 * MiB), counter_item(instance(200), 700 * MiB),
                              counter_item(instance(300), 700 * MiB)};
    DeviceList devices(1);
    const AdapterMap adapters{{"0x00000000_0x0000d1f6", 0}};

    apply_process_memory(devices, adapters, os);

    EXPECT_EQ(devices[0].processes,
              (std::vector<GpuProcess>{{200, "python.exe", 700, ProcessKind::compute}, {300, "Unknown", 700, ProcessKind::graphics},
                                       {100, "explorer.exe", 100, ProcessKind::graphics}}));
    EXPECT_EQ(os.state.live_sessions, 0);
}

TEST(ProcessMemoryStep, AnUnavailableCounterChangesNothing) {
    FakeGpuOs os;
    os.state.process_memory_available = false;
    DeviceList devices(1);
    devices[0].processes = {{1, "a", 1, ProcessKind::graphics}, {2, "b", 9, ProcessKind::graphics}};  // deliberately unsorted

    apply_process_memory(devices, AdapterMap{{"0x00000000_0x0000d1f6", 0}}, os);

    EXPECT_EQ(devices[0].processes[0].pid, 1u);
}

TEST(ProcessMemoryStep, RunsThroughTheAdapterStepWithItsMap) {
    FakeGpuOs os;
    testing::FakeAdapter adapter;
    adapter.description = testing::amd_adapter(0x744c, 0xd1f6);
    adapter.segment_count = 1;
    adapter.segments = {testing::local_segment(24 * testing::kGiB, testing::kGiB, testing::kGiB)};
    os.state.adapters = {adapter};
    os.state.processes = {{4242, u"ollama.exe"}};
    os.state.counter_items = {counter_item(u"pid_4242_luid_0x00000000_0x0000d1f6_phys_0", 512 * MiB)};
    GpuDevice device;
    device.device_id = 0x744c;
    DeviceList devices = {device};

    (void)apply_adapter_statistics(devices, os);

    EXPECT_EQ(devices[0].processes, (std::vector<GpuProcess>{{4242, "ollama.exe", 512, ProcessKind::compute}}));
    EXPECT_EQ(devices[0].vram_total_mb, 24576u);
}

}  // namespace
}  // namespace karvo::discovery::adapter_stats
