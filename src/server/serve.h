#pragma once
// The headless HTTP API: bind policy, listener and accept loop.

#include <cstdint>
#include <optional>
#include <string>

#include "common/error.h"
#include "server/tls.h"

namespace karvo::server {

// Binds `{listen}:{port}` under the bind policy, prints the banner and serves
// requests one at a time while many connections wait for their bytes. With
// `tls` the port speaks HTTPS with the certificate set of those files, loaded
// before anything is bound. Returns only with an error (refused or failed
// bind, certificate files that cannot be used).
Error serve(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
            const std::optional<TlsFiles>& tls = std::nullopt);

}  // namespace karvo::server
