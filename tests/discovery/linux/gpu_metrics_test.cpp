// The gpu_metrics parser over tables built byte by byte: one busy table per
// layout family, then the ways a table goes wrong.
#include <gtest/gtest.h>

#include "discovery/linux/gpu_metrics.h"
#include "fixtures/gpu_metrics_builder.h"

namespace karvo::discovery::linux {
namespace {

using Blob = testing::GpuMetricsBlob;
using Type = Blob::Type;
using Reasons = std::vector<std::string>;

struct Case {
    std::string name;
    std::string bytes;
    GpuMetrics want;
};

void expect_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const GpuMetrics got = parse_gpu_metrics(c.bytes);
        const GpuMetrics& want = c.want;
#define KARVO_SAME(field) EXPECT_EQ(got.field, want.field) << #field
        KARVO_SAME(format_revision); KARVO_SAME(content_revision); KARVO_SAME(temp_edge_c);
        KARVO_SAME(temp_hotspot_c); KARVO_SAME(temp_vram_c); KARVO_SAME(gfx_util_percent);
        KARVO_SAME(mem_util_percent); KARVO_SAME(media_util_percent); KARVO_SAME(power_w); KARVO_SAME(energy_j);
        KARVO_SAME(gfx_clock_mhz); KARVO_SAME(mem_clock_mhz); KARVO_SAME(fan_rpm); KARVO_SAME(voltage_gfx_mv);
        KARVO_SAME(voltage_soc_mv); KARVO_SAME(voltage_mem_mv); KARVO_SAME(throttle); KARVO_SAME(pcie_width);
        KARVO_SAME(pcie_speed_gt);
#undef KARVO_SAME
    }
}

// An RDNA3 card at work (1.3); the current gfxclk is unsupported.
Blob navi31() {
    return Blob(1, 3, 120).u16(4, 45).u16(6, 71).u16(8, 62).u16(16, 37).u16(18, 12).u16(20, 5).u16(22, 212)
        .u64(24, 0x200000000).u16(40, 2400).u16(44, 1249).u16(58, 1250).u32(68, 1).u16(72, 1100).u16(74, 16)
        .u16(76, 25).u16(104, 850).u16(106, 1050).u16(108, 1350).u64(112, 1ull << 0 | 1ull << 35);
}
const GpuMetrics kNavi31{1, 3, 45, 71, 62, 37, 12, 5, 212, 131072, 2400, 1250, 1100, 1050, 850, 1350,
                         Reasons{"power", "thermal"}, 16, 2};

