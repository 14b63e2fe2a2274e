// The pure pieces of the backend: UDID parsing, text fields, adapter
// selection, PMLog block reading, sensor conversions, counts, the callback.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "discovery/adl/adl_internal.h"
#include "discovery/adl/adl_library.h"

namespace karvo::discovery::adl {
namespace {

// True when none of the fan, voltage, memory-activity and throttle figures is set.
bool no_extras(const GpuDevice& d) {
    return !d.fan_rpm && !d.fan_percent && !d.voltage_soc_mv && !d.voltage_gfx_mv && !d.voltage_mem_mv &&
           !d.mem_util_percent && !d.throttle;
}

TEST(ReadText, StopsAtNulDecodesAndTrims) {
    char field[kTextSize] = {};
    std::memcpy(field, "  AMD Radeon RX 7900 XTX \t\0garbage", 34);
    EXPECT_EQ(read_text(field), "AMD Radeon RX 7900 XTX");

    std::memset(field, 0, sizeof field);
    std::memcpy(field, "GDDR\xff" "6", 6);
    EXPECT_EQ(read_text(field), "GDDR\xEF\xBF\xBD" "6");
}

TEST(ReadText, AFieldWithoutNulIsReadToItsEndOnly) {
    // The field sits between guard bytes; nothing past its 256 bytes is read.
    struct {
        char field[kTextSize];
        char guard[8];
    } block;
    std::memset(block.field, 'A', sizeof block.field);
    std::memcpy(block.guard, "GUARD!!", 8);
    const std::string text = read_text(block.field);
    EXPECT_EQ(text, std::string(256, 'A'));

    // A multi-byte character cut by the end of the field becomes U+FFFD.
    std::memset(block.field, 'B', sizeof block.field);
    block.field[255] = '\xC3';
    EXPECT_EQ(read_text(block.field), std::string(255, 'B') + "\xEF\xBF\xBD");
}

AdapterInfo element(int index, int vendor, int bus) {
    AdapterInfo info{};
    info.iSize = sizeof(AdapterInfo);
    info.iAdapterIndex = index;
    info.iVendorID = vendor;
    info.iBusNumber = bus;
    return info;
}

TEST(SelectAdapters, AmdVendorNonNegativeBusFirstPerBus) {
    const std::vector<AdapterInfo> table = {
        element(0, 4098, 3),   // kept
        element(1, 4098, 3),   // same bus: skipped
        element(2, 0x10DE, 5), // other vendor
        element(3, 1002, 7),   // decimal vendor digits: kept
        element(4, 4098, -1),  // no bus: never queried
        element(5, 4098, 0),   // bus 0 is a bus: kept
        element(6, 0, 0),      // unfilled element
        element(7, 1002, 7),   // same bus as 3
    };
    EXPECT_EQ(select_adapters(table), (std::vector<std::size_t>{0, 3, 5}));
    EXPECT_TRUE(select_adapters({}).empty());
}

TEST(ReadPmlogBlock, PairsUntilIdZero) {
    std::vector<std::uint32_t> block(4 + 512, 0);
    const std::uint32_t pairs[] = {8, 45, 1, 1850, 0, 77, 2, 1000};
    std::memcpy(block.data() + 4, pairs, sizeof pairs);
    const SensorMap sensors = read_pmlog_block(block.data());
    EXPECT_EQ(sensors, (SensorMap{{8, 45}, {1, 1850}}));
    EXPECT_TRUE(read_pmlog_block(nullptr).empty());
}

TEST(ReadPmlogBlock, AtMost256PairsAndLaterRepeatsWin) {
    // Exactly the header and 256 pairs: a reader going further would leave the buffer.
    std::vector<std::uint32_t> block(4 + 512);
    for (std::uint32_t pair = 0; pair < 256; ++pair) {
        block[4 + 2 * pair] = pair + 1;
        block[5 + 2 * pair] = 1000 + pair;
    }
    block[4 + 2 * 10] = 8;  // sensor 8 again at pair 10
    SensorMap sensors = read_pmlog_block(block.data());
    EXPECT_EQ(sensors.size(), 255u);
    EXPECT_EQ(sensors.at(8), 1010u);
    EXPECT_EQ(sensors.at(256), 1255u);
}

TEST(ApplySensors, ConversionsAndPowerPrecedence) {
    GpuDevice device;
    apply_sensors(device, {{8, 45}, {27, 70}, {9, 60}, {1, 2400}, {2, 1250}, {19, 99},
                           {73, 2505}, {23, 1000}, {30, 900}, {40, 16000}, {41, 65552}});
    EXPECT_EQ(device.temp_edge_c, 45.0f);
    EXPECT_EQ(device.temp_hotspot_c, 70.0f);
    EXPECT_EQ(device.temp_vram_c, 60.0f);
    EXPECT_EQ(device.gfx_clock_mhz, 2400u);
    EXPECT_EQ(device.mem_clock_mhz, 1250u);
    EXPECT_EQ(device.gfx_util_percent, 99u);
    EXPECT_EQ(device.power_w, 250.5f);
    EXPECT_EQ(device.pcie_speed_gt, 16u);
    EXPECT_EQ(device.pcie_width, 16u);

    GpuDevice asic;
    apply_sensors(asic, {{23, 455}, {30, 900}});
    EXPECT_EQ(asic.power_w, 45.5f);
    GpuDevice gfx;
    apply_sensors(gfx, {{30, 455}});
    EXPECT_EQ(gfx.power_w, 45.5f);
}

TEST(ApplySensors, MissingSensorsKeepTheFields) {
    GpuDevice device;
    device.temp_edge_c = 30.0f;
    device.pcie_width = 8;
    device.pcie_speed_gt = 8;
    apply_sensors(device, {{27, 4294967295u}, {40, 999}});
    EXPECT_EQ(device.temp_edge_c, 30.0f);
    EXPECT_EQ(device.temp_hotspot_c, 4294967295.0f);  // readings are unsigned
    EXPECT_EQ(device.pcie_width, 8u);
    EXPECT_EQ(device.pcie_speed_gt, 0u);
    EXPECT_FALSE(device.power_w.has_value());
    EXPECT_FALSE(device.gfx_clock_mhz.has_value());
}

TEST(ApplySensors, FanVoltagesMemoryActivityAndThrottlerStatus) {
    GpuDevice device;
    apply_sensors(device, {{14, 0}, {15, 100}, {16, 905}, {20, 37}, {21, 1120}, {22, 1350}, {35, 0}});
    EXPECT_EQ(device.fan_rpm, 0u);  // a fan stopped at idle is a reading
    EXPECT_EQ(device.fan_percent, 100u);
    EXPECT_EQ(device.voltage_soc_mv, 905u);
    EXPECT_EQ(device.voltage_gfx_mv, 1120u);
    EXPECT_EQ(device.voltage_mem_mv, 1350u);
    EXPECT_EQ(device.mem_util_percent, 37u);
    EXPECT_EQ(device.throttle, std::vector<std::string>{});

    GpuDevice throttled;
    apply_sensors(throttled, {{35, 0x80}});
    EXPECT_EQ(throttled.throttle, std::vector<std::string>{"other"});

    // Out of range or all ones (a negative reading): not reported.
    GpuDevice wild;
    apply_sensors(wild, {{14, 70000}, {15, 101}, {16, 0xFFFFFFFFu}, {20, 255}, {21, 10001}, {22, 0x80000000u},
                         {35, 0xFFFFFFFFu}});
    EXPECT_TRUE(no_extras(wild));
}

TEST(OverdriveExtras, ThrottleFlagsInReasonOrder) {
    using Reasons = std::optional<std::vector<std::string>>;
    const std::vector<std::pair<int, Reasons>> cases = {
        {0, Reasons{std::vector<std::string>{}}},
        {1, Reasons{{"power"}}},
        {2, Reasons{{"thermal"}}},
        {4, Reasons{{"current"}}},
        {7, Reasons{{"power", "current", "thermal"}}},
        {8, Reasons{{"other"}}},
        {0x40000006, Reasons{{"current", "thermal", "other"}}},
        {-1, std::nullopt},
    };
    for (const auto& [flags, expected] : cases) EXPECT_EQ(throttle_from_flags(flags), expected) << flags;
}

TEST(OverdriveExtras, FanStateByMode) {
    const auto fan = [](int mode, int speed) {
        ADLODNFanControl state{};
        state.iCurrentFanSpeedMode = mode;
        state.iCurrentFanSpeed = speed;
        return state;
    };
    GpuDevice device;
    apply_fan_control(device, fan(1, 42));
    apply_fan_control(device, fan(2, 1800));
    EXPECT_EQ(device.fan_percent, 42u);
    EXPECT_EQ(device.fan_rpm, 1800u);
    apply_fan_control(device, fan(1, 60));  // figures already there stay
    apply_fan_control(device, fan(2, 900));
    EXPECT_EQ(device.fan_percent, 42u);
    EXPECT_EQ(device.fan_rpm, 1800u);

    GpuDevice untouched;
    for (const auto& state : {fan(1, 101), fan(1, -1), fan(2, -1), fan(2, 65536), fan(0, 50), fan(3, 50)}) {
        apply_fan_control(untouched, state);
    }
    EXPECT_TRUE(no_extras(untouched));
}

TEST(AdapterCount, NegativeIsNoneAndHugeIsCapped) {
    EXPECT_EQ(usable_adapter_count(-5), 0);
    EXPECT_EQ(usable_adapter_count(0), 0);
    EXPECT_EQ(usable_adapter_count(12), 12);
    EXPECT_EQ(usable_adapter_count(0x7FFFFFFF), kMaxAdapters);
    const auto table = make_adapter_table(3);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table_byte_size(table), 3 * 1572);
    for (const auto& info : table) {
        EXPECT_EQ(info.iSize, 1572);
        EXPECT_EQ(info.iVendorID, 0);
    }
    EXPECT_TRUE(make_adapter_table(-1).empty());
}

TEST(AllocationCallback, BlocksBelongToTheCurrentArenaAndEndWithIt) {
    EXPECT_EQ(adl_memory_alloc(64), nullptr);  // outside any use of the library
    {
        CallbackArena use;
        EXPECT_EQ(adl_memory_alloc(0), nullptr);
        EXPECT_EQ(adl_memory_alloc(-1), nullptr);
        EXPECT_EQ(adl_memory_alloc(-2147483647 - 1), nullptr);
        for (int i = 0; i < 40; ++i) std::memset(adl_memory_alloc(64), 0x5A, 64);
        {
            CallbackArena inner;
            std::memset(adl_memory_alloc(8), 0x5A, 8);
            EXPECT_EQ(CallbackArena::live_blocks(), 41u);
        }
        EXPECT_EQ(CallbackArena::live_blocks(), 40u);
        EXPECT_NE(adl_memory_alloc(1), nullptr);  // the outer arena is current again
    }
    EXPECT_EQ(CallbackArena::live_blocks(), 0u);
    EXPECT_EQ(adl_memory_alloc(64), nullptr);
}

}  // namespace
}  // namespace karvo::discovery::adl
