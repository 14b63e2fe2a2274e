#include "discovery/naming/naming.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace karvo::discovery::naming {
namespace {

// A memory query that answers `code` and counts how often it was asked.
struct CountingQuery {
    std::optional<std::uint32_t> code;
    int calls = 0;
    MemoryCodeQuery function() {
        return [this] {
            ++calls;
            return code;
        };
    }
};

TEST(NamingByName, GraphicsTargets) {
    EXPECT_EQ(gfx_target_for_name("AMD Radeon 780M Graphics"), "gfx1151");
    EXPECT_EQ(gfx_target_for_name("AMD Radeon 8060S Graphics"), "gfx1151");
    EXPECT_EQ(gfx_target_for_name("AMD Radeon(TM) Graphics"), "gfx1151");
    EXPECT_EQ(gfx_target_for_name("AMD Radeon RX 7900 XTX"), "gfx1100");
    EXPECT_EQ(gfx_target_for_name("AMD Radeon RX 9070 XT"), "gfx1201");
    EXPECT_EQ(gfx_target_for_name("AMD Radeon RX 9060 XT"), "gfx1201");
    EXPECT_EQ(gfx_target_for_name("AMD Radeon 890M"), "unknown");
    EXPECT_EQ(gfx_target_for_name("AMD Radeon 880M"), "unknown");
    EXPECT_EQ(gfx_target_for_name("AMD Radeon(TM) Vega 8 Graphics"), "unknown");
    EXPECT_EQ(gfx_target_for_name(""), "unknown");
    // Case-sensitive substring tests.
    EXPECT_EQ(gfx_target_for_name("amd radeon 780m"), "unknown");
    EXPECT_EQ(gfx_target_for_name("AMD Radeon(tm) Graphics"), "unknown");
    // First matching row wins: "780M" comes before "7900".
    EXPECT_EQ(gfx_target_for_name("780M 7900"), "gfx1151");
    EXPECT_EQ(gfx_target_for_name("7900 RX 90"), "gfx1100");
}

TEST(NamingByName, IntegratedGpusShareSystemMemory) {
    CountingQuery query{35};
    EXPECT_EQ(memory_type_for_name("AMD Radeon 780M Graphics", "gfx1151", query.function()), "LPDDR5 (Shared)");
    EXPECT_EQ(query.calls, 1);
    EXPECT_EQ(memory_type_for_name("AMD Radeon(TM) Graphics", "gfx1151", query.function()), "LPDDR5 (Shared)");
    EXPECT_EQ(query.calls, 2);
    // 860M and 880M count as integrated whatever their target.
    EXPECT_EQ(memory_type_for_name("AMD Radeon 880M", "unknown", query.function()), "LPDDR5 (Shared)");
    EXPECT_EQ(memory_type_for_name("AMD Radeon 860M", "unknown", query.function()), "LPDDR5 (Shared)");
    EXPECT_EQ(query.calls, 4);
    // The target decides too, not only the name.
    EXPECT_EQ(memory_type_for_name("Something", "gfx1151", query.function()), "LPDDR5 (Shared)");
    EXPECT_EQ(query.calls, 5);
}

TEST(NamingByName, IntegratedGpusUseTheShortTable) {
    const auto shared_for = [](std::optional<std::uint32_t> code) {
        CountingQuery query{code};
        return memory_type_for_name("AMD Radeon 780M Graphics", "gfx1151", query.function());
    };
    EXPECT_EQ(shared_for(26), "DDR4 (Shared)");
    EXPECT_EQ(shared_for(30), "LPDDR4 (Shared)");
    EXPECT_EQ(shared_for(24), "DDR5 (Shared)");
    EXPECT_EQ(shared_for(32), "DDR5 (Shared)");
    EXPECT_EQ(shared_for(std::nullopt), "DDR5 (Shared)");
    EXPECT_EQ(memory_type_for_name("AMD Radeon 780M Graphics", "gfx1151", MemoryCodeQuery()), "DDR5 (Shared)");
}

TEST(NamingByName, DiscreteAndVegaGpusNeedNoQuery) {
    CountingQuery query{35};
    EXPECT_EQ(memory_type_for_name("AMD Radeon RX 7900 XTX", "gfx1100", query.function()), "GDDR6");
    EXPECT_EQ(memory_type_for_name("AMD Radeon 890M", "unknown", query.function()), "GDDR6");
    EXPECT_EQ(memory_type_for_name("AMD Radeon(TM) Vega 8 Graphics", "unknown", query.function()), "DDR4 (Shared)");
    EXPECT_EQ(memory_type_for_name("Radeon Vega 11", "unknown", query.function()), "DDR4 (Shared)");
    EXPECT_EQ(memory_type_for_name("Vega Graphics", "unknown", query.function()), "DDR4 (Shared)");
    EXPECT_EQ(memory_type_for_name("Radeon RX Vega", "unknown", query.function()), "GDDR6");
    EXPECT_EQ(memory_type_for_name("Radeon RX vega 8", "unknown", query.function()), "GDDR6");
    EXPECT_EQ(query.calls, 0);
}

TEST(NamingById, GraphicsTargetsAndRangeEdges) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0x15BF, "gfx1103"}, {0x164E, "gfx1036"}, {0x73A5, "gfx1030"}, {0x73BF, "gfx1030"}, {0x73DF, "gfx1031"},
        {0x73FF, "gfx1032"}, {0x7447, "unknown"}, {0x7448, "gfx1100"}, {0x744C, "gfx1100"}, {0x744D, "unknown"},
        {0x745E, "gfx1100"}, {0x745F, "unknown"}, {0x7460, "gfx1101"}, {0x7470, "gfx1101"}, {0x747F, "gfx1101"},
        {0x7480, "gfx1102"}, {0x749F, "gfx1102"}, {0x74A0, "unknown"}, {0x7550, "gfx1201"}, {0x7551, "gfx1201"},
        {0x7552, "unknown"}, {0x7590, "gfx1200"}, {0x7591, "unknown"}, {0x73A6, "unknown"}, {0, "unknown"},
        {0x1744C, "unknown"}, {0xFFFFFFFF, "unknown"},
    };
    for (const auto& [id, target] : cases) EXPECT_EQ(gfx_target_for_device_id(id), target) << std::hex << id;
}

