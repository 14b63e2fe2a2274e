#pragma once
// The bearer token of the HTTP API: which source decides, how its text is
// cleaned, and what is rejected. Only serve mode resolves a token; every other
// mode ignores the token options and variables completely.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cli/args.h"
#include "common/error.h"

namespace karvo::cli {

// Tokens shorter than this many bytes (after trimming) are refused.
inline constexpr std::size_t kMinTokenBytes = 16;
// Tokens longer than this (after trimming) are refused, whatever their
// source: no request of one 8192-byte read could carry much more.
inline constexpr std::size_t kMaxTokenBytes = 4096;
// A token file is read up to this size; a longer one is refused unread.
inline constexpr std::size_t kMaxTokenFileBytes = 64 * 1024;

// What token resolution needs from the outside world; the product uses the
// process environment, the file system and standard error.
struct TokenEnvironment {
    // A variable's value; nothing when unset or not valid Unicode.
    std::function<std::optional<std::string>(std::string_view name)> get_env;
    // A whole regular file of at most kMaxTokenFileBytes as bytes; errors read
    // "{system text} (os error {code})", "not a regular file" or "file too large".
    std::function<Result<std::string>(const std::string& path)> read_file;
    // Writes one complete line (ending in "\n") to standard error.
    std::function<void(std::string_view line)> warn;
};

TokenEnvironment system_token_environment();

// Reads and trims the token held in the file at `path`.
Result<std::string> read_token_file(const std::string& path, const TokenEnvironment& env);

// Where the token came from.
enum class TokenSource { none, file_option, file_variable, text_option, text_variable };

// Settles the bearer token from, in this order, --token-file, KARVO_TOKEN_FILE,
// --token and KARVO_TOKEN; the first source that applies decides (and is put
// in `source` when given). Nothing is a valid outcome (no token); an error is
// fatal for serve mode.
Result<std::optional<std::string>> resolve_token(const Args& args, const TokenEnvironment& env,
                                                 TokenSource* source = nullptr);

}  // namespace karvo::cli
