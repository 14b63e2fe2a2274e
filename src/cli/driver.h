#pragma once
// The program's entry: parse the command line, pick one run mode, run it and
// turn the outcome into output streams and an exit status.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.h"
#include "cli/serve_config.h"
#include "cli/service.h"
#include "cli/token_policy.h"
#include "cli/top.h"
#include "common/error.h"
#include "render/report.h"
#include "server/serve.h"

namespace karvo::cli {

// Exit statuses of the process.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsageOrNoGpu = 2;

// The 10 bytes that clear the screen and home the cursor before each refresh.
inline constexpr std::string_view kClearScreen = "\x1b[2J\x1b[1;1H";

// Everything the driver reaches outside itself, so each run mode can be driven
// with stand-ins. system_services() wires in the real report, server and OS.
struct Services {
    // One report pass (discovery included) printed to standard output.
    std::function<Result<render::ReportOutcome>(const render::ReportOptions&)> report;
    // The HTTP API with a settled configuration; returns only with an error
    // (a failed bind).
    std::function<Error(const server::ServerConfig&)> serve;
    // The HTTP API of the Windows service: returns once `hooks.keep_going`
    // says so, or with a failed bind.
    std::function<Status(const server::ServerConfig&, const server::ServeHooks& hooks)> serve_until;
    // The environment (serve settings, the token) and the files serve mode reads.
    TokenEnvironment tokens;
    CertificateChecks certificates;
    ServiceEnv service;
    std::function<Status(std::string_view)> write_out;
    std::function<Status(std::string_view)> write_err;
    std::function<void(std::uint64_t seconds)> sleep_seconds;
    // The sampling loop's clock and sleep, and the switch that makes an
    // interrupt end the process with status 0.
    std::function<std::uint64_t()> monotonic_ns;
    std::function<void(std::uint64_t milliseconds)> sleep_ms;
    std::function<void()> exit_zero_on_interrupt;
    // `karvo top`: the interactive monitor on the process's terminal; returns the exit status.
    std::function<int(const TopOptions&)> top;
};

Services system_services();

// Writes "Error: {message}" to standard error; returns the failure status.
int fail(const Services& services, const Error& error);
// Writes the whole result of a run (help, version, a summary) to standard
// output: success, or a failure when it cannot be written.
int print_result(const Services& services, std::string_view text);

// `args` holds the program name first, then the arguments, all UTF-8.
// Returns the exit status (serve and watch mode only return on failure or
// when no GPU is left).
int run(const std::vector<std::string>& args);
int run(const std::vector<std::string>& args, const Services& services);

}  // namespace karvo::cli
