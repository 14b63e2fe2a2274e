#pragma once
// Texts generated from the option table (cli/options.h): the man page, the
// bash, zsh and PowerShell completion scripts and the Markdown reference in
// docs/options.md. Nothing here knows an option by name: every line comes
// from a row's fields, so a new row shows up everywhere at once.

#include <optional>
#include <string>
#include <string_view>

namespace karvo::cli {

std::string man_page();           // karvo(1), groff -man
std::string bash_completion();    // sourced by bash-completion for "karvo"
std::string zsh_completion();     // the _karvo function file
std::string powershell_completion();  // karvo.ps1, dot-sourced from a profile
std::string options_markdown();   // docs/options.md

// The text for one of the names "man", "bash", "zsh", "powershell",
// "markdown"; nothing for any other name.
std::optional<std::string> option_document(std::string_view name);

}  // namespace karvo::cli
