// Command lines of arbitrary bytes: parsing and token resolution must never
// crash, and must always end in exactly one well-formed outcome.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/token_policy.h"
#include "common/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // NUL-separated arguments; the first chunk doubles as the token file's content.
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> argv{"karvo"};
    std::size_t start = 0;
    for (std::size_t i = 0; i <= input.size(); ++i) {
        if (i == input.size() || input[i] == '\0') {
            argv.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }

    const auto outcome = karvo::cli::parse_args(argv);
    if (const auto* error = std::get_if<karvo::cli::UsageError>(&outcome)) {
        if (!karvo::text::is_valid_utf8(error->text)) std::abort();
        return 0;
    }
    const auto* args = std::get_if<karvo::cli::Args>(&outcome);
    if (args == nullptr) return 0;

    karvo::cli::TokenEnvironment env{
        [&](std::string_view name) -> std::optional<std::string> {
            if (name == "KARVO_TOKEN") return argv[1];
            return std::nullopt;
        },
        [&](const std::string&) -> karvo::Result<std::string> { return argv[1]; },
        [](std::string_view) {},
    };
    const auto token = karvo::cli::resolve_token(*args, env);
    if (token.ok() && token.value() &&
        (token.value()->size() < karvo::cli::kMinTokenBytes || token.value()->size() > karvo::cli::kMaxTokenBytes))
        std::abort();
    return 0;
}
