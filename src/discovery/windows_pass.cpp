#include "discovery/windows_pass.h"

#include <utility>

#include "discovery/sources/source_ledger.h"

namespace karvo::discovery {
namespace {

DeviceList list_or_empty(const std::function<Result<DeviceList>()>& source) {
    auto result = source();
    if (!result.ok()) return {};
    return std::move(result).value();
}

// The fields WMI knows better than the HIP runtime: PCI identity, location and
// driver always; the target and the size only when HIP could not tell.
void complete_from_wmi(GpuDevice& device, GpuDevice&& wmi) {
    device.device_id = wmi.device_id;
    device.subsystem_id = wmi.subsystem_id;
    device.rev_id = wmi.rev_id;
    device.bdf = std::move(wmi.bdf);
    device.driver_version = std::move(wmi.driver_version);
    if (device.gfx_version == "unknown") device.gfx_version = std::move(wmi.gfx_version);
    if (device.vram_total_mb == 0) device.vram_total_mb = wmi.vram_total_mb;
    device.backend = "hip+wmi";
}

}  // namespace

DeviceList merge_by_position(DeviceList hip, DeviceList wmi) {
    if (hip.empty()) return wmi;
    const std::size_t paired = hip.size() < wmi.size() ? hip.size() : wmi.size();
    for (std::size_t i = 0; i < paired; ++i) complete_from_wmi(hip[i], std::move(wmi[i]));
    for (std::size_t i = hip.size(); i < wmi.size(); ++i) hip.push_back(std::move(wmi[i]));
    return hip;
}

DeviceList windows_pass(const WindowsSources& sources) {
    // Both sources are asked on every pass, whatever the first one gave.
    DeviceList hip = list_or_empty(sources.hip);
    DeviceList wmi = list_or_empty(sources.wmi);
    DeviceList devices = merge_by_position(std::move(hip), std::move(wmi));

    if (devices.empty()) {
        // Nothing from HIP or WMI: the display library may find adapters itself.
        // Its records are complete as they are; no other step touches them.
        DeviceList adl_devices;
        const Status discovered = sources.adl_pmlog(adl_devices);
        if (discovered.ok() && !adl_devices.empty()) return adl_devices;
    }

    const Status enriched = sources.adl_pmlog(devices);
    if (!enriched.ok()) {
        sources.write_stderr("[adl] PMLog enrich failed: " + enriched.error().long_form() + "\n");
        // Older boards have no sensor log and answer through OverdriveN
        // instead: for GPUs the fallback has to read, its outcome is the
        // display library's.
        if (!devices.empty()) forget_source_outcome("adl");
        (void)sources.adl_overdrive_fallback(devices);
    }

    sources.adapter_statistics(devices);
    return devices;
}

}  // namespace karvo::discovery
