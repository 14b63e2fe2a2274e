#include "cli/args.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <utility>
#include <vector>

#include "cli/options.h"
#include "common/text.h"
#include "render/selection.h"

namespace karvo::cli {
namespace {

// An argument echoed in a message: made valid UTF-8 and with control
// characters spelled out, so a stray escape sequence cannot drive the terminal.
std::string shown(std::string_view arg) {
    const std::string clean = text::utf8_lossy(arg);
    std::string out;
    out.reserve(clean.size());
    for (const char c : clean) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char digits[2];
            const auto end = std::to_chars(digits, digits + sizeof digits, byte, 16).ptr;
            out += "\\x";
            if (end - digits == 1) out += '0';
            out.append(digits, end);
        } else {
            out += c;
        }
    }
    return out;
}

// The help screen stays within 79 columns: an 80-column Windows console
// would otherwise wrap a full line and then show the line end as a blank line.
constexpr std::size_t kHelpWidth = 79;
// The widest option signature that has its help text beside it.
constexpr std::size_t kSignatureWidth = 19;  // "--token-file <FILE>"

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    while (!text.empty()) {
        const auto blank = text.find(' ');
        if (blank != 0) words.push_back(text.substr(0, blank));
        if (blank == std::string_view::npos) break;
        text.remove_prefix(blank + 1);
    }
    return words;
}

// Appends `words` separated by blanks, breaking lines before a word that would
// pass kHelpWidth. The text starts at column `indent` (already reached on the
// current line) and every continuation line is indented to it.
void append_wrapped(std::string& out, const std::vector<std::string_view>& words, std::size_t indent) {
    std::size_t column = indent;
    bool line_empty = true;
    for (const auto word : words) {
        if (!line_empty && column + 1 + word.size() > kHelpWidth) {
            out += '\n';
            out.append(indent, ' ');
            column = indent;
            line_empty = true;
        }
        if (!line_empty) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        line_empty = false;
    }
}

UsageError usage_error(std::string_view program, const std::string& message, const std::string& tip = {}) {
    std::string text = "error: ";
    text += message;
    text += "\n";
    if (!tip.empty()) {
        text += "\n  tip: ";
        text += tip;
        text += "\n";
    }
    text += "\nUsage: ";
    text += program;
    text += " [OPTIONS]\n\nFor more information, try '--help'.\n";
    return UsageError{std::move(text)};
}

