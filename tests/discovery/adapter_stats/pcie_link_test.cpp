#include "discovery/adapter_stats/pcie_link.h"

#include <gtest/gtest.h>

#include "fake_gpu_os.h"

namespace karvo::discovery::adapter_stats {
namespace {

using platform::PciLinkProperty;
using testing::FakeGpuOs;
using testing::tree_node;
using Link = std::map<PciLinkProperty, std::uint32_t>;

constexpr const char* kGpu = "PCI\\VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8\\6&1A2B3C4D&0&00000009";

Link link(std::uint32_t speed, std::uint32_t width, std::uint32_t max_speed, std::uint32_t max_width) {
    return {{PciLinkProperty::current_speed, speed},
            {PciLinkProperty::current_width, width},
            {PciLinkProperty::max_speed, max_speed},
            {PciLinkProperty::max_width, max_width}};
}

GpuDevice wmi_record(std::string bdf = kGpu) {
    GpuDevice device;
    device.bdf = std::move(bdf);
    return device;
}

TEST(PcieLink, SpeedCodesAndWidths) {
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> speeds = {
        {0, 0}, {1, 2}, {2, 5}, {3, 8}, {4, 16}, {5, 32}, {6, 64}, {7, 0}, {0xFFFFFFFF, 0}};
    for (const auto& [code, gt] : speeds) EXPECT_EQ(link_speed_gt(code), gt) << code;
    EXPECT_EQ(link_width(0), 0u);
    EXPECT_EQ(link_width(1), 1u);
    EXPECT_EQ(link_width(16), 16u);
    EXPECT_EQ(link_width(32), 32u);
    EXPECT_EQ(link_width(33), 0u);
    EXPECT_EQ(link_width(0xFFFFFFFF), 0u);
}

TEST(PcieLink, OnlyPciInstanceIdsAreLookedUp) {
    EXPECT_EQ(pci_instance_id(wmi_record()), kGpu);
    EXPECT_EQ(pci_instance_id(wmi_record("pci\\ven_1002&dev_15bf")), "pci\\ven_1002&dev_15bf");
    for (const char* other : {"", "PCI\\VEN_", "0000:03:00.0", "PCI_VEN_1002&DEV_744C&SUBSYS_1 bus 3 dev 0 fn 0"}) {
        EXPECT_EQ(pci_instance_id(wmi_record(other)), std::nullopt) << other;
    }
    EXPECT_TRUE(is_amd_pci_instance("pci\\VEN_1002&DEV_1478&SUBSYS_0"));
    EXPECT_FALSE(is_amd_pci_instance("PCI\\VEN_1022&DEV_1483&SUBSYS_0"));
    EXPECT_FALSE(is_amd_pci_instance("PCI\\VEN_10020&DEV_1"));
    EXPECT_FALSE(is_amd_pci_instance("ACPI\\PNP0A08\\0"));
}

// GPU -> the card's switch (downstream, upstream port) -> the platform's root port.
TEST(PcieLink, TheTopmostAmdBridgeIsThePhysicalLinkAndTheSlotBoundsTheMaximum) {
    FakeGpuOs os;
    os.state.nodes = {
        {0, tree_node("PCI\\VEN_1022&DEV_1483&SUBSYS_14531022&REV_00\\3&2411E6FE&0&09", 9, link(4, 16, 4, 16))},
        {1, tree_node("PCI\\VEN_1002&DEV_1478&SUBSYS_00000000&REV_C8\\4&1&0&0009", 0, link(3, 8, 5, 16))},
        {2, tree_node("PCI\\VEN_1002&DEV_1479&SUBSYS_00000000&REV_00\\5&1&0&000900", 1, link(5, 16, 5, 16))},
        {3, tree_node(kGpu, 2, link(5, 16, 5, 16))},
        {9, tree_node("ACPI\\PNP0A08\\0", std::nullopt)},
    };
    DeviceList devices = {wmi_record(), wmi_record()};
    devices[1].pcie_width = 4;  // already measured by another source

    apply_pcie_links(devices, os);

    EXPECT_EQ(devices[0].pcie_speed_gt, 8u);
    EXPECT_EQ(devices[0].pcie_width, 8u);
    EXPECT_EQ(devices[0].pcie_max_speed_gt, 16u) << "the slot's 16 GT/s bounds the card's 32";
    EXPECT_EQ(devices[0].pcie_max_width, 16u);
    EXPECT_EQ(devices[1].pcie_speed_gt, 8u);
    EXPECT_EQ(devices[1].pcie_width, 4u);
    EXPECT_EQ(os.state.device_tree_opened, 1);
    EXPECT_EQ(os.state.live_sessions, 0);
}

TEST(PcieLink, WithoutAnAmdParentTheGpuIsTheCardEnd) {
    FakeGpuOs os;
    os.state.nodes = {
        {0, tree_node("PCI\\VEN_8086&DEV_A70D\\3&11583659&0&08", std::nullopt, link(4, 8, 4, 8))},
        {1, tree_node(kGpu, 0, link(4, 8, 4, 16))},
    };
    DeviceList devices = {wmi_record()};
    apply_pcie_links(devices, os);
    EXPECT_EQ(devices[0].pcie_speed_gt, 16u);
    EXPECT_EQ(devices[0].pcie_width, 8u);
    EXPECT_EQ(devices[0].pcie_max_speed_gt, 16u);
    EXPECT_EQ(devices[0].pcie_max_width, 8u);
}

TEST(PcieLink, MissingOrBadFiguresLeaveTheirFieldsAlone) {
    FakeGpuOs os;
    os.state.nodes = {
        {0, tree_node("PCI\\VEN_1022&DEV_1483\\3&0", std::nullopt, {{PciLinkProperty::max_width, 0}})},
        {1, tree_node(kGpu, 0, {{PciLinkProperty::current_speed, 9}, {PciLinkProperty::max_width, 16}})},
        // A parent whose ID cannot be read ends the walk like a slot.
        {2, tree_node(std::nullopt, std::nullopt, link(1, 1, 1, 1))},
        {3, tree_node("PCI\\VEN_1002&DEV_7480\\1", 2, link(2, 4, 7, 4))},
    };
    DeviceList devices = {wmi_record(), wmi_record("PCI\\VEN_1002&DEV_7480\\1"),
                          wmi_record("PCI\\VEN_1002&DEV_73BF\\not-present")};
    devices[0].pcie_speed_gt = 3;

    apply_pcie_links(devices, os);

    EXPECT_EQ(devices[0].pcie_speed_gt, 3u);
    EXPECT_EQ(devices[0].pcie_width, 0u);
    EXPECT_EQ(devices[0].pcie_max_speed_gt, 0u);
    EXPECT_EQ(devices[0].pcie_max_width, 16u) << "a slot width of 0 bounds nothing";
    EXPECT_EQ(devices[1].pcie_speed_gt, 5u);
    EXPECT_EQ(devices[1].pcie_width, 4u);
    EXPECT_EQ(devices[1].pcie_max_speed_gt, 2u) << "speed code 7 is unknown: the slot's stands in";
    EXPECT_EQ(devices[1].pcie_max_width, 1u) << "bounded by the unreadable node's x1";
    EXPECT_EQ(devices[2].pcie_max_width, 0u);
}

TEST(PcieLink, ALoopOfAmdNodesEndsAfterTheDepthBound) {
    FakeGpuOs os;
    os.state.nodes = {{1, tree_node(kGpu, 2, link(4, 16, 4, 16))},
                      {2, tree_node("PCI\\VEN_1002&DEV_1478\\x", 1, link(3, 8, 3, 8))}};
    DeviceList devices = {wmi_record()};
    apply_pcie_links(devices, os);
    EXPECT_EQ(os.state.parent_calls, static_cast<int>(kMaxBridgeDepth));
    EXPECT_NE(devices[0].pcie_speed_gt, 0u);
}

TEST(PcieLink, TheTreeIsOpenedOnlyForRecordsWithAnInstanceId) {
    FakeGpuOs os;
    DeviceList devices = {wmi_record(""), wmi_record("0000:03:00.0")};
    apply_pcie_links(devices, os);
    EXPECT_EQ(os.state.device_tree_opened, 0);

    os.state.device_tree_available = false;
    devices = {wmi_record(), wmi_record()};
    apply_pcie_links(devices, os);
    EXPECT_EQ(os.state.device_tree_opened, 1);
    EXPECT_EQ(devices[0].pcie_width, 0u);
}

}  // namespace
}  // namespace karvo::discovery::adapter_stats
