#include "cli/driver.h"

#include "cli/report_mode.h"
#include "discovery/discover.h"
#include "platform/console.h"
#include "platform/system.h"

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

int run_serve(const Args& args, const std::vector<GivenOption>& given, const Services& services) {
    // Everything is settled and checked before anything is bound.
    const ServeConfigOutcome outcome =
        resolve_serve_config(args, given, services.tokens, services.certificates, ServeUse::serve);
    if (const auto* failure = std::get_if<ServeConfigError>(&outcome)) {
        if (!failure->usage) return fail(services, failure->error);
        (void)services.write_err("error: " + failure->error.short_form() + "\n\nFor more information, try '--help'.\n");
        return kExitUsageOrNoGpu;
    }
    const ServeConfig& config = std::get<ServeConfig>(outcome);
    for (const std::string& warning : config.warnings) (void)services.write_err(warning);
    return fail(services, services.serve(config.server));
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

}  // namespace

Services system_services() {
    Services services;
    services.report = [](const render::ReportOptions& options) {
        return render::run_report(options, [] { return discovery::discover_devices(); });
    };
    services.serve = [](const server::ServerConfig& config) { return server::serve(config); };
    services.serve_until = [](const server::ServerConfig& config, const server::ServeHooks& hooks) {
        return server::serve_until(config, hooks);
    };
    services.tokens = system_token_environment();
    services.certificates = system_certificate_checks();
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

int run(const std::vector<std::string>& argv, const Services& services) {
    if (argv.size() > 1 && argv[1] == "service") return run_service_command(argv, services);
    std::vector<GivenOption> given;
    const ParseOutcome parsed = parse_args(argv, &given);
    if (const auto* help = std::get_if<ShowHelp>(&parsed)) return print_result(services, help->text);
    if (const auto* version = std::get_if<ShowVersion>(&parsed)) return print_result(services, version->text);
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
        (void)services.write_err(usage->text);
        return kExitUsageOrNoGpu;
    }
    const Args& args = std::get<Args>(parsed);

    if (args.service) return run_service(args, given, services);
    if (args.show_ref) return print_result(services, kReferenceLines);
    if (args.replay) {
        // A file that cannot be replayed is bad input, like a bad option.
        if (const Status started = start_replay(*args.replay); !started.ok()) {
            (void)services.write_err("Error: " + started.error().long_form() + "\n");
            return kExitUsageOrNoGpu;
        }
    }
    if (args.top) return run_top_mode(args, services);
    if (args.report) return run_recorded_report(args, argv, report_options(args), services);
    if (args.serve) return run_serve(args, given, services);
    if (args.watch) return run_watch(args, services);
    if (args.loop_ms) return run_loop(args, services);
    return run_once(args, services);
}

}  // namespace karvo::cli
