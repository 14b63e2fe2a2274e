#include "discovery/discover.h"

#include "discovery/adapter_stats/adapter_stats.h"
#include "discovery/adl/adl_backend.h"
#include "discovery/capture/session.h"
#include "discovery/windows_pass.h"
#include "discovery/hip/hip_backend.h"
#include "discovery/linux/linux_pass.h"
#include "discovery/wmi/wmi_fallback.h"
#include "platform/boundary.h"
#include "platform/console.h"
#include "platform/system.h"

namespace karvo::discovery {
namespace {

// A source's error is dropped by the pass; a recorded pass keeps it.
template <class T>
T noted(std::string_view source, T result) {
    if (!result.ok()) platform::note_source_error(source, result.error());
    return result;
}

DeviceList run_pass() {
    // Recorded or replayed passes meet the system through the boundary this
    // scope installs; a replay runs the pass of the system it was recorded on.
    const capture::PassScope scope;

    // Linux reads the kernel's own files (and HIP only when they show no card);
    // none of the Windows sources is ever asked there.
    if (scope.system() == capture::System::linux) return linux::linux_pass(linux::root_from_environment());

    const WindowsSources sources{
        .hip = [] { return noted("hip", hip::query_hip_devices()); },
        .wmi = [] { return noted("wmi", wmi::query_wmi_devices()); },
        .adl_pmlog = [](DeviceList& devices) { return noted("adl", adl::query_pmlog(devices)); },
        .adl_overdrive_fallback =
            [](DeviceList& devices) { return noted("adl-overdrive", adl::overdrive_fallback(devices)); },
        .adapter_statistics = [](DeviceList& devices) { adapter_stats::apply_adapter_statistics(devices); },
        // A diagnostic that cannot be written is not worth failing the pass for.
        .write_stderr = [](std::string_view line) { (void)platform::write_stderr(line); },
    };
    return windows_pass(sources);
}

}  // namespace

PassResult discover_pass() {
    const SourceLedger ledger;
    const std::uint64_t started = platform::monotonic_ns();
    PassResult pass;
    pass.devices = run_pass();
    pass.seconds = static_cast<double>(platform::monotonic_ns() - started) / 1e9;
    pass.sources = ledger.statuses();
    return pass;
}

DeviceList discover_devices() { return run_pass(); }

}  // namespace karvo::discovery
