// History rings, what the graphs draw from them, and the process rows.
#include <gtest/gtest.h>

#include <cmath>

#include "fixtures/sample_devices.h"
#include "render/top/frame_text.h"
#include "render/top/graph.h"
#include "render/top/history.h"
#include "render/top/model.h"

namespace karvo::render::top {
namespace {

TEST(Ring, AtItsCapacityTheOldestGo) {
    Ring<int> ring(4);
    EXPECT_EQ(ring.size(), 0u);
    for (int i = 1; i <= 3; ++i) ring.push(i);
    EXPECT_EQ(ring.size(), 3u);
    EXPECT_EQ(ring.newest(0), 3);
    EXPECT_EQ(ring.newest(2), 1);
    for (int i = 4; i <= 11; ++i) ring.push(i);
    EXPECT_EQ(ring.size(), 4u);
    EXPECT_EQ(ring.capacity(), 4u);
    EXPECT_EQ(ring.newest(0), 11);
    EXPECT_EQ(ring.newest(3), 8);
}

TEST(Ring, TheDefaultHoldsAnHourAtOneSecond) {
    Ring<float> ring;
    for (std::size_t i = 0; i < kHistorySamples + 10; ++i) ring.push(static_cast<float>(i));
    EXPECT_EQ(ring.size(), kHistorySamples);
    EXPECT_GE(kHistorySamples, 3600u);
    EXPECT_EQ(ring.newest(kHistorySamples - 1), 10.0f);
}

TEST(History, PerGpuAndAllTogether) {
    History history;
    DeviceList devices = testing::mixed_list();  // a full card and a WMI-only record
    devices[1].vram_used_mb = 256;
    devices[1].temp_edge_c = 80.0f;
    devices[1].power_w = 10.0f;
    devices[1].gfx_util_percent = 63;
    history.add(devices, 1000);
    const SeriesRings* card = history.gpu(devices[0]);
    ASSERT_NE(card, nullptr);
    EXPECT_EQ((*card)[Series::gpu_use].newest(0), 37.0f);
    EXPECT_NEAR((*card)[Series::vram].newest(0), 100.0 * 3071 / 24560, 1e-3);
    EXPECT_EQ(card->power_cap, 355.0f);
    EXPECT_TRUE(std::isnan((*history.gpu(devices[1]))[Series::hotspot].newest(0))) << "not reported";
    const SeriesRings& all = history.all();
    EXPECT_EQ(all[Series::gpu_use].newest(0), 50.0f) << "the mean";
    EXPECT_NEAR(all[Series::vram].newest(0), 100.0 * (3071 + 256) / (24560 + 512), 1e-3) << "VRAM of all";
    EXPECT_EQ(all[Series::edge].newest(0), 80.0f) << "the hottest";
    EXPECT_EQ(all[Series::hotspot].newest(0), 71.5f);
    EXPECT_NEAR(all[Series::power].newest(0), 222.25f, 1e-3) << "the total";
    EXPECT_EQ(all[Series::gfx_clock].newest(0), 2482.0f) << "the highest";
    EXPECT_EQ(history.times().newest(0), 1000u);
}

TEST(History, GpusThatComeAndGo) {
    History history;
    const DeviceList both = testing::mixed_list();
    history.add(both, 1);
    history.add({both[0]}, 2);
    EXPECT_EQ(history.gpu(both[1]), nullptr) << "forgotten";
    EXPECT_EQ((*history.gpu(both[0]))[Series::edge].size(), 2u);
    history.add(both, 3);
    EXPECT_EQ((*history.gpu(both[1]))[Series::edge].size(), 1u) << "starts again";
    EXPECT_EQ(history.all()[Series::edge].size(), 3u);
    // No PCI address: known by index.
    GpuDevice bare = testing::bare_device();
    bare.bdf.clear();
    history.add({bare}, 4);
    EXPECT_NE(history.gpu(bare), nullptr);
    EXPECT_EQ(gpu_key(bare), "#1");
}

TEST(Graph, BrailleBlocksAndAsciiLevels) {
    Ring<float> ring(16);
    for (const float v : {0.0f, 12.5f, 50.0f, 100.0f, NAN, 1.0f}) ring.push(v);
    const Ring<std::uint64_t> times(16);
    const std::vector<Strip> strips = {{"GPU", &ring, 100.0f, Color::green}};
    struct Case {
        GraphStyle style;
        std::string top, bottom;  // the four plot columns of the two rows
    };
    // Two rows: braille has 8 levels (2 samples a column), blocks 16, ASCII 4.
    // Newest last: 0, 12.5, 50, 100, none, 1; anything above 0 shows at least one level.
    const std::vector<Case> cases = {
        {GraphStyle::braille, "  \u28B8 ", " \u2880\u28FF\u2880"},
        {GraphStyle::blocks, " \u2588  ", "\u2588\u2588 \u2581"},
        {GraphStyle::ascii, " |  ", "|| ."},
    };
    for (const Case& c : cases) {
        Look look;
        look.graph = c.style;
        Frame f(kGraphGutter + 4, 3);
        draw_graph(f, 0, 0, f.width(), 2, strips, times, look);
        EXPECT_EQ(f.row_text(0), "GPU    100\u2524" + c.top) << static_cast<int>(c.style);
        EXPECT_EQ(f.row_text(1), "         0\u2524" + c.bottom) << static_cast<int>(c.style);
        EXPECT_EQ(f.at(kGraphGutter + 3, 1).style.color, Color::green);
    }
}

TEST(Graph, TimeAxisFromTheSampleTimes) {
    Ring<float> ring(64);
    Ring<std::uint64_t> times(64);
    for (std::uint64_t i = 0; i < 40; ++i) {
        ring.push(50.0f);
        times.push(i * 500000000ull);  // every half second
    }
    Look look;
    Frame f(kGraphGutter + 30, 3);
    draw_graph(f, 0, 0, f.width(), 2, {{"GPU", &ring, 100.0f}}, times, look);
    // 12 columns of braille are 24 samples, 12 s ago.
    // The label ends at the column of those samples.
    EXPECT_EQ(f.row_text(2), std::string(25, ' ') + "-12s" + std::string(9, ' ') + "now");
}

TEST(Graph, AgesAndScales) {
    EXPECT_EQ(age_text(2400000000ull), "-2.4s");
    EXPECT_EQ(age_text(45000000000ull), "-45s");
    EXPECT_EQ(age_text(150000000000ull), "-2.5m");
    EXPECT_EQ(age_text(720000000000ull), "-12m");
    EXPECT_EQ(age_text(5400000000000ull), "-90m");
    EXPECT_EQ(age_text(7200000000000ull), "-2.0h");
    EXPECT_EQ(scale_top(87.0f, 10.0f, 100.0f), 100.0f);
    EXPECT_EQ(scale_top(104.0f, 10.0f, 100.0f), 110.0f);
    EXPECT_EQ(scale_top(2482.0f, 100.0f, 100.0f), 2500.0f);
    Ring<float> ring(8);
    for (const float v : {500.0f, NAN, 7.0f, 9.0f}) ring.push(v);
    EXPECT_EQ(recent_max(ring, 3), 9.0f);
    EXPECT_EQ(recent_max(ring, 8), 500.0f);
}

Sample pass(DeviceList devices, std::uint64_t time_ns) {
    Sample sample;
    sample.devices = std::move(devices);
    sample.time_ns = time_ns;
    return sample;
}

TEST(ProcessRows, RatesAgainstThePassBefore) {
    DeviceList before = testing::telemetry_list();
    DeviceList now = testing::telemetry_list();
    GpuProcess& trainer = now[0].processes[0];
    trainer.busy_ns->add(Engine::compute, 500000000);  // half of the 2 s between the passes
    trainer.busy_ns->add(Engine::gfx, 100000000);
    trainer.busy_ns->add(Engine::dec, 40000000);
    trainer.busy_ns->add(Engine::enc, 20000000);
    now[1].processes[0].busy_ns = EngineTimes{};  // the counters went back: a new client
    const Sample first = pass(before, 1000000000);
    const std::vector<ProcessRow> rows = process_rows(pass(now, 3000000000), &first);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].gpu_percent, 30u);
    EXPECT_EQ(rows[0].dec_percent, 2u);
    EXPECT_EQ(rows[0].enc_percent, 1u);
    EXPECT_EQ(rows[0].container, "ml/llm-train-0/trainer");
    EXPECT_EQ(rows[1].gpu_percent, 0u) << "engine time reported, none used";
    EXPECT_EQ(rows[2].gpu_percent, std::nullopt);
    EXPECT_EQ(rows[2].gpu_position, 1u);
    EXPECT_EQ(process_rows(first, nullptr)[0].gpu_percent, std::nullopt) << "the first pass";
}

