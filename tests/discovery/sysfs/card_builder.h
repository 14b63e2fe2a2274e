#pragma once
// An amdgpu card in a SysTree: sys/class/drm/cardN linked to its PCI
// function's folder, which holds the attributes, the hwmon folder and the
// driver link; optionally its KFD topology node. Starts as a bare RX 7900 XTX
// (identity only); sensors() adds a full set of readings.

#include <string>
#include <string_view>

#include "sys_tree.h"

namespace karvo::testing {

class CardBuilder {
public:
    // `entry` names the sys/class/drm entry: "card0", or "card0-DP-1" for a connector.
    CardBuilder(SysTree& tree, std::string_view entry, std::string bdf) : tree_(tree), bdf_(std::move(bdf)) {
        dir_ = "sys/devices/pci0000:00/" + bdf_;
        tree_.link("sys/class/drm/" + std::string(entry) + "/device", "../../../devices/pci0000:00/" + bdf_);
        tree_.link(dir_ + "/driver", "../../../bus/pci/drivers/amdgpu");
        attr("vendor", "0x1002\n").attr("device", "0x744c\n").attr("revision", "0xc8\n");
        attr("subsystem_vendor", "0x1002\n").attr("subsystem_device", "0x0e3b\n");
    }

    // A file in the PCI function's folder.
    CardBuilder& attr(std::string_view name, std::string_view bytes) {
        tree_.file(dir_ + "/" + std::string(name), bytes);
        return *this;
    }
    CardBuilder& hwmon(std::string_view name, std::string_view bytes) {
        return attr("hwmon/hwmon3/" + std::string(name), bytes);
    }
    CardBuilder& remove(std::string_view name) {
        tree_.remove(dir_ + "/" + std::string(name));
        return *this;
    }

    // A discrete card at work: every reading the scan knows of.
    CardBuilder& sensors() {
        attr("mem_info_vram_total", "25753026560\n").attr("mem_info_vram_used", "3221225472\n");
        attr("mem_info_vram_vendor", "samsung\n").attr("unique_id", "5a1b2c3d4e5f6071\n");
        attr("vbios_version", "113-D7020100-102\n").attr("power/runtime_status", "active\n");
        attr("gpu_busy_percent", "37\n");
        attr("pp_dpm_sclk", "0: 500Mhz\n1: 2482Mhz *\n").attr("pp_dpm_mclk", "0: 96Mhz\n1: 1249Mhz *\n");
        attr("pp_dpm_pcie", "0: 2.5GT/s, x1 310Mhz\n1: 16.0GT/s, x16 619Mhz *\n");
        attr("current_link_speed", "2.5 GT/s PCIe\n").attr("current_link_width", "1\n");
        hwmon("name", "amdgpu\n");
        hwmon("temp1_label", "edge\n").hwmon("temp1_input", "45000\n");
        hwmon("temp2_label", "junction\n").hwmon("temp2_input", "71500\n");
        hwmon("temp3_label", "mem\n").hwmon("temp3_input", "62000\n");
        hwmon("freq1_label", "sclk\n").hwmon("freq1_input", "2482000000\n");
        hwmon("freq2_label", "mclk\n").hwmon("freq2_input", "1249000000\n");
        hwmon("power1_input", "212250000\n").hwmon("power1_cap", "327000000\n");
        return *this;
    }

    // The card's KFD topology node: `target` is the gfx_target_version figure.
    CardBuilder& kfd_node(unsigned node, std::string_view target, unsigned gpu_id, unsigned simd_count = 192) {
        const unsigned bus = std::stoul(bdf_.substr(5, 2), nullptr, 16);
        const unsigned device = std::stoul(bdf_.substr(8, 2), nullptr, 16);
        const unsigned function = std::stoul(bdf_.substr(11, 1), nullptr, 16);
        const std::string folder = "sys/class/kfd/kfd/topology/nodes/" + std::to_string(node);
        tree_.file(folder + "/properties",
                   "cpu_cores_count 0\nsimd_count " + std::to_string(simd_count) + "\nsimd_per_cu 2\n" +
                       "gfx_target_version " + std::string(target) + "\nvendor_id 4098\ndomain " +
                       std::to_string(std::stoul(bdf_.substr(0, 4), nullptr, 16)) + "\nlocation_id " +
                       std::to_string(bus << 8 | device << 3 | function) + "\n");
        tree_.file(folder + "/gpu_id", std::to_string(gpu_id) + "\n");
        return *this;
    }

    // Path of an attribute relative to the tree's top.
    std::string path(std::string_view name) const { return dir_ + "/" + std::string(name); }

private:
    SysTree& tree_;
    std::string bdf_;
    std::string dir_;
};

}  // namespace karvo::testing
