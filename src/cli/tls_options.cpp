#include "cli/tls_options.h"

#include "cli/options.h"
#include "common/text.h"

namespace karvo::cli {
namespace {

// The option's value, else its variable's trimmed value when not blank.
std::optional<std::string> setting(const std::optional<std::string>& option, std::string_view long_name,
                                   const GetEnv& get_env) {
    if (option) return option;
    const auto value = get_env(find_option(long_name)->env);
    if (!value) return std::nullopt;
    const std::string_view trimmed = text::trim(*value);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

}  // namespace

Result<std::optional<server::TlsFiles>> resolve_tls_files(const Args& args, const GetEnv& get_env) {
    auto cert = setting(args.tls_cert_file, "tls-cert-file", get_env);
    auto key = setting(args.tls_key_file, "tls-key-file", get_env);
    auto client_ca = setting(args.tls_client_ca_file, "tls-client-ca-file", get_env);
    if (cert && !key) return Error("--tls-cert-file needs --tls-key-file (or KARVO_TLS_KEY_FILE)");
    if (key && !cert) return Error("--tls-key-file needs --tls-cert-file (or KARVO_TLS_CERT_FILE)");
    if (!cert) {
        if (client_ca) return Error("--tls-client-ca-file needs --tls-cert-file and --tls-key-file");
        if (args.tls_min_version) return Error("--tls-min-version needs --tls-cert-file and --tls-key-file");
        return std::optional<server::TlsFiles>();
    }
    server::TlsFiles files{std::move(*cert), std::move(*key), std::move(client_ca)};
    if (args.tls_min_version == "1.3") files.min_version = server::TlsMinVersion::tls1_3;
    return std::optional<server::TlsFiles>(std::move(files));
}

}  // namespace karvo::cli
