#pragma once
// Where a card sits on the PCIe bus (Linux): its address, the link it has now
// and the best link card and slot could make. A discrete card sits behind its
// own switch (bridges with AMD's graphics vendor ID): the function's own link
// is that switch's internal one; the topmost of those bridges holds the link to
// the slot and the card's capability, the first other parent the slot's.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/device.h"
#include "discovery/linux/linux_pass.h"

namespace karvo::discovery::linux {

// A PCI address "dddd:bb:dd.f" (hex) as (domain, bus, device, function).
struct PciAddress {
    std::uint32_t domain = 0, bus = 0, device = 0, function = 0;
    std::uint32_t location() const { return bus << 8 | device << 3 | function; }
};

std::optional<PciAddress> parse_pci_address(std::string_view text);

// The card's link now and its capability (bounded by the slot's) into the
// record. `device_link` is "/sys/class/drm/cardN/device" below the root,
// `device_dir` the same with the root's prefix. The driver's pp_dpm_pcie, the
// truest figure behind an internal switch, is read only when `awake`; the
// bridges' link attributes are PCI configuration reads and wake nothing.
void read_pcie_links(const Root& root, std::string_view device_link, const std::string& device_dir, bool awake,
                     GpuDevice& device);

}  // namespace karvo::discovery::linux
