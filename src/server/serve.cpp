#include "server/serve.h"

#include "discovery/discover.h"
#include "platform/console.h"
#include "server/connection.h"
#include "server/listener.h"

namespace karvo::server {

Status serve_until(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
                   const ServeHooks& hooks) {
    const std::string address = address_text(listen, port);
    auto warning = check_bind_policy(listen, port, token);
    if (!warning.ok()) return warning.error();
    if (*warning) hooks.warn(**warning);

    auto listener = bind_listener(address);
    if (!listener.ok()) return listener.error();

    // One write per line, so a redirected log shows each line at once.
    for (const std::string& line : banner_lines(address, token.has_value())) (void)platform::write_stdout(line);
    if (hooks.on_listening) hooks.on_listening();

    accept_connections(*listener, token, [] { return discovery::discover_devices(); }, hooks.keep_going);
    return {};
}

Error serve(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token) {
    ServeHooks hooks;
    hooks.keep_going = [] { return true; };
    hooks.warn = [](std::string_view line) { (void)platform::write_stderr(line); };
    const Status stopped = serve_until(listen, port, token, hooks);
    if (!stopped.ok()) return stopped.error();
    return Error("the HTTP API stopped accepting connections");
}

}  // namespace karvo::server
