#include "discovery/wmi/wmi_fallback.h"

#include "discovery/wmi/powershell.h"

namespace karvo::discovery::wmi {

Result<DeviceList> query_wmi_devices() {
    auto output = run_powershell(kAdapterScript);
    if (!output.ok()) return output.error();
    // Shared-memory adapters ask PowerShell again, once per adapter.
    return parse_wmi_adapters(*output, [] { return query_system_memory_code(); });
}

std::optional<std::uint32_t> query_system_memory_code() {
    auto output = run_powershell(kMemoryScript);
    if (!output.ok()) return std::nullopt;
    return parse_memory_code(*output);
}

}  // namespace karvo::discovery::wmi
