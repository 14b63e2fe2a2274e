// karvo-docs: a build-time tool that prints one text generated from the option
// table (man page, completions, docs/options.md). scripts/release.sh and the
// tests call it; it is never shipped.
//   karvo-docs man|bash|zsh|powershell|markdown
#include <cstdio>
#include <string_view>

#include "cli/option_docs.h"

int main(int argc, char** argv) {
    const auto text = argc == 2 ? karvo::cli::option_document(argv[1]) : std::nullopt;
    if (!text) {
        std::fputs("usage: karvo-docs man|bash|zsh|powershell|markdown\n", stderr);
        return 2;
    }
    return std::fwrite(text->data(), 1, text->size(), stdout) == text->size() && std::fflush(stdout) == 0 ? 0 : 1;
}
