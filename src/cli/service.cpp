#include "cli/service.h"

namespace karvo::cli {

std::string quote_windows_argument(std::string_view arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) return std::string(arg);
    // Backslashes are literal except before a quote: a run of them before a
    // quote (or the closing quote) is doubled, and a quote is escaped.
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    out += '"';
    return out;
}

ServiceEnv system_service_env() {
    ServiceEnv env;
    env.executable_path = [] { return platform::executable_path(); };
    env.absolute_path = [](const std::string& path) { return platform::absolute_path(path); };
    env.install = [](const platform::ServiceDefinition& definition) { return platform::install_service(definition); };
    env.uninstall = [](std::string_view name, std::uint32_t timeout_ms) {
        return platform::uninstall_service(name, timeout_ms);
    };
    env.run_as_service = [](std::string_view name, const platform::ServiceCallbacks& callbacks) {
        return platform::run_as_service(name, callbacks);
    };
    env.report_event = [](platform::EventType type, std::string_view message) {
        platform::report_event(kServiceName, type, message);
    };
    return env;
}

void ServiceLifecycle::attach(std::function<void(const platform::ServiceStatus&)> report) {
    const std::lock_guard lock(mutex_);
    report_ = std::move(report);
}

void ServiceLifecycle::set(const platform::ServiceStatus& status) {
    status_ = status;
    if (report_) report_(status_);
}

void ServiceLifecycle::starting() {
    const std::lock_guard lock(mutex_);
    set({.state = platform::ServiceState::start_pending, .checkpoint = 1, .wait_hint_ms = kStartWaitHintMs});
}

void ServiceLifecycle::running() {
    const std::lock_guard lock(mutex_);
    if (stop_requested_.load() || status_.state != platform::ServiceState::start_pending) return;
    set({.state = platform::ServiceState::running, .accepts_stop = true});
}

void ServiceLifecycle::control(platform::ServiceControl request) {
    const std::lock_guard lock(mutex_);
    if (request == platform::ServiceControl::stop || request == platform::ServiceControl::shutdown) {
        stop_requested_.store(true);
        if (status_.state == platform::ServiceState::running || status_.state == platform::ServiceState::start_pending) {
            set({.state = platform::ServiceState::stop_pending, .checkpoint = 1, .wait_hint_ms = kStopWaitHintMs});
        }
        return;
    }
    if (report_) report_(status_);  // interrogate (and anything else): the current status again
}

void ServiceLifecycle::stopped(int exit_code) {
    const std::lock_guard lock(mutex_);
    set({.state = platform::ServiceState::stopped, .exit_code = exit_code});
}

platform::ServiceStatus ServiceLifecycle::current() const {
    const std::lock_guard lock(mutex_);
    return status_;
}

}  // namespace karvo::cli
