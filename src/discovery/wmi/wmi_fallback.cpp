#include "discovery/wmi/wmi_fallback.h"

#include "common/text.h"
#include "discovery/sources/source_ledger.h"
#include "discovery/wmi/powershell.h"

namespace karvo::discovery::wmi {
namespace {

// What the scripts print when WMI has nothing to report: nothing at all, or
// ConvertTo-Json's spelling of no object or an empty list.
bool says_nothing(std::string_view output) {
    const std::string decoded = text::utf8_lossy(output);
    const std::string_view trimmed = text::trim(decoded);
    return trimmed.empty() || trimmed == "null" || trimmed == "[]";
}

}  // namespace

Result<DeviceList> query_wmi_devices() {
    auto output = run_powershell(kAdapterScript);
    if (!output.ok()) return output.error();
    // Shared-memory adapters ask PowerShell again, once per adapter.
    auto devices = parse_wmi_adapters(*output, [] { return query_system_memory_code(); });
    if (!devices.ok() && !says_nothing(*output)) note_source(kWmiSource, SourceReason::failed);
    return devices;
}

std::optional<std::uint32_t> query_system_memory_code() {
    auto output = run_powershell(kMemoryScript);
    if (!output.ok()) return std::nullopt;
    const auto code = parse_memory_code(*output);
    if (!code && !says_nothing(*output)) note_source(kWmiSource, SourceReason::failed);
    return code;
}

}  // namespace karvo::discovery::wmi
