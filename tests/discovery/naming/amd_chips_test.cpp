// The chip tables at the edges of their rows (GC versions and memory codes: driver_info_test.cpp).
#include "discovery/naming/amd_chips.h"

#include <gtest/gtest.h>

namespace karvo::discovery::naming {
namespace {

using Text = std::optional<std::string_view>;

TEST(AmdChips, DeviceIdRowEdges) {
    struct Case {
        std::uint32_t id;
        Text target, hbm, apu;
    };
    const Case cases[] = {
        {0x1303, {}, {}, {}},
        {0x1304, "gfx700", {}, "DDR3"},       // Kaveri, first
        {0x131D, "gfx700", {}, "DDR3"},       // Kaveri, last
        {0x131E, {}, {}, {}},
        {0x163F, {}, {}, "LPDDR5"},           // Steam Deck: IP discovery gives its target
        {0x15DD, "gfx902", {}, "DDR4"},
        {0x67DF, "gfx803", {}, {}},           // RX 580
        {0x687F, "gfx900", "HBM2", {}},       // Vega 56/64
        {0x6880, {}, {}, {}},
        {0x66AF, "gfx906", "HBM2", {}},       // Radeon VII
        {0x730F, "gfx803", "HBM", {}},        // Fiji
        {0x740F, "gfx90a", "HBM2e", {}},      // MI210
        {0x74A0, {}, "HBM3", "HBM3"},         // MI300A: an APU on HBM3
        {0x74A5, {}, "HBM3e", {}},            // MI325X
        {0x731F, {}, {}, {}},                 // RX 5700 XT: IP discovery gives its target
        {0x98E4, "gfx810", {}, "DDR4"},
        {0xFFFFFFFF, {}, {}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gfx_target_for_legacy_device_id(c.id), c.target) << std::hex << c.id;
        EXPECT_EQ(hbm_type_for_device_id(c.id), c.hbm) << std::hex << c.id;
        EXPECT_EQ(apu_memory_for_device_id(c.id), c.apu) << std::hex << c.id;
    }
}

}  // namespace
}  // namespace karvo::discovery::naming