TEST(NamingById, DedicatedMemoryNeedsNoQuery) {
    CountingQuery query{35};
    for (std::uint32_t id : {0x6860u, 0x6861u, 0x6863u, 0x6864u, 0x6867u, 0x686Cu, 0x687Fu})
        EXPECT_EQ(memory_type_for_device_id(id, query.function()), "HBM2") << std::hex << id;
    for (std::uint32_t id : {0x7360u, 0x73A0u, 0x73ABu})
        EXPECT_EQ(memory_type_for_device_id(id, query.function()), "HBM2e") << std::hex << id;
    for (std::uint32_t id : {0x67C0u, 0x67DFu, 0x67E0u, 0x67EFu, 0x67FFu, 0x699Fu, 0x6FDFu})
        EXPECT_EQ(memory_type_for_device_id(id, query.function()), "GDDR5") << std::hex << id;
    for (std::uint32_t id : {0u, 0x6862u, 0x744Cu, 0x1744Cu, 0x11586u})
        EXPECT_EQ(memory_type_for_device_id(id, query.function()), "GDDR6") << std::hex << id;
    EXPECT_EQ(query.calls, 0);
}

TEST(NamingById, SharedMemoryUsesTheFullTable) {
    const std::uint32_t shared_ids[] = {0x1586, 0x15BF, 0x15D8, 0x15DD, 0x15E8, 0x1636, 0x164E, 0x1681, 0x1718, 0x9874};
    for (std::uint32_t id : shared_ids) {
        CountingQuery lpddr5{35};
        EXPECT_EQ(memory_type_for_device_id(id, lpddr5.function()), "LPDDR5 (Shared)") << std::hex << id;
        EXPECT_EQ(lpddr5.calls, 1);
        CountingQuery sdram{15};
        EXPECT_EQ(memory_type_for_device_id(id, sdram.function()), "SDRAM (Shared)") << std::hex << id;
    }
}

TEST(NamingById, SharedMemoryFallsBackByFamily) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0x1586, "DDR5 (Shared)"},      {0x15BF, "DDR5 (Shared)"},      {0x15E8, "DDR5 (Shared)"},
        {0x164E, "DDR5 (Shared)"},      {0x15DD, "DDR4 (Shared)"},      {0x1636, "DDR4 (Shared)"},
        {0x1681, "DDR4 (Shared)"},      {0x15D8, "DDR4/DDR5 (Shared)"}, {0x1718, "DDR4/DDR5 (Shared)"},
        {0x9874, "DDR4/DDR5 (Shared)"},
    };
    for (const auto& [id, fallback] : cases) {
        CountingQuery failed{std::nullopt};
        EXPECT_EQ(memory_type_for_device_id(id, failed.function()), fallback) << std::hex << id;
        CountingQuery unlisted{32};
        EXPECT_EQ(memory_type_for_device_id(id, unlisted.function()), fallback) << std::hex << id;
        EXPECT_EQ(memory_type_for_device_id(id, MemoryCodeQuery()), fallback) << std::hex << id;
    }
}

TEST(MemoryTables, ShortAndFullNames) {
    const struct {
        std::uint32_t code;
        const char* short_name;
        const char* full_name;
    } rows[] = {
        {15, "DDR5", "SDRAM"},   {17, "DDR5", "RDRAM"},   {18, "DDR5", "DDR"},      {19, "DDR5", "DDR2"},
        {20, "DDR5", "DDR2 FB-DIMM"}, {24, "DDR5", "DDR3"}, {26, "DDR4", "DDR4"},   {27, "DDR5", "LPDDR"},
        {28, "DDR5", "LPDDR2"},  {29, "LPDDR3", "LPDDR3"}, {30, "LPDDR4", "LPDDR4"}, {34, "DDR5", "DDR5"},
        {35, "LPDDR5", "LPDDR5"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(short_memory_name(row.code), row.short_name) << row.code;
        EXPECT_EQ(full_memory_name(row.code), row.full_name) << row.code;
    }
    for (std::uint32_t code : {0u, 1u, 16u, 21u, 25u, 31u, 32u, 33u, 36u, 0xFFFFFFFFu}) {
        EXPECT_EQ(short_memory_name(code), "DDR5") << code;
        EXPECT_EQ(full_memory_name(code), std::nullopt) << code;
    }
    EXPECT_EQ(short_memory_name(std::nullopt), "DDR5");
}

}  // namespace
}  // namespace karvo::discovery::naming