TEST(ProcessRows, NamesAreCleanedForTheTerminal) {
    DeviceList devices = testing::mixed_list();
    devices[0].processes[0].name = "evil\x1b]0;title\x07\xff";
    devices[0].processes[0].pod = "pod\x1b[2J";
    const std::vector<ProcessRow> rows = process_rows(pass(devices, 1), nullptr);
    EXPECT_EQ(rows[0].name, "evil\xEF\xBF\xBD]0;title\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(rows[0].container, "pod\xEF\xBF\xBD[2J");
}

std::vector<std::uint32_t> pids(const std::vector<ProcessRow>& rows, const TopState& state) {
    std::vector<std::uint32_t> out;
    for (const std::size_t i : table_order(rows, state)) out.push_back(rows[i].pid);
    return out;
}

TEST(TableOrder, SortsFiltersAndReverses) {
    std::vector<ProcessRow> rows(6);
    const std::uint32_t vram[] = {100, 300, 300, 50, 0, 900};
    const std::uint32_t gtt[] = {5, 0, 9, 0, 700, 0};
    const char* names[] = {"Zeta", "alpha", "beta", "Alpha", "gamma", "delta"};
    for (std::uint32_t i = 0; i < 6; ++i) {
        rows[i].pid = 10 + i;
        rows[i].gpu_position = i < 3 ? 1 : 0;
        rows[i].vram_mb = vram[i];
        rows[i].gtt_mb = gtt[i];
        rows[i].name = names[i];
        rows[i].kind = i % 2 ? ProcessKind::compute : ProcessKind::graphics;
        if (i != 2) rows[i].gpu_percent = i * 10 % 40;
    }
    struct Case {
        std::string name;
        TopState state;
        std::vector<std::uint32_t> pids;
    };
    auto state = [](SortKey key, bool reversed = false, Filter filter = Filter::all,
                    std::optional<std::size_t> gpu = std::nullopt) {
        TopState s;
        s.sort = key;
        s.reversed = reversed;
        s.filter = filter;
        s.gpu = gpu;
        return s;
    };
    const std::vector<Case> cases = {
        // Equal sizes: the GPU order, then the PID order.
        {"VRAM, largest first", state(SortKey::vram), {15, 11, 12, 10, 13, 14}},
        {"VRAM reversed", state(SortKey::vram, true), {14, 13, 10, 11, 12, 15}},
        {"GPU %, no rate last", state(SortKey::gpu_percent), {13, 15, 11, 14, 10, 12}},
        {"GTT", state(SortKey::gtt), {14, 12, 10, 13, 15, 11}},
        {"PID", state(SortKey::pid), {10, 11, 12, 13, 14, 15}},
        {"PID reversed", state(SortKey::pid, true), {15, 14, 13, 12, 11, 10}},
        {"name, case-blind", state(SortKey::name), {13, 11, 12, 15, 14, 10}},
        {"compute only", state(SortKey::vram, false, Filter::compute), {15, 11, 13}},
        {"graphics only", state(SortKey::vram, false, Filter::graphics), {12, 10, 14}},
        {"one GPU", state(SortKey::vram, false, Filter::all, 1), {11, 12, 10}},
        {"one GPU, compute", state(SortKey::pid, false, Filter::compute, 0), {13, 15}},
    };
    for (const Case& c : cases) EXPECT_EQ(pids(rows, c.state), c.pids) << c.name;
}

TEST(Monitor, TheSelectionFollowsItsProcess) {
    Monitor monitor;
    DeviceList devices = testing::mixed_list();  // blender 2048 MB, python 640 MB on GPU 0
    monitor.add(pass(devices, 1));
    TopState state;
    state.selected = 1;
    const auto row = selected_row(monitor, state);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->pid, 977u);
    devices[0].processes[1].mem_used_mb = 4096;  // python now first
    monitor.add(pass(devices, 2));
    EXPECT_EQ(reselect(monitor, state, row).selected, 0u);
    devices[0].processes.pop_back();  // gone: the selection stays where it was
    monitor.add(pass(devices, 3));
    EXPECT_EQ(reselect(monitor, state, row).selected, 1u);
}

}  // namespace
}  // namespace karvo::render::top