TEST(GpuMetrics, EveryLayoutFamily) {
    std::vector<Case> cases{
        {"1.0 Vega 20",
         Blob(1, 0, 80).u16(16, 45).u16(18, 61).u16(20, 52).u16(28, 97).u16(30, 38).u16(32, 0).u16(34, 212)
             .u32(36, 0x12340000).u16(40, 1650).u16(54, 1701).u16(44, 1000).u16(58, 1001).u32(68, 4)
             .u16(72, 1850).u8(74, 16).u8(75, 160).bytes(),
         {1, 0, 45, 61, 52, 97, 38, 0, 212, 4660, 1701, 1001, 1850, {}, {}, {}, Reasons{"other"}, 16, 16}},
        {"1.3 Navi 31", navi31().bytes(), kNavi31},
        {"1.9 records",
         Blob::records().record(50, Type::u64, 0, {1, 2, 3}).record(0, Type::s16, Blob::celsius, {70})
             .record(1, Type::u16, Blob::celsius, {60}).record(3, Type::u16, Blob::watt, {550})
             .record(4, Type::u16, Blob::percent, {40}).record(5, Type::u8, Blob::percent, {20})
             .record(7, Type::u64, 0, {65536 * 5}).record(16, Type::u16, 0, {16})
             .record(17, Type::u16, Blob::gt_per_s, {32}).record(33, Type::u16, Blob::mhz, {0xFFFF, 2100, 2090})
             .record(37, Type::u32, Blob::mhz, {1300}).bytes(),
         {.format_revision = 1, .content_revision = 9, .temp_hotspot_c = 70, .temp_vram_c = 60,
          .gfx_util_percent = 40, .mem_util_percent = 20, .power_w = 550, .energy_j = 5, .gfx_clock_mhz = 2100,
          .mem_clock_mhz = 1300, .pcie_width = 16, .pcie_speed_gt = 32}},
        {"2.0 Renoir",
         Blob(2, 0, 120).u16(16, 4550).u16(40, 3750).u16(42, 1000).u16(44, 15250).u16(68, 1700).u16(80, 1800)
             .u16(72, 2400).u32(112, 0).bytes(),
         {.format_revision = 2, .temp_edge_c = 45.5f, .gfx_util_percent = 38, .media_util_percent = 10,
          .power_w = 15.25f, .gfx_clock_mhz = 1800, .mem_clock_mhz = 2400, .throttle = Reasons{}}},
        {"2.1 Phoenix, current clocks unsupported",
         Blob(2, 1, 120).u16(4, 5200).u16(28, 120).u16(30, 0).u16(40, 8000).u16(64, 800).u16(68, 2800)
             .u32(108, 0x20).bytes(),
         {.format_revision = 2, .content_revision = 1, .temp_edge_c = 52, .gfx_util_percent = 1,
          .media_util_percent = 0, .power_w = 8, .gfx_clock_mhz = 800, .mem_clock_mhz = 2800,
          .throttle = Reasons{"other"}}},
        {"2.4 Van Gogh",
         Blob(2, 4, 168).u16(4, 6125).u16(28, 9999).u16(40, 9500).u16(76, 1600).u16(80, 1000).u32(108, 0)
             .u64(120, 1ull << 16 | 1ull << 47).u16(152, 1200).u16(154, 900).u16(156, 1100).bytes(),
         {.format_revision = 2, .content_revision = 4, .temp_edge_c = 61.25f, .gfx_util_percent = 100,
          .power_w = 9.5f, .gfx_clock_mhz = 1600, .mem_clock_mhz = 1000, .voltage_gfx_mv = 1100,
          .voltage_soc_mv = 900, .throttle = Reasons{"current", "prochot"}}},
        {"3.0 Strix Point",
         Blob(3, 0, 264).u16(4, 4825).u16(42, 35).u16(44, 2500).u32(112, 23500).u16(174, 2900).u16(186, 1000)
             .bytes(),
         {.format_revision = 3, .temp_edge_c = 48.25f, .gfx_util_percent = 35, .media_util_percent = 25,
          .power_w = 23.5f, .gfx_clock_mhz = 2900, .mem_clock_mhz = 1000}},
    };
    // MI300/MI350 (1.4 to 1.8): the same leading fields, the rest moved about.
    struct Mi300 {
        unsigned content, size, energy, throttle, pcie, gfxclk, uclk;
    };
    for (const Mi300 l : {Mi300{4, 288, 24, 40, 48, 240, 280}, Mi300{5, 360, 88, 104, 112, 312, 352},
                          Mi300{6, 1664, 16, 0, 60, 264, 304}, Mi300{7, 2208, 24, 0, 68, 296, 336},
                          Mi300{8, 3872, 24, 0, 68, 296, 336}}) {
        Blob blob = Blob(1, l.content, l.size).u16(4, 55).u16(6, 48).u16(10, 550).u16(12, 93).u16(14, 20);
        blob.u64(l.energy, 65536ull * 1000).u16(l.pcie, 16).u16(l.pcie + 2, 320).u16(l.gfxclk + 2, 2100);
        blob.u16(l.gfxclk + 4, 2000).u16(l.uclk, 1300);
        if (l.throttle != 0) blob.u32(l.throttle, 0);
        if (l.content <= 5) blob.u16(16, 0xFFFF).u16(18, 7).u16(20, 30).u16(22, 200);  // vcn_activity[4]
        cases.push_back({"1." + std::to_string(l.content) + " MI300", blob.bytes(),
                         {1, static_cast<std::uint8_t>(l.content), {}, 55, 48, 93, 20,
                          l.content <= 5 ? std::optional(30u) : std::nullopt, 550, 1000, 2100, 1300, {}, {}, {}, {},
                          l.throttle != 0 ? std::optional(Reasons{}) : std::nullopt, 16, 32}});
    }
    expect_cases(cases);
}

