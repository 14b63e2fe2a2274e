#pragma once
// PCIe link figures from the OS's device tree: the link a GPU has to its slot
// and the best link card and slot could make.
//
// A discrete Radeon sits behind PCIe switch ports on the card itself (AMD's
// vendor ID, like the GPU): the GPU's own link is the one inside the card. The
// physical link is that of the topmost of these bridges, and the slot is the
// node above it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/device.h"
#include "platform/gpu_os.h"

namespace karvo::discovery::adapter_stats {

// Whole GT/s of a PCIe speed code (1 = 2.5 GT/s, reported as 2; 2 = 5; 3 = 8;
// 4 = 16; 5 = 32; 6 = 64); 0 for any other code.
std::uint32_t link_speed_gt(std::uint32_t code);

// Lanes of a link width; 0 unless 1 to 32.
std::uint16_t link_width(std::uint32_t lanes);

// The device instance ID a record carries: its `bdf` when that is a PCI
// instance ID ("PCI\VEN_...", as WMI reports it); nothing otherwise.
std::optional<std::string> pci_instance_id(const GpuDevice& device);

// Whether an instance ID is that of a PCI device of AMD's graphics vendor ID.
bool is_amd_pci_instance(std::string_view instance_id);

// Levels of the tree walked up from a GPU at most.
inline constexpr std::size_t kMaxBridgeDepth = 16;

// For each record with a PCI instance ID: finds its node, walks up through the
// parents as long as they are AMD devices and takes the topmost as the card's
// end of the physical link (the GPU itself when no parent is AMD's). That
// node's current link fills the record's speed and width where they are 0;
// its maximum link and the slot's (the first non-AMD parent) give
// `pcie_max_speed_gt` / `pcie_max_width` by link_capability(). Figures the
// tree does not report leave the record as it was; every failure is silent.
void apply_pcie_links(DeviceList& devices, platform::GpuOs& os);

}  // namespace karvo::discovery::adapter_stats
