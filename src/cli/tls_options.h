#pragma once
// The HTTPS settings of serve mode: the --tls-* options, with the KARVO_TLS_*
// variables standing in for absent file options (read only in serve mode,
// trimmed; blank counts as unset).

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cli/args.h"
#include "common/error.h"
#include "server/tls.h"

namespace karvo::cli {

using GetEnv = std::function<std::optional<std::string>(std::string_view name)>;

// Nothing when HTTPS is not asked for. An error is a usage error: a
// certificate without a key or the other way round, or a client CA or minimum
// version without a certificate.
Result<std::optional<server::TlsFiles>> resolve_tls_files(const Args& args, const GetEnv& get_env);

}  // namespace karvo::cli
