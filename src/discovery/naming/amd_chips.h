#pragma once
// What the PCI device ID and the graphics-core IP version of an AMD GPU say
// about its chip: the graphics target, whether it is an APU (and the memory
// its platforms usually carry) and its HBM generation. Facts of the public
// amdgpu driver (its PCI ID list in amdgpu_drv.c, the IP versions it assigns
// and the KFD graphics targets of kfd_device.c, the memory types of its UAPI
// header amdgpu_drm.h) and of AMD's product pages.

#include <cstdint>
#include <optional>
#include <string_view>

namespace karvo::discovery::naming {

// The graphics target of graphics-core (GC) IP version major.minor.revision,
// as IP discovery and the driver number it ("11.0.1" is "gfx1103"); nothing
// for a version not listed.
std::optional<std::string_view> gfx_target_for_gc_version(std::uint32_t major, std::uint32_t minor,
                                                          std::uint32_t revision);

// The graphics target of the chips that have no IP discovery (GCN 1 to
// Vega 20, gfx600 to gfx906) and of the gfx9 APUs and Instinct parts that
// may lack it; nothing for other IDs.
std::optional<std::string_view> gfx_target_for_legacy_device_id(std::uint32_t device_id);

// "HBM", "HBM2", "HBM2e", "HBM3" or "HBM3e" for the cards that carry HBM;
// nothing for other IDs.
std::optional<std::string_view> hbm_type_for_device_id(std::uint32_t device_id);

// For an APU, the memory type its platforms usually carry ("LPDDR5"), without
// the "(Shared)" mark; nothing for an ID that is no known APU.
std::optional<std::string_view> apu_memory_for_device_id(std::uint32_t device_id);

// The driver's memory-type code (AMDGPU_VRAM_TYPE_*) as a name; nothing for 0
// (unknown) and codes not listed. Code 6 is every HBM generation: "HBM".
std::optional<std::string_view> driver_memory_name(std::uint32_t vram_type);
inline constexpr std::uint32_t kDriverMemoryHbm = 6;

}  // namespace karvo::discovery::naming
