// The service control manager through advapi32: CreateServiceW and
// ChangeServiceConfig2W for `karvo service install`, ControlService and
// DeleteService for uninstall, StartServiceCtrlDispatcherW with
// SetServiceStatus for `--service`, and the Application event log.
#include "platform/service.h"

#include <windows.h>
#include <winsvc.h>

#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace karvo::platform {
namespace {

Error failure(std::string_view step) {
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED) return Error(std::string(kNeedsElevation));
    return Error(std::string(step) + ": " + os_error_text(static_cast<int>(code)));
}

// Closes a service-manager handle when it goes out of scope.
struct ScHandle {
    SC_HANDLE handle;
    explicit ScHandle(SC_HANDLE h) : handle(h) {}
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ~ScHandle() {
        if (handle != nullptr) CloseServiceHandle(handle);
    }
};

// The running service: StartServiceCtrlDispatcherW takes plain function
// pointers, so its callbacks and handle live here for the run.
const ServiceCallbacks* g_callbacks = nullptr;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
std::wstring g_service_name;

void set_status(const ServiceStatus& status) {
    SERVICE_STATUS raw{};
    raw.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    raw.dwCurrentState = static_cast<DWORD>(status.state);
    raw.dwControlsAccepted = status.accepts_stop ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    if (status.exit_code != 0) {
        raw.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        raw.dwServiceSpecificExitCode = static_cast<DWORD>(status.exit_code);
    }
    raw.dwCheckPoint = status.checkpoint;
    raw.dwWaitHint = status.wait_hint_ms;
    (void)SetServiceStatus(g_status_handle, &raw);
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
    ServiceControl request = ServiceControl::other;
    switch (control) {
        case SERVICE_CONTROL_STOP: request = ServiceControl::stop; break;
        case SERVICE_CONTROL_SHUTDOWN: request = ServiceControl::shutdown; break;
        case SERVICE_CONTROL_INTERROGATE: request = ServiceControl::interrogate; break;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
    g_callbacks->on_control(request);
    return NO_ERROR;
}

void WINAPI service_main(DWORD, LPWSTR*) {
    g_status_handle = RegisterServiceCtrlHandlerExW(g_service_name.c_str(), control_handler, nullptr);
    if (g_status_handle == nullptr) return;
    g_callbacks->main(set_status);
}

}  // namespace

Status install_service(const ServiceDefinition& definition) {
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (manager.handle == nullptr) return failure("open the service control manager");
    const std::wstring name = win32::widen(definition.name);
    const std::wstring display = win32::widen(definition.display_name);
    const std::wstring command = win32::widen(definition.command_line);
    const ScHandle service(CreateServiceW(manager.handle, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                          command.c_str(), nullptr, nullptr, nullptr,
                                          nullptr /* kServiceAccount: LocalSystem */, nullptr));
    if (service.handle == nullptr) return failure("create the service " + definition.name);

    std::wstring description = win32::widen(definition.description);
    SERVICE_DESCRIPTIONW described{description.data()};
    if (!ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_DESCRIPTION, &described)) {
        const Error error = failure("set the service description");
        (void)DeleteService(service.handle);
        return error;
    }

    // A service manager without delayed start or failure actions (Wine's)
    // answers ERROR_INVALID_LEVEL: the service then keeps a plain automatic start.
    auto configured = [&](DWORD level, void* info) {
        return ChangeServiceConfig2W(service.handle, level, info) || GetLastError() == ERROR_INVALID_LEVEL;
    };
    // Nothing half-registered stays behind after a failed step.
    auto undo = [&](std::string_view step) {
        const Error error = failure(step);
        (void)DeleteService(service.handle);
        return error;
    };
    SERVICE_DELAYED_AUTO_START_INFO delayed{definition.delayed_auto_start ? TRUE : FALSE};
    if (!configured(SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed)) return undo("set the delayed start");

    std::vector<SC_ACTION> actions;
    for (const std::uint32_t delay : definition.restart_delays_ms) actions.push_back({SC_ACTION_RESTART, delay});
    SERVICE_FAILURE_ACTIONSW on_failure{};
    on_failure.dwResetPeriod = definition.failure_reset_seconds;
    on_failure.cActions = static_cast<DWORD>(actions.size());
    on_failure.lpsaActions = actions.data();
    if (!configured(SERVICE_CONFIG_FAILURE_ACTIONS, &on_failure)) return undo("set the restart actions");
    // A stop with a non-zero exit code counts as a failure too, not only a crash.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    (void)ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    return {};
}

Status uninstall_service(std::string_view name, std::uint32_t stop_timeout_ms) {
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.handle == nullptr) return failure("open the service control manager");
    const std::wstring wide = win32::widen(name);
    const ScHandle service(OpenServiceW(manager.handle, wide.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (service.handle == nullptr) return failure("open the service " + std::string(name));

    SERVICE_STATUS status{};
    if (ControlService(service.handle, SERVICE_CONTROL_STOP, &status) || GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        const std::uint64_t deadline = monotonic_ns() + std::uint64_t{stop_timeout_ms} * 1000000;
        while (QueryServiceStatus(service.handle, &status) && status.dwCurrentState != SERVICE_STOPPED &&
               monotonic_ns() < deadline)
            sleep_milliseconds(200);
    }
    if (!DeleteService(service.handle) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return failure("delete the service " + std::string(name));
    return {};
}

Result<std::string> executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (size == 0) return failure("find the executable's path");
        if (size < buffer.size()) return win32::narrow(std::wstring_view(buffer.data(), size));
        buffer.resize(buffer.size() * 2);
    }
}

Result<std::string> absolute_path(const std::string& path) {
    const std::wstring wide = win32::widen(path);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return failure("make the path " + path + " absolute");
    std::wstring buffer(needed, L'\0');
    const DWORD size = GetFullPathNameW(wide.c_str(), needed, buffer.data(), nullptr);
    if (size == 0 || size >= needed) return failure("make the path " + path + " absolute");
    return win32::narrow(std::wstring_view(buffer.data(), size));
}

bool run_as_service(std::string_view name, const ServiceCallbacks& callbacks) {
    g_callbacks = &callbacks;
    g_service_name = win32::widen(name);
    SERVICE_TABLE_ENTRYW table[] = {{g_service_name.data(), service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != 0;
}

void report_event(std::string_view source, EventType type, std::string_view message) {
    const std::wstring wide_source = win32::widen(source);
    const HANDLE log = RegisterEventSourceW(nullptr, wide_source.c_str());
    if (log == nullptr) return;
    const std::wstring text = win32::widen(message);
    LPCWSTR strings[] = {text.c_str()};
    const WORD kind = type == EventType::error     ? EVENTLOG_ERROR_TYPE
                      : type == EventType::warning ? EVENTLOG_WARNING_TYPE
                                                   : EVENTLOG_INFORMATION_TYPE;
    (void)ReportEventW(log, kind, 0, 1, nullptr, 1, 0, strings, nullptr);
    (void)DeregisterEventSource(log);
}

}  // namespace karvo::platform
