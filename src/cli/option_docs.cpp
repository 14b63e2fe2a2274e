#include "cli/option_docs.h"

#include <vector>

#include "cli/args.h"
#include "cli/options.h"
#include "cli/service.h"
#include "common/numfmt.h"

namespace karvo::cli {
namespace {

// The date of the release (the build takes it from the Debian changelog).
constexpr std::string_view kReleaseDate = KARVO_RELEASE_DATE;

// Options a person types: the hidden ones (--service) are documented in the
// man page but never offered by a completion.
std::vector<const OptionInfo*> offered_options() {
    std::vector<const OptionInfo*> offered;
    for (const auto& option : all_options())
        if (option.in_help) offered.push_back(&option);
    return offered;
}

bool takes_value(const OptionInfo& option) {
    return option.kind == OptionKind::optional_value || option.kind == OptionKind::required_value;
}

// ---- man page -------------------------------------------------------------

// Text for a groff line: backslashes and minus signs escaped, quotes written
// as groff's own glyphs, and a line never starting with a control character.
std::string roff(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '\\': out += "\\e"; break;
            case '-': out += "\\-"; break;
            case '`': out += "\\(aq"; break;
            case '\'': out += "\\(aq"; break;
            default: out += c;
        }
    }
    if (!out.empty() && (out.front() == '.' || out.front() == '\'')) out.insert(0, "\\&");
    return out;
}

std::string man_option_heading(const OptionInfo& option) {
    std::string line = ".TP\n";
    if (option.short_name != 0) {
        line += "\\fB\\-";
        line += option.short_name;
        line += "\\fR, ";
    }
    line += "\\fB" + roff("--" + std::string(option.name)) + "\\fR";
    if (option.kind == OptionKind::optional_value) {
        line += " [\\fI" + roff(option.placeholder) + "\\fR]";
    } else if (option.kind == OptionKind::required_value) {
        line += " \\fI" + roff(option.placeholder) + "\\fR";
    }
    return line + "\n";
}

constexpr std::string_view kManDescription =
    ".SH DESCRIPTION\n"
    "\\fBkarvo\\fR reports the state of the AMD GPUs in the machine: names, PCI identity, memory, temperatures,\n"
    "clocks, utilisation, power, PCIe link and the processes holding video memory.\n"
    "It prints a table (the default), a JSON document (\\fB\\-\\-json\\fR, \\fB\\-\\-compact\\fR),\n"
    "redraws the table every few seconds (\\fB\\-\\-watch\\fR), or serves the JSON document and\n"
    "Prometheus metrics over HTTP (\\fB\\-\\-serve\\fR).\n"
    "It needs no vendor library: it uses whatever the system offers at run time and reports less when\n"
    "a source is missing.\n";

// "10, 30 and 60": the service's restart delays in seconds, as a sentence lists them.
std::string restart_delays_text() {
    std::string text;
    const std::size_t count = std::size(kRestartDelaysMs);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += i + 1 == count ? " and " : ", ";
        text += numfmt::unsigned_text(kRestartDelaysMs[i] / 1000);
    }
    return text;
}

// What `karvo service install` registers, one sentence for the man page and
// docs/options.md (`bold` and `roman` set the name apart, the quotes enclose
// the display name).
std::string registered_service_text(std::string_view bold, std::string_view roman, std::string_view open_quote,
                                    std::string_view close_quote) {
    return "the Windows service " + std::string(bold) + std::string(kServiceName) + std::string(roman) + " (" +
           std::string(open_quote) + std::string(kServiceDisplayName) + std::string(close_quote) +
           "): automatic (delayed) start, runs as " + std::string(kServiceAccount) + ", restarted " +
           restart_delays_text() + " seconds after a failure.";
}

std::string man_commands() {
    std::string text =
        ".SH COMMANDS\n"
        "These commands exist on Windows only; elsewhere they say so and exit with status 1.\n"
        ".TP\n"
        "\\fBservice install\\fR [\\fIserve options\\fR]\n";
    text += "Registers " + registered_service_text("\\fB", "\\fR", "\\(lq", "\\(rq") + "\n";
    text +=
        "The serve options, and the variables that stand in for them, are settled and checked as\n"
        "\\fB\\-\\-serve\\fR would settle them (token and certificate files included) before anything is\n"
        "registered; the service's command line is this executable with \\fB\\-\\-service\\fR and each of\n"
        "them as one \\fB\\-\\-name=value\\fR word, file names made absolute. A token given as text\n"
        "(\\fB\\-\\-token\\fR, \\fBKARVO_TOKEN\\fR) is refused: every local user can read a service's\n"
        "command line. Needs an elevated console.\n"
        ".TP\n"
        "\\fBservice uninstall\\fR\n"
        "Stops the service and removes it. Needs an elevated console.\n";
    return text;
}

