#include "discovery/naming/naming.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace karvo::discovery::naming {
namespace {

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool one_of(std::uint32_t id, std::initializer_list<std::uint32_t> ids) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

struct NameRule {
    std::string_view part;
    std::string_view target;
};

// First matching row wins; the order matters ("Radeon(TM) Graphics" before the model numbers).
constexpr std::array<NameRule, 6> kTargetsByName = {{
    {"780M", "gfx1151"},
    {"8060S", "gfx1151"},
    {"Radeon(TM) Graphics", "gfx1151"},
    {"7900", "gfx1100"},
    {"9070", "gfx1201"},
    {"RX 90", "gfx1201"},
}};

struct IdRange {
    std::uint32_t first;
    std::uint32_t last;
    std::string_view target;
};

constexpr std::array<IdRange, 12> kTargetsById = {{
    {0x15BF, 0x15BF, "gfx1103"},
    {0x164E, 0x164E, "gfx1036"},
    {0x73A5, 0x73A5, "gfx1030"},
    {0x73BF, 0x73BF, "gfx1030"},
    {0x73DF, 0x73DF, "gfx1031"},
    {0x73FF, 0x73FF, "gfx1032"},
    {0x7448, 0x744C, "gfx1100"},
    {0x745E, 0x745E, "gfx1100"},
    {0x7460, 0x747F, "gfx1101"},
    {0x7480, 0x749F, "gfx1102"},
    {0x7550, 0x7551, "gfx1201"},
    {0x7590, 0x7590, "gfx1200"},
}};

constexpr const char* kShared = " (Shared)";

}  // namespace

std::string gfx_target_for_name(std::string_view market_name) {
    for (const auto& rule : kTargetsByName)
        if (contains(market_name, rule.part)) return std::string(rule.target);
    return "unknown";
}

std::string memory_type_for_name(std::string_view market_name, std::string_view gfx_version,
                                 const MemoryCodeQuery& query_code) {
    const bool integrated =
        gfx_version == "gfx1151" || contains(market_name, "860M") || contains(market_name, "880M");
    if (integrated) {
        const std::optional<std::uint32_t> code = query_code ? query_code() : std::nullopt;
        return short_memory_name(code) + kShared;
    }
    if (contains(market_name, "Vega") &&
        (contains(market_name, "Graphics") || contains(market_name, "8") || contains(market_name, "11")))
        return "DDR4 (Shared)";
    return "GDDR6";
}

std::string gfx_target_for_device_id(std::uint32_t device_id) {
    for (const auto& range : kTargetsById)
        if (device_id >= range.first && device_id <= range.last)
            return std::string(range.target);
    return "unknown";
}

std::string memory_type_for_device_id(std::uint32_t device_id, const MemoryCodeQuery& query_code) {
    if (one_of(device_id, {0x6860, 0x6861, 0x6863, 0x6864, 0x6867, 0x686C, 0x687F})) return "HBM2";
    if (one_of(device_id, {0x7360, 0x73A0, 0x73AB})) return "HBM2e";
    if (one_of(device_id, {0x67C0, 0x67DF, 0x67E0, 0x67EF, 0x67FF, 0x699F, 0x6FDF})) return "GDDR5";

    // APUs share the system RAM: ask what it is, and fall back on what the chip family usually carries.
    const char* fallback = nullptr;
    if (one_of(device_id, {0x1586, 0x15BF, 0x15E8, 0x164E})) fallback = "DDR5 (Shared)";
    else if (one_of(device_id, {0x15DD, 0x1636, 0x1681})) fallback = "DDR4 (Shared)";
    else if (one_of(device_id, {0x15D8, 0x1718, 0x9874})) fallback = "DDR4/DDR5 (Shared)";
    if (fallback == nullptr) return "GDDR6";

    if (query_code) {
        if (const auto code = query_code())
            if (const auto name = full_memory_name(*code)) return *name + kShared;
    }
    return fallback;
}

std::string short_memory_name(std::optional<std::uint32_t> code) {
    if (!code) return "DDR5";
    switch (*code) {
        case 26: return "DDR4";
        case 29: return "LPDDR3";
        case 30: return "LPDDR4";
        case 35: return "LPDDR5";
        default: return "DDR5";  // every other code, known (15, 24, 34, ...) or not
    }
}

std::optional<std::string> full_memory_name(std::uint32_t code) {
    // SMBIOS memory-type codes (Memory Device structure, Memory Type field).
    switch (code) {
        case 15: return "SDRAM";
        case 17: return "RDRAM";
        case 18: return "DDR";
        case 19: return "DDR2";
        case 20: return "DDR2 FB-DIMM";
        case 24: return "DDR3";
        case 26: return "DDR4";
        case 27: return "LPDDR";
        case 28: return "LPDDR2";
        case 29: return "LPDDR3";
        case 30: return "LPDDR4";
        case 34: return "DDR5";
        case 35: return "LPDDR5";
        default: return std::nullopt;
    }
}

}  // namespace karvo::discovery::naming
