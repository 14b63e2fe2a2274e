#pragma once
// A card's memory type and graphics target from the amdgpu driver itself: its
// answer on the card's render node (asked only while the card is awake), the
// IP discovery versions it exports, then tables of device IDs.

#include <cstdint>
#include <optional>
#include <string>

#include "discovery/device.h"
#include "discovery/naming/naming.h"
#include "discovery/linux/linux_pass.h"
#include "platform/amdgpu.h"

namespace karvo::discovery::linux {

// The part of the driver's answer that decides memory type and target.
struct DriverFacts {
    std::uint32_t device_id = 0;
    std::optional<std::uint32_t> vram_type;   // AMDGPU_VRAM_TYPE_*; nothing for 0 (unknown)
    bool apu = false;                         // AMDGPU_IDS_FLAGS_FUSION
    std::optional<std::uint32_t> gc_version;  // major << 16 | minor << 8 | revision; nothing when not told
};

// Decodes the answer bytes (drm_amdgpu_info_device, drm_amdgpu_info_hw_ip);
// nothing when the device information is too short to hold its fields.
std::optional<DriverFacts> decode_driver_facts(const platform::AmdgpuInfo& answer);

// What the card scan knows of a card when it asks.
struct DriverCard {
    std::string device_dir;           // the PCI function's folder, with the root's prefix
    std::uint32_t device_id = 0;
    bool awake = false;               // power/runtime_status reads "active"
    std::uint8_t metrics_format = 0;  // gpu_metrics format revision; 0 when not read
};

// Sets the record's vram_type, and its gfx_version when that is still empty
// (KFD had no target for the card).
void describe_from_driver(const Root& root, const DriverCard& card, const naming::MemoryCodeQuery& query_code,
                          const platform::AmdgpuInfoQuery& ask_driver, GpuDevice& device);

}  // namespace karvo::discovery::linux
