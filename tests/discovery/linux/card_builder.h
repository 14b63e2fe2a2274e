#pragma once
// An amdgpu card in a SysTree: sys/class/drm/cardN linked to its PCI
// function's folder, which holds the attributes, the hwmon folder and the
// driver link; optionally its KFD topology node and PCI bridges above it.
// Starts as a bare RX 7900 XTX (identity only); sensors() adds a full set of
// readings, telemetry() the rest of what the scan reads.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sys_tree.h"

namespace karvo::testing {

// A PCI bridge folder above a card's function; empty texts are files not written.
struct Bridge {
    std::string bdf;
    std::string vendor;  // "0x1002" for the card's own switch ports
    std::string max_speed, max_width, current_speed, current_width;
};

// A gpu_metrics table of format 1.3 (120 bytes): each field set here, the
// rest all ones ("not supported"). Edge 50 C, hotspot 80 C, memory 70 C;
// activity gfx 44 %, memory 33 %, video 5 %; 150 W; 1000 J; clocks 2000 and
// 1000 MHz; fan 1200 RPM; rails soc 900, gfx 1000, memory 1350 mV; throttled
// by power and temperature.
inline std::string metrics_v1_3() {
    std::string blob(120, '\xff');
    const auto put = [&blob](std::size_t offset, std::uint64_t value, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) blob[offset + i] = static_cast<char>(value >> (8 * i) & 0xFF);
    };
    put(0, 120, 2);
    put(2, 1, 1);
    put(3, 3, 1);
    put(4, 50, 2), put(6, 80, 2), put(8, 70, 2);      // edge, hotspot, memory
    put(16, 44, 2), put(18, 33, 2), put(20, 5, 2);    // gfx, umc, mm activity
    put(22, 150, 2);                                  // socket power
    put(24, std::uint64_t{1000} << 16, 8);            // energy: 1000 J
    put(54, 2000, 2), put(58, 1000, 2);               // current gfx and memory clocks
    put(68, 0, 4);                                    // throttle_status
    put(72, 1200, 2);                                 // fan
    put(104, 900, 2), put(106, 1000, 2), put(108, 1350, 2);  // soc, gfx, memory rails
    put(112, std::uint64_t{1} | std::uint64_t{1} << 32, 8);  // PPT0, TEMP_GPU
    return blob;
}

class CardBuilder {
public:
    // `entry` names the sys/class/drm entry: "card0", or "card0-DP-1" for a connector.
    CardBuilder(SysTree& tree, std::string_view entry, std::string bdf) : tree_(tree), bdf_(std::move(bdf)) {
        dir_ = "sys/devices/pci0000:00/" + bdf_;
        tree_.link("sys/class/drm/" + std::string(entry) + "/device", "../../../devices/pci0000:00/" + bdf_);
        identity();
    }
    // The function below `bridges` (outermost first), linked as sysfs does it:
    // sys/class/drm/<entry> leads to the function's drm/<entry> folder, whose
    // "device" link goes back up to the function.
    CardBuilder(SysTree& tree, std::string_view entry, std::string bdf, const std::vector<Bridge>& bridges)
        : tree_(tree), bdf_(std::move(bdf)) {
        dir_ = "sys/devices/pci0000:00";
        for (const Bridge& bridge : bridges) {
            dir_ += "/" + bridge.bdf;
            const std::pair<const char*, const std::string*> files[] = {
                {"vendor", &bridge.vendor},
                {"max_link_speed", &bridge.max_speed},
                {"max_link_width", &bridge.max_width},
                {"current_link_speed", &bridge.current_speed},
                {"current_link_width", &bridge.current_width}};
            for (const auto& [name, value] : files)
                if (!value->empty()) tree_.file(dir_ + "/" + name, *value + "\n");
        }
        dir_ += "/" + bdf_;
        const std::string drm = dir_ + "/drm/" + std::string(entry);
        tree_.link("sys/class/drm/" + std::string(entry), "../../" + drm.substr(4));
        tree_.link(drm + "/device", "../../../" + bdf_);
        identity();
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

    // The readings beyond sensors(): fan, voltages, GTT, memory and video
    // activity, RAS error counts (7 correctable, 1 uncorrectable; one block
    // that cannot be asked).
    CardBuilder& telemetry() {
        hwmon("fan1_input", "1530\n").hwmon("pwm1", "128\n");
        hwmon("in0_label", "vddgfx\n").hwmon("in0_input", "1050\n");
        hwmon("in1_label", "vddnb\n").hwmon("in1_input", "950\n");
        hwmon("in2_label", "vddboard\n").hwmon("in2_input", "12000\n");
        attr("mem_info_gtt_total", "17179869184\n").attr("mem_info_gtt_used", "536870912\n");
        attr("mem_busy_percent", "12\n").attr("vcn_busy_percent", "7\n");
        attr("ras/features", "feature mask: 0x0000000f\n");
        attr("ras/umc_err_count", "ue: 1\nce: 4\nde: 2\n").attr("ras/gfx_err_count", "ue: 0\nce: 3\n");
        attr("ras/sdma_err_count", "Query currently inaccessible\n");
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
    void identity() {
        tree_.link(dir_ + "/driver", "../../../bus/pci/drivers/amdgpu");
        attr("vendor", "0x1002\n").attr("device", "0x744c\n").attr("revision", "0xc8\n");
        attr("subsystem_vendor", "0x1002\n").attr("subsystem_device", "0x0e3b\n");
    }

    SysTree& tree_;
    std::string bdf_;
    std::string dir_;
};

}  // namespace karvo::testing
