// The card scan: one "sysfs" record per AMD card that amdgpu drives, from the
// PCI function's attributes, hwmon, gpu_metrics, RAS counters, the PCIe
// bridges above it, the KFD topology and libdrm's name list.

#include <algorithm>
#include <limits>
#include <tuple>

#include "common/numfmt.h"
#include "common/text.h"
#include "discovery/naming/amdgpu_ids.h"
#include "discovery/sysfs/driver_info.h"
#include "discovery/sysfs/gpu_metrics.h"
#include "discovery/sysfs/sysfs.h"
#include "discovery/sysfs/sysfs_files.h"
#include "platform/files.h"

namespace karvo::sysfs {
namespace {

using files::parse_decimal;
using files::parse_hex;
using files::read_decimal;
using files::read_hex;
using files::read_text;

constexpr std::size_t kNamesLimit = 1u << 20;       // amdgpu.ids is some tens of KB
constexpr std::size_t kPropertiesLimit = 64u << 10;  // a KFD node's properties: about 1.5 KB

std::optional<std::uint32_t> narrow32(std::optional<std::uint64_t> value) {
    if (!value || *value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

// The lines of a text, without their "\r\n" or "\n".
template <class Visit>
void for_each_line(std::string_view data, Visit&& visit) {
    while (!data.empty()) {
        const auto end = data.find('\n');
        std::string_view line = data.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        visit(line);
        if (end == std::string_view::npos) break;
        data.remove_prefix(end + 1);
    }
}

// "card" followed by decimal digits only: connectors (card0-DP-1) are not cards.
std::optional<std::uint64_t> card_number(std::string_view name) {
    if (!name.starts_with("card") || name.size() == 4) return std::nullopt;
    name.remove_prefix(4);
    if (!std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    return parse_decimal(name);
}

// A PCI address "dddd:bb:dd.f" (hex) as (domain, bus, device, function).
struct PciAddress {
    std::uint32_t domain = 0, bus = 0, device = 0, function = 0;
    std::uint32_t location() const { return bus << 8 | device << 3 | function; }
};

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

// One GPU node of the KFD topology.
struct KfdNode {
    std::uint64_t domain = 0;
    std::uint64_t location_id = 0;
    std::uint64_t gfx_target_version = 0;
    std::uint32_t num_cu = 0;
    std::optional<std::uint32_t> gpu_id;
};

std::vector<KfdNode> read_kfd_nodes(const Root& root) {
    std::vector<KfdNode> nodes;
    const std::string folder = root.path("/sys/class/kfd/kfd/topology/nodes");
    platform::for_each_entry(folder, [&](std::string_view name) {
        const std::string node_dir = folder + "/" + std::string(name);
        const auto properties = files::read_raw(node_dir + "/properties", kPropertiesLimit);
        if (!properties) return;
        std::optional<std::uint64_t> domain, location, target, simd_count, simd_per_cu;
        for_each_line(*properties, [&](std::string_view line) {
            const auto space = line.find(' ');
            if (space == std::string_view::npos) return;
            const std::string_view key = line.substr(0, space);
            const auto value = parse_decimal(line.substr(space + 1));
            if (key == "domain") domain = value;
            else if (key == "location_id") location = value;
            else if (key == "gfx_target_version") target = value;
            else if (key == "simd_count") simd_count = value;
            else if (key == "simd_per_cu") simd_per_cu = value;
        });
        if (!domain || !location) return;
        KfdNode node;
        node.domain = *domain;
        node.location_id = *location;
        node.gfx_target_version = target.value_or(0);
        if (simd_count && simd_per_cu && *simd_per_cu != 0)
            node.num_cu = narrow32(*simd_count / *simd_per_cu).value_or(0);
        node.gpu_id = narrow32(read_decimal(node_dir + "/gpu_id"));
        if (node.gpu_id == 0u) node.gpu_id.reset();  // CPU nodes
        // A CPU node (no graphics target, no GPU id) never stands for a card.
        if (node.gfx_target_version == 0 && !node.gpu_id && node.num_cu == 0) return;
        nodes.push_back(node);
    });
    return nodes;
}

// 110000 -> "gfx1100", 90010 -> "gfx90a", 110501 -> "gfx1151".
std::string gfx_name(std::uint64_t version) {
    std::string name = "gfx" + numfmt::unsigned_text(version / 10000);
    // Minor and stepping are single hex digits on every GPU; a larger one is
    // written in full rather than folded into a wrong digit.
    numfmt::append_hex(name, (version / 100) % 100, 1);
    numfmt::append_hex(name, version % 100, 1);
    return name;
}

// The marketing name: an exact device and revision line of the system's
// amdgpu.ids, then of the built-in list, then the first line of the device in
// either, in the same order; then the board's product_name; "AMD GPU" when
// none of them knows the card.
std::string market_name(const naming::MarketingNames& system, std::uint32_t device, std::uint32_t revision,
                        const std::string& device_dir) {
    const naming::MarketingNames& builtin = naming::builtin_marketing_names();
    auto name = system.exact(device, revision);
    if (!name) name = builtin.exact(device, revision);
    if (!name) name = system.first_of(device);
    if (!name) name = builtin.first_of(device);
    if (name) return text::utf8_lossy(*name);
    if (auto product = read_text(device_dir + "/product_name"); product && !product->empty()) return *product;
    return "AMD GPU";
}

std::string text_or_empty(const std::string& path) { return read_text(path).value_or(""); }

// The current level of a pp_dpm_* file: the line ending in "*".
std::optional<std::string_view> current_level(std::string_view data) {
    std::optional<std::string_view> current;
    for_each_line(data, [&](std::string_view line) {
        line = text::trim(line);
        if (!current && line.ends_with('*')) {
            const auto colon = line.find(':');
            if (colon != std::string_view::npos) current = text::trim(line.substr(colon + 1));
        }
    });
    return current;
}

// The leading decimal number of a text, and the rest after it.
std::optional<std::uint64_t> leading_number(std::string_view& text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const auto value = parse_decimal(text.substr(0, digits));
    text.remove_prefix(digits);
    return value;
}

// "1: 2482Mhz *" -> 2482.
std::optional<std::uint32_t> dpm_clock_mhz(const std::string& path) {
    const auto data = files::read_raw(path);
    if (!data) return std::nullopt;
    auto level = current_level(*data);
    if (!level) return std::nullopt;
    const auto value = leading_number(*level);
    if (!text::ascii_lower(*level).starts_with("mhz")) return std::nullopt;
    return narrow32(value);
}

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

struct PcieLink {
    std::uint32_t speed_gt = 0;
    std::uint16_t width = 0;
};

// "1: 16.0GT/s, x16 619Mhz *" -> 16 GT/s, x16.
std::optional<PcieLink> dpm_pcie_link(const std::string& path) {
    const auto data = files::read_raw(path);
    if (!data) return std::nullopt;
    auto level = current_level(*data);
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

// Numeric order of "hwmon0", "hwmon10", "hwmon2"...: hwmon0 first.
std::vector<std::string> hwmon_folders(const std::string& device_dir) {
    std::vector<std::pair<std::uint64_t, std::string>> found;
    platform::for_each_entry(device_dir + "/hwmon", [&](std::string_view name) {
        if (!name.starts_with("hwmon")) return;
        if (const auto number = parse_decimal(name.substr(5))) found.emplace_back(*number, std::string(name));
    });
    std::sort(found.begin(), found.end());
    std::vector<std::string> folders;
    for (auto& entry : found) folders.push_back(device_dir + "/hwmon/" + entry.second);
    return folders;
}

// "temp2_label" -> ("temp", "2").
std::optional<std::pair<std::string_view, std::string_view>> label_channel(std::string_view name) {
    if (!name.ends_with("_label")) return std::nullopt;
    name.remove_suffix(6);
    for (const std::string_view kind : {"temp", "freq", "in"}) {
        if (name.starts_with(kind) && name.size() > kind.size()) return std::pair{kind, name.substr(kind.size())};
    }
    return std::nullopt;
}

float scaled(std::int64_t value, double divisor) { return static_cast<float>(static_cast<double>(value) / divisor); }

// The hwmon readings of one card, found by label; power from the first file
// that answers. A field some hwmon folder already gave is not read again.
void read_hwmon(const std::string& device_dir, GpuDevice& device) {
    for (const auto& folder : hwmon_folders(device_dir)) {
        platform::for_each_entry(folder, [&](std::string_view name) {
            const auto channel = label_channel(name);
            if (!channel) return;
            const auto label = read_text(folder + "/" + std::string(name));
            if (!label) return;
            const std::string input = folder + "/" + std::string(channel->first) + std::string(channel->second) + "_input";
            if (channel->first == "in") {
                // Rails by name; no label names the memory rail.
                std::optional<std::uint32_t>* field = *label == "vddgfx"  ? &device.voltage_gfx_mv
                                                      : *label == "vddnb" ? &device.voltage_soc_mv
                                                                          : nullptr;
                if (field == nullptr || field->has_value()) return;
                *field = narrow32(read_decimal(input));
            } else if (channel->first == "temp") {
                std::optional<float>* field = *label == "edge"       ? &device.temp_edge_c
                                              : *label == "junction" ? &device.temp_hotspot_c
                                              : *label == "mem"      ? &device.temp_vram_c
                                                                     : nullptr;
                if (field == nullptr || field->has_value()) return;
                if (const auto millidegrees = files::read_signed(input)) *field = scaled(*millidegrees, 1000.0);
            } else {
                std::optional<std::uint32_t>* field = *label == "sclk"   ? &device.gfx_clock_mhz
                                                      : *label == "mclk" ? &device.mem_clock_mhz
                                                                         : nullptr;
                if (field == nullptr || field->has_value()) return;
                if (const auto hz = read_decimal(input)) *field = narrow32(*hz / 1000000u);
            }
        });
        if (!device.power_w) {
            auto microwatts = read_decimal(folder + "/power1_input");
            if (!microwatts) microwatts = read_decimal(folder + "/power1_average");
            if (microwatts) device.power_w = static_cast<float>(static_cast<double>(*microwatts) / 1e6);
        }
        if (!device.fan_rpm) device.fan_rpm = narrow32(read_decimal(folder + "/fan1_input"));
        if (!device.fan_percent) {
            // Duty 0-255, as a rounded percentage of full duty.
            const auto duty = read_decimal(folder + "/pwm1");
            if (duty && *duty <= 255) device.fan_percent = static_cast<std::uint32_t>((*duty * 100 + 127) / 255);
        }
        if (!device.power_cap_w) {
            if (const auto cap = read_decimal(folder + "/power1_cap"))
                device.power_cap_w = static_cast<float>(static_cast<double>(*cap) / 1e6);
        }
    }
}

// A percentage file; above 100 is no percentage.
std::optional<std::uint32_t> percent_file(const std::string& path) {
    const auto value = read_decimal(path);
    if (!value || *value > 100) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

// Error counts of the RAS blocks (ras/<block>_err_count: "ue: N", "ce: N",
// and on umc "de: N" lines), summed over the blocks that answer. A block may
// read "Query currently inaccessible": it adds nothing.
void read_ras(const std::string& device_dir, GpuDevice& device) {
    const std::string folder = device_dir + "/ras";
    platform::for_each_entry(folder, [&](std::string_view name) {
        if (!name.ends_with("_err_count")) return;
        const auto data = files::read_raw(folder + "/" + std::string(name));
        if (!data) return;
        std::optional<std::uint64_t> ue, ce;
        for_each_line(*data, [&](std::string_view line) {
            const auto colon = line.find(':');
            if (colon == std::string_view::npos) return;
            const std::string_view key = text::trim(line.substr(0, colon));
            std::optional<std::uint64_t>* count = key == "ue" ? &ue : key == "ce" ? &ce : nullptr;
            if (count != nullptr && !count->has_value()) *count = parse_decimal(line.substr(colon + 1));
        });
        if (ue) device.ecc_uncorrectable = saturating_add(device.ecc_uncorrectable.value_or(0), *ue);
        if (ce) device.ecc_correctable = saturating_add(device.ecc_correctable.value_or(0), *ce);
    });
}

// The driver's sensor table is read whole: the largest layout is under 4 KB.
constexpr std::size_t kGpuMetricsLimit = 8192;

template <class T>
void fill(std::optional<T>& field, const std::optional<T>& value) {
    if (!field) field = value;
}

// What hwmon and the other attributes did not give, from gpu_metrics; energy
// and throttling exist only there. Gives the table's format revision.
std::uint8_t read_gpu_metrics(const std::string& device_dir, GpuDevice& device) {
    const auto bytes = files::read_raw(device_dir + "/gpu_metrics", kGpuMetricsLimit);
    if (!bytes || bytes->empty()) return 0;
    const GpuMetrics m = parse_gpu_metrics(*bytes);
    fill(device.temp_edge_c, m.temp_edge_c);
    fill(device.temp_hotspot_c, m.temp_hotspot_c);
    fill(device.temp_vram_c, m.temp_vram_c);
    fill(device.gfx_clock_mhz, m.gfx_clock_mhz);
    fill(device.mem_clock_mhz, m.mem_clock_mhz);
    fill(device.gfx_util_percent, m.gfx_util_percent);
    fill(device.mem_util_percent, m.mem_util_percent);
    fill(device.media_util_percent, m.media_util_percent);
    fill(device.power_w, m.power_w);
    fill(device.fan_rpm, m.fan_rpm);
    fill(device.voltage_gfx_mv, m.voltage_gfx_mv);
    fill(device.voltage_soc_mv, m.voltage_soc_mv);
    fill(device.voltage_mem_mv, m.voltage_mem_mv);
    device.energy_j = m.energy_j;
    device.throttle = m.throttle;
    return m.format_revision;
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

// The lesser of two figures, either of which may be unknown (0).
template <class T>
T lesser_known(T a, T b) {
    return a == 0 ? b : b == 0 ? a : std::min(a, b);
}

// A card found in sys/class/drm, before the records are ordered.
struct FoundCard {
    std::uint64_t number = 0;
    std::string device_link;  // "/sys/class/drm/cardN/device", below the root
    std::string device_dir;   // the same with the root's prefix
    std::string bdf;
    std::optional<PciAddress> address;
};

// Where a card's PCIe link is described. A discrete card sits behind its own
// switch (bridges with AMD's graphics vendor ID): the function's link is that
// switch's internal one; the topmost of those bridges holds the link to the
// slot and the card's capability, the first other parent the slot's.
struct LinkFolders {
    std::string card;  // topmost AMD bridge, else the function itself
    std::string slot;  // the first parent that is no AMD bridge; empty when there is none
    bool bridged = false;
};

LinkFolders link_folders(const Root& root, const FoundCard& card) {
    LinkFolders folders{card.device_dir, {}, false};
    const auto parts = real_path(root, card.device_link);
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

auto order_key(const FoundCard& card) {
    const PciAddress a = card.address.value_or(PciAddress{});
    // Cards whose address cannot be read go last, in card-number order.
    return std::tuple(!card.address.has_value(), a.domain, a.bus, a.device, a.function, card.number);
}

std::vector<FoundCard> find_cards(const Root& root) {
    std::vector<FoundCard> cards;
    const std::string drm = root.path("/sys/class/drm");
    platform::for_each_entry(drm, [&](std::string_view name) {
        const auto number = card_number(name);
        if (!number) return;
        FoundCard card;
        card.number = *number;
        card.device_link = "/sys/class/drm/" + std::string(name) + "/device";
        card.device_dir = root.path(card.device_link);
        if (read_hex(card.device_dir + "/vendor") != kAmdVendorId) return;
        const auto driver = platform::read_link(card.device_dir + "/driver");
        if (!driver || !driver->ends_with("/amdgpu")) return;
        if (const auto target = platform::read_link(card.device_dir)) card.bdf = files::last_component(*target);
        card.address = parse_pci_address(card.bdf);
        cards.push_back(std::move(card));
    });
    std::sort(cards.begin(), cards.end(),
              [](const FoundCard& a, const FoundCard& b) { return order_key(a) < order_key(b); });
    return cards;
}

std::string driver_version(const Root& root) {
    auto version = read_text(root.path("/sys/module/amdgpu/version"));
    if (!version || version->empty()) version = read_text(root.path("/proc/sys/kernel/osrelease"));
    return version.value_or("");
}

}  // namespace

CardScan scan_cards(const Root& root, const naming::MemoryCodeQuery& query_code,
                    const platform::AmdgpuInfoQuery& ask_driver) {
    CardScan scan;
    const auto found = find_cards(root);
    if (found.empty()) return scan;
    // The system's list is read on every pass (a driver update may bring a
    // newer one); the names are views into `ids`.
    const std::string ids = files::read_raw(root.path("/usr/share/libdrm/amdgpu.ids"), kNamesLimit).value_or("");
    const naming::MarketingNames system_names(ids);
    const auto nodes = read_kfd_nodes(root);
    const std::string driver = driver_version(root);

    for (const auto& card : found) {
        const std::string& dir = card.device_dir;
        GpuDevice device;
        device.index = static_cast<std::uint32_t>(scan.devices.size());
        device.vendor_id = kAmdVendorId;
        device.vendor_name = kAmdVendorName;
        device.bdf = card.bdf;
        const auto device_id = narrow32(read_hex(dir + "/device")).value_or(0);
        device.device_id = device_id;
        device.rev_id = narrow32(read_hex(dir + "/revision")).value_or(0);
        const auto subsystem_vendor = read_hex(dir + "/subsystem_vendor").value_or(0);
        const auto subsystem_device = read_hex(dir + "/subsystem_device").value_or(0);
        device.subsystem_id = static_cast<std::uint32_t>((subsystem_device & 0xFFFF) << 16 | (subsystem_vendor & 0xFFFF));

        device.market_name = market_name(system_names, device_id, device.rev_id, dir);

        CardRef ref{card.bdf, std::nullopt, scan.devices.size()};
        const KfdNode* node = nullptr;
        if (card.address) {
            for (const auto& candidate : nodes)
                if (candidate.domain == card.address->domain && candidate.location_id == card.address->location()) {
                    node = &candidate;
                    break;
                }
        }
        if (node != nullptr && node->gfx_target_version != 0) device.gfx_version = gfx_name(node->gfx_target_version);
        if (node != nullptr) {
            device.num_cu = node->num_cu;
            ref.kfd_gpu_id = node->gpu_id;
        }

        device.vram_total_mb = narrow32(read_decimal(dir + "/mem_info_vram_total").value_or(0) / 1048576u).value_or(0);
        device.vram_used_mb = narrow32(read_decimal(dir + "/mem_info_vram_used").value_or(0) / 1048576u).value_or(0);
        device.vram_vendor = text_or_empty(dir + "/mem_info_vram_vendor");
        device.asic_serial = text_or_empty(dir + "/unique_id");
        device.vbios_version = text_or_empty(dir + "/vbios_version");
        device.driver_version = driver;

        device.gtt_total_mb = narrow32(read_decimal(dir + "/mem_info_gtt_total").value_or(0) / 1048576u).value_or(0);
        device.gtt_used_mb = narrow32(read_decimal(dir + "/mem_info_gtt_used").value_or(0) / 1048576u).value_or(0);
        read_ras(dir, device);

        // A runtime-suspended GPU wakes up when its sensors, DPM tables or busy
        // counters are read: none of those files is opened then.
        const auto runtime_status = read_text(dir + "/power/runtime_status");
        const bool suspended = runtime_status == "suspended";
        std::uint8_t metrics_format = 0;
        std::optional<PcieLink> link;
        if (!suspended) {
            read_hwmon(dir, device);
            if (!device.gfx_clock_mhz) device.gfx_clock_mhz = dpm_clock_mhz(dir + "/pp_dpm_sclk");
            if (!device.mem_clock_mhz) device.mem_clock_mhz = dpm_clock_mhz(dir + "/pp_dpm_mclk");
            device.gfx_util_percent = narrow32(read_decimal(dir + "/gpu_busy_percent"));
            device.mem_util_percent = percent_file(dir + "/mem_busy_percent");
            device.media_util_percent = percent_file(dir + "/vcn_busy_percent");
            metrics_format = read_gpu_metrics(dir, device);
            link = dpm_pcie_link(dir + "/pp_dpm_pcie");
        }
        describe_from_driver(root, {dir, device_id, runtime_status == "active", metrics_format}, query_code, ask_driver,
                             device);
        // The bridges' link attributes are PCI configuration reads: they wake nothing.
        const LinkFolders folders = link_folders(root, card);
        if (!link && folders.bridged) {
            link = link_attributes(folders.card, "current");
            if (link->speed_gt == 0 && link->width == 0) link.reset();
        }
        if (!link) link = link_attributes(dir, "current");
        device.pcie_speed_gt = link->speed_gt;
        device.pcie_width = link->width;
        PcieLink max = link_attributes(folders.card, "max");
        if (!folders.slot.empty()) {
            const PcieLink slot = link_attributes(folders.slot, "max");
            max = {lesser_known(max.speed_gt, slot.speed_gt), lesser_known(max.width, slot.width)};
        }
        device.pcie_max_speed_gt = max.speed_gt;
        device.pcie_max_width = max.width;

        device.backend = "sysfs";
        scan.devices.push_back(std::move(device));
        scan.cards.push_back(std::move(ref));
    }
    return scan;
}

}  // namespace karvo::sysfs
