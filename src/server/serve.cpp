#include "server/serve.h"

#include "discovery/discover.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system.h"
#include "server/connection.h"
#include "server/listener.h"

namespace karvo::server {

Status serve_until(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
                   const ServeHooks& hooks, const std::optional<TlsFiles>& tls) {
    const std::string address = address_text(listen, port);
    const Transport transport{tls.has_value(), tls && tls->client_ca_file.has_value()};
    auto warning = check_bind_policy(listen, port, token, transport);
    if (!warning.ok()) return warning.error();

    // The certificate set is checked before anything is bound.
    std::optional<TlsReloader> reloader;
    if (tls) {
        auto credentials = load_credentials(*tls);
        if (!credentials.ok()) return credentials.error();
        if (platform::readable_by_others(tls->key_file)) {
            hooks.warn("warning: TLS key file " + tls->key_file + " can be read by other users; restrict it (chmod 600)\n");
        }
        reloader.emplace(*tls, std::move(*credentials), [] { return platform::monotonic_ns(); }, hooks.warn);
    }
    if (*warning) hooks.warn(**warning);

    auto listener = bind_listener(address);
    if (!listener.ok()) return listener.error();

    // One write per line, so a redirected log shows each line at once.
    for (const std::string& line : banner_lines(address, token.has_value(), transport)) {
        (void)platform::write_stdout(line);
    }
    if (hooks.on_listening) hooks.on_listening();

    accept_connections(*listener, token, [] { return discovery::discover_devices(); }, hooks.keep_going,
                       reloader ? &*reloader : nullptr);
    return {};
}

Error serve(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
            const std::optional<TlsFiles>& tls) {
    ServeHooks hooks;
    hooks.keep_going = [] { return true; };
    hooks.warn = [](std::string_view line) { (void)platform::write_stderr(line); };
    const Status stopped = serve_until(listen, port, token, hooks, tls);
    if (!stopped.ok()) return stopped.error();
    return Error("the HTTP API stopped accepting connections");
}

}  // namespace karvo::server
