#pragma once
// The Windows service control manager (advapi32), as far as karvo uses it:
// registering and removing its service, running as that service, and the
// Application event log. The logic above it (command lines, status
// transitions, stop handling) is portable; on POSIX every call here says that
// services exist only on Windows.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace karvo::platform {

inline constexpr std::string_view kServicesOnlyOnWindows = "the karvo service exists only on Windows";

// What `karvo service install` registers.
struct ServiceDefinition {
    std::string name;
    std::string display_name;
    std::string description;
    std::string command_line;  // the whole command line, program path quoted
    bool delayed_auto_start = true;
    std::vector<std::uint32_t> restart_delays_ms;  // one restart action per failure, in order
    std::uint32_t failure_reset_seconds = 0;       // failures counted again from zero after this long
};

// The account a registered service runs as.
inline constexpr std::string_view kServiceAccount = "LocalSystem";

// Registers the service (automatic start, kServiceAccount, own process) with
// its description, delayed start and failure actions. Errors read
// "{step}: {system text} (os error {code})", except access denied, which is
// kNeedsElevation.
Status install_service(const ServiceDefinition& definition);
// Asks the service to stop, waits up to `stop_timeout_ms` for it to stop, and
// deletes it. Errors as for install_service.
Status uninstall_service(std::string_view name, std::uint32_t stop_timeout_ms);
inline constexpr std::string_view kNeedsElevation =
    "this needs an elevated console: open the console with \"Run as administrator\" and try again";

// The running executable's full path (UTF-8).
Result<std::string> executable_path();
// `path` made absolute against the current folder (unchanged when it already is).
Result<std::string> absolute_path(const std::string& path);

// Service states and their SCM numbers (SERVICE_STOPPED, ...).
enum class ServiceState : std::uint32_t { stopped = 1, start_pending = 2, stop_pending = 3, running = 4 };
struct ServiceStatus {
    ServiceState state = ServiceState::start_pending;
    bool accepts_stop = false;      // stop and shutdown requests are taken
    int exit_code = 0;              // karvo's own exit status once stopped
    std::uint32_t checkpoint = 0;   // counts up during a pending state
    std::uint32_t wait_hint_ms = 0; // how long the pending state may last
    bool operator==(const ServiceStatus&) const = default;
};
// Control requests the service answers.
enum class ServiceControl { stop, shutdown, interrogate, other };

struct ServiceCallbacks {
    // Runs the service, on the service manager's thread for it; `report`
    // passes a status on to the service manager.
    std::function<void(const std::function<void(const ServiceStatus&)>& report)> main;
    // A control request, on the dispatcher's thread, while main runs.
    std::function<void(ServiceControl)> on_control;
};

// Connects to the service control manager as service `name` and runs it.
// Returns false at once when the process was not started by the service
// manager (or on POSIX).
bool run_as_service(std::string_view name, const ServiceCallbacks& callbacks);

// One entry in the Application event log under `source` (RegisterEventSourceW
// and ReportEventW); failures are ignored. Nothing on POSIX.
enum class EventType { error, warning, information };
void report_event(std::string_view source, EventType type, std::string_view message);

}  // namespace karvo::platform
