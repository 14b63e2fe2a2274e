#pragma once
// The headless HTTP API: listener, banner and accept loop, over a
// configuration settled and checked before anything is bound.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "render/metrics.h"
#include "server/listener.h"
#include "server/tls.h"

namespace karvo::server {

// What a server runs with. The command line and the environment are settled
// into it (token read, TLS files loaded, bind policy applied) before it is
// handed over; the server itself checks nothing more.
struct ServerConfig {
    std::string listen = "127.0.0.1";  // as given; shown as given in the banner and every message
    std::uint16_t port = 8080;
    std::optional<std::string> token;  // the bearer token; nothing: none
    // HTTPS: the files (watched for renewals) and the set loaded from them.
    std::optional<TlsFiles> tls;
    std::shared_ptr<const TlsCredentials> credentials;
    std::vector<std::string> ids;  // only these GPUs (--id) at /, /metrics and /ready; none: all
    render::MetricsOptions metrics;  // the process series of /metrics
    // Every field, the certificate set by identity: what tests compare.
    bool operator==(const ServerConfig&) const = default;
};

// How the port is secured beyond the token, for the bind policy and the banner.
Transport transport_of(const std::optional<TlsFiles>& tls);

// How a run that can be stopped (the Windows service) follows the server.
struct ServeHooks {
    // Asked between steps of the serve loop (at least once a second, every few
    // milliseconds while a pass runs): false stops it. Responses being sent
    // are finished within their deadline; requests waiting for a pass are
    // closed, and a pass still running is left to end on its own.
    std::function<bool()> keep_going;
    // Called once the address is bound and the banner printed.
    std::function<void()> on_listening;
    // Receives the warnings of the running server (a renewed certificate set
    // that cannot be loaded, failed TLS handshakes), one line each.
    std::function<void(std::string_view line)> warn;
};

// Binds `{listen}:{port}`, prints the banner and serves requests one at a
// time while many connections wait for their bytes, until `hooks.keep_going`
// says so: nothing then, or the bind error.
Status serve_until(const ServerConfig& config, const ServeHooks& hooks);

// serve_until for as long as the process runs, warnings on standard error.
// Returns only with an error.
Error serve(const ServerConfig& config);

}  // namespace karvo::server
