#include "discovery/adapter_stats/pcie_link.h"

#include <algorithm>
#include <array>
#include <memory>

#include "common/text.h"
#include "discovery/pcie_capability.h"
#include "discovery/sources/source_ledger.h"

namespace karvo::discovery::adapter_stats {
namespace {

using platform::PciLinkProperty;

using Link = PcieLink;

Link read_link(platform::DeviceTreeSession& tree, std::uint32_t node, PciLinkProperty speed, PciLinkProperty width) {
    Link link;
    if (const auto code = tree.link_property(node, speed)) link.speed_gt = link_speed_gt(*code);
    if (const auto lanes = tree.link_property(node, width)) link.width = link_width(*lanes);
    return link;
}

void apply_link(platform::DeviceTreeSession& tree, GpuDevice& device, std::uint32_t gpu) {
    // Up through the card's own bridges; the first node that is not AMD's is the slot.
    std::uint32_t card = gpu;
    std::optional<std::uint32_t> slot;
    for (std::size_t depth = 0; depth < kMaxBridgeDepth; ++depth) {
        const auto up = tree.parent(card);
        if (!up) break;
        const auto id = tree.instance_id(*up);
        if (!id || !is_amd_pci_instance(*id)) {
            slot = up;
            break;
        }
        card = *up;
    }

    const Link current = read_link(tree, card, PciLinkProperty::current_speed, PciLinkProperty::current_width);
    if (device.pcie_speed_gt == 0) device.pcie_speed_gt = current.speed_gt;
    if (device.pcie_width == 0) device.pcie_width = current.width;

    const Link card_max = read_link(tree, card, PciLinkProperty::max_speed, PciLinkProperty::max_width);
    Link slot_max;
    if (slot) slot_max = read_link(tree, *slot, PciLinkProperty::max_speed, PciLinkProperty::max_width);
    const Link best = link_capability(card_max, slot_max);
    if (best.speed_gt != 0) device.pcie_max_speed_gt = best.speed_gt;
    if (best.width != 0) device.pcie_max_width = best.width;
}

}  // namespace

std::uint32_t link_speed_gt(std::uint32_t code) {
    static constexpr std::array<std::uint32_t, 6> kGigaTransfers = {2, 5, 8, 16, 32, 64};
    if (code == 0 || code > kGigaTransfers.size()) return 0;
    return kGigaTransfers[code - 1];
}

std::uint16_t link_width(std::uint32_t lanes) {
    return lanes >= 1 && lanes <= 32 ? static_cast<std::uint16_t>(lanes) : 0;
}

bool is_amd_pci_instance(std::string_view instance_id) {
    constexpr std::string_view kAmdPrefix = "pci\\ven_1002&";
    return instance_id.size() >= kAmdPrefix.size() &&
           text::equals_ignore_ascii_case(instance_id.substr(0, kAmdPrefix.size()), kAmdPrefix);
}

std::optional<std::string> pci_instance_id(const GpuDevice& device) {
    constexpr std::string_view kPciPrefix = "pci\\ven_";
    const std::string_view bdf = device.bdf;
    if (bdf.size() <= kPciPrefix.size() ||
        !text::equals_ignore_ascii_case(bdf.substr(0, kPciPrefix.size()), kPciPrefix)) {
        return std::nullopt;
    }
    return device.bdf;
}

void apply_pcie_links(DeviceList& devices, platform::GpuOs& os) {
    constexpr std::string_view kSource = "cfgmgr";
    std::optional<SourceTimer> timed;
    std::unique_ptr<platform::DeviceTreeSession> tree;
    for (GpuDevice& device : devices) {
        const auto id = pci_instance_id(device);
        if (!id) continue;
        // Opened on the first record that needs it, once per pass.
        if (!tree) {
            timed.emplace(kSource);
            auto opened = os.open_device_tree();
            // The tree's queries themselves cannot tell a failure from a figure not reported.
            note_source(kSource, opened ? std::nullopt : std::optional(SourceReason::missing));
            if (!opened) return;
            tree = std::move(*opened);
        }
        if (const auto node = tree->locate(*id)) apply_link(*tree, device, *node);
    }
}

}  // namespace karvo::discovery::adapter_stats
