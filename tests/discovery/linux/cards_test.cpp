// The card scan and the SMBIOS memory code over small trees made here.
#include <gtest/gtest.h>

#include <functional>

#include "fixtures/card_builder.h"
#include "discovery/linux/gpu_metrics.h"
#include "discovery/linux/linux_pass.h"
#include "platform/host.h"
#include "platform/system.h"

namespace karvo::discovery::linux {
namespace {

using testing::Bridge;
using testing::CardBuilder;

class Scan : public ::testing::Test {
protected:
    void SetUp() override {
        if (platform::kWindowsHost) GTEST_SKIP() << "Linux trees (symbolic links) only";
    }
    testing::SysTree tree;
};

// One scan; `queries` counts the system memory queries, which answer `code`.
CardScan scan(const testing::SysTree& tree, std::optional<std::uint32_t> code = std::nullopt,
              int* queries = nullptr) {
    return scan_cards(Root{tree.root()}, [&] {
        if (queries != nullptr) ++*queries;
        return code;
    });
}

GpuDevice only_device(const testing::SysTree& tree) {
    auto result = scan(tree);
    EXPECT_EQ(result.devices.size(), 1u);
    return result.devices.empty() ? GpuDevice{} : result.devices[0];
}

// Every field of a busy card is checked in exact bytes by the JSON run of
// linux_binary_test.cpp; here what only the scan shows.
TEST_F(Scan, CardRefsAndDriverVersion) {
    CardBuilder(tree, "card0", "0000:03:00.0").sensors().kfd_node(1, "110000", 48213);
    tree.file("sys/module/amdgpu/version", "6.10.5\n").file("proc/sys/kernel/osrelease", "6.8.0-45-generic\n");
    int queries = 0;
    const auto result = scan(tree, 34, &queries);
    ASSERT_EQ(result.cards.size(), 1u);
    EXPECT_EQ(result.cards[0].bdf, "0000:03:00.0");
    EXPECT_EQ(result.cards[0].kfd_gpu_id, 48213u);
    EXPECT_EQ(result.devices[0].driver_version, "6.10.5");
    EXPECT_EQ(queries, 0);  // a discrete card never asks for the system memory

    // No amdgpu version of its own (built into the kernel): the kernel release.
    tree.remove("sys/module/amdgpu/version");
    EXPECT_EQ(only_device(tree).driver_version, "6.8.0-45-generic");
}

TEST_F(Scan, OnlyAmdgpuCardsInPciAddressOrder) {
    CardBuilder(tree, "card0", "0000:0a:00.0");
    CardBuilder(tree, "card1", "0001:01:00.0");
    CardBuilder(tree, "card2", "0000:03:00.0");
    CardBuilder(tree, "card3", "0000:04:00.0").attr("vendor", "0x10de\n");
    CardBuilder(tree, "card4", "0000:05:00.0");
    tree.link("sys/devices/pci0000:00/0000:05:00.0/driver", "../../../bus/pci/drivers/vfio-pci");
    CardBuilder(tree, "card10", "0000:03:00.1");
    // Not cards, though they lead to amdgpu functions.
    CardBuilder(tree, "card0-DP-1", "0000:06:00.0");
    CardBuilder(tree, "renderD128", "0000:07:00.0");
    CardBuilder(tree, "cardx", "0000:08:00.0");
    CardBuilder(tree, "card", "0000:09:00.0");

    const auto result = scan(tree);
    std::vector<std::string> order;
    for (const auto& device : result.devices) order.push_back(device.bdf);
    EXPECT_EQ(order, (std::vector<std::string>{"0000:03:00.0", "0000:03:00.1", "0000:0a:00.0", "0001:01:00.0"}));
    ASSERT_EQ(result.cards.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(result.devices[i].index, i);
        EXPECT_EQ(result.cards[i].position, i);
        EXPECT_EQ(result.cards[i].bdf, order[i]);
        EXPECT_FALSE(result.cards[i].kfd_gpu_id.has_value());
    }
}

TEST_F(Scan, NamesAndGraphicsTargets) {
    // The built-in list knows 744C C8 (and first) as the RX 7900 XTX, 7470 as the Pro W7700.
    const std::string xtx = "AMD Radeon RX 7900 XTX";
    struct Case {
        const char* ids;           // the system's amdgpu.ids, nullptr for none
        const char* product_name;  // nullptr for none
        const char* device;
        const char* revision;
        const char* kfd_target;  // nullptr for no KFD node
        std::string name, gfx;
    };
    const Case cases[] = {
        {"1.0.0\n744C,\tC0,\tFirst\r\n744C,\tC8,\tExact\n", nullptr, "0x744c", "0xc8", "110000", "Exact", "gfx1100"},
        {"744C,\tC0,\tFirst\n", "Board", "0x744c", "0xc8", "90010", xtx, "gfx90a"},
        {"744C,\tC0,\tFirst\n744C,\tC1,\tSecond\n", nullptr, "0x744c", "0x01", nullptr, "First", "gfx1100"},
        {"744C,   01,   Spaced\n", nullptr, "0x744c", "0x01", nullptr, "Spaced", "gfx1100"},
        {nullptr, nullptr, "0x744c", "0x01", nullptr, xtx, "gfx1100"},
        {nullptr, nullptr, "0x7481", "0xc7", nullptr, "AMD Steam Machine", "gfx1102"},
        {"#1234,\t00,\tCommented\n", " Board FRU \n", "0x1234", "0x00", "110501", "Board FRU", "gfx1151"},
        {nullptr, nullptr, "0x7470", "0xc8", nullptr, "AMD Radeon Pro W7700", "gfx1101"},
        {"\xff\xfe\x00garbage,,\n", "", "0x1234", "0x00", nullptr, "AMD GPU", "unknown"},
        {nullptr, nullptr, "0x744c", "0xc8", "0", xtx, "gfx1100"},
        {nullptr, nullptr, "0x744c", "0xc8", "110017", xtx, "gfx11011"},
    };
    for (const auto& c : cases) {
        testing::SysTree own;
        CardBuilder card(own, "card0", "0000:03:00.0");
        card.attr("device", c.device).attr("revision", c.revision);
        if (c.ids) own.file("usr/share/libdrm/amdgpu.ids", c.ids);
        if (c.product_name) card.attr("product_name", c.product_name);
        if (c.kfd_target) card.kfd_node(1, c.kfd_target, 7, 120);
        const auto result = scan(own);
        ASSERT_EQ(result.devices.size(), 1u);
        EXPECT_EQ(result.devices[0].market_name, c.name) << c.name;
        EXPECT_EQ(result.devices[0].gfx_version, c.gfx) << c.name;
        EXPECT_EQ(result.devices[0].num_cu, c.kfd_target ? 60u : 0u) << c.name;
        EXPECT_EQ(result.cards[0].kfd_gpu_id, c.kfd_target ? std::optional<std::uint32_t>(7) : std::nullopt);
    }
}

TEST_F(Scan, SensorSourcesAndFallbacks) {
    struct Case {
        const char* what;
        std::function<void(CardBuilder&)> change;
        std::optional<float> power;
        std::optional<std::uint32_t> gfx_clock, mem_clock;
        std::uint32_t speed;
        std::uint16_t width;
    };
    const Case cases[] = {
        {"all", [](CardBuilder&) {}, 212.25f, 2482, 1249, 16, 16},
        {"both powers: the instantaneous one",
         [](CardBuilder& c) { c.hwmon("power1_average", "99000000\n"); }, 212.25f, 2482, 1249, 16, 16},
        {"only power1_average",
         [](CardBuilder& c) { c.remove("hwmon/hwmon3/power1_input").hwmon("power1_average", "99500000"); }, 99.5f,
         2482, 1249, 16, 16},
        {"no power", [](CardBuilder& c) { c.remove("hwmon/hwmon3/power1_input"); }, std::nullopt, 2482, 1249, 16,
         16},
        {"clocks from the DPM tables",
         [](CardBuilder& c) {
             c.remove("hwmon/hwmon3/freq1_label").hwmon("freq2_label", "other\n").attr("pp_dpm_sclk", "S: 19Mhz *\n0: 500Mhz\n");
         },
         212.25f, 19, 1249, 16, 16},
        {"no clock anywhere",
         [](CardBuilder& c) {
             c.remove("hwmon/hwmon3/freq1_label").remove("hwmon/hwmon3/freq2_label");
             c.attr("pp_dpm_sclk", "0: 500Mhz\n").remove("pp_dpm_mclk");
         },
         212.25f, std::nullopt, std::nullopt, 16, 16},
        {"no pp_dpm_pcie", [](CardBuilder& c) { c.remove("pp_dpm_pcie").attr("current_link_speed", "8 GT/s\n").attr("current_link_width", "8"); },
         212.25f, 2482, 1249, 8, 8},
        {"unknown link speed",
         [](CardBuilder& c) { c.remove("pp_dpm_pcie").attr("current_link_speed", "Unknown speed\n"); }, 212.25f,
         2482, 1249, 0, 1},
        {"odd DPM line",
         [](CardBuilder& c) { c.attr("pp_dpm_pcie", "0: fastGT/s *\n"); }, 212.25f, 2482, 1249, 2, 1},
    };
    for (const auto& c : cases) {
        testing::SysTree own;
        CardBuilder card(own, "card0", "0000:03:00.0");
        card.sensors();
        c.change(card);
        const GpuDevice d = only_device(own);
        EXPECT_EQ(d.power_w, c.power) << c.what;
        EXPECT_EQ(d.gfx_clock_mhz, c.gfx_clock) << c.what;
        EXPECT_EQ(d.mem_clock_mhz, c.mem_clock) << c.what;
        EXPECT_EQ(d.pcie_speed_gt, c.speed) << c.what;
        EXPECT_EQ(d.pcie_width, c.width) << c.what;
    }
}

TEST_F(Scan, SuspendedCardIsNotWokenUp) {
    CardBuilder(tree, "card0", "0000:03:00.0").sensors().attr("power/runtime_status", "suspended\n");
    const GpuDevice d = only_device(tree);
    for (const auto& reading : {d.temp_edge_c, d.temp_hotspot_c, d.temp_vram_c, d.power_w, d.power_cap_w})
        EXPECT_FALSE(reading.has_value());
    for (const auto& reading : {d.gfx_clock_mhz, d.mem_clock_mhz, d.gfx_util_percent}) EXPECT_FALSE(reading.has_value());
    // What the PCI function and the memory manager say is still there.
    EXPECT_EQ(d.pcie_speed_gt, 2u);
    EXPECT_EQ(d.pcie_width, 1u);
    EXPECT_EQ(d.vram_total_mb, 24560u);
    EXPECT_EQ(d.vram_vendor, "samsung");
}

TEST_F(Scan, MalformedFilesNeverFailThePass) {
    const std::string huge(100000, '9');
    const char* attributes[] = {"device", "revision", "subsystem_vendor", "subsystem_device", "mem_info_vram_total",
                                "mem_info_vram_used", "gpu_busy_percent", "pp_dpm_sclk", "pp_dpm_mclk",
                                "pp_dpm_pcie", "current_link_speed", "current_link_width", "unique_id",
                                "hwmon/hwmon3/temp1_input", "hwmon/hwmon3/temp2_label", "hwmon/hwmon3/freq1_input",
                                "hwmon/hwmon3/power1_input", "hwmon/hwmon3/power1_cap", "hwmon/hwmon3/pwm1",
                                "hwmon/hwmon3/fan1_input", "hwmon/hwmon3/in0_input", "mem_info_gtt_total",
                                "mem_busy_percent", "vcn_busy_percent", "ras/umc_err_count", "ras/gfx_err_count",
                                "gpu_metrics", "max_link_speed", "max_link_width"};
    for (const std::string& bad : {std::string(), std::string("\x00\xff\x7f\x80 *\n", 7),
                                  std::string("18446744073709551616\n"), std::string("-1\n"), huge,
                                  std::string("0x\n"), std::string("1: *\n")}) {
        testing::SysTree own;
        CardBuilder card(own, "card0", "0000:03:00.0");
        card.sensors().telemetry().kfd_node(1, bad, 1, 0);
        for (const char* name : attributes) card.attr(name, bad);
        own.file("usr/share/libdrm/amdgpu.ids", bad).file("sys/module/amdgpu/version", bad);
        const GpuDevice d = only_device(own);
        EXPECT_EQ(d.device_id, 0u);
        EXPECT_EQ(d.vram_total_mb, 0u);
        if (bad != "-1\n") {
            EXPECT_FALSE(d.temp_edge_c.has_value());  // -1 would be -0.001 C
        }
        EXPECT_FALSE(d.temp_hotspot_c.has_value());  // its label is unreadable as "junction"
        EXPECT_FALSE(d.gfx_clock_mhz.has_value());
        EXPECT_FALSE(d.power_w.has_value());
        EXPECT_FALSE(d.gfx_util_percent.has_value());
        EXPECT_EQ(d.pcie_speed_gt, 0u);
        EXPECT_EQ(d.market_name, "AMD GPU");
        EXPECT_EQ(d.gtt_total_mb, 0u);
        EXPECT_EQ(d.pcie_max_speed_gt, 0u);
        EXPECT_FALSE(d.fan_percent || d.ecc_correctable || d.ecc_uncorrectable);
        EXPECT_EQ(d.temp_vram_c, 62.0f);  // the good files are still read
        EXPECT_EQ(d.gtt_used_mb, 512u);
        EXPECT_LE(d.asic_serial.size(), 3 * 4096u);
    }
    // A vendor or driver that cannot be read makes no card.
    CardBuilder(tree, "card0", "0000:03:00.0").attr("vendor", "0x1002 0x1002\n");
    CardBuilder(tree, "card1", "0000:04:00.0").remove("driver").attr("driver", "amdgpu\n");
    EXPECT_TRUE(scan(tree).devices.empty());
}

TEST_F(Scan, NumbersWithoutNewlineAndNegativeTemperatures) {
    CardBuilder(tree, "card0", "0000:03:00.0").sensors().hwmon("temp1_input", "-5500").attr("gpu_busy_percent", "0");
    const GpuDevice d = only_device(tree);
    EXPECT_EQ(d.temp_edge_c, -5.5f);
    EXPECT_EQ(d.gfx_util_percent, 0u);
}

// Any figure of a record as one optional number, for tables of cases.
using Field = std::function<std::optional<std::uint64_t>(const GpuDevice&)>;
template <class T>
Field field(std::optional<T> GpuDevice::*member) {
    return [member](const GpuDevice& d) -> std::optional<std::uint64_t> {
        if (!(d.*member)) return std::nullopt;
        return static_cast<std::uint64_t>(*(d.*member));
    };
}
template <class T>
Field field(T GpuDevice::*member) {
    return [member](const GpuDevice& d) -> std::optional<std::uint64_t> { return d.*member; };
}

TEST_F(Scan, FanVoltagesSharedMemoryActivityAndErrorCounts) {
    const auto set = [](const char* name, const char* value) {
        return [=](CardBuilder& c) { c.attr(name, value); };
    };
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        const char* what;
        std::function<void(CardBuilder&)> change;
        Field figure;
        std::optional<std::uint64_t> want;
    };
    const Case cases[] = {
        {"fan", {}, field(&GpuDevice::fan_rpm), 1530},
        {"duty 128/255", {}, field(&GpuDevice::fan_percent), 50},
        {"full duty", set("hwmon/hwmon3/pwm1", "255\n"), field(&GpuDevice::fan_percent), 100},
        {"2/255 rounds up", set("hwmon/hwmon3/pwm1", "2\n"), field(&GpuDevice::fan_percent), 1},
        {"1/255 rounds down", set("hwmon/hwmon3/pwm1", "1\n"), field(&GpuDevice::fan_percent), 0},
        {"no duty above 255", set("hwmon/hwmon3/pwm1", "256\n"), field(&GpuDevice::fan_percent), std::nullopt},
        {"vddgfx", {}, field(&GpuDevice::voltage_gfx_mv), 1050},
        {"vddnb", {}, field(&GpuDevice::voltage_soc_mv), 950},
        {"vddboard is no memory rail", {}, field(&GpuDevice::voltage_mem_mv), std::nullopt},
        {"GTT total", {}, field(&GpuDevice::gtt_total_mb), 16384},
        {"GTT used", {}, field(&GpuDevice::gtt_used_mb), 512},
        {"memory activity", {}, field(&GpuDevice::mem_util_percent), 12},
        {"memory activity 100", set("mem_busy_percent", "100\n"), field(&GpuDevice::mem_util_percent), 100},
        {"memory activity 101", set("mem_busy_percent", "101\n"), field(&GpuDevice::mem_util_percent), std::nullopt},
        {"video activity", {}, field(&GpuDevice::media_util_percent), 7},
        {"correctable (de is not)", {}, field(&GpuDevice::ecc_correctable), 7},
        {"uncorrectable", {}, field(&GpuDevice::ecc_uncorrectable), 1},
        {"sum saturates", set("ras/gfx_err_count", "ue: 18446744073709551615\n"),
         field(&GpuDevice::ecc_uncorrectable), kMax},
        {"no readable count",
         [](CardBuilder& c) { c.remove("ras/umc_err_count").remove("ras/gfx_err_count"); },
         field(&GpuDevice::ecc_correctable), std::nullopt},
        {"no ras folder", [](CardBuilder& c) { c.remove("ras"); }, field(&GpuDevice::ecc_uncorrectable),
         std::nullopt},
        {"asleep: no fan", set("power/runtime_status", "suspended\n"), field(&GpuDevice::fan_rpm), std::nullopt},
        {"asleep: no activity", set("power/runtime_status", "suspended\n"), field(&GpuDevice::mem_util_percent),
         std::nullopt},
        {"asleep: GTT", set("power/runtime_status", "suspended\n"), field(&GpuDevice::gtt_used_mb), 512},
        {"asleep: errors", set("power/runtime_status", "suspended\n"), field(&GpuDevice::ecc_correctable), 7},
    };
    for (const auto& c : cases) {
        testing::SysTree own;
        CardBuilder card(own, "card0", "0000:03:00.0");
        card.sensors().telemetry();
        if (c.change) c.change(card);
        EXPECT_EQ(c.figure(only_device(own)), c.want) << c.what;
    }
}

TEST_F(Scan, PcieLinkOfTheSlotThroughTheCardsBridges) {
    // Root port (vendor 0x1022) > the card's upstream and downstream ports > the function.
    const auto layout = [](Bridge root, Bridge upstream) {
        return std::vector<Bridge>{std::move(root), std::move(upstream),
                                   {"0000:02:00.0", "0x1002", "16.0 GT/s PCIe", "16", "16.0 GT/s PCIe", "16"}};
    };
    const Bridge root{"0000:00:01.1", "0x1022", "16.0 GT/s PCIe", "16", "8.0 GT/s PCIe", "8"};
    const Bridge upstream{"0000:01:00.0", "0x1002", "32.0 GT/s PCIe", "16", "8.0 GT/s PCIe", "8"};
    const auto with = [](Bridge bridge, std::string Bridge::*member, std::string value) {
        bridge.*member = std::move(value);
        return bridge;
    };
    struct Case {
        const char* what;
        std::vector<Bridge> bridges;
        bool dpm_table;  // pp_dpm_pcie with a current line (16 GT/s x16)
        std::uint32_t speed, max_speed;
        std::uint16_t width, max_width;
    };
    const Case cases[] = {
        {"DPM table", layout(root, upstream), true, 16, 16, 16, 16},
        {"the upstream port's link", layout(root, upstream), false, 8, 16, 8, 16},
        {"a slower slot", layout(with(root, &Bridge::max_speed, "5.0 GT/s PCIe"), with(upstream, &Bridge::max_width, "8")),
         false, 8, 5, 8, 8},
        {"slot capability unknown", layout(with(with(root, &Bridge::max_speed, ""), &Bridge::max_width, ""), upstream),
         false, 8, 32, 8, 16},
        {"upstream link unknown: the function's own",
         layout(root, with(with(upstream, &Bridge::current_speed, "Unknown"), &Bridge::current_width, "")), false, 2,
         16, 1, 16},
        {"2.5 GT/s is 2", layout(root, with(upstream, &Bridge::current_speed, "2.5 GT/s PCIe")), false, 2, 16, 8, 16},
        {"no AMD bridge",
         {{"0000:00:08.1", "0x8086", "8.0 GT/s PCIe", "4", "8.0 GT/s PCIe", "4"}}, false, 2, 8, 1, 4},
    };
    for (const auto& c : cases) {
        testing::SysTree own;
        CardBuilder card(own, "card0", "0000:03:00.0", c.bridges);
        card.sensors().attr("max_link_speed", "16.0 GT/s PCIe\n").attr("max_link_width", "16\n");
        if (!c.dpm_table) card.remove("pp_dpm_pcie");
        const GpuDevice d = only_device(own);
        EXPECT_EQ(d.bdf, "0000:03:00.0") << c.what;
        EXPECT_EQ(d.pcie_speed_gt, c.speed) << c.what;
        EXPECT_EQ(d.pcie_width, c.width) << c.what;
        EXPECT_EQ(d.pcie_max_speed_gt, c.max_speed) << c.what;
        EXPECT_EQ(d.pcie_max_width, c.max_width) << c.what;
    }
    // Asleep: the DPM table is not read, the bridges are.
    CardBuilder(tree, "card0", "0000:03:00.0", layout(root, upstream)).sensors().attr("power/runtime_status", "suspended");
    EXPECT_EQ(only_device(tree).pcie_speed_gt, 8u);
}

TEST_F(Scan, GpuMetricsFillsWhatHwmonAndSysfsLack) {
    if (!parse_gpu_metrics(testing::metrics_v1_3()).temp_edge_c) GTEST_SKIP() << "built with the parser's stub";
    const std::vector<std::string> power_and_thermal{"power", "thermal"};
    CardBuilder card(tree, "card0", "0000:03:00.0");
    card.sensors().telemetry().attr("gpu_metrics", testing::metrics_v1_3());
    GpuDevice d = only_device(tree);
    EXPECT_EQ(d.temp_edge_c, 45.0f);
    EXPECT_EQ(d.gfx_clock_mhz, 2482u);
    EXPECT_EQ(d.fan_rpm, 1530u);
    EXPECT_EQ(d.voltage_gfx_mv, 1050u);
    EXPECT_EQ(d.mem_util_percent, 12u);
    EXPECT_EQ(d.voltage_mem_mv, 1350u);  // hwmon has no memory rail
    EXPECT_EQ(d.energy_j, 1000.0);
    EXPECT_EQ(d.throttle, power_and_thermal);

    card.remove("hwmon").remove("pp_dpm_sclk").remove("pp_dpm_mclk").remove("mem_busy_percent").remove("vcn_busy_percent");
    d = only_device(tree);
    EXPECT_EQ(d.temp_edge_c, 50.0f);
    EXPECT_EQ(d.temp_hotspot_c, 80.0f);
    EXPECT_EQ(d.temp_vram_c, 70.0f);
    EXPECT_EQ(d.gfx_clock_mhz, 2000u);
    EXPECT_EQ(d.mem_clock_mhz, 1000u);
    EXPECT_EQ(d.power_w, 150.0f);
    EXPECT_EQ(d.fan_rpm, 1200u);
    EXPECT_EQ(d.fan_percent, std::nullopt);
    EXPECT_EQ(d.voltage_gfx_mv, 1000u);
    EXPECT_EQ(d.voltage_soc_mv, 900u);
    EXPECT_EQ(d.mem_util_percent, 33u);
    EXPECT_EQ(d.media_util_percent, 5u);
    EXPECT_EQ(d.gfx_util_percent, 37u);  // gpu_busy_percent still answers

    card.attr("power/runtime_status", "suspended\n");
    d = only_device(tree);
    EXPECT_FALSE(d.temp_edge_c || d.energy_j || d.throttle);
}

TEST_F(Scan, SmbiosMemoryCode) {
    // type 17, length 0x28; Size word at 0x0C; Memory Type byte at 0x12.
    const auto entry = [](unsigned size, unsigned char code) {
        std::string raw(0x28, '\0');
        raw[0] = 17;
        raw[1] = 0x28;
        raw[0x0C] = static_cast<char>(size & 0xFF);
        raw[0x0D] = static_cast<char>(size >> 8);
        raw[0x12] = static_cast<char>(code);
        return raw;
    };
    const Root root{tree.root()};
    EXPECT_EQ(smbios_memory_code(root), std::nullopt);
    tree.file("sys/firmware/dmi/entries/17-0/raw", entry(0, 26));     // empty slot
    tree.file("sys/firmware/dmi/entries/17-1/raw", entry(16384, 0).substr(0, 0x12));  // cut short
    tree.file("sys/firmware/dmi/entries/17-2/raw", "");
    EXPECT_EQ(smbios_memory_code(root), std::nullopt);
    tree.file("sys/firmware/dmi/entries/17-10/raw", entry(8192, 34));
    tree.file("sys/firmware/dmi/entries/16-3/raw", entry(8192, 26));  // not a memory device
    EXPECT_EQ(smbios_memory_code(root), 34u);
    tree.file("sys/firmware/dmi/entries/17-9/raw", entry(0x100, 35));  // 9 comes before 10
    EXPECT_EQ(smbios_memory_code(root), 35u);

    // An APU's memory type comes from there.
    CardBuilder(tree, "card0", "0000:c5:00.0").attr("device", "0x1681\n");
    const auto apu = scan_cards(root, [&] { return smbios_memory_code(root); });
    ASSERT_EQ(apu.devices.size(), 1u);
    EXPECT_EQ(apu.devices[0].vram_type, "LPDDR5 (Shared)");
}

TEST_F(Scan, RootFromTheEnvironment) {
    const auto saved = platform::get_env("KARVO_SYSROOT");
    for (const auto& [value, prefix] : std::vector<std::pair<std::optional<std::string>, std::string>>{
             {std::nullopt, ""}, {"", ""}, {"/", ""}, {"/tmp/tree//", "/tmp/tree"}, {"rel", "rel"}}) {
        platform::set_env("KARVO_SYSROOT", value);
        EXPECT_EQ(root_from_environment().prefix, prefix);
    }
    platform::set_env("KARVO_SYSROOT", saved);
}

}  // namespace
}  // namespace karvo::discovery::linux
