// The amdgpu driver's own answer about a card (DRM_IOCTL_AMDGPU_INFO on its
// render node) and the files that stand in for it. Byte offsets are those of
// the kernel's public interface, include/uapi/drm/amdgpu_drm.h.

#include "discovery/linux/driver_info.h"

#include <cstddef>

#include "discovery/naming/amd_chips.h"
#include "discovery/linux/sysfs_files.h"
#include "discovery/sources/source_ledger.h"
#include "platform/files.h"

namespace karvo::discovery::linux {
namespace {

// struct drm_amdgpu_info_device
constexpr std::size_t kDeviceIdAt = 0;    // u32
constexpr std::size_t kIdsFlagsAt = 136;  // u64
constexpr std::size_t kVramTypeAt = 176;  // u32
constexpr std::uint64_t kFlagFusion = 1;  // AMDGPU_IDS_FLAGS_FUSION: an APU
// struct drm_amdgpu_info_hw_ip: ip_discovery_version, bits 23-16 major, 15-8 minor, 7-0 revision
constexpr std::size_t kIpDiscoveryVersionAt = 28;

std::uint64_t little_endian(const std::string& bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

constexpr const char* kShared = " (Shared)";

// The card's render node under the root: the renderD* entry of the PCI
// function's drm folder, in /dev/dri.
std::optional<std::string> render_node(const Root& root, const std::string& device_dir) {
    std::optional<std::string> node;
    platform::for_each_entry(device_dir + "/drm", [&](std::string_view name) {
        if (node || !name.starts_with("renderD") || !files::parse_decimal(name.substr(7)) ||
            name.substr(7).starts_with('+'))
            return;
        node = root.path("/dev/dri/" + std::string(name));
    });
    return node;
}

// The graphics core's version as IP discovery exported it.
std::optional<std::string_view> target_from_ip_discovery(const std::string& device_dir) {
    const std::string folder = device_dir + "/ip_discovery/die/0/GC/0/";
    const auto major = files::read_decimal(folder + "major");
    const auto minor = files::read_decimal(folder + "minor");
    const auto revision = files::read_decimal(folder + "revision");
    if (!major || !minor || !revision || *major > 0xFF || *minor > 0xFF || *revision > 0xFF) return std::nullopt;
    return naming::gfx_target_for_gc_version(static_cast<std::uint32_t>(*major), static_cast<std::uint32_t>(*minor),
                                             static_cast<std::uint32_t>(*revision));
}

std::string graphics_target(const DriverCard& card, const std::optional<DriverFacts>& facts) {
    std::optional<std::string_view> target;
    if (facts && facts->gc_version) {
        const std::uint32_t v = *facts->gc_version;
        target = naming::gfx_target_for_gc_version(v >> 16 & 0xFF, v >> 8 & 0xFF, v & 0xFF);
    }
    if (!target) target = target_from_ip_discovery(card.device_dir);
    if (!target) target = naming::gfx_target_for_legacy_device_id(card.device_id);
    if (target) return std::string(*target);
    return naming::gfx_target_for_device_id(card.device_id);
}

// First source that answers: the driver, then the tables (and for an APU the
// system RAM's SMBIOS type, then its family's usual one). An APU shares the
// system's memory and says so.
std::string memory_type(const DriverCard& card, const std::optional<DriverFacts>& facts,
                        const naming::MemoryCodeQuery& query_code) {
    const auto hbm = naming::hbm_type_for_device_id(card.device_id);
    const auto usual = naming::apu_memory_for_device_id(card.device_id);
    const bool apu = (facts && facts->apu) || card.metrics_format == 2 || card.metrics_format == 3 || usual;
    std::optional<std::string> named;
    if (facts && facts->vram_type) {
        if (*facts->vram_type == naming::kDriverMemoryHbm) named = std::string(hbm.value_or("HBM"));
        else if (const auto name = naming::driver_memory_name(*facts->vram_type)) named = std::string(*name);
    }
    if (!named && hbm) named = std::string(*hbm);
    if (!apu) return named ? *named : naming::memory_type_for_device_id(card.device_id, query_code);
    if (named) return *named + kShared;
    if (query_code) {
        if (const auto code = query_code())
            if (const auto name = naming::full_memory_name(*code)) return *name + kShared;
    }
    return std::string(usual.value_or(naming::short_memory_name(std::nullopt))) + kShared;
}

}  // namespace

std::optional<DriverFacts> decode_driver_facts(const platform::AmdgpuInfo& answer) {
    const std::string& info = answer.device_info;
    if (info.size() < kVramTypeAt + 4) return std::nullopt;
    DriverFacts facts;
    facts.device_id = static_cast<std::uint32_t>(little_endian(info, kDeviceIdAt, 4));
    facts.apu = (little_endian(info, kIdsFlagsAt, 8) & kFlagFusion) != 0;
    if (const auto type = static_cast<std::uint32_t>(little_endian(info, kVramTypeAt, 4)); type != 0)
        facts.vram_type = type;
    if (answer.gfx_ip_info.size() >= kIpDiscoveryVersionAt + 4) {
        const auto version = static_cast<std::uint32_t>(little_endian(answer.gfx_ip_info, kIpDiscoveryVersionAt, 4));
        // Bits above 23 are not part of the version: such a word is no answer.
        if (version != 0 && version <= 0xFFFFFF) facts.gc_version = version;
    }
    return facts;
}

void describe_from_driver(const Root& root, const DriverCard& card, const naming::MemoryCodeQuery& query_code,
                          const platform::AmdgpuInfoQuery& ask_driver, GpuDevice& device) {
    std::optional<DriverFacts> facts;
    // Opening the node wakes a sleeping card: only an awake one is asked.
    if (card.awake && ask_driver) {
        if (const auto node = render_node(root, card.device_dir)) {
            const SourceTimer timed("driver");
            const auto answer = ask_driver(*node);
            if (answer) facts = decode_driver_facts(*answer);
            // An answer about another device (a node that is not this card's)
            // is no answer; a node that cannot be opened (no rights to it, none
            // in this container) is how the driver is missing from here.
            const bool wrong = facts && facts->device_id != card.device_id;
            if (wrong) facts.reset();
            note_source("driver", !answer  ? std::optional(SourceReason::missing)
                                  : !facts ? std::optional(SourceReason::failed)
                                           : std::nullopt);
        }
    }
    if (device.gfx_version.empty()) device.gfx_version = graphics_target(card, facts);
    device.vram_type = memory_type(card, facts, query_code);
}

}  // namespace karvo::discovery::linux