constexpr std::string_view kManTop =
    ".SH INTERACTIVE MONITOR\n"
    "\\fBkarvo top\\fR shows every GPU with bars for its use and VRAM and its other figures, a history graph\n"
    "(use and VRAM, temperature, power or clocks) and the processes on the GPUs, refreshed every\n"
    "\\fB\\-\\-interval\\fR seconds. Keys: \\fBq\\fR quits, \\fB?\\fR lists the others (sort, reverse, select,\n"
    "GPU, graph, filter, pause, interval). Standard output must be a terminal.\n"
    "Its options are \\fB\\-\\-id\\fR, \\fB\\-\\-interval\\fR, \\fB\\-\\-no\\-color\\fR, \\fB\\-\\-ascii\\fR and\n"
    "\\fB\\-\\-replay\\fR;\n"
    "\\fBNO_COLOR\\fR set to anything but an empty text also turns colours off.\n";

constexpr std::string_view kManTail =
    ".SH FILES\n"
    ".TP\n"
    ".I /usr/lib/systemd/system/karvo.service\n"
    "The systemd unit of the Debian package (installed, not enabled). It serves on port 9110 with the token\n"
    "in \\fI/etc/karvo/token\\fR.\n"
    ".TP\n"
    ".I /etc/karvo/token\n"
    "The bearer token the unit reads: one line, at least 16 characters.\n"
    ".SH EXIT STATUS\n"
    ".TP\n"
    ".B 0\n"
    "Success: the report, help or version was printed.\n"
    ".TP\n"
    ".B 1\n"
    "Failure: a token error, a refused or failed bind, a failed report, a failed service command.\n"
    ".TP\n"
    ".B 2\n"
    "A usage error, or no AMD GPU found.\n";

std::string man_examples() {
    std::string text =
        ".SH EXAMPLES\n"
        "The table, then the same as JSON for a script:\n"
        ".PP\n.nf\n.RS\n"
        "karvo\n"
        "karvo \\-\\-json\n"
        "karvo \\-\\-compact | jq \\(aq.[0].vram_used_mb\\(aq\n"
        ".RE\n.fi\n";
    text +=
        ".PP\nOne line of chosen fields per GPU:\n"
        ".PP\n.nf\n.RS\n"
        "karvo \\-\\-query\\-gpu=name,temperature.gpu \\-\\-format=csv\n"
        ".RE\n.fi\n"
        ".PP\nThe HTTP API for Prometheus on all interfaces, with a token from a file:\n"
        ".PP\n.nf\n.RS\n"
        "(umask 077; openssl rand \\-hex 32 > /etc/karvo/token)\n"
        "karvo \\-\\-serve 9110 \\-\\-listen 0.0.0.0 \\-\\-token\\-file /etc/karvo/token\n"
        ".RE\n.fi\n"
        ".PP\nThe same over HTTPS:\n"
        ".PP\n.nf\n.RS\n"
        "karvo \\-\\-serve 9110 \\-\\-listen 0.0.0.0 \\-\\-token\\-file /etc/karvo/token \\e\n"
        "    \\-\\-tls\\-cert\\-file /etc/karvo/cert.pem \\-\\-tls\\-key\\-file /etc/karvo/key.pem\n"
        ".RE\n.fi\n";
    text +=
        ".PP\nThe Windows service, from an elevated console:\n"
        ".PP\n.nf\n.RS\n"
        "karvo service install \\-\\-serve 9110 \\-\\-listen 0.0.0.0 \\-\\-token\\-file C:\\eProgramData\\ekarvo\\etoken\n"
        "sc start karvo\n"
        "karvo service uninstall\n"
        ".RE\n.fi\n"
        ".SH SEE ALSO\n"
        "\\fBcurl\\fR(1), \\fBsystemctl\\fR(1)\n";
    return text;
}

