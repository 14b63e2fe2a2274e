#include "render/selection.h"

#include "common/numfmt.h"
#include "common/text.h"

namespace karvo::render {
namespace {

bool same_text(std::string_view a, std::string_view b) { return text::equals_ignore_ascii_case(a, b); }

bool matches(const GpuDevice& d, std::string_view id) {
    if (id == numfmt::unsigned_text(d.index)) return true;
    if (!d.asic_serial.empty() && same_text(id, d.asic_serial)) return true;
    if (d.bdf.empty()) return false;
    // The address without its PCI domain names the device in domain 0000.
    return same_text(id, d.bdf) || same_text("0000:" + std::string(id), d.bdf);
}

}  // namespace

std::vector<std::string> split_ids(std::string_view list) {
    std::vector<std::string> ids;
    for (const std::string_view id : text::split_list(list))
        if (!id.empty()) ids.emplace_back(id);
    return ids;
}

DeviceList devices_named(DeviceList devices, const std::vector<std::string>& ids) {
    if (ids.empty()) return devices;
    DeviceList selected;
    for (GpuDevice& d : devices) {
        bool named = false;
        for (const std::string& id : ids) named = named || matches(d, id);
        if (named) selected.push_back(std::move(d));
    }
    return selected;
}

Result<DeviceList> select_devices(DeviceList devices, const std::vector<std::string>& ids) {
    for (const std::string& id : ids) {
        bool found = false;
        for (const GpuDevice& d : devices) found = found || matches(d, id);
        if (!found) return Error("no GPU matches --id '" + text::utf8_lossy(id) + "'");
    }
    return devices_named(std::move(devices), ids);
}

}  // namespace karvo::render
