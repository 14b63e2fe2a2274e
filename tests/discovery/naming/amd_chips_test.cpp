// The chip tables against an independent source: libdrm's list of marketing
// names (the copy built into karvo). Each rule names a family by the names AMD
// gives its products and says what the tables must answer for every device ID
// that carries such a name, so a row that ends one ID too early, covers a
// neighbour's IDs or is missing shows up here. (GC versions and memory codes:
// driver_info_test.cpp.)
#include "discovery/naming/amd_chips.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>
#include <string>

#include "discovery/naming/amdgpu_ids.h"

namespace karvo::discovery::naming {
namespace {

struct Named {
    std::uint32_t device;
    std::string name;
};

// Every "DEVICE,\tREVISION,\tNAME" line of the built-in list.
std::vector<Named> builtin_names() {
    std::vector<Named> names;
    std::string_view text = kBuiltinAmdgpuIds;
    const std::regex line(R"(^([0-9A-Fa-f]{4}),\s*[0-9A-Fa-f]{2},\s*(.+?)\s*$)");
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string row(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        std::smatch match;
        if (std::regex_match(row, match, line))
            names.push_back({static_cast<std::uint32_t>(std::stoul(match[1], nullptr, 16)), match[2]});
    }
    return names;
}

using Text = std::optional<std::string_view>;

struct Rule {
    const char* family;
    const char* names;  // a regular expression searched in the marketing name
    std::function<void(std::uint32_t id, const std::string& name)> expect;
};

TEST(AmdChips, EveryFamilyOfTheNameListGetsItsAnswers) {
    const std::vector<Named> list = builtin_names();
    ASSERT_GT(list.size(), 500u);
    const auto hbm = [](std::string_view generation) {
        return [=](std::uint32_t id, const std::string& name) {
            EXPECT_EQ(hbm_type_for_device_id(id), Text(generation)) << std::hex << id << " " << name;
        };
    };
    const auto target = [](Text gfx) {
        return [=](std::uint32_t id, const std::string& name) {
            EXPECT_EQ(gfx_target_for_legacy_device_id(id), gfx) << std::hex << id << " " << name;
            EXPECT_FALSE(hbm_type_for_device_id(id)) << std::hex << id << " " << name;
            EXPECT_FALSE(apu_memory_for_device_id(id)) << std::hex << id << " " << name;
        };
    };
    const auto apu = [](std::uint32_t id, const std::string& name) {
        EXPECT_TRUE(apu_memory_for_device_id(id)) << std::hex << id << " " << name;
        EXPECT_FALSE(hbm_type_for_device_id(id)) << std::hex << id << " " << name;
    };
    const Rule rules[] = {
        // Discrete cards of IP discovery's time: their target comes from the driver, never from an ID table,
        // and they carry GDDR.
        {"RDNA Radeon RX", R"(Radeon RX [5-9][0-9]{3}\b)", target(std::nullopt)},
        {"Polaris", R"(Radeon RX (4[6-8]0|5[5-9]0)\b)", target("gfx803")},
        {"Vega 10 cards", R"(Vega Frontier|Radeon RX Vega$|Instinct MI25\b|WX 9100|Pro V340|Pro SSG)", hbm("HBM2")},
        {"Vega M", R"(Radeon RX Vega M)", hbm("HBM2")},
        {"Vega 20 cards", R"(Radeon VII|Radeon Pro VII|Instinct MI60|Instinct MI50)", hbm("HBM2")},
        {"Fiji", R"(R9 Fury|R9 Nano|Instinct MI8\b)", hbm("HBM")},
        {"Arcturus", R"(Instinct MI100)", hbm("HBM2")},
        {"Aldebaran", R"(Instinct MI2[15]0)", hbm("HBM2e")},
        {"Instinct MI300X", R"(Instinct MI30[08]X)", hbm("HBM3")},
        {"Instinct MI325X", R"(Instinct MI325X)", hbm("HBM3e")},
        {"Instinct MI300A, an APU on HBM3",
         R"(Instinct MI300A)",
         [](std::uint32_t id, const std::string& name) {
             EXPECT_EQ(hbm_type_for_device_id(id), Text("HBM3")) << name;
             EXPECT_EQ(apu_memory_for_device_id(id), Text("HBM3")) << name;
         }},
        // Graphics inside a processor share the system's memory.
        {"APUs", R"(Radeon (Vega [0-9]+ Graphics|R[2-7] Graphics|[4-9][0-9]0M Graphics|80[0-9]0S)|with Radeon Vega)", apu},
    };
    for (const Rule& rule : rules) {
        SCOPED_TRACE(rule.family);
        const std::regex pattern(rule.names);
        std::set<std::uint32_t> seen;
        for (const Named& entry : list) {
            if (!std::regex_search(entry.name, pattern) || !seen.insert(entry.device).second) continue;
            rule.expect(entry.device, entry.name);
        }
        EXPECT_FALSE(seen.empty()) << "no name of the list matches " << rule.names;
    }
}

// Whatever the ID, the answers are names of their kind.
TEST(AmdChips, AnswersAreWellFormedForEveryId) {
    const std::regex gfx("gfx[0-9]{1,2}[0-9][0-9a-f]");
    for (std::uint32_t id = 0; id <= 0xFFFF; ++id) {
        if (const auto target = gfx_target_for_legacy_device_id(id)) {
            EXPECT_TRUE(std::regex_match(std::string(*target), gfx)) << std::hex << id;
        }
        if (const auto generation = hbm_type_for_device_id(id)) {
            EXPECT_TRUE(generation->starts_with("HBM")) << std::hex << id;
        }
        if (const auto memory = apu_memory_for_device_id(id)) {
            EXPECT_FALSE(memory->empty()) << std::hex << id;
            // Only the MI300A shares HBM; every other APU sits on system RAM.
            EXPECT_EQ(memory->starts_with("HBM"), hbm_type_for_device_id(id).has_value()) << std::hex << id;
        }
    }
    EXPECT_FALSE(gfx_target_for_legacy_device_id(0xFFFFFFFF));
}

}  // namespace
}  // namespace karvo::discovery::naming
