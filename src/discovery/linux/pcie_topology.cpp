#include "discovery/linux/pcie_topology.h"

#include <limits>
#include <vector>

#include "common/text.h"
#include "discovery/linux/sysfs_files.h"
#include "discovery/pcie_capability.h"
#include "platform/files.h"

namespace karvo::discovery::linux {
namespace {

using files::narrow32;
using files::parse_hex;
using files::read_decimal;
using files::read_hex;
using text::leading_number;

// Whole GT/s of "16.0GT/s" or "16.0 GT/s PCIe" (the fraction is dropped);
// nothing for "Unknown speed" or anything else.
std::optional<std::uint32_t> link_speed(std::string_view& text) {
    const auto whole = leading_number(text);
    if (!whole) return std::nullopt;
    if (text.starts_with('.')) {
        text.remove_prefix(1);
        if (!leading_number(text)) return std::nullopt;
    }
    text = text::trim(text);
    if (!text.starts_with("GT/s")) return std::nullopt;
    text.remove_prefix(4);
    return narrow32(whole);
}

// "1: 16.0GT/s, x16 619Mhz *" -> 16 GT/s, x16.
std::optional<PcieLink> dpm_pcie_link(const std::string& path) {
    const auto data = files::read_raw(path);
    if (!data) return std::nullopt;
    auto level = files::current_level(*data);
    if (!level) return std::nullopt;
    const auto speed = link_speed(*level);
    if (!speed) return std::nullopt;
    std::string_view rest = text::trim(*level);
    if (rest.starts_with(',')) rest = text::trim(rest.substr(1));
    if (!rest.starts_with('x')) return std::nullopt;
    rest.remove_prefix(1);
    const auto width = leading_number(rest);
    if (!width || *width > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
    return PcieLink{*speed, static_cast<std::uint16_t>(*width)};
}

// The folder a path of the tree really is: every link on the way is followed
// as the kernel would (a relative target from the link's folder, an absolute
// one from the tree's top), so that a function's parents are the folders of
// the bridges above it. Components below the top; nothing when links loop.
std::optional<std::vector<std::string>> real_path(const Root& root, std::string_view absolute) {
    std::vector<std::string> done;
    std::string rest(absolute);  // still to walk, from `at` on
    std::size_t at = 0;
    std::string path;
    int links = 0;
    while (at < rest.size()) {
        const auto slash = rest.find('/', at);
        const std::size_t end = slash == std::string::npos ? rest.size() : slash;
        const std::string_view part = std::string_view(rest).substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!done.empty()) done.pop_back();
            continue;
        }
        done.emplace_back(part);
        path = root.prefix;
        for (const auto& name : done) path += "/" + name;
        const auto target = platform::read_link(path);
        if (!target) continue;
        if (++links > 40) return std::nullopt;
        done.pop_back();
        if (target->starts_with('/')) done.clear();
        rest = at < rest.size() ? *target + "/" + rest.substr(at) : *target;
        at = 0;
    }
    return done;
}

// A link's "<kind>_link_speed" and "<kind>_link_width" attributes ("current"
// or "max"); 0 for what cannot be read.
PcieLink link_attributes(const std::string& folder, std::string_view kind) {
    PcieLink link;
    const std::string base = folder + "/" + std::string(kind);
    if (const auto raw = files::read_raw(base + "_link_speed")) {
        std::string_view speed = text::trim(*raw);
        link.speed_gt = link_speed(speed).value_or(0);
    }
    const auto width = read_decimal(base + "_link_width");
    if (width && *width <= std::numeric_limits<std::uint16_t>::max()) link.width = static_cast<std::uint16_t>(*width);
    return link;
}

// Where a card's PCIe link is described. A discrete card sits behind its own
// switch (bridges with AMD's graphics vendor ID): the function's link is that
// switch's internal one; the topmost of those bridges holds the link to the
// slot and the card's capability, the first other parent the slot's.
struct LinkFolders {
    std::string card;  // topmost AMD bridge, else the function itself
    std::string slot;  // the first parent that is no AMD bridge; empty when there is none
    bool bridged = false;
};

LinkFolders link_folders(const Root& root, std::string_view device_link, const std::string& device_dir) {
    LinkFolders folders{device_dir, {}, false};
    const auto parts = real_path(root, device_link);
    if (!parts || parts->empty()) return folders;
    std::string parent = root.prefix;
    std::vector<std::string> prefixes;  // the folder of each part
    for (const auto& name : *parts) prefixes.push_back(parent += "/" + name);
    for (std::size_t i = parts->size() - 1; i-- > 0;) {
        if (!parse_pci_address((*parts)[i])) break;  // above the bus: no PCI device any more
        if (read_hex(prefixes[i] + "/vendor") != kAmdVendorId) {
            folders.slot = prefixes[i];
            break;
        }
        folders.card = prefixes[i];
        folders.bridged = true;
    }
    return folders;
}

}  // namespace

std::optional<PciAddress> parse_pci_address(std::string_view text) {
    const auto first = text.find(':');
    const auto second = text.find(':', first == std::string_view::npos ? first : first + 1);
    const auto dot = text.find('.', second == std::string_view::npos ? second : second + 1);
    if (first == std::string_view::npos || second == std::string_view::npos || dot == std::string_view::npos)
        return std::nullopt;
    const auto domain = narrow32(parse_hex(text.substr(0, first)));
    const auto bus = parse_hex(text.substr(first + 1, second - first - 1));
    const auto device = parse_hex(text.substr(second + 1, dot - second - 1));
    const auto function = parse_hex(text.substr(dot + 1));
    if (!domain || !bus || !device || !function || *bus > 0xFF || *device > 0x1F || *function > 7)
        return std::nullopt;
    return PciAddress{*domain, static_cast<std::uint32_t>(*bus), static_cast<std::uint32_t>(*device),
                      static_cast<std::uint32_t>(*function)};
}


void read_pcie_links(const Root& root, std::string_view device_link, const std::string& device_dir, bool awake,
                     GpuDevice& device) {
    std::optional<PcieLink> link;
    if (awake) link = dpm_pcie_link(device_dir + "/pp_dpm_pcie");
    const LinkFolders folders = link_folders(root, device_link, device_dir);
    if (!link && folders.bridged) {
        link = link_attributes(folders.card, "current");
        if (link->speed_gt == 0 && link->width == 0) link.reset();
    }
    if (!link) link = link_attributes(device_dir, "current");
    device.pcie_speed_gt = link->speed_gt;
    device.pcie_width = link->width;
    PcieLink slot_max;
    if (!folders.slot.empty()) slot_max = link_attributes(folders.slot, "max");
    const PcieLink best = link_capability(link_attributes(folders.card, "max"), slot_max);
    device.pcie_max_speed_gt = best.speed_gt;
    device.pcie_max_width = best.width;
}

}  // namespace karvo::discovery::linux
