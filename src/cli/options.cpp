#include "cli/options.h"

#include <array>

namespace karvo::cli {
namespace {

// One row per option, in help-screen order. Only name and id are required;
// every other field has a default, so a row names just what it needs.
constexpr std::array kOptions{
    OptionInfo{.id = OptionId::json, .name = "json",
               .help = "Output JSON instead of table (headless API - pipe to your app)"},
    OptionInfo{.id = OptionId::verbose, .name = "verbose", .help = "Verbose (show backend used)"},
    OptionInfo{.id = OptionId::show_ref, .name = "show-ref", .help = "Show raw reference header path"},
    OptionInfo{.id = OptionId::watch, .name = "watch", .kind = OptionKind::optional_value, .placeholder = "SECS",
               .help = "Realtime watch - refresh every N seconds (memory safe, no leaks). e.g. --watch 1",
               .hint = ValueHint::number},
    OptionInfo{.id = OptionId::serve, .name = "serve", .kind = OptionKind::optional_value, .placeholder = "PORT",
               .help = "Headless HTTP API - serve JSON on localhost:PORT (e.g. --serve 8080). Devs grab via curl/fetch",
               .hint = ValueHint::number, .serve_setting = true},
    OptionInfo{.id = OptionId::listen, .name = "listen", .kind = OptionKind::required_value, .placeholder = "ADDR",
               .help = "Bind address/hostname for --serve (default loopback). Use 0.0.0.0 for LAN scrape (requires "
                       "token)",
               .default_value = "127.0.0.1", .hint = ValueHint::words, .words = "127.0.0.1 ::1 localhost 0.0.0.0 ::",
               .serve_setting = true},
    OptionInfo{.id = OptionId::token, .name = "token", .kind = OptionKind::required_value, .placeholder = "TOKEN",
               .help = "Bearer token for --serve (visible in `ps`; prefer --token-file or KARVO_TOKEN env)",
               .env = "KARVO_TOKEN", .serve_setting = true, .secret = true},
    OptionInfo{.id = OptionId::token_file, .name = "token-file", .kind = OptionKind::required_value,
               .placeholder = "FILE",
               .help = "Read bearer token from file (or KARVO_TOKEN_FILE env). Preferred: no `ps` exposure",
               .env = "KARVO_TOKEN_FILE", .hint = ValueHint::file, .serve_setting = true},
    OptionInfo{.id = OptionId::compact, .name = "compact",
               .help = "Headless compact JSON for piping (one line per call, no pretty)"},
    OptionInfo{.id = OptionId::query_gpu, .name = "query-gpu", .kind = OptionKind::required_value,
               .placeholder = "FIELDS",
               .help = "CSV, one row per GPU with these fields in this order (see --help-query), e.g. "
                       "--query-gpu=index,name,memory.used,utilization.gpu"},
    OptionInfo{.id = OptionId::query_apps, .name = "query-apps", .kind = OptionKind::required_value,
               .placeholder = "FIELDS",
               .help = "CSV, one row per process on a GPU (pid, process_name, type, used_memory, gpu_index, ...)"},
    OptionInfo{.id = OptionId::query_compute_apps, .name = "query-compute-apps", .kind = OptionKind::required_value,
               .placeholder = "FIELDS", .help = "As --query-apps, compute processes only"},
    OptionInfo{.id = OptionId::format, .name = "format", .kind = OptionKind::required_value, .placeholder = "FORMAT",
               .help = "Query output: csv[,noheader][,nounits] (default csv)", .hint = ValueHint::words,
               .words = "csv csv,noheader csv,nounits csv,noheader,nounits"},
    OptionInfo{.id = OptionId::id, .name = "id", .kind = OptionKind::required_value, .placeholder = "LIST",
               .help = "Only these GPUs, comma-separated: index, PCI address, serial or device instance path",
               .serve_setting = true, .top_setting = true},
    OptionInfo{.id = OptionId::loop, .name = "loop", .kind = OptionKind::required_value, .placeholder = "SECS",
               .help = "Repeat a query, --compact or --json every SECS seconds (1 to 86400), appending CSV rows or "
                       "JSON lines",
               .hint = ValueHint::number},
    OptionInfo{.id = OptionId::loop_ms, .name = "loop-ms", .kind = OptionKind::required_value, .placeholder = "MS",
               .help = "As --loop, in milliseconds (100 to 86400000)", .hint = ValueHint::number},
    OptionInfo{.id = OptionId::help_query, .name = "help-query",
               .help = "List the fields of the queries with their units"},
    OptionInfo{.id = OptionId::report, .name = "report", .kind = OptionKind::required_value, .placeholder = "FILE",
               .help = "Run one pass and also save everything the system answered, with the output, to FILE (a zip "
                       "to attach to a bug report)",
               .hint = ValueHint::file},
    OptionInfo{.id = OptionId::redact, .name = "redact",
               .help = "With --report: replace process, container, pod and namespace names and serial numbers by "
                       "placeholders"},
    OptionInfo{.id = OptionId::replay, .name = "replay", .kind = OptionKind::required_value, .placeholder = "FILE",
               .help = "Answer every pass from a --report FILE instead of this machine (any output mode)",
               .hint = ValueHint::file, .top_setting = true},
    OptionInfo{.id = OptionId::tls_cert_file, .name = "tls-cert-file", .kind = OptionKind::required_value,
               .placeholder = "FILE",
               .help = "Serve HTTPS only, with this PEM certificate chain (leaf first; or KARVO_TLS_CERT_FILE env). "
                       "Re-read when it changes",
               .env = "KARVO_TLS_CERT_FILE", .hint = ValueHint::file,
               .serve_setting = true},
    OptionInfo{.id = OptionId::tls_key_file, .name = "tls-key-file", .kind = OptionKind::required_value,
               .placeholder = "FILE",
               .help = "Unencrypted PEM private key of --tls-cert-file (or KARVO_TLS_KEY_FILE env)",
               .env = "KARVO_TLS_KEY_FILE", .hint = ValueHint::file,
               .serve_setting = true},
    OptionInfo{.id = OptionId::tls_client_ca_file, .name = "tls-client-ca-file", .kind = OptionKind::required_value,
               .placeholder = "FILE",
               .help = "Require a client certificate signed by this PEM CA (or KARVO_TLS_CLIENT_CA_FILE env)",
               .env = "KARVO_TLS_CLIENT_CA_FILE", .hint = ValueHint::file,
               .serve_setting = true},
    OptionInfo{.id = OptionId::tls_min_version, .name = "tls-min-version", .kind = OptionKind::required_value,
               .placeholder = "VERSION", .help = "Oldest TLS version accepted: 1.2 or 1.3",
               .default_value = "1.2", .hint = ValueHint::words, .words = "1.2 1.3", .serve_setting = true},
    OptionInfo{.id = OptionId::metrics_processes, .name = "metrics-processes", .kind = OptionKind::required_value,
               .placeholder = "WHICH",
               .help = "Processes given series of their own at /metrics: all, compute (type C) or none (or "
                       "KARVO_METRICS_PROCESSES env)",
               .env = "KARVO_METRICS_PROCESSES", .default_value = "all", .hint = ValueHint::words,
               .words = "all compute none", .serve_setting = true},
    OptionInfo{.id = OptionId::metrics_max_processes, .name = "metrics-max-processes",
               .kind = OptionKind::required_value, .placeholder = "N",
               .help = "At most N process series per GPU at /metrics, for those holding the most VRAM; the rest are "
                       "counted (or KARVO_METRICS_MAX_PROCESSES env)",
               .env = "KARVO_METRICS_MAX_PROCESSES", .hint = ValueHint::number, .serve_setting = true},
    OptionInfo{.id = OptionId::interval, .name = "interval", .kind = OptionKind::required_value,
               .placeholder = "SECS", .help = "Seconds between the refreshes of karvo top, from 0.1 to 60",
               .default_value = "1", .hint = ValueHint::number, .top_setting = true},
    OptionInfo{.id = OptionId::no_color, .name = "no-color",
               .help = "No colours in karvo top (as when NO_COLOR is set)", .top_setting = true},
    OptionInfo{.id = OptionId::ascii, .name = "ascii", .kind = OptionKind::optional_value, .placeholder = "STYLE",
               .help = "Plain ASCII in karvo top; --ascii=blocks draws its graphs with blocks instead of braille",
               .hint = ValueHint::words, .words = "blocks", .top_setting = true},
    OptionInfo{.id = OptionId::service, .name = "service",
               .help = "Run as the Windows service (only the service control manager starts karvo this way; "
                       "register it with `karvo service install`)",
               .in_help = false},
    OptionInfo{.id = OptionId::help, .name = "help", .short_name = 'h', .kind = OptionKind::help, .help = "Print help"},
    OptionInfo{.id = OptionId::version, .name = "version", .short_name = 'V', .kind = OptionKind::version,
               .help = "Print version"},
};

}  // namespace

std::span<const OptionInfo> all_options() { return kOptions; }

const OptionInfo* find_option(std::string_view name) {
    for (const auto& option : kOptions)
        if (option.name == name) return &option;
    return nullptr;
}

const OptionInfo* find_short_option(char short_name) {
    for (const auto& option : kOptions)
        if (option.short_name != 0 && option.short_name == short_name) return &option;
    return nullptr;
}

std::string option_signature(const OptionInfo& option) {
    std::string text = "--";
    text += option.name;
    if (option.kind == OptionKind::optional_value) {
        text += " [<";
        text += option.placeholder;
        text += ">]";
    } else if (option.kind == OptionKind::required_value) {
        text += " <";
        text += option.placeholder;
        text += ">";
    }
    return text;
}

}  // namespace karvo::cli
