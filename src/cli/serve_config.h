#pragma once
// The one configuration of the HTTP API, settled once from the options and
// the environment: `--serve`, `karvo service install` and the service itself
// (`--service`) all go through resolve_serve_config, so they check the same
// things in the same order with the same messages.
//
// Every serve setting is a row of the option table (serve_setting); a row
// with a variable (`env`) is read from it when the option is not given (the
// value trimmed; a blank variable counts as unset), exactly as "--name=value"
// would be read. The settings in effect are kept with their source, so the
// service can be registered with exactly what was checked.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/args.h"
#include "cli/options.h"
#include "cli/token_policy.h"
#include "common/error.h"
#include "server/serve.h"
#include "server/tls.h"

namespace karvo::cli {

enum class SettingSource { option, environment };

// One serve setting in effect.
struct ServeSetting {
    const OptionInfo* option = nullptr;
    std::optional<std::string> value;  // as given (trimmed from a variable); nothing for an option without one
    SettingSource source = SettingSource::option;
    bool operator==(const ServeSetting&) const = default;
};

struct ServeConfig {
    server::ServerConfig server;
    // Every serve setting in effect, in the option table's order.
    std::vector<ServeSetting> settings;
    // Lines to show before binding (a key file others can read, a plain-HTTP
    // remote bind), each ending in "\n".
    std::vector<std::string> warnings;
};

// Why no configuration could be settled. A usage error (exit status 2): a bad
// value from a variable, TLS files that do not go together, a token given as
// text for the service. Otherwise a start-up error (exit status 1): a token
// file, the certificate files, the bind policy.
struct ServeConfigError {
    Error error;
    bool usage = false;
};

using ServeConfigOutcome = std::variant<ServeConfig, ServeConfigError>;

// The certificate files' checks, from outside (the product reads the files).
struct CertificateChecks {
    std::function<Result<std::shared_ptr<const server::TlsCredentials>>(const server::TlsFiles&)> load;
    std::function<bool(const std::string& path)> readable_by_others;
};
CertificateChecks system_certificate_checks();

// What the configuration is for. The service keeps its settings in its
// command line, which every local user can read: it takes no token as text.
enum class ServeUse { serve, service };

// Settles the configuration: the settings in effect, the token, the TLS files
// (and the certificate set loaded from them), the bind policy. `args` and
// `given` are what the command line said (parse_args).
ServeConfigOutcome resolve_serve_config(const Args& args, const std::vector<GivenOption>& given,
                                        const TokenEnvironment& tokens, const CertificateChecks& certificates,
                                        ServeUse use);

}  // namespace karvo::cli
