#pragma once
// The one description of every command-line option. The parser, the help
// screen, the man page, the shell completions and docs/options.md all walk
// this table, so an option is added in exactly one place: one row below (plus
// its field in Args and its case in the parser's switch). Nothing else needs
// per-option code: a serve setting (serve_setting, with its variable in
// `env`) is read from its variable, checked, registered by `karvo service
// install` and shown in its summary by walking these rows.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace karvo::cli {

// Identifies an option to the parser's switch.
enum class OptionId {
    json,
    verbose,
    show_ref,
    watch,
    serve,
    listen,
    token,
    token_file,
    compact,
    tls_cert_file,
    tls_key_file,
    tls_client_ca_file,
    tls_min_version,
    metrics_processes,
    metrics_max_processes,
    service,
    query_gpu,
    query_apps,
    query_compute_apps,
    format,
    id,
    loop,
    loop_ms,
    help_query,
    report,
    redact,
    replay,
    interval,
    no_color,
    ascii,
    help,
    version,
};

// How an option takes its value.
enum class OptionKind {
    flag,            // no value
    optional_value,  // "--watch" or "--watch 2" / "--watch=2"
    required_value,  // "--listen ADDR" or "--listen=ADDR"
    help,            // prints the help screen
    version,         // prints the version
};

// What a shell completion offers for the value.
enum class ValueHint {
    none,    // nothing to offer (free text, or no value)
    number,  // a whole number: no list, but no file names either
    file,    // a file name
    words,   // one of OptionInfo::words
};

struct OptionInfo {
    OptionId id;
    std::string_view name;  // without the leading "--"
    char short_name = 0;    // 0 when there is none
    OptionKind kind = OptionKind::flag;
    std::string_view placeholder = {};  // "SECS", "PORT", ...; empty without a value
    std::string_view help = {};         // the help screen's line (wrapped there)
    std::string_view env = {};          // the environment variable that stands in for it, if any
    std::string_view default_value = {};  // shown as "[default: ...]" after the help line
    ValueHint hint = ValueHint::none;
    std::string_view words = {};  // blank-separated, for ValueHint::words
    bool in_help = true;          // false: accepted and documented, but not on the help screen
    bool serve_setting = false;   // a setting of the HTTP API, so also of `karvo service install`
    bool secret = false;          // never written into a command line karvo registers (the token)
    bool top_setting = false;     // an option of `karvo top`
};

// Every option, in the order the help screen lists them.
std::span<const OptionInfo> all_options();

// The row of "--{name}" / "-{short_name}"; null when there is none.
const OptionInfo* find_option(std::string_view name);
const OptionInfo* find_short_option(char short_name);

// "--watch [<SECS>]", "--listen <ADDR>", "--json".
std::string option_signature(const OptionInfo& option);

// The about line at the top of the help screen and in the man page.
inline constexpr std::string_view kAbout =
    "karvo - portable single-exe Karvo for AMD GPUs (Windows+Linux). AMD-compatible, unofficial. "
    "Reference: include/karvo/gpu_ref.h (MIT)";

}  // namespace karvo::cli