TEST(GpuMetrics, TablesThatGoWrong) {
    GpuMetrics navi31_cut = kNavi31;  // 60 bytes reach up to current_uclk
    navi31_cut.fan_rpm = navi31_cut.voltage_gfx_mv = navi31_cut.voltage_soc_mv = navi31_cut.voltage_mem_mv = {};
    navi31_cut.pcie_width = navi31_cut.pcie_speed_gt = {};
    navi31_cut.throttle = {};
    const GpuMetrics v1_3{.format_revision = 1, .content_revision = 3};
    expect_cases({
        {"empty", "", {}},
        {"short header", std::string("\x78\x00\x01", 3), {}},
        {"all ones", Blob(1, 3, 120).bytes(), v1_3},
        {"cut short", navi31().truncate(60).bytes(), navi31_cut},
        {"structure_size far beyond the bytes", navi31().header(0xFFFF, 1, 3).bytes(), kNavi31},
        {"structure_size below the bytes", navi31().header(60, 1, 3).bytes(), navi31_cut},
        {"absurd readings", navi31().fill(4, 116).u16(4, 250).u16(16, 150).u16(74, 0).u16(76, 5).bytes(), v1_3},
        {"energy 32-bit unsupported in 64 bits (RDNA4)", Blob(1, 3, 120).u64(24, 0xFFFFFFFF).bytes(), v1_3},
        {"energy left at 0 (RDNA3 laptop parts)", Blob(1, 3, 120).u64(24, 0).bytes(), v1_3},
        {"energy beyond 32 bits", Blob(1, 3, 120).u64(24, 0x100000000).bytes(),
         {.format_revision = 1, .content_revision = 3, .energy_j = 65536}},
        {"early 384-byte 1.6", Blob(1, 6, 384).fill(4, 380, 0).bytes(), {.format_revision = 1, .content_revision = 6}},
        {"first 224-byte 3.0", Blob(3, 0, 224).u16(4, 4000).u16(42, 4200).u32(112, 5000).u16(174, 2900).bytes(),
         {.format_revision = 3, .temp_edge_c = 40, .gfx_util_percent = 42, .power_w = 5}},
        {"2.2 socket power in watts (Renoir)", Blob(2, 2, 128).u16(40, 15).bytes(),
         {.format_revision = 2, .content_revision = 2, .power_w = 15}},
    });
    const std::pair<int, int> unknown[] = {{0, 0}, {1, 10}, {2, 5}, {3, 1}, {4, 0}, {255, 255}};
    for (const auto& [format, content] : unknown) {
        const auto m = parse_gpu_metrics(Blob(format, content, 4096).fill(4, 4092, 0));
        EXPECT_EQ(m.format_revision, format);
        EXPECT_EQ(m.content_revision, content);
        EXPECT_FALSE(m.temp_edge_c || m.temp_hotspot_c || m.gfx_util_percent || m.power_w || m.gfx_clock_mhz);
    }
}

TEST(GpuMetrics, RecordsThatGoWrong) {
    const auto hot = [] { return Blob::records().record(0, Type::u16, Blob::celsius, {70}); };
    const GpuMetrics none{.format_revision = 1, .content_revision = 9}, hot70{1, 9, {}, 70};
    GpuMetrics both = hot70;
    both.temp_vram_c = 60;
    expect_cases({
        {"no records", Blob::records().bytes(), none},
        {"negative count", hot().attr_count(-1).bytes(), none},
        {"count beyond the records", hot().attr_count(0x7FFFFFFF).bytes(), hot70},
        {"count below the records", hot().record(1, Type::u16, 0, {60}).attr_count(1).bytes(), hot70},
        {"values cut short", hot().record(1, Type::u64, 0, {60}).truncate(29).bytes(), hot70},
        {"structure_size ends a record early", hot().record(1, Type::u16, 0, {60}).put(0, 20, 2).bytes(), hot70},
        {"unknown type ends the walk", hot().record(1, Type::u16, 0, {60}).put(18, Blob::encoding(1, 9, 0, 1), 8)
                                           .bytes(), hot70},
        {"unit at odds, negative, all ones", Blob::records().record(0, Type::u16, Blob::mhz, {70})
                                                 .record(0, Type::s16, 0, {0xFFF6, 0xFFFF}).record(0, Type::u8, 0, {70})
                                                 .record(1, Type::u32, 0, {60}).bytes(), both},
        {"no instances", Blob::records().record(0, Type::u16, 0, {}).record(1, Type::u16, 0, {60}).bytes(),
         {1, 9, {}, {}, 60}},
    });
}

TEST(GpuMetrics, ThrottleReasons) {
    const std::pair<std::uint64_t, Reasons> cases[] = {
        {0, {}}, {1ull << 7, {"power"}}, {1ull << 16 | 1ull << 23, {"current"}}, {1ull << 32, {"thermal"}},
        {1ull << 45, {"thermal"}}, {1ull << 46, {"prochot"}}, {1ull << 47, {"prochot"}}, {1ull << 56, {"other"}},
        {1ull << 57, {"other"}}, {1ull << 8, {"other"}}, {~0ull - 1, {"power", "current", "thermal", "prochot", "other"}},
    };
    for (const auto& [bits, reasons] : cases)
        EXPECT_EQ(parse_gpu_metrics(Blob(1, 3, 120).u32(68, 0).u64(112, bits)).throttle, reasons) << bits;
    EXPECT_FALSE(parse_gpu_metrics(Blob(1, 3, 120).u32(68, 1)).throttle);  // indep unsupported
    EXPECT_EQ(parse_gpu_metrics(Blob(1, 1, 96).u32(68, 0x80000000)).throttle, Reasons{"other"});
    EXPECT_EQ(parse_gpu_metrics(Blob(2, 2, 128).u32(108, 0).u64(120, 1ull << 4)).throttle, Reasons{"power"});
}

}  // namespace
}  // namespace karvo::discovery::linux
