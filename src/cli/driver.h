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
#include "cli/service.h"
#include "cli/token_policy.h"
#include "cli/top.h"
#include "common/error.h"
#include "render/report.h"
#include "server/tls.h"
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
    // The HTTP API (HTTPS with TLS files); returns only with a refused or
    // failed bind or unusable certificate files. Only the GPUs `ids` names
    // are reported (all when empty).
    std::function<Error(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
                        const std::optional<server::TlsFiles>& tls, const std::vector<std::string>& ids)>
        serve;
    // The HTTP API of the Windows service: returns once `hooks.keep_going`
    // says so, or with a refused or failed bind.
    std::function<Status(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
                         const server::ServeHooks& hooks, const std::optional<server::TlsFiles>& tls)>
        serve_until;
    TokenEnvironment tokens;
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

// `args` holds the program name first, then the arguments, all UTF-8.
// Returns the exit status (serve and watch mode only return on failure or
// when no GPU is left).
int run(const std::vector<std::string>& args);
int run(const std::vector<std::string>& args, const Services& services);

}  // namespace karvo::cli
