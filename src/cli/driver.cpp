#include "cli/driver.h"

#include "discovery/discover.h"
#include "platform/console.h"
#include "platform/system.h"
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
    return fail(services, services.serve(args.listen, *args.serve, *token));
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
        } else if (*outcome == render::ReportOutcome::no_gpu) {
            return kExitUsageOrNoGpu;
        }
        services.sleep_seconds(interval);
    }
}

int run_once(const Args& args, const Services& services) {
    const Result<render::ReportOutcome> outcome = services.report(report_options(args));
    if (!outcome.ok()) return fail(services, outcome.error());
    return *outcome == render::ReportOutcome::no_gpu ? kExitUsageOrNoGpu : kExitSuccess;
}

}  // namespace

Services system_services() {
    Services services;
    services.report = [](const render::ReportOptions& options) {
        return render::run_report(options, [] { return discovery::discover_devices(); });
    };
    services.serve = [](const std::string& listen, std::uint16_t port, const std::optional<std::string>& token) {
        return server::serve(listen, port, token);
    };
    services.tokens = system_token_environment();
    services.write_out = [](std::string_view bytes) { return platform::write_stdout(bytes); };
    services.write_err = [](std::string_view bytes) { return platform::write_stderr(bytes); };
    services.sleep_seconds = [](std::uint64_t seconds) { platform::sleep_seconds(seconds); };
    return services;
}

int run(const std::vector<std::string>& args) { return run(args, system_services()); }

int run(const std::vector<std::string>& argv, const Services& services) {
    const ParseOutcome parsed = parse_args(argv);
    if (const auto* help = std::get_if<ShowHelp>(&parsed)) return print_result(services, help->text);
    if (const auto* version = std::get_if<ShowVersion>(&parsed)) return print_result(services, version->text);
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
        (void)services.write_err(usage->text);
        return kExitUsageOrNoGpu;
    }
    const Args& args = std::get<Args>(parsed);

    if (args.show_ref) return print_result(services, kReferenceLines);
    if (args.serve) return run_serve(args, services);
    if (args.watch) return run_watch(args, services);
    return run_once(args, services);
}

}  // namespace karvo::cli
