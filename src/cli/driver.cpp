#include "cli/driver.h"

#include "cli/options.h"
#include "discovery/discover.h"
#include "server/listener.h"
#include "platform/console.h"
#include "platform/system.h"
#include "cli/tls_options.h"
#include "server/serve.h"

namespace karvo::cli {
namespace {

constexpr std::string_view kReferenceLines =
    "Reference cloned to: include/karvo/gpu_ref.h\n"
    "TheRock HIP runtime: C:\\TheRock\\build\\bin\\amdhip64_7.dll\n";

render::ReportOptions report_options(const Args& args) {
    render::ReportOptions options;
    options.json = args.json;
    options.compact = args.compact;
    options.verbose = args.verbose;
    options.watch = args.watch;
    options.ids = args.ids;
    if (args.query) options.query = &*args.query;
    return options;
}

int fail(const Services& services, const Error& error) {
    (void)services.write_err("Error: " + error.short_form() + "\n");
    return kExitFailure;
}

// Help, version and the reference lines are the whole result of their run: if
// they cannot be written, the run failed.
int print_result(const Services& services, std::string_view text) {
    const Status written = services.write_out(text);
    if (!written.ok()) return fail(services, Error("write standard output: " + written.error().long_form()));
    return kExitSuccess;
}

int run_serve(const Args& args, const Services& services) {
    // The token is settled before anything is bound.
    Result<std::optional<std::string>> token = resolve_token(args, services.tokens);
    if (!token.ok()) return fail(services, token.error());
    const auto tls = resolve_tls_files(args, services.tokens.get_env);
    if (!tls.ok()) {
        (void)services.write_err("error: " + tls.error().short_form() + "\n\nFor more information, try '--help'.\n");
        return kExitUsageOrNoGpu;
    }
    return fail(services, services.serve(args.listen, *args.serve, *token, *tls, args.ids));
}

// Redraws the report every interval until no GPU is left, standard output is
// gone, or the process is stopped from outside. Only the previous pass and its
// time are carried to the next refresh (the busy rates of process rows).
int run_watch(const Args& args, const Services& services) {
    const std::uint64_t interval = *args.watch == 0 ? 1 : *args.watch;
    render::ReportOptions options = report_options(args);
    // The clear sequence goes out with the finished report (output is
    // unbuffered, so there is nothing to flush before or after a pass).
    options.screen_prefix = kClearScreen;
    render::PreviousPass previous;
    options.previous = &previous;
    for (;;) {
        const Result<render::ReportOutcome> outcome = services.report(options);
        if (!outcome.ok()) {
            // A reader that has gone never comes back: refreshing on would only repeat the failure.
            if (render::is_output_failure(outcome.error())) return fail(services, outcome.error());
            (void)services.write_err("discover error: " + outcome.error().long_form() + "\n");
        } else if (*outcome != render::ReportOutcome::printed) {
            return kExitUsageOrNoGpu;
        }
        services.sleep_seconds(interval);
    }
}

int run_once(const Args& args, const Services& services) {
    const Result<render::ReportOutcome> outcome = services.report(report_options(args));
    if (!outcome.ok()) return fail(services, outcome.error());
    return *outcome == render::ReportOutcome::printed ? kExitSuccess : kExitUsageOrNoGpu;
}

// Appends a sample (CSV rows, or one JSON line) every interval until
// interrupted (status 0), the reader is gone (status 0, at once) or no GPU is
// left. Samples start on a fixed schedule counted from the first, so the
// cadence does not drift with the time a pass takes; a pass that overruns its
// interval moves the schedule to its own end instead of bursting to catch up.
int run_loop(const Args& args, const Services& services) {
    services.exit_zero_on_interrupt();
    const std::uint64_t interval_ns = *args.loop_ms * 1000000;
    render::ReportOptions options = report_options(args);
    options.json_lines = !args.query;
    std::uint64_t next = services.monotonic_ns();
    for (bool first = true;; first = false) {
        options.query_header = first;
        const Result<render::ReportOutcome> outcome = services.report(options);
        if (!outcome.ok()) {
            if (render::is_output_failure(outcome.error())) return kExitSuccess;
            (void)services.write_err("discover error: " + outcome.error().long_form() + "\n");
        } else if (*outcome != render::ReportOutcome::printed) {
            return kExitUsageOrNoGpu;
        }
        next += interval_ns;
        const std::uint64_t now = services.monotonic_ns();
        if (now >= next) {
            next = now;
            continue;
        }
        services.sleep_ms((next - now + 999999) / 1000000);
    }
}

// `karvo top`: the settings from the options and the environment (NO_COLOR
// set to anything but "" turns colours off, as no-color.org asks).
int run_top_mode(const Args& args, const Services& services) {
    TopOptions options;
    options.ids = args.ids;
    options.interval_ms = static_cast<std::uint32_t>(args.interval_ms.value_or(kDefaultTopIntervalMs));
    const std::optional<std::string> no_color = services.tokens.get_env("NO_COLOR");
    options.no_color = args.no_color || (no_color && !no_color->empty());
    options.ascii = args.ascii && args.ascii->empty();
    options.blocks = args.ascii && *args.ascii == "blocks";
    return services.top(options);
}

// ---- the Windows service ----------------------------------------------------

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

// `karvo service install [serve options]`: the options are checked as
// --serve checks them (token sources read, bind policy applied) before the
// service is registered with "--service" and those options, file names made
// absolute (a service starts in the system folder).
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
    const Args& args = std::get<Args>(parsed);
    const std::uint16_t port = args.serve.value_or(kDefaultPort);
    const Result<std::optional<std::string>> token = resolve_token(args, services.tokens);
    if (!token.ok()) return fail(services, token.error());
    const auto tls = resolve_tls_files(args, services.tokens.get_env);
    if (!tls.ok()) return service_usage_error(services, tls.error().short_form());
    // A certificate set that cannot be loaded would only make every start fail.
    if (*tls) {
        const auto credentials = server::load_credentials(**tls);
        if (!credentials.ok()) return fail(services, credentials.error());
    }
    const server::Transport transport{tls->has_value(), *tls && (*tls)->client_ca_file.has_value()};
    const auto warning = server::check_bind_policy(args.listen, port, *token, transport);
    if (!warning.ok()) return fail(services, warning.error());

