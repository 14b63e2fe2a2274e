#pragma once
// The command line: the options karvo understands, the record parsing yields,
// the help screen and the usage-error text.
//
// Rules: long options only (plus -h/--help and -V/--version); a value follows
// its option as the next argument or joined with "=" ("--watch=2"); --watch
// and --serve take an optional value, which is only taken from the next
// argument when that argument does not look like an option; every option at
// most once; no positional arguments but the command "top" first. "--" ends
// the options (and, since there are no positionals, must be the last argument).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "render/metrics.h"
#include "render/query.h"

namespace karvo::cli {

struct Args {
    bool json = false;
    bool verbose = false;
    bool show_ref = false;
    std::optional<std::uint64_t> watch;  // seconds; "--watch" alone means 1
    std::optional<std::uint16_t> serve;  // TCP port; "--serve" alone means 8080
    std::string listen = "127.0.0.1";
    std::optional<std::string> token;
    std::optional<std::string> token_file;
    bool compact = false;
    bool service = false;  // started by the Windows service control manager
    // Scripts: a CSV query, the GPUs to report, a sampling loop.
    std::optional<render::Query> query;
    std::vector<std::string> ids;
    std::optional<std::uint64_t> loop_ms;
    // HTTPS for --serve; the file paths may also come from the KARVO_TLS_*
    // variables (see serve_config.h).
    std::optional<std::string> tls_cert_file;
    std::optional<std::string> tls_key_file;
    std::optional<std::string> tls_client_ca_file;
    std::optional<std::string> tls_min_version;  // "1.2" or "1.3"
    // The process series of /metrics: which kinds, and how many per GPU.
    render::MetricsOptions metrics;
    // A report of one pass (--report, --redact), or passes answered from one (--replay).
    std::optional<std::string> report;
    bool redact = false;
    std::optional<std::string> replay;
    // `karvo top`, the interactive monitor, and its settings.
    bool top = false;
    std::optional<std::uint64_t> interval_ms;  // --interval, 100 to 60000
    bool no_color = false;
    std::optional<std::string> ascii;  // --ascii: "" alone, or "blocks"

    bool operator==(const Args&) const = default;
};

inline constexpr std::string_view kVersion = "1.2.0";
inline constexpr std::uint64_t kDefaultWatchSeconds = 1;
inline constexpr std::uint16_t kDefaultPort = 8080;
inline constexpr std::uint64_t kMinLoopMs = 100;
inline constexpr std::uint64_t kMaxLoopMs = 86400000;  // a day
inline constexpr std::uint64_t kDefaultTopIntervalMs = 1000;

// What parsing asks the driver to do.
struct ShowHelp {
    std::string text;  // the whole help screen, ready for standard output
};
struct ShowVersion {
    std::string text;  // "karvo 1.2.0\n"
};
struct UsageError {
    std::string text;  // message, usage line and hint, ready for standard error
};
using ParseOutcome = std::variant<Args, ShowHelp, ShowVersion, UsageError>;

// `argv` holds the program name first, then the arguments (UTF-8 bytes, not
// necessarily valid). Arguments are read in order; the first of help, version
// or a usage error that is met decides.
// When `given` is set, it receives every option met, in order, with its value
// as written (used to rebuild a command line, as `karvo service install` does).
struct OptionInfo;
struct GivenOption {
    const OptionInfo* option;
    std::optional<std::string> value;
};
ParseOutcome parse_args(const std::vector<std::string>& argv, std::vector<GivenOption>* given = nullptr);

// Reads `value` as the command line's "--name=value" (or "--name" without
// one) would give it, into `args`: how a variable that stands in for an
// option is read. The error is the message of a usage error.
std::optional<std::string> apply_setting(Args& args, const OptionInfo& option, std::optional<std::string_view> value);

// The name the usage line shows: the file name of the program path, or
// "karvo" when there is none.
std::string program_display_name(std::string_view program_path);

std::string help_text(std::string_view program_name);

}  // namespace karvo::cli