// An argument that a value-taking option must not swallow: anything starting
// with "-" except "-" itself and negative numbers. No option looks like a
// number, so "--watch -5" is reported as a bad value rather than an unknown option.
bool looks_like_option(std::string_view arg) {
    if (arg.size() < 2 || arg.front() != '-') return false;
    return !std::all_of(arg.begin() + 1, arg.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What the query options gave, checked once every option is read.
struct ScriptOptions {
    int queries = 0;
    std::string query_option;
    render::QueryKind query_kind = render::QueryKind::gpus;
    std::string query_fields;
    std::optional<std::string> format;
};

// Settles args.query and checks how the script options combine; an error is a
// message and a tip.
std::optional<std::pair<std::string, std::string>> check_script_options(Args& args, const ScriptOptions& script) {
    if (script.queries == 0 && script.format) {
        return std::pair{std::string("--format applies to a query (--query-gpu, --query-apps, --query-compute-apps)"),
                         std::string()};
    }
    if (script.queries > 0) {
        Result<render::Query> query = render::parse_query(script.query_kind, script.query_fields);
        if (!query.ok()) {
            return std::pair{query.error().long_form(), std::string("karvo --help-query lists the fields")};
        }
        if (script.format) {
            if (const Status format = render::apply_format(*query, *script.format); !format.ok())
                return std::pair{format.error().long_form(), std::string()};
        }
        if (args.serve || args.watch) {
            return std::pair{"'" + script.query_option + "' cannot be used with --serve or --watch", std::string()};
        }
        args.query = std::move(query).value();
    }
    if (args.loop_ms) {
        if (args.serve || args.watch)
            return std::pair{std::string("--loop cannot be used with --serve or --watch"), std::string()};
        if (!args.query && !args.json && !args.compact) {
            return std::pair{std::string("--loop repeats a query, --compact or --json, not the table"),
                             std::string("use --watch for a table that refreshes")};
        }
    }
    return std::nullopt;
}

// Seconds with at most three decimals ("0.5", "2", "1.25") as milliseconds.
std::optional<std::uint64_t> seconds_as_ms(std::string_view text) {
    const std::size_t dot = text.find('.');
    const auto seconds = text::parse_unsigned(text.substr(0, dot), 1000000);
    if (!seconds) return std::nullopt;
    std::uint64_t ms = *seconds * 1000;
    if (dot != std::string_view::npos) {
        const std::string_view fraction = text.substr(dot + 1);
        if (fraction.empty() || fraction.size() > 3) return std::nullopt;
        std::uint64_t scale = 100;
        for (const char c : fraction) {
            if (c < '0' || c > '9') return std::nullopt;
            ms += static_cast<std::uint64_t>(c - '0') * scale;
            scale /= 10;
        }
    }
    return ms;
}

// A report records one pass: it does not combine with the modes that repeat
// passes, nor with a replay; --redact only means something for a report.
std::optional<std::string> check_report_options(const Args& args) {
    if (args.redact && !args.report) return "--redact applies to --report";
    if (!args.report) return std::nullopt;
    if (args.serve || args.watch || args.loop_ms) {
        return "--report records one pass; it cannot be used with --serve, --watch or --loop";
    }
    if (args.replay) return "--report cannot be used with --replay";
    return std::nullopt;
}

// The options of `karvo top` that mean nothing elsewhere (--id and --replay serve every mode).
bool only_for_top(const OptionInfo& option) {
    return option.top_setting &&
           (option.id == OptionId::interval || option.id == OptionId::no_color || option.id == OptionId::ascii);
}

const OptionInfo* find_short(std::string_view arg) {
    if (arg.size() != 2 || arg[0] != '-') return nullptr;
    return find_short_option(arg[1]);
}

}  // namespace

std::string program_display_name(std::string_view program_path) {
    const auto slash = program_path.find_last_of("/\\");
    if (slash != std::string_view::npos) program_path.remove_prefix(slash + 1);
    if (program_path.empty()) return "karvo";
    return shown(program_path);
}

std::string help_text(std::string_view program_name) {
    // The help texts start in one column, right of the signatures that fit in
    // kSignatureWidth; a longer signature has its help text on the next line.
    std::size_t width = 0;
    for (const auto& spec : all_options()) {
        const std::size_t size = option_signature(spec).size();
        if (spec.in_help && size <= kSignatureWidth) width = std::max(width, size);
    }
    const std::size_t help_column = 6 + width + 2;

    std::string text;
    append_wrapped(text, split_words(kAbout), 0);
    text += "\n\nUsage: ";
    text += program_name;
    text += " [OPTIONS]\n       ";
    text += program_name;
    text += " top [--id LIST] [--interval SECS] [--no-color] [--ascii]\n\nOptions:\n";
    for (const auto& spec : all_options()) {
        if (!spec.in_help) continue;
        std::string left = "  ";
        if (spec.short_name != 0) {
            left += '-';
            left += spec.short_name;
            left += ", ";
        } else {
            left += "    ";
        }
        left += option_signature(spec);
        if (left.size() + 2 > help_column) {
            text += left;
            text += '\n';
            left.clear();
        }
        text += text::pad_right(left, help_column);
        auto words = split_words(spec.help);
        std::string default_note;
        if (!spec.default_value.empty()) {
            default_note = "[default: " + std::string(spec.default_value) + "]";
            words.emplace_back(default_note);
        }
        append_wrapped(text, words, help_column);
        text += "\n";
    }
    return text;
}

namespace {

// Reads `argv` into `args` (the options it names are set over what `args` holds).
ParseOutcome parse_into(Args args, const std::vector<std::string>& argv, std::vector<GivenOption>* given) {
    const std::string program = program_display_name(argv.empty() ? std::string_view() : argv.front());
    std::string usage_name = program;  // "karvo top" in the usage line of a top run
    ScriptOptions script;
    std::vector<bool> seen(all_options().size());
    bool options_ended = false;

    std::string top_only;  // the first option given that only `karvo top` takes
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string_view arg = argv[i];
        if (i == 1 && arg == "top") {
            args.top = true;
            usage_name = program + " top";
            continue;
        }
        if (options_ended || arg.size() < 2 || arg.front() != '-') {
            return usage_error(usage_name, "unexpected argument '" + shown(arg) + "' found");
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }

        const OptionInfo* spec = nullptr;
        std::optional<std::string_view> inline_value;
        std::string written;  // the option as the user named it, for messages
        if (arg.starts_with("--")) {
            std::string_view body = arg.substr(2);
            const auto eq = body.find('=');
            if (eq != std::string_view::npos) {
                inline_value = body.substr(eq + 1);
                body = body.substr(0, eq);
            }
            spec = find_option(body);
            written = "--" + shown(body);
        } else {
            spec = find_short(arg);
            written = shown(arg);
        }
        if (spec == nullptr) {
            return usage_error(usage_name, "unexpected argument '" + shown(arg) + "' found");
        }

        const std::string signature = option_signature(*spec);
        if (spec->kind == OptionKind::help || spec->kind == OptionKind::version || spec->kind == OptionKind::flag) {
            if (inline_value) {
                return usage_error(usage_name, "unexpected value '" + shown(*inline_value) + "' for '" + written +
                                                "' found; no more were expected");
            }
        }
        if (spec->kind == OptionKind::help) return ShowHelp{help_text(program)};
        if (spec->kind == OptionKind::version) return ShowVersion{"karvo " + std::string(kVersion) + "\n"};
        if (spec->id == OptionId::help_query) return ShowHelp{render::help_query_text()};

        if (seen[static_cast<std::size_t>(spec - all_options().data())]) {
            return usage_error(usage_name, "the argument '" + signature + "' cannot be used multiple times");
        }
        seen[static_cast<std::size_t>(spec - all_options().data())] = true;

        // Fetch the value, if the option takes one.
        std::optional<std::string_view> value = inline_value;
        if (!value && spec->kind != OptionKind::flag && i + 1 < argv.size() && !looks_like_option(argv[i + 1])) {
            value = argv[++i];
        }
        if (!value && spec->kind == OptionKind::required_value) {
            std::string tip;
            if (i + 1 < argv.size() && argv[i + 1] != "--") {
                tip = "to pass '" + shown(argv[i + 1]) + "' as the value, use '--" + std::string(spec->name) +
                      "=" + shown(argv[i + 1]) + "'";
            }
            return usage_error(usage_name, "a value is required for '" + signature + "' but none was supplied", tip);
        }

        if (given != nullptr) {
            given->push_back({spec, value ? std::optional<std::string>(std::string(*value)) : std::nullopt});
        }
        switch (spec->id) {
            case OptionId::json: args.json = true; break;
            case OptionId::verbose: args.verbose = true; break;
            case OptionId::show_ref: args.show_ref = true; break;
            case OptionId::compact: args.compact = true; break;
            case OptionId::service: args.service = true; break;
            case OptionId::watch:
                if (!value) {
                    args.watch = kDefaultWatchSeconds;
                } else if (auto seconds = text::parse_unsigned(*value, std::numeric_limits<std::uint64_t>::max())) {
                    args.watch = *seconds;
                } else {
                    return usage_error(usage_name, "invalid value '" + shown(*value) + "' for '" + signature +
                                                    "': expected a whole number of seconds from 0 to "
                                                    "18446744073709551615");
                }
                break;
            case OptionId::serve:
                if (!value) {
                    args.serve = kDefaultPort;
                } else if (auto port = text::parse_unsigned(*value, std::numeric_limits<std::uint16_t>::max())) {
                    args.serve = static_cast<std::uint16_t>(*port);
                } else {
                    return usage_error(usage_name, "invalid value '" + shown(*value) + "' for '" + signature +
                                                    "': expected a port number from 0 to 65535");
                }
                break;
            case OptionId::listen:
                if (!text::is_valid_utf8(*value)) {
                    return usage_error(usage_name, "invalid UTF-8 was detected in the value of '" + signature + "'");
                }
                args.listen = std::string(*value);
                break;
            case OptionId::token:
                // Not echoed: the value is a secret.
                if (!text::is_valid_utf8(*value)) {
                    return usage_error(usage_name, "invalid UTF-8 was detected in the value of '" + signature + "'");
                }
                args.token = std::string(*value);
                break;
            case OptionId::token_file:
                if (value->empty()) {
                    return usage_error(usage_name, "invalid value '' for '" + signature + "': the file name is empty");
                }
                args.token_file = std::string(*value);
                break;
            case OptionId::query_gpu:
            case OptionId::query_apps:
            case OptionId::query_compute_apps:
                script.query_option = signature;
                script.query_kind = spec->id == OptionId::query_gpu    ? render::QueryKind::gpus
                                    : spec->id == OptionId::query_apps ? render::QueryKind::apps
                                                                       : render::QueryKind::compute_apps;
                script.query_fields = std::string(*value);
                if (script.queries++ > 0) {
                    return usage_error(usage_name,
                                       "only one of --query-gpu, --query-apps and --query-compute-apps may be given");
                }
                break;
            case OptionId::format: script.format = std::string(*value); break;
            case OptionId::id:
                args.ids = render::split_ids(*value);
                if (args.ids.empty()) return usage_error(usage_name, "the list of '" + signature + "' is empty");
                break;
            case OptionId::loop:
            case OptionId::loop_ms: {
                // At most a day: a longer interval is a mistake, and its nanoseconds must not overflow.
                const bool seconds = spec->id == OptionId::loop;
                const std::uint64_t unit = seconds ? 1000 : 1;
                const auto number = text::parse_unsigned(*value, std::numeric_limits<std::uint64_t>::max());
                if (!number || *number * unit < kMinLoopMs || *number > kMaxLoopMs / unit) {
                    return usage_error(usage_name, "invalid value '" + shown(*value) + "' for '" + signature +
                                                    "': expected a whole number of " +
                                                    (seconds ? "seconds from 1 to 86400 (a day)"
                                                             : "milliseconds from 100 to 86400000 (a day)"));
                }
                if (args.loop_ms) return usage_error(usage_name, "only one of --loop and --loop-ms may be given");
                args.loop_ms = *number * unit;
                break;
            }
            case OptionId::tls_cert_file:
            case OptionId::tls_key_file:
            case OptionId::tls_client_ca_file: {
                if (value->empty()) {
                    return usage_error(usage_name, "invalid value '' for '" + signature + "': the file name is empty");
                }
                auto& field = spec->id == OptionId::tls_cert_file  ? args.tls_cert_file
                              : spec->id == OptionId::tls_key_file ? args.tls_key_file
                                                                   : args.tls_client_ca_file;
                field = std::string(*value);
                break;
            }
            case OptionId::tls_min_version:
                if (*value != "1.2" && *value != "1.3") {
                    return usage_error(usage_name, "invalid value '" + shown(*value) + "' for '" + signature +
                                                    "': expected 1.2 or 1.3");
                }
                args.tls_min_version = std::string(*value);
                break;
            case OptionId::metrics_processes:
                if (*value == "all") {
                    args.metrics.processes = render::ProcessSeries::all;
                } else if (*value == "compute") {
                    args.metrics.processes = render::ProcessSeries::compute;
                } else if (*value == "none") {
                    args.metrics.processes = render::ProcessSeries::none;
                } else {
                    return usage_error(usage_name, "invalid value '" + shown(*value) + "' for '" + signature +
                                                    "': expected all, compute or none");
                }
                break;
            case OptionId::metrics_max_processes: {
                // Any whole number: 0 writes no process series, one beyond every count all of them.
                const bool digits = !value->empty() && std::all_of(value->begin(), value->end(),
                                                                   [](char c) { return c >= '0' && c <= '9'; });
                if (!digits) {
                    return usage_error(usage_name, "invalid value '" + shown(*value) + "' for '" + signature +
                                                    "': expected a whole number of processes (0 for none)");
                }
                args.metrics.max_processes =
                    text::parse_unsigned(*value, std::numeric_limits<std::uint64_t>::max())
                        .value_or(std::numeric_limits<std::uint64_t>::max());
                break;
            }
            case OptionId::interval: {
                const auto ms = seconds_as_ms(*value);
                if (!ms || *ms < kMinLoopMs || *ms > 60000) {
                    return usage_error(usage_name, "invalid value '" + shown(*value) + "' for '" + signature +
                                                    "': expected seconds from 0.1 to 60 (e.g. 0.5)");
                }
                args.interval_ms = *ms;
                break;
            }
            case OptionId::no_color: args.no_color = true; break;
            case OptionId::ascii:
                if (value && *value != "blocks") {
                    return usage_error(usage_name, "invalid value '" + shown(*value) + "' for '" + signature +
                                                    "': expected 'blocks' or no value");
                }
                args.ascii = value ? std::string(*value) : std::string();
                break;
            case OptionId::report:
            case OptionId::replay:
                if (value->empty()) {
                    return usage_error(usage_name, "invalid value '' for '" + signature + "': the file name is empty");
                }
                (spec->id == OptionId::report ? args.report : args.replay) = std::string(*value);
                break;
            case OptionId::redact: args.redact = true; break;
            case OptionId::help:
            case OptionId::help_query:
            case OptionId::version: break;  // they end parsing above
        }
        if (only_for_top(*spec) && top_only.empty()) top_only = "--" + std::string(spec->name);
        if (args.top && !spec->top_setting) {
            std::string names;
            for (const auto& option : all_options()) {
                if (!option.top_setting) continue;
                names += (names.empty() ? "--" : ", --") + std::string(option.name);
            }
            return usage_error(usage_name, "'" + written + "' is not an option of 'karvo top' (those are " +
                                                     names + ")");
        }
    }
    if (!args.top && !top_only.empty()) {
        return usage_error(usage_name, "'" + top_only + "' is an option of 'karvo top'",
                           "karvo top " + top_only + " ...");
    }
    if (auto error = check_script_options(args, script)) return usage_error(usage_name, error->first, error->second);
    if (auto error = check_report_options(args)) return usage_error(usage_name, *error);
    return args;
}

}  // namespace

ParseOutcome parse_args(const std::vector<std::string>& argv, std::vector<GivenOption>* given) {
    return parse_into(Args(), argv, given);
}

std::optional<std::string> apply_setting(Args& args, const OptionInfo& option, std::optional<std::string_view> value) {
    std::string word = "--" + std::string(option.name);
    if (value) word += "=" + std::string(*value);
    ParseOutcome parsed = parse_into(args, {"karvo", word}, nullptr);
    if (auto* settled = std::get_if<Args>(&parsed)) {
        args = std::move(*settled);
        return std::nullopt;
    }
    // The message of the usage error, without its "error: " and what follows its line.
    const std::string* text = std::get_if<UsageError>(&parsed) ? &std::get<UsageError>(parsed).text : nullptr;
    if (text == nullptr) return "--" + std::string(option.name) + " takes no value here";
    const std::size_t start = text->starts_with("error: ") ? 7 : 0;
    return text->substr(start, text->find('\n') - start);
}

}  // namespace karvo::cli
