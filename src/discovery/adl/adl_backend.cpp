#include "discovery/adl/adl_backend.h"

#include "discovery/adl/adl_internal.h"
#include "discovery/adl/adl_library.h"
#include "discovery/wmi/wmi_fallback.h"
#include "platform/console.h"
#include "platform/system.h"

namespace karvo::discovery::adl {

AdlHost AdlHost::system() {
    AdlHost host;
    host.library_names.assign(kLibraryNames.begin(), kLibraryNames.end());
    host.sleep_ms = [](std::uint32_t ms) { platform::sleep_milliseconds(ms); };
    host.memory_code_query = [] { return wmi::query_system_memory_code(); };
    // A diagnostic that cannot be written changes nothing.
    host.write_line = [](std::string_view line) { (void)platform::write_stderr(line); };
    return host;
}

Status query_pmlog(DeviceList& devices) { return query_pmlog(devices, AdlHost::system()); }

Status overdrive_fallback(DeviceList& devices) { return overdrive_fallback(devices, AdlHost::system()); }

}  // namespace karvo::discovery::adl
