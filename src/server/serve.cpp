#include "server/serve.h"

#include "discovery/discover.h"
#include "platform/console.h"
#include "server/connection.h"
#include "server/listener.h"

namespace karvo::server {

Error serve(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token) {
    const std::string address = address_text(listen, port);
    auto warning = check_bind_policy(listen, port, token);
    if (!warning.ok()) return warning.error();
    if (*warning) (void)platform::write_stderr(**warning);

    auto listener = bind_listener(address);
    if (!listener.ok()) return listener.error();

    // One write per line, so a redirected log shows each line at once.
    for (const std::string& line : banner_lines(address, token.has_value())) (void)platform::write_stdout(line);

    accept_connections(*listener, token, [] { return discovery::discover_devices(); }, [] { return true; });
    return Error("the HTTP API stopped accepting connections");
}

}  // namespace karvo::server