// A help line as a sentence, so that notes can follow it.
std::string sentence(std::string_view help) {
    std::string text(help);
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

// ---- Markdown ------------------------------------------------------------

std::string markdown_cell(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '|') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

std::string man_page() {
    std::string text = ".\\\" Generated by karvo-docs from src/cli/options.cpp: edit the table there.\n";
    text += ".TH KARVO 1 " + std::string(kReleaseDate) + " \"karvo " + std::string(kVersion) + "\" \"User Commands\"\n";
    text += ".SH NAME\nkarvo \\- AMD GPU state as a table, JSON, a watch screen or a Prometheus exporter\n";
    text +=
        ".SH SYNOPSIS\n"
        ".B karvo\n[\\fIOPTIONS\\fR]\n"
        ".br\n"
        ".B karvo top\n[\\fItop options\\fR]\n"
        ".br\n"
        ".B karvo service install\n[\\fIserve options\\fR]\n"
        ".br\n"
        ".B karvo service uninstall\n";
    text += kManDescription;
    text += ".SH OPTIONS\n";
    for (const auto& option : all_options()) {
        text += man_option_heading(option);
        text += roff(sentence(option.help));
        if (!option.default_value.empty()) text += " Default: \\fB" + roff(option.default_value) + "\\fR.";
        if (!option.env.empty()) text += " Environment: \\fB" + roff(option.env) + "\\fR.";
        if (option.serve_setting && !option.secret) text += " Also a setting of \\fBservice install\\fR.";
        if (option.secret) text += " Refused by \\fBservice install\\fR (a service's command line is public).";
        if (option.top_setting) text += " An option of \\fBkarvo top\\fR.";
        text += "\n";
    }
    text += kManTop;
    text += man_commands();
    text += ".SH ENVIRONMENT\nRead only by the HTTP API (\\fB\\-\\-serve\\fR, \\fB\\-\\-service\\fR).\n";
    for (const auto& option : all_options()) {
        if (option.env.empty()) continue;
        text += ".TP\n.B " + roff(option.env) + "\n";
        text += "Stands in for \\fB" + roff("--" + std::string(option.name)) + "\\fR when that option is not given.\n";
    }
    text += kManTail;
    text += man_examples();
    return text;
}

std::string bash_completion() {
    std::string all;
    std::string top_options;  // what `karvo top` takes
    std::string files, words_cases, no_list;
    for (const OptionInfo* option : offered_options()) {
        const std::string name = "--" + std::string(option->name);
        if (!all.empty()) all += ' ';
        all += name;
        if (option->top_setting) top_options += (top_options.empty() ? "" : " ") + name;
        if (option->short_name != 0) {
            all += " -";
            all += option->short_name;
        }
        if (!takes_value(*option)) continue;
        const bool optional = option->kind == OptionKind::optional_value;
        switch (option->hint) {
            case ValueHint::file:
                files += files.empty() ? name : "|" + name;
                break;
            case ValueHint::words:
                words_cases += "        " + name + ")\n            COMPREPLY=($(compgen -W '" +
                               std::string(option->words) + "' -- \"$cur\"))\n            return ;;\n";
                break;
            case ValueHint::none:
            case ValueHint::number:
                // A required value has nothing to offer; an optional one lets the options through.
                if (!optional) no_list += no_list.empty() ? name : "|" + name;
                break;
        }
    }
    std::string text =
        "# bash completion for karvo (generated by karvo-docs from src/cli/options.cpp)\n"
        "_karvo() {\n"
        "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
        "    if [[ $COMP_CWORD -eq 1 && $cur != -* ]]; then\n"
        "        COMPREPLY=($(compgen -W 'service top' -- \"$cur\"))\n"
        "        return\n"
        "    fi\n"
        "    if [[ $COMP_CWORD -eq 2 && $prev == service ]]; then\n"
        "        COMPREPLY=($(compgen -W 'install uninstall' -- \"$cur\"))\n"
        "        return\n"
        "    fi\n"
        "    case \"$prev\" in\n";
    if (!files.empty()) {
        text += "        " + files + ")\n            compopt -o filenames 2>/dev/null\n"
                "            COMPREPLY=($(compgen -f -- \"$cur\"))\n            return ;;\n";
    }
    text += words_cases;
    if (!no_list.empty()) text += "        " + no_list + ")\n            COMPREPLY=()\n            return ;;\n";
    text +=
        "    esac\n"
        "    if [[ ${COMP_WORDS[1]} == top ]]; then\n"
        "        COMPREPLY=($(compgen -W '" + top_options + " --help' -- \"$cur\"))\n"
        "        return\n"
        "    fi\n"
        "    COMPREPLY=($(compgen -W '" + all + "' -- \"$cur\"))\n"
        "}\n"
        "complete -F _karvo karvo\n";
    return text;
}

std::string zsh_completion() {
    auto bracketed = [](std::string_view help) {
        std::string out;
        for (const char c : help) {
            if (c == '[' || c == ']' || c == ':') out += '\\';
            out += c;
        }
        return out;
    };
    std::string text =
        "#compdef karvo\n"
        "# zsh completion for karvo (generated by karvo-docs from src/cli/options.cpp)\n"
        "_arguments -s \\\n"
        "  '1::command:(service top)' \\\n"
        "  '2::service command:(install uninstall)' \\\n";
    for (const OptionInfo* option : offered_options()) {
        std::string action;
        switch (option->hint) {
            case ValueHint::file: action = "_files"; break;
            case ValueHint::words: action = "(" + std::string(option->words) + ")"; break;
            case ValueHint::number:
            case ValueHint::none: action = " "; break;
        }
        std::string value;
        if (option->kind == OptionKind::optional_value) value = "::" + std::string(option->placeholder) + ":" + action;
        if (option->kind == OptionKind::required_value) value = ":" + std::string(option->placeholder) + ":" + action;
        const std::string help = "[" + bracketed(option->help) + "]";
        const std::string name = "--" + std::string(option->name) + (takes_value(*option) ? "=" : "");
        if (option->short_name != 0) {
            text += "  '(- *)'{-" + std::string(1, option->short_name) + "," + name + "}'" + help + value + "' \\\n";
        } else {
            text += "  '" + name + help + value + "' \\\n";
        }
    }
    text += "  && return 0\n";
    return text;
}

std::string powershell_completion() {
    std::string rows;
    for (const OptionInfo* option : offered_options()) {
        std::string hint;
        switch (option->hint) {
            case ValueHint::none: hint = "none"; break;
            case ValueHint::number: hint = "number"; break;
            case ValueHint::file: hint = "file"; break;
            case ValueHint::words: hint = "words"; break;
        }
        const char* kind = option->kind == OptionKind::required_value   ? "required"
                           : option->kind == OptionKind::optional_value ? "optional"
                                                                        : "flag";
        rows += "    @{ Name = '--" + std::string(option->name) + "'; Short = '" +
                (option->short_name != 0 ? "-" + std::string(1, option->short_name) : std::string()) +
                "'; Kind = '" + kind + "'; Hint = '" + hint + "'; Words = '" + std::string(option->words) +
                "'; Help = '" + std::string(option->help) + "' }\n";
    }
    return "# PowerShell completion for karvo (generated by karvo-docs from src/cli/options.cpp).\n"
           "# Dot-source it from your profile:  . 'C:\\Program Files\\karvo\\karvo.ps1'\n"
           "$karvoOptions = @(\n" +
           rows +
           ")\n"
           "Register-ArgumentCompleter -Native -CommandName 'karvo', 'karvo.exe' -ScriptBlock {\n"
           "    param($wordToComplete, $commandAst, $cursorPosition)\n"
           "    $words = @($commandAst.CommandElements | ForEach-Object { $_.ToString() })\n"
           "    $count = $words.Count\n"
           "    if ($wordToComplete -ne '') { $count = $count - 1 }\n"
           "    $previous = if ($count -ge 1) { $words[$count - 1] } else { '' }\n"
           "    $result = @()\n"
           "    if ($count -eq 1 -and -not $wordToComplete.StartsWith('-')) {\n"
           "        $result = @('service', 'top') | Where-Object { $_ -like \"$wordToComplete*\" }\n"
           "    } elseif ($count -eq 2 -and $previous -eq 'service') {\n"
           "        $result = @('install', 'uninstall') | Where-Object { $_ -like \"$wordToComplete*\" }\n"
           "    } else {\n"
           "        $option = $karvoOptions | Where-Object { $_.Name -eq $previous } | Select-Object -First 1\n"
           "        if ($option -and $option.Kind -ne 'flag' -and -not $wordToComplete.StartsWith('-')) {\n"
           "            if ($option.Hint -eq 'file') {\n"
           "                $result = @(Get-ChildItem -Path \"$wordToComplete*\" -ErrorAction SilentlyContinue |\n"
           "                    ForEach-Object { $_.Name })\n"
           "            } elseif ($option.Hint -eq 'words') {\n"
           "                $result = $option.Words.Split(' ') | Where-Object { $_ -like \"$wordToComplete*\" }\n"
           "            }\n"
           "            if ($option.Kind -eq 'required' -or $result) {\n"
           "                return $result | ForEach-Object {\n"
           "                    [System.Management.Automation.CompletionResult]::new($_, $_, 'ParameterValue', $_)\n"
           "                }\n"
           "            }\n"
           "        }\n"
           "        return $karvoOptions | Where-Object { $_.Name -like \"$wordToComplete*\" } | ForEach-Object {\n"
           "            [System.Management.Automation.CompletionResult]::new($_.Name, $_.Name, 'ParameterName', $_.Help)\n"
           "        }\n"
           "    }\n"
           "    $result | ForEach-Object {\n"
           "        [System.Management.Automation.CompletionResult]::new($_, $_, 'ParameterValue', $_)\n"
           "    }\n"
           "}\n";
}

std::string options_markdown() {
    std::string text =
        "# karvo command-line options\n\n"
        "Generated by `karvo-docs markdown` from the option table in `src/cli/options.cpp`; the man page, the help\n"
        "screen and the shell completions come from the same table. Do not edit by hand.\n\n"
        "| Option | Value | Environment | Description |\n"
        "|---|---|---|---|\n";
    for (const auto& option : all_options()) {
        std::string names = "`--" + std::string(option.name) + "`";
        if (option.short_name != 0) names = "`-" + std::string(1, option.short_name) + "`, " + names;
        std::string value;
        if (option.kind == OptionKind::optional_value) value = "optional `" + std::string(option.placeholder) + "`";
        if (option.kind == OptionKind::required_value) value = "`" + std::string(option.placeholder) + "`";
        std::string description = markdown_cell(sentence(option.help));
        if (!option.default_value.empty()) description += " Default: `" + std::string(option.default_value) + "`.";
        if (!option.in_help) description += " (Not on the help screen.)";
        if (option.serve_setting && !option.secret) description += " Also a setting of `karvo service install`.";
        if (option.secret) description += " Refused by `karvo service install` (a service's command line is public).";
        if (option.top_setting) description += " An option of `karvo top`.";
        text += "| " + names + " | " + value + " | " + (option.env.empty() ? "" : "`" + std::string(option.env) + "`") +
                " | " + description + " |\n";
    }
    text +=
        "\n## karvo top\n\n"
        "`karvo top [--id LIST] [--interval SECS] [--no-color] [--ascii[=blocks]] [--replay FILE]`: the interactive\n"
        "monitor (see [top.md](top.md) for the screen and its keys). `NO_COLOR` set to anything but an empty text\n"
        "also turns colours off.\n";
    text +=
        "\n## Commands (Windows)\n\n"
        "- `karvo service install [serve options]`: ";
    text += "registers " + registered_service_text("`", "`", "\"", "\"") + "\n";
    text +=
        "  The serve options, and the variables that stand in for them, are settled and checked as `--serve` settles\n"
        "  them before anything is registered; the service's command line is this executable with `--service` and each\n"
        "  of them as one `--name=value` word, file names made absolute. A token given as text (`--token`,\n"
        "  `KARVO_TOKEN`) is refused: every local user can read a service's command line. Needs an elevated console.\n"
        "- `karvo service uninstall`: stops and removes it. Needs an elevated console.\n";
    return text;
}

std::optional<std::string> option_document(std::string_view name) {
    if (name == "man") return man_page();
    if (name == "bash") return bash_completion();
    if (name == "zsh") return zsh_completion();
    if (name == "powershell") return powershell_completion();
    if (name == "markdown") return options_markdown();
    return std::nullopt;
}

}  // namespace karvo::cli
