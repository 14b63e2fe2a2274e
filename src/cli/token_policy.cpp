#include "cli/token_policy.h"

#include "common/text.h"
#include "platform/console.h"
#include "platform/system.h"

namespace karvo::cli {
namespace {

constexpr std::string_view kTokenWarning =
    "warning: --token is visible in process listings; prefer --token-file or KARVO_TOKEN env\n";

// Paths are bytes on POSIX; a message must stay valid UTF-8.
std::string path_for_message(const std::string& path) { return text::utf8_lossy(path); }

}  // namespace

TokenEnvironment system_token_environment() {
    return TokenEnvironment{
        [](std::string_view name) { return platform::get_env(name); },
        [](const std::string& path) { return platform::read_regular_file(path, kMaxTokenFileBytes); },
        [](std::string_view line) { (void)platform::write_stderr(line); },
    };
}

Result<std::string> read_token_file(const std::string& path, const TokenEnvironment& env) {
    Result<std::string> content = env.read_file(path);
    if (!content.ok()) {
        return Error("read token file " + path_for_message(path) + ": " + content.error().long_form());
    }
    if (!text::is_valid_utf8(*content)) {
        return Error("read token file " + path_for_message(path) + ": stream did not contain valid UTF-8");
    }
    const std::string_view token = text::trim(*content);
    if (token.size() < kMinTokenBytes) {
        return Error("token in " + path_for_message(path) +
                     " too short (need >=16 chars, use `openssl rand -hex 32`)");
    }
    return std::string(token);
}

namespace {

Result<std::optional<std::string>> resolve_any_length(const Args& args, const TokenEnvironment& env,
                                                      TokenSource& source) {
    using Token = std::optional<std::string>;

    source = TokenSource::file_option;
    if (args.token_file) {
        // The path exactly as the user wrote it.
        auto token = read_token_file(*args.token_file, env);
        if (!token.ok()) return token.error();
        return Token(std::move(token).value());
    }

    if (const auto variable = env.get_env("KARVO_TOKEN_FILE")) {
        const std::string path(text::trim(*variable));
        source = TokenSource::file_variable;
        if (!path.empty()) {
            auto token = read_token_file(path, env);
            if (!token.ok()) return token.error();
            return Token(std::move(token).value());
        }
    }

    source = TokenSource::text_option;
    if (args.token) {
        // Warn before judging the value: the secret is already exposed either way.
        env.warn(kTokenWarning);
        const std::string_view token = text::trim(*args.token);
        if (token.size() < kMinTokenBytes) {
            return Error("--token too short (need >=16 chars, use `openssl rand -hex 32`)");
        }
        return Token(std::string(token));
    }

    source = TokenSource::text_variable;
    if (const auto variable = env.get_env("KARVO_TOKEN")) {
        const std::string_view token = text::trim(*variable);
        if (token.empty()) {
            source = TokenSource::none;
            return Token();
        }
        if (token.size() < kMinTokenBytes) return Error("KARVO_TOKEN too short (need >=16 chars)");
        return Token(std::string(token));
    }

    source = TokenSource::none;
    return Token();
}

}  // namespace

Result<std::optional<std::string>> resolve_token(const Args& args, const TokenEnvironment& env,
                                                 TokenSource* source) {
    TokenSource used = TokenSource::none;
    auto token = resolve_any_length(args, env, used);
    if (source != nullptr) *source = used;
    if (token.ok() && *token && (*token)->size() > kMaxTokenBytes) return Error("token too long (max 4096 bytes)");
    return token;
}

}  // namespace karvo::cli
