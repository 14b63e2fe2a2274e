#pragma once
// The headless HTTP API: bind policy, listener and accept loop.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/error.h"

namespace karvo::server {

// Binds `{listen}:{port}` under the bind policy, prints the banner and serves
// requests one at a time while many connections wait for their bytes. Returns only with an error (refused or failed bind).
Error serve(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token);

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
// bind error.
Status serve_until(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
                   const ServeHooks& hooks);

}  // namespace karvo::server
