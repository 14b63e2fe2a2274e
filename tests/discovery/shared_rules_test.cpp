// The rules every source of a figure shares, whichever system reads it.
#include <gtest/gtest.h>

#include "discovery/pci_id.h"
#include "discovery/pcie_capability.h"

namespace karvo::discovery {
namespace {

TEST(PciIdField, FixedDigitsAfterTheFirstMarker) {
    const struct {
        std::string_view text;
        PciIdField field;
        std::optional<std::uint32_t> want;
    } rows[] = {
        {"PCI\\VEN_1002&DEV_744c&SUBSYS_0e3b1002&REV_c8\\6&1", kPciDevice, 0x744C},
        {"PCI\\VEN_1002&DEV_744c&SUBSYS_0e3b1002&REV_c8\\6&1", kPciSubsystem, 0x0E3B1002},
        {"PCI\\VEN_1002&DEV_744c&SUBSYS_0e3b1002&REV_c8\\6&1", kPciRevision, 0xC8},
        // Digits past the field's width belong to no PCI ID, at the end or not.
        {"PCI_VEN_1002&DEV_73BF1", kPciDevice, 0x73BF},
        {"PCI_VEN_1002&DEV_73BF1&", kPciDevice, 0x73BF},
        {"SUBSYS_123456789&REV_01", kPciSubsystem, 0x12345678},
        {"REV_123456789ABC", kPciRevision, 0x12},
        {"DEV_12", kPciDevice, 0x12},
        {"DEV_744CG", kPciDevice, 0x744C},
        {"DEV_1&DEV_2", kPciDevice, 1},  // the first marker counts
        {"DEV_XYZ&DEV_744C", kPciDevice, std::nullopt},
        {"DEV_", kPciDevice, std::nullopt},
        {"DEV_0x744C", kPciDevice, 0},
        {"DEV_+744C", kPciDevice, std::nullopt},
        {"dev_744C", kPciDevice, std::nullopt},  // markers are case-sensitive
        {"PCI\\VEN_1002", kPciDevice, std::nullopt},
        {"", kPciRevision, std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(pci_id_field(row.text, row.field), row.want) << row.text;
}

TEST(LinkCapability, TheSlotBoundsTheCardAndStandsInForAnUnknownOne) {
    const struct {
        PcieLink card, slot, want;
    } rows[] = {
        {{32, 16}, {16, 16}, {16, 16}},
        {{16, 16}, {32, 8}, {16, 8}},
        {{16, 16}, {0, 0}, {16, 16}},  // the slot tells nothing
        {{0, 0}, {8, 4}, {8, 4}},      // the card tells nothing
        {{0, 16}, {5, 0}, {5, 16}},    // each figure on its own
        {{0, 0}, {0, 0}, {0, 0}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(link_capability(row.card, row.slot), row.want) << row.card.speed_gt << " x" << row.card.width;
}

}  // namespace
}  // namespace karvo::discovery
