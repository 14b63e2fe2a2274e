// The card list: one "sysfs" record per AMD card that amdgpu drives, from the
// PCI function's attributes and DPM tables, libdrm's name list and gpu_metrics,
// with the KFD topology, hwmon and RAS, and the PCIe topology of their own files.

#include <algorithm>
#include <limits>
#include <tuple>

#include "common/numfmt.h"
#include "common/text.h"
#include "discovery/naming/amdgpu_ids.h"
#include "discovery/linux/driver_info.h"
#include "discovery/linux/gpu_metrics.h"
#include "discovery/linux/hwmon.h"
#include "discovery/linux/kfd_topology.h"
#include "discovery/linux/linux_pass.h"
#include "discovery/linux/pcie_topology.h"
#include "discovery/linux/sysfs_files.h"
#include "discovery/sources/source_ledger.h"
#include "platform/files.h"

namespace karvo::discovery::linux {
namespace {

using files::narrow32;
using files::parse_decimal;
using files::read_decimal;
using files::read_hex;
using files::read_text;
using text::leading_number;

constexpr std::size_t kNamesLimit = 1u << 20;  // amdgpu.ids is some tens of KB

// "card" followed by decimal digits only: connectors (card0-DP-1) are not cards.
std::optional<std::uint64_t> card_number(std::string_view name) {
    if (!name.starts_with("card") || name.size() == 4) return std::nullopt;
    name.remove_prefix(4);
    if (!std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    return parse_decimal(name);
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

// "1: 2482Mhz *" -> 2482.
std::optional<std::uint32_t> dpm_clock_mhz(const std::string& path) {
    const auto data = files::read_raw(path);
    if (!data) return std::nullopt;
    auto level = files::current_level(*data);
    if (!level) return std::nullopt;
    const auto value = leading_number(*level);
    if (!text::ascii_lower(*level).starts_with("mhz")) return std::nullopt;
    return narrow32(value);
}

// A percentage file; above 100 is no percentage.
std::optional<std::uint32_t> percent_file(const std::string& path) {
    const auto value = read_decimal(path);
    if (!value || *value > 100) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
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

// A card found in sys/class/drm, before the records are ordered.
struct FoundCard {
    std::uint64_t number = 0;
    std::string device_link;  // "/sys/class/drm/cardN/device", below the root
    std::string device_dir;   // the same with the root's prefix
    std::string bdf;
    std::optional<PciAddress> address;
};

auto order_key(const FoundCard& card) {
    const PciAddress a = card.address.value_or(PciAddress{});
    // Cards whose address cannot be read go last, in card-number order.
    return std::tuple(!card.address.has_value(), a.domain, a.bus, a.device, a.function, card.number);
}

std::vector<FoundCard> find_cards(const Root& root) {
    std::vector<FoundCard> cards;
    const std::string drm = root.path("/sys/class/drm");
    const bool listed = platform::for_each_entry(drm, [&](std::string_view name) {
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
    // No DRM class at all: no graphics driver is loaded (or sysfs is not there).
    note_source("sysfs", listed ? std::nullopt : std::optional(SourceReason::missing));
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
    const SourceTimer timed("sysfs");
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
        const KfdNode* node = card.address ? find_kfd_node(nodes, *card.address) : nullptr;
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
        if (!suspended) {
            read_hwmon(dir, device);
            if (!device.gfx_clock_mhz) device.gfx_clock_mhz = dpm_clock_mhz(dir + "/pp_dpm_sclk");
            if (!device.mem_clock_mhz) device.mem_clock_mhz = dpm_clock_mhz(dir + "/pp_dpm_mclk");
            device.gfx_util_percent = narrow32(read_decimal(dir + "/gpu_busy_percent"));
            device.mem_util_percent = percent_file(dir + "/mem_busy_percent");
            device.media_util_percent = percent_file(dir + "/vcn_busy_percent");
            metrics_format = read_gpu_metrics(dir, device);
        }
        describe_from_driver(root, {dir, device_id, runtime_status == "active", metrics_format}, query_code, ask_driver,
                             device);
        read_pcie_links(root, card.device_link, dir, !suspended, device);

        device.backend = "sysfs";
        scan.devices.push_back(std::move(device));
        scan.cards.push_back(std::move(ref));
    }
    return scan;
}

}  // namespace karvo::discovery::linux
