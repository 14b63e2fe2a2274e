#pragma once
// The steps of one discovery pass over an injected set of sources, so the
// order of the calls and the merge can be exercised without any real source.
// discover_devices() runs it over the real backends.

#include <functional>
#include <string_view>

#include "common/error.h"
#include "discovery/device.h"

namespace karvo::discovery {

struct WindowsSources {
    std::function<Result<DeviceList>()> hip;                   // HIP runtime records
    std::function<Result<DeviceList>()> wmi;                   // WMI adapter records
    std::function<Status(DeviceList&)> adl_pmlog;              // discovery when empty, else enrichment
    std::function<Status(DeviceList&)> adl_overdrive_fallback; // only after a failed enrichment
    std::function<void(DeviceList&)> adapter_statistics;       // VRAM use and per-process memory
    std::function<void(std::string_view)> write_stderr;        // the enrichment failure line
};

// Merges by position: HIP record i is completed from WMI record i ("hip+wmi");
// WMI records past the end of the HIP list are appended unchanged.
DeviceList merge_by_position(DeviceList hip, DeviceList wmi);

// One pass. Never fails: every source error is dropped; only a failed ADL
// enrichment is reported, as one line through `write_stderr`.
DeviceList windows_pass(const WindowsSources& sources);

}  // namespace karvo::discovery
