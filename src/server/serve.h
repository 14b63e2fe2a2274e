#pragma once
// The headless HTTP API: bind policy, listener and accept loop.

#include <cstdint>
#include <functional>
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

// How a run that can be stopped (the Windows service) follows the server.
struct ServeHooks {
    // Asked between steps of the accept loop (at least every few hundred
    // milliseconds): false stops accepting; the response in progress is
    // finished first.
    std::function<bool()> keep_going;
    // Called once the address is bound and the banner printed.
    std::function<void()> on_listening;
    // Receives the bind-policy warning line instead of standard error.
    std::function<void(std::string_view line)> warn;
};

// serve() that ends once `hooks.keep_going` says so: nothing then, or the
// bind error. Warnings (bind policy, key file, failed reloads) go to `hooks.warn`.
Status serve_until(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
                   const ServeHooks& hooks, const std::optional<TlsFiles>& tls = std::nullopt);

}  // namespace karvo::server
