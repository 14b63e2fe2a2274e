#include "discovery/linux/hwmon.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "common/text.h"
#include "discovery/linux/sysfs_files.h"
#include "platform/files.h"

namespace karvo::discovery::linux {
namespace {

using files::narrow32;
using files::parse_decimal;
using files::read_decimal;
using files::read_text;

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

}  // namespace

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

void read_ras(const std::string& device_dir, GpuDevice& device) {
    const std::string folder = device_dir + "/ras";
    platform::for_each_entry(folder, [&](std::string_view name) {
        if (!name.ends_with("_err_count")) return;
        const auto data = files::read_raw(folder + "/" + std::string(name));
        if (!data) return;
        std::optional<std::uint64_t> ue, ce;
        files::for_each_line(*data, [&](std::string_view line) {
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


}  // namespace karvo::discovery::linux
