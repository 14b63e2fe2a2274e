#include "server/serve.h"

#include "discovery/discover.h"
#include "platform/console.h"
#include "render/selection.h"
#include "server/connection.h"
#include "server/listener.h"

namespace karvo::server {

Error serve(const std::string& listen, std::uint16_t port, const std::optional<std::string>& token,
            const std::vector<std::string>& ids) {
    const std::string address = address_text(listen, port);
    auto warning = check_bind_policy(listen, port, token);
    if (!warning.ok()) return warning.error();
    if (*warning) (void)platform::write_stderr(**warning);

    auto listener = bind_listener(address);
    if (!listener.ok()) return listener.error();

    // One write per line, so a redirected log shows each line at once.
    for (const std::string& line : banner_lines(address, token.has_value())) (void)platform::write_stdout(line);

    accept_connections(
        *listener, token, [&ids] { return render::devices_named(discovery::discover_devices(), ids); },
        [] { return true; });
    return Error("the HTTP API stopped accepting connections");
}

}  // namespace karvo::server