    const Result<std::string> program = services.service.executable_path();
    if (!program.ok()) return fail(services, program.error());
    std::string command = quote_windows_argument(*program) + " --service";
    for (const GivenOption& option : given) {
        command += " --" + std::string(option.option->name);
        if (!option.value) continue;
        std::string value = *option.value;
        if (option.option->hint == ValueHint::file) {
            const Result<std::string> absolute = services.service.absolute_path(value);
            if (!absolute.ok()) return fail(services, absolute.error());
            value = *absolute;
        }
        command += " " + quote_windows_argument(value);
    }

    platform::ServiceDefinition definition;
    definition.name = kServiceName;
    definition.display_name = kServiceDisplayName;
    definition.description = kServiceDescription;
    definition.command_line = command;
    definition.restart_delays_ms.assign(std::begin(kRestartDelaysMs), std::end(kRestartDelaysMs));
    definition.failure_reset_seconds = kFailureResetSeconds;
    const Status installed = services.service.install(definition);
    if (!installed.ok()) return fail(services, installed.error());
    return print_result(services, "Installed the service karvo (\"karvo AMD GPU exporter\"), started automatically "
                                  "at boot. Start it now with: sc start karvo\n");
}

int run_service_command(const std::vector<std::string>& argv, const Services& services) {
    const std::string_view command = argv.size() > 2 ? std::string_view(argv[2]) : std::string_view();
    if (command == "install") return install_service(argv, services);
    if (command != "uninstall") return service_usage_error(services, "'service' needs 'install' or 'uninstall'");
    if (argv.size() > 3) return service_usage_error(services, "'service uninstall' takes no arguments");
    const Status removed = services.service.uninstall(kServiceName, kUninstallStopTimeoutMs);
    if (!removed.ok()) return fail(services, removed.error());
    return print_result(services, "Removed the service karvo.\n");
}

// The serve mode as the Windows service: running is reported once the port is
// bound, a stop or shutdown request ends the accept loop after the response in
// progress, and the exit status goes to the service manager. Start-up errors
// and warnings also go to the Application event log.
int serve_as_service(const Args& args, const Services& services, ServiceLifecycle& lifecycle) {
    auto log = [&](platform::EventType type, std::string_view line) {
        (void)services.write_err(line);
        services.service.report_event(type, line.ends_with('\n') ? line.substr(0, line.size() - 1) : line);
    };
    TokenEnvironment tokens = services.tokens;
    tokens.warn = [&](std::string_view line) { log(platform::EventType::warning, line); };
    const Result<std::optional<std::string>> token = resolve_token(args, tokens);
    Status served = token.ok() ? Status() : Status(token.error());
    Result<std::optional<server::TlsFiles>> tls = std::optional<server::TlsFiles>();
    if (served.ok()) {
        tls = resolve_tls_files(args, services.tokens.get_env);
        if (!tls.ok()) served = tls.error();
    }
    if (served.ok()) {
        server::ServeHooks hooks;
        hooks.keep_going = [&] { return !lifecycle.stop_requested(); };
        hooks.on_listening = [&] { lifecycle.running(); };
        hooks.warn = [&](std::string_view line) { log(platform::EventType::warning, line); };
        hooks.ids = args.ids;
        served = services.serve_until(args.listen, args.serve.value_or(kDefaultPort), *token, hooks, *tls);
    }
    if (served.ok()) return kExitSuccess;
    log(platform::EventType::error, "Error: " + served.error().short_form() + "\n");
    return kExitFailure;
}

int run_service(const Args& args, const Services& services) {
    ServiceLifecycle lifecycle;
    platform::ServiceCallbacks callbacks;
    callbacks.main = [&](const std::function<void(const platform::ServiceStatus&)>& report) {
        lifecycle.attach(report);
        lifecycle.starting();
        lifecycle.stopped(serve_as_service(args, services, lifecycle));
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

}  // namespace

Services system_services() {
    Services services;
    services.report = [](const render::ReportOptions& options) {
        return render::run_report(options, [] { return discovery::discover_devices(); });
    };
    services.serve = [](const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
                        const std::optional<server::TlsFiles>& tls, const std::vector<std::string>& ids) {
        return server::serve(listen, port, token, tls, ids);
    };
    services.serve_until = [](const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
                              const server::ServeHooks& hooks, const std::optional<server::TlsFiles>& tls) {
        return server::serve_until(listen, port, token, hooks, tls);
    };
    services.tokens = system_token_environment();
    services.service = system_service_env();
    services.write_out = [](std::string_view bytes) { return platform::write_stdout(bytes); };
    services.write_err = [](std::string_view bytes) { return platform::write_stderr(bytes); };
    services.sleep_seconds = [](std::uint64_t seconds) { platform::sleep_seconds(seconds); };
    services.monotonic_ns = [] { return platform::monotonic_ns(); };
    services.sleep_ms = [](std::uint64_t ms) {
        platform::sleep_seconds(ms / 1000);
        platform::sleep_milliseconds(static_cast<std::uint32_t>(ms % 1000));
    };
    services.exit_zero_on_interrupt = [] { platform::exit_zero_on_interrupt(); };
    services.top = [](const TopOptions& options) {
        return run_top(options, [] { return discovery::discover_devices(); });
    };
    return services;
}

int run(const std::vector<std::string>& args) { return run(args, system_services()); }

int run(const std::vector<std::string>& argv, const Services& services) {
    if (argv.size() > 1 && argv[1] == "service") return run_service_command(argv, services);
    const ParseOutcome parsed = parse_args(argv);
    if (const auto* help = std::get_if<ShowHelp>(&parsed)) return print_result(services, help->text);
    if (const auto* version = std::get_if<ShowVersion>(&parsed)) return print_result(services, version->text);
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
        (void)services.write_err(usage->text);
        return kExitUsageOrNoGpu;
    }
    const Args& args = std::get<Args>(parsed);

    if (args.top) return run_top_mode(args, services);
    if (args.service) return run_service(args, services);
    if (args.show_ref) return print_result(services, kReferenceLines);
    if (args.serve) return run_serve(args, services);
    if (args.watch) return run_watch(args, services);
    if (args.loop_ms) return run_loop(args, services);
    return run_once(args, services);
}

}  // namespace karvo::cli
