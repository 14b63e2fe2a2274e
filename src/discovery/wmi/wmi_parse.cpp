// Reading what the two WMI scripts print. No process is started here.

#include <limits>
#include <string>
#include <utility>

#include "common/json_reader.h"
#include "common/text.h"
#include "discovery/pci_id.h"
#include "discovery/wmi/wmi_fallback.h"

namespace karvo::discovery::wmi {
namespace {

std::string string_member(const json::Value& object, std::string_view name, std::string_view fallback) {
    if (const json::Value* member = object.find(name))
        if (const std::string* text = member->as_string()) return *text;
    return std::string(fallback);
}

std::uint32_t adapter_ram_mb(const json::Value& object) {
    const json::Value* member = object.find("AdapterRAM");
    if (member == nullptr) return 0;
    const auto bytes = member->as_u64();
    // Negative, fractional and non-numbers count as not reported, and so does
    // the saturated 32-bit value that WMI gives for 4 GiB boards and larger.
    if (!bytes || *bytes >= kAdapterRamSaturated) return 0;
    return bytes_to_mb(*bytes);
}

GpuDevice adapter_record(const json::Value& element, std::uint32_t position, const naming::MemoryCodeQuery& query_code) {
    // An element that is not an object reads as one without members: every default applies.
    static const json::Value no_members = json::Value::make_object({});
    const json::Value& object = element.is_object() ? element : no_members;

    GpuDevice device;
    device.index = position;
    device.market_name = string_member(object, "Name", "AMD GPU");
    device.bdf = string_member(object, "PNPDeviceID", "");
    device.driver_version = string_member(object, "DriverVersion", "");
    device.vram_total_mb = adapter_ram_mb(object);
    const std::uint32_t device_id = pci_id_field(device.bdf, kPciDevice).value_or(0);
    device.device_id = device_id;
    device.subsystem_id = pci_id_field(device.bdf, kPciSubsystem).value_or(0);
    device.rev_id = pci_id_field(device.bdf, kPciRevision).value_or(0);
    device.vendor_id = kAmdVendorId;
    device.vendor_name = kAmdVendorName;
    device.vram_type = naming::memory_type_for_device_id(device_id, query_code);
    device.gfx_version = naming::gfx_target_for_device_id(device_id);
    device.backend = "wmi";
    return device;
}

}  // namespace

Result<DeviceList> parse_wmi_adapters(std::string_view output, const naming::MemoryCodeQuery& query_code) {
    const std::string decoded = text::utf8_lossy(output);
    const std::string_view trimmed = text::trim(decoded);
    if (trimmed.empty() || trimmed == "null") return Error("no AMD GPU via WMI");

    // ConvertTo-Json prints a lone adapter as a bare object: make it a list of one.
    std::string document;
    if (trimmed.front() != '[') {
        document.reserve(trimmed.size() + 2);
        document += '[';
        document += trimmed;
        document += ']';
    }
    auto parsed = json::parse(document.empty() ? trimmed : std::string_view(document));
    if (!parsed.ok()) return parsed.error();

    const std::vector<json::Value>* elements = parsed->as_array();
    if (elements == nullptr || elements->empty()) return Error("no AMD WMI entries");

    DeviceList devices;
    devices.reserve(elements->size());
    for (std::size_t k = 0; k < elements->size(); ++k)
        devices.push_back(adapter_record((*elements)[k], static_cast<std::uint32_t>(k), query_code));
    return devices;
}

std::optional<std::uint32_t> parse_memory_code(std::string_view output) {
    if (!text::is_valid_utf8(output)) return std::nullopt;
    const auto code = text::parse_unsigned(text::trim(output), std::numeric_limits<std::uint32_t>::max());
    if (!code) return std::nullopt;
    return static_cast<std::uint32_t>(*code);
}

}  // namespace karvo::discovery::wmi
