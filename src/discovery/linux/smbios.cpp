// The memory technology of the system RAM from the SMBIOS Memory Device
// structures (type 17) the kernel exports under sys/firmware/dmi/entries.

#include <algorithm>
#include <utility>

#include "discovery/linux/linux_pass.h"
#include "discovery/linux/sysfs_files.h"
#include "platform/files.h"

namespace karvo::discovery::linux {
namespace {

constexpr std::size_t kSizeOffset = 0x0C;        // word: module size, 0 when the slot is empty
constexpr std::size_t kMemoryTypeOffset = 0x12;  // byte: SMBIOS memory-type code

}  // namespace

std::optional<std::uint32_t> smbios_memory_code(const Root& root) {
    // Entries "17-K", taken in the order of their instance number K.
    const std::string folder = root.path("/sys/firmware/dmi/entries");
    std::vector<std::pair<std::uint64_t, std::string>> entries;
    platform::for_each_entry(folder, [&](std::string_view name) {
        if (!name.starts_with("17-")) return;
        if (const auto instance = files::parse_decimal(name.substr(3)); instance && !name.substr(3).starts_with('+'))
            entries.emplace_back(*instance, std::string(name));
    });
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        const auto raw = files::read_raw(folder + "/" + entry.second + "/raw");
        if (!raw || raw->size() <= kMemoryTypeOffset) continue;
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>((*raw)[at]); };
        // Byte 0 is the structure type, byte 1 the length of its formatted part.
        if (byte(0) != 17 || byte(1) <= kMemoryTypeOffset) continue;
        const unsigned size = byte(kSizeOffset) | byte(kSizeOffset + 1) << 8;
        if (size == 0) continue;
        return byte(kMemoryTypeOffset);
    }
    return std::nullopt;
}

}  // namespace karvo::discovery::linux
