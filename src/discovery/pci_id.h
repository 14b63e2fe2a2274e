#pragma once
// The PCI identity fields of a Windows device instance ID
// ("PCI\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\6&1"), as WMI reports it and
// as the display library's UDID text carries it. Windows sources only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace karvo::discovery {

// A field is a marker and the fixed number of hex digits a PCI ID has there.
struct PciIdField {
    std::string_view marker;
    std::size_t digits;
};
inline constexpr PciIdField kPciDevice{"DEV_", 4};
inline constexpr PciIdField kPciSubsystem{"SUBSYS_", 8};
inline constexpr PciIdField kPciRevision{"REV_", 2};

// The hex digits right after the first marker (case-sensitive), at most the
// field's number of them: digits past that belong to no PCI ID and are
// ignored, so "DEV_73BF1" is 0x73BF wherever it appears. Nothing when the
// marker is missing or no hex digit follows it.
constexpr std::optional<std::uint32_t> pci_id_field(std::string_view text, PciIdField field) {
    const auto found = text.find(field.marker);
    if (found == std::string_view::npos) return std::nullopt;
    std::uint32_t value = 0;
    std::size_t taken = 0;
    for (std::size_t at = found + field.marker.size(); at < text.size() && taken < field.digits; ++at, ++taken) {
        const char c = text[at];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) break;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    if (taken == 0) return std::nullopt;
    return value;
}

}  // namespace karvo::discovery
