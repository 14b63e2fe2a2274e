#include "discovery/discover.h"

#include "discovery/adapter_stats/adapter_stats.h"
#include "discovery/adl/adl_backend.h"
#include "discovery/windows_pass.h"
#include "discovery/hip/hip_backend.h"
#include "discovery/linux/linux_pass.h"
#include "discovery/wmi/wmi_fallback.h"
#include "platform/console.h"
#include "platform/host.h"

namespace karvo::discovery {

DeviceList discover_devices() {
    // Linux reads the kernel's own files (and HIP only when they show no card);
    // none of the Windows sources is ever asked there.
    if constexpr (!platform::kWindowsHost) return linux::linux_pass(linux::root_from_environment());

    const WindowsSources sources{
        .hip = [] { return hip::query_hip_devices(); },
        .wmi = [] { return wmi::query_wmi_devices(); },
        .adl_pmlog = [](DeviceList& devices) { return adl::query_pmlog(devices); },
        .adl_overdrive_fallback = [](DeviceList& devices) { return adl::overdrive_fallback(devices); },
        .adapter_statistics = [](DeviceList& devices) { adapter_stats::apply_adapter_statistics(devices); },
        // A diagnostic that cannot be written is not worth failing the pass for.
        .write_stderr = [](std::string_view line) { (void)platform::write_stderr(line); },
    };
    return windows_pass(sources);
}

}  // namespace karvo::discovery
