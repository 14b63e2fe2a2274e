#pragma once
// The Windows service, above the platform's service-manager calls: the
// `karvo service install|uninstall` commands and the `--service` run mode
// with its status transitions. Portable, so Linux tests drive it with fakes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.h"
#include "cli/serve_config.h"
#include "common/error.h"
#include "platform/service.h"

namespace karvo::cli {

struct Services;  // driver.h

inline constexpr std::string_view kServiceName = "karvo";
inline constexpr std::string_view kServiceDisplayName = "karvo AMD GPU exporter";
inline constexpr std::string_view kServiceDescription =
    "Reports the state of the AMD GPUs over HTTP: Prometheus text at /metrics, the JSON document at /.";
// The account the service runs as (what install_service registers).
inline constexpr std::string_view kServiceAccount = platform::kServiceAccount;
// Restarts after the first, second and later failures; the count starts over
// after a day without one.
inline constexpr std::uint32_t kRestartDelaysMs[] = {10000, 30000, 60000};
inline constexpr std::uint32_t kFailureResetSeconds = 86400;
// How long uninstall waits for a running service to stop before deleting it.
inline constexpr std::uint32_t kUninstallStopTimeoutMs = 20000;
// Wait hints for the service manager while starting and stopping.
inline constexpr std::uint32_t kStartWaitHintMs = 30000;
inline constexpr std::uint32_t kStopWaitHintMs = 10000;

// One argument for a Windows command line, quoted only when needed, so that
// the C runtime (and CommandLineToArgvW) give back exactly `arg`.
std::string quote_windows_argument(std::string_view arg);

// One word of the service's command line after "--service": a serve setting
// in effect as "--name=value" ("--name" for an option given without a value).
struct ServiceArgument {
    std::string word;
    std::string_view variable;  // the variable the setting came from; empty for an option
};

// The service's arguments: every serve setting in effect, in the option
// table's order, file names made absolute (a service starts in the system
// folder). Secret settings are never written.
using AbsolutePath = std::function<Result<std::string>(const std::string& path)>;
Result<std::vector<ServiceArgument>> service_arguments(const std::vector<ServeSetting>& settings,
                                                       const AbsolutePath& absolute_path);

// What the service commands and the service mode reach outside themselves;
// system_service_env() wires in the platform layer.
struct ServiceEnv {
    std::function<Result<std::string>()> executable_path;
    std::function<Result<std::string>(const std::string&)> absolute_path;
    std::function<Status(const platform::ServiceDefinition&)> install;
    std::function<Status(std::string_view name, std::uint32_t stop_timeout_ms)> uninstall;
    std::function<bool(std::string_view name, const platform::ServiceCallbacks&)> run_as_service;
    std::function<void(platform::EventType, std::string_view message)> report_event;
};
ServiceEnv system_service_env();

// `karvo service install [serve options]` and `karvo service uninstall`;
// `argv` is the whole command line. Returns the exit status.
int run_service_command(const std::vector<std::string>& argv, const Services& services);

// The `--service` run mode: serve until the service manager stops the service.
int run_service(const Args& args, const std::vector<GivenOption>& given, const Services& services);

// The status the service manager sees, moved along by the service thread
// (starting, running, stopped) and the control handler (stop, shutdown,
// interrogate), which run at the same time.
class ServiceLifecycle {
public:
    // Where statuses go; until then they are only kept.
    void attach(std::function<void(const platform::ServiceStatus&)> report);
    void starting();
    // Running and taking stop requests; skipped when a stop came first.
    void running();
    void control(platform::ServiceControl request);
    void stopped(int exit_code);
    bool stop_requested() const { return stop_requested_.load(); }
    platform::ServiceStatus current() const;

private:
    void set(const platform::ServiceStatus& status);  // with mutex_ held

    mutable std::mutex mutex_;
    std::function<void(const platform::ServiceStatus&)> report_;
    platform::ServiceStatus status_;
    std::atomic<bool> stop_requested_{false};
};

}  // namespace karvo::cli
