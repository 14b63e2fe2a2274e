#include "cli/serve_config.h"

#include <algorithm>

#include "common/text.h"
#include "platform/files.h"
#include "server/listener.h"

namespace karvo::cli {
namespace {

ServeConfigError usage_error(std::string message) { return {Error(std::move(message)), true}; }
ServeConfigError startup_error(const Error& error) { return {error, false}; }

// The variable's value, trimmed; nothing when it is unset, not Unicode or blank.
std::optional<std::string> variable_value(std::string_view name, const TokenEnvironment& env) {
    const auto value = env.get_env(name);
    if (!value) return std::nullopt;
    const std::string_view trimmed = text::trim(*value);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

// "--tls-key-file (or KARVO_TLS_KEY_FILE)": how a message names a setting.
std::string setting_name(std::string_view option) {
    const OptionInfo* row = find_option(option);
    std::string name = "--" + std::string(option);
    if (row != nullptr && !row->env.empty()) name += " (or " + std::string(row->env) + ")";
    return name;
}

std::string text_token_refusal(std::string_view source) {
    return std::string(source) +
           " cannot be used for the service: the service keeps its settings in its command line, which every local "
           "user can read (sc qc karvo); put the token in a file and give " +
           setting_name("token-file");
}

// The HTTPS files of the settings in effect; an error is a usage error.
Result<std::optional<server::TlsFiles>> tls_files(const Args& args) {
    if (args.tls_cert_file && !args.tls_key_file) return Error("--tls-cert-file needs " + setting_name("tls-key-file"));
    if (args.tls_key_file && !args.tls_cert_file) return Error("--tls-key-file needs " + setting_name("tls-cert-file"));
    if (!args.tls_cert_file) {
        if (args.tls_client_ca_file) return Error("--tls-client-ca-file needs --tls-cert-file and --tls-key-file");
        if (args.tls_min_version) return Error("--tls-min-version needs --tls-cert-file and --tls-key-file");
        return std::optional<server::TlsFiles>();
    }
    server::TlsFiles files{*args.tls_cert_file, *args.tls_key_file, args.tls_client_ca_file};
    if (args.tls_min_version == "1.3") files.min_version = server::TlsMinVersion::tls1_3;
    return std::optional<server::TlsFiles>(std::move(files));
}

}  // namespace

CertificateChecks system_certificate_checks() {
    return CertificateChecks{
        [](const server::TlsFiles& files) { return server::load_credentials(files); },
        [](const std::string& path) { return platform::readable_by_others(path); },
    };
}

ServeConfigOutcome resolve_serve_config(const Args& args, const std::vector<GivenOption>& given,
                                        const TokenEnvironment& tokens, const CertificateChecks& certificates,
                                        ServeUse use) {
    ServeConfig config;

    // The settings in effect: each option given, else its variable, read as
    // the option would be.
    Args settled = args;
    for (const OptionInfo& row : all_options()) {
        if (!row.serve_setting) continue;
        const auto named =
            std::find_if(given.begin(), given.end(), [&](const GivenOption& g) { return g.option == &row; });
        if (named != given.end()) {
            config.settings.push_back({&row, named->value, SettingSource::option});
            continue;
        }
        if (row.env.empty()) continue;
        std::optional<std::string> value = variable_value(row.env, tokens);
        if (!value) continue;
        if (auto refused = apply_setting(settled, row, *value)) {
            return usage_error(std::string(row.env) + ": " + *refused);
        }
        config.settings.push_back({&row, std::move(value), SettingSource::environment});
    }

    // The token keeps its own order of sources (files before text).
    if (use == ServeUse::service) {
        for (const ServeSetting& setting : config.settings) {
            if (setting.option->secret && setting.source == SettingSource::option)
                return usage_error(text_token_refusal("--" + std::string(setting.option->name)));
        }
    }
    TokenSource token_source = TokenSource::none;
    const Result<std::optional<std::string>> token = resolve_token(args, tokens, &token_source);
    if (use == ServeUse::service && token_source == TokenSource::text_variable) {
        for (const ServeSetting& setting : config.settings) {
            if (setting.option->secret && setting.source == SettingSource::environment)
                return usage_error(text_token_refusal(setting.option->env));
        }
    }
    if (!token.ok()) return startup_error(token.error());

    auto tls = tls_files(settled);
    if (!tls.ok()) return usage_error(tls.error().short_form());

    server::ServerConfig& server = config.server;
    server.listen = settled.listen;
    server.port = settled.serve.value_or(kDefaultPort);
    server.token = *token;
    server.tls = *tls;
    server.ids = settled.ids;
    server.metrics = settled.metrics;

    const auto policy =
        server::check_bind_policy(server.listen, server.port, server.token, server::transport_of(server.tls));
    if (!policy.ok()) return startup_error(policy.error());
    // The certificate set is loaded (and so checked) before anything is bound or registered.
    if (server.tls) {
        auto credentials = certificates.load(*server.tls);
        if (!credentials.ok()) return startup_error(credentials.error());
        server.credentials = std::move(*credentials);
        if (certificates.readable_by_others(server.tls->key_file)) {
            config.warnings.push_back("warning: TLS key file " + server.tls->key_file +
                                      " can be read by other users; restrict it (chmod 600)\n");
        }
    }
    if (*policy) config.warnings.push_back(**policy);
    return config;
}

}  // namespace karvo::cli
