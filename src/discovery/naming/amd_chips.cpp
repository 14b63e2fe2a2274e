// Sources: the amdgpu kernel driver (drivers/gpu/drm/amd/amdgpu/amdgpu_drv.c
// PCI ID list with its CHIP_* and AMD_IS_APU marks, amdgpu_discovery.c IP
// versions, amdkfd/kfd_device.c graphics targets, include/uapi/drm/
// amdgpu_drm.h AMDGPU_VRAM_TYPE_*), LLVM's AMDGPU processor list for the
// pre-KFD targets, and AMD's product pages for the memory of HBM cards and of
// each APU family's platforms.

#include "discovery/naming/amd_chips.h"

#include <array>

namespace karvo::discovery::naming {
namespace {

struct IdRow {
    std::uint32_t first;
    std::uint32_t last;
    std::string_view text;
};

template <std::size_t N>
std::optional<std::string_view> look_up(const std::array<IdRow, N>& rows, std::uint32_t id) {
    for (const auto& row : rows)
        if (id >= row.first && id <= row.last) return row.text;
    return std::nullopt;
}

// Ranges hold only IDs of one chip in AMD's allocation.
constexpr std::array<IdRow, 28> kLegacyTargets = {{
    {0x1304, 0x131D, "gfx700"},  // Kaveri
    {0x15D8, 0x15D8, "gfx902"},  // Picasso, Raven2, Dali
    {0x15DD, 0x15DD, "gfx902"},  // Raven
    {0x15E7, 0x15E7, "gfx90c"},  // Barcelo
    {0x1636, 0x1636, "gfx90c"},  // Renoir
    {0x1638, 0x1638, "gfx90c"},  // Cezanne
    {0x164C, 0x164C, "gfx90c"},  // Lucienne
    {0x6600, 0x663F, "gfx602"},  // Oland
    {0x6640, 0x665F, "gfx704"},  // Bonaire
    {0x6660, 0x666F, "gfx602"},  // Hainan
    {0x66A0, 0x66AF, "gfx906"},  // Vega 20
    {0x6780, 0x679F, "gfx600"},  // Tahiti
    {0x67A0, 0x67BF, "gfx701"},  // Hawaii
    {0x67C0, 0x67FF, "gfx803"},  // Polaris 10, 11
    {0x6800, 0x683F, "gfx601"},  // Pitcairn, Cape Verde
    {0x6860, 0x687F, "gfx900"},  // Vega 10
    {0x6900, 0x690F, "gfx802"},  // Topaz
    {0x6920, 0x693F, "gfx802"},  // Tonga
    {0x694C, 0x694F, "gfx803"},  // Vega M
    {0x6980, 0x699F, "gfx803"},  // Polaris 12
    {0x69A0, 0x69AF, "gfx904"},  // Vega 12
    {0x6FDF, 0x6FDF, "gfx803"},  // Polaris 20
    {0x7300, 0x730F, "gfx803"},  // Fiji
    {0x7388, 0x7390, "gfx908"},  // Arcturus (MI100)
    {0x7408, 0x7410, "gfx90a"},  // Aldebaran (MI200)
    {0x9830, 0x985F, "gfx703"},  // Kabini, Mullins
    {0x9870, 0x9877, "gfx801"},  // Carrizo, Bristol Ridge
    {0x98E4, 0x98E4, "gfx810"},  // Stoney
}};

constexpr std::array<IdRow, 13> kHbm = {{
    {0x66A0, 0x66AF, "HBM2"},   // Vega 20: Radeon VII, Instinct MI50, MI60
    {0x6860, 0x687F, "HBM2"},   // Vega 10: Vega 56, 64, Frontier, Instinct MI25
    {0x694C, 0x694F, "HBM2"},   // Vega M
    {0x69A0, 0x69AF, "HBM2"},   // Vega 12: Radeon Pro Vega 16, 20
    {0x7300, 0x730F, "HBM"},    // Fiji: Fury, Nano, Instinct MI8
    {0x7360, 0x7362, "HBM2"},   // Navi 12: Radeon Pro 5600M, V520
    {0x7388, 0x7390, "HBM2"},   // Arcturus: Instinct MI100
    {0x7408, 0x7410, "HBM2e"},  // Aldebaran: Instinct MI210, MI250, MI250X
    {0x74A0, 0x74A2, "HBM3"},   // Instinct MI300A, MI300X, MI308X
    {0x74A5, 0x74A5, "HBM3e"},  // Instinct MI325X
    {0x74A8, 0x74A8, "HBM3"},   // Instinct MI308X HF
    {0x74A9, 0x74BD, "HBM3"},   // Instinct MI300X variants
    {0x75A0, 0x75A3, "HBM3e"},  // Instinct MI350X, MI355X
}};

constexpr std::array<IdRow, 26> kApus = {{
    {0x1114, 0x1114, "LPDDR5"},     // Krackan Point
    {0x1304, 0x131D, "DDR3"},       // Kaveri
    {0x13FE, 0x13FE, "GDDR6"},      // Cyan Skillfish
    {0x1435, 0x1435, "LPDDR5"},     // Van Gogh (Steam Deck OLED)
    {0x143F, 0x143F, "GDDR6"},      // Cyan Skillfish
    {0x1506, 0x1506, "LPDDR5"},     // Mendocino
    {0x150E, 0x150E, "LPDDR5"},     // Strix Point
    {0x1586, 0x1586, "LPDDR5"},     // Strix Halo
    {0x15BF, 0x15BF, "DDR5"},       // Phoenix, Hawk Point
    {0x15C8, 0x15C8, "DDR5"},       // Phoenix 2
    {0x15D8, 0x15D8, "DDR4"},       // Picasso, Raven2, Dali
    {0x15DD, 0x15DD, "DDR4"},       // Raven
    {0x15E7, 0x15E7, "DDR4"},       // Barcelo
    {0x15E8, 0x15E8, "DDR5"},       // as the Windows table has it
    {0x1636, 0x1636, "DDR4"},       // Renoir
    {0x1638, 0x1638, "DDR4"},       // Cezanne
    {0x163F, 0x163F, "LPDDR5"},     // Van Gogh (Steam Deck)
    {0x164C, 0x164C, "DDR4"},       // Lucienne
    {0x164E, 0x164E, "DDR5"},       // Raphael, Granite Ridge
    {0x1681, 0x1681, "DDR5"},       // Rembrandt
    {0x1718, 0x1718, "DDR4/DDR5"},  // as the Windows table has it
    {0x1900, 0x1901, "DDR5"},       // Hawk Point, Phoenix refresh (Radeon 780M, 740M)
    {0x74A0, 0x74A0, "HBM3"},       // Instinct MI300A
    {0x9830, 0x985F, "DDR3"},       // Kabini, Mullins
    {0x9870, 0x9877, "DDR3"},       // Carrizo (0x9874 also Bristol Ridge: DDR4)
    {0x98E4, 0x98E4, "DDR4"},       // Stoney
}};

struct GcRow {
    std::uint32_t version;  // major << 16 | minor << 8 | revision
    std::string_view target;
};

constexpr std::uint32_t gc(std::uint32_t major, std::uint32_t minor, std::uint32_t revision) {
    return major << 16 | minor << 8 | revision;
}

constexpr std::array<GcRow, 35> kGcTargets = {{
    {gc(9, 0, 1), "gfx900"},    {gc(9, 1, 0), "gfx902"},    {gc(9, 2, 1), "gfx904"},    {gc(9, 2, 2), "gfx902"},
    {gc(9, 3, 0), "gfx90c"},    {gc(9, 4, 0), "gfx906"},    {gc(9, 4, 1), "gfx908"},    {gc(9, 4, 2), "gfx90a"},
    {gc(9, 4, 3), "gfx942"},    {gc(9, 4, 4), "gfx942"},    {gc(9, 5, 0), "gfx950"},    {gc(10, 1, 10), "gfx1010"},
    {gc(10, 1, 1), "gfx1012"},  {gc(10, 1, 2), "gfx1011"},  {gc(10, 1, 3), "gfx1013"},  {gc(10, 1, 4), "gfx1013"},
    {gc(10, 3, 0), "gfx1030"},  {gc(10, 3, 1), "gfx1033"},  {gc(10, 3, 2), "gfx1031"},  {gc(10, 3, 3), "gfx1035"},
    {gc(10, 3, 4), "gfx1032"},  {gc(10, 3, 5), "gfx1034"},  {gc(10, 3, 6), "gfx1036"},  {gc(10, 3, 7), "gfx1037"},
    {gc(11, 0, 0), "gfx1100"},  {gc(11, 0, 1), "gfx1103"},  {gc(11, 0, 2), "gfx1102"},  {gc(11, 0, 3), "gfx1101"},
    {gc(11, 0, 4), "gfx1103"},  {gc(11, 5, 0), "gfx1150"},  {gc(11, 5, 1), "gfx1151"},  {gc(11, 5, 2), "gfx1152"},
    {gc(11, 5, 3), "gfx1153"},  {gc(12, 0, 0), "gfx1200"},  {gc(12, 0, 1), "gfx1201"},
}};

}  // namespace

std::optional<std::string_view> gfx_target_for_gc_version(std::uint32_t major, std::uint32_t minor,
                                                          std::uint32_t revision) {
    if (major > 0xFF || minor > 0xFF || revision > 0xFF) return std::nullopt;
    const std::uint32_t version = gc(major, minor, revision);
    for (const auto& row : kGcTargets)
        if (row.version == version) return row.target;
    return std::nullopt;
}

std::optional<std::string_view> gfx_target_for_legacy_device_id(std::uint32_t device_id) {
    return look_up(kLegacyTargets, device_id);
}

std::optional<std::string_view> hbm_type_for_device_id(std::uint32_t device_id) { return look_up(kHbm, device_id); }

std::optional<std::string_view> apu_memory_for_device_id(std::uint32_t device_id) {
    return look_up(kApus, device_id);
}

std::optional<std::string_view> driver_memory_name(std::uint32_t vram_type) {
    // AMDGPU_VRAM_TYPE_UNKNOWN (0), GDDR1, DDR2, GDDR3, GDDR4, GDDR5, HBM, DDR3,
    // DDR4, GDDR6, DDR5, LPDDR4, LPDDR5, HBM3E (13).
    constexpr std::array<std::string_view, 14> kNames = {
        "", "GDDR1", "DDR2", "GDDR3", "GDDR4", "GDDR5", "HBM", "DDR3", "DDR4", "GDDR6", "DDR5", "LPDDR4", "LPDDR5",
        "HBM3e"};
    if (vram_type == 0 || vram_type >= kNames.size()) return std::nullopt;
    return kNames[vram_type];
}

}  // namespace karvo::discovery::naming
