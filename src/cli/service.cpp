#include "cli/service.h"

#include "cli/driver.h"
#include "cli/options.h"
#include "render/display_text.h"
#include "server/listener.h"

namespace karvo::cli {

using render::display_text;

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

Result<std::vector<ServiceArgument>> service_arguments(const std::vector<ServeSetting>& settings,
                                                       const AbsolutePath& absolute_path) {
    std::vector<ServiceArgument> arguments;
    for (const ServeSetting& setting : settings) {
        if (setting.option->secret) continue;
        std::string word = "--" + std::string(setting.option->name);
        if (setting.value) {
            std::string value = *setting.value;
            if (setting.option->hint == ValueHint::file) {
                Result<std::string> absolute = absolute_path(value);
                if (!absolute.ok()) return absolute.error();
                value = std::move(*absolute);
            }
            // Joined with "=": a value that starts with "-" stays the option's value.
            word += "=" + value;
        }
        arguments.push_back(
            {std::move(word), setting.source == SettingSource::environment ? setting.option->env : std::string_view()});
    }
    return arguments;
}

namespace {

constexpr std::string_view kServiceUsage =
    "\nUsage: karvo service install [serve options]\n"
    "       karvo service uninstall\n\nFor more information, try '--help'.\n";

int service_usage_error(const Services& services, const std::string& message) {
    (void)services.write_err("error: " + message + "\n" + std::string(kServiceUsage));
    return kExitUsageOrNoGpu;
}

std::string serve_setting_names() {
    std::string names;
    for (const auto& option : all_options()) {
        if (!option.serve_setting) continue;
        if (!names.empty()) names += ", ";
        names += "--" + std::string(option.name);
    }
    return names;
}

// What install tells the user: the service, the address it will serve and
// every setting it was registered with (and which came from a variable).
std::string install_summary(const ServeConfig& config, const std::vector<ServiceArgument>& arguments) {
    std::string text = "Installed the service " + std::string(kServiceName) + " (\"" +
                       std::string(kServiceDisplayName) + "\"), started automatically at boot. Start it now with: " +
                       "sc start " + std::string(kServiceName) + "\n";
    const std::string url = (config.server.tls ? "https://" : "http://") +
                            server::address_text(config.server.listen, config.server.port) + "/";
    if (arguments.empty()) return text + "It serves " + display_text(url) + " with the default settings.\n";
    text += "It serves " + display_text(url) + " with:\n";
    for (const ServiceArgument& argument : arguments) {
        text += "  " + display_text(quote_windows_argument(argument.word));
        if (!argument.variable.empty()) text += "  (from " + std::string(argument.variable) + ")";
        text += "\n";
    }
    return text;
}

// `karvo service install [serve options]`: the options (and the variables
// that stand in for them) are settled and checked as the service will settle
// them, then registered as they were checked. Nothing is registered when a
// check fails.
int install_service(const std::vector<std::string>& argv, const Services& services) {
    std::vector<std::string> serve_argv{argv.front()};
    serve_argv.insert(serve_argv.end(), argv.begin() + 3, argv.end());
    std::vector<GivenOption> given;
    const ParseOutcome parsed = parse_args(serve_argv, &given);
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
        (void)services.write_err(usage->text);
        return kExitUsageOrNoGpu;
    }
    if (std::holds_alternative<ShowHelp>(parsed) || std::holds_alternative<ShowVersion>(parsed)) {
        return service_usage_error(services, "'service install' takes serve options only");
    }
    for (const GivenOption& option : given) {
        if (!option.option->serve_setting) {
            return service_usage_error(services, "'--" + std::string(option.option->name) +
                                                     "' is not a setting of the service (those are " +
                                                     serve_setting_names() + ")");
        }
    }
    const ServeConfigOutcome outcome = resolve_serve_config(std::get<Args>(parsed), given, services.tokens,
                                                            services.certificates, ServeUse::service);
    if (const auto* failure = std::get_if<ServeConfigError>(&outcome)) {
        if (failure->usage) return service_usage_error(services, failure->error.short_form());
        return fail(services, failure->error);
    }
    const ServeConfig& config = std::get<ServeConfig>(outcome);

    const Result<std::string> program = services.service.executable_path();
    if (!program.ok()) return fail(services, program.error());
    const auto arguments = service_arguments(config.settings, services.service.absolute_path);
    if (!arguments.ok()) return fail(services, arguments.error());
    std::string command = quote_windows_argument(*program) + " --service";
    for (const ServiceArgument& argument : *arguments) command += " " + quote_windows_argument(argument.word);

    platform::ServiceDefinition definition;
    definition.name = kServiceName;
    definition.display_name = kServiceDisplayName;
    definition.description = kServiceDescription;
    definition.command_line = command;
    definition.restart_delays_ms.assign(std::begin(kRestartDelaysMs), std::end(kRestartDelaysMs));
    definition.failure_reset_seconds = kFailureResetSeconds;
    const Status installed = services.service.install(definition);
    if (!installed.ok()) return fail(services, installed.error());
    return print_result(services, install_summary(config, *arguments));
}

// The serve mode as the Windows service: running is reported once the port is
// bound, a stop or shutdown request ends the accept loop after the response in
// progress, and the exit status goes to the service manager. Start-up errors
// and warnings also go to the Application event log.
int serve_as_service(const Args& args, const std::vector<GivenOption>& given, const Services& services,
                     ServiceLifecycle& lifecycle) {
    auto log = [&](platform::EventType type, std::string_view line) {
        (void)services.write_err(line);
        services.service.report_event(type, line.ends_with('\n') ? line.substr(0, line.size() - 1) : line);
    };
    TokenEnvironment tokens = services.tokens;
    tokens.warn = [&](std::string_view line) { log(platform::EventType::warning, line); };
    const ServeConfigOutcome outcome =
        resolve_serve_config(args, given, tokens, services.certificates, ServeUse::service);
    Status served;
    if (const auto* failure = std::get_if<ServeConfigError>(&outcome)) {
        served = failure->error;
    } else {
        const ServeConfig& config = std::get<ServeConfig>(outcome);
        for (const std::string& warning : config.warnings) log(platform::EventType::warning, warning);
        server::ServeHooks hooks;
        hooks.keep_going = [&] { return !lifecycle.stop_requested(); };
        hooks.on_listening = [&] { lifecycle.running(); };
        hooks.warn = [&](std::string_view line) { log(platform::EventType::warning, line); };
        served = services.serve_until(config.server, hooks);
    }
    if (served.ok()) return kExitSuccess;
    log(platform::EventType::error, "Error: " + served.error().short_form() + "\n");
    return kExitFailure;
}

}  // namespace

int run_service_command(const std::vector<std::string>& argv, const Services& services) {
    const std::string_view command = argv.size() > 2 ? std::string_view(argv[2]) : std::string_view();
    if (command == "install") return install_service(argv, services);
    if (command != "uninstall") return service_usage_error(services, "'service' needs 'install' or 'uninstall'");
    if (argv.size() > 3) return service_usage_error(services, "'service uninstall' takes no arguments");
    const Status removed = services.service.uninstall(kServiceName, kUninstallStopTimeoutMs);
    if (!removed.ok()) return fail(services, removed.error());
    return print_result(services, "Removed the service " + std::string(kServiceName) + ".\n");
}

int run_service(const Args& args, const std::vector<GivenOption>& given, const Services& services) {
    ServiceLifecycle lifecycle;
    platform::ServiceCallbacks callbacks;
    callbacks.main = [&](const std::function<void(const platform::ServiceStatus&)>& report) {
        lifecycle.attach(report);
        lifecycle.starting();
        lifecycle.stopped(serve_as_service(args, given, services, lifecycle));
    };
    callbacks.on_control = [&](platform::ServiceControl request) { lifecycle.control(request); };
    if (!services.service.run_as_service(kServiceName, callbacks)) {
        (void)services.write_err(
            "error: --service must be started by the Windows service control manager; register the service with "
            "'karvo service install' and start it with 'sc start karvo'\n");
        return kExitUsageOrNoGpu;
    }
    return lifecycle.current().exit_code;
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
