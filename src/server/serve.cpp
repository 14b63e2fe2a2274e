#include "server/serve.h"

#include "discovery/discover.h"
#include "platform/console.h"
#include "platform/system.h"
#include "render/selection.h"
#include "server/connection.h"

namespace karvo::server {

Transport transport_of(const std::optional<TlsFiles>& tls) {
    return Transport{tls.has_value(), tls && tls->client_ca_file.has_value()};
}

Status serve_until(const ServerConfig& config, const ServeHooks& hooks) {
    const std::string address = address_text(config.listen, config.port);
    std::optional<TlsReloader> reloader;
    if (config.tls) {
        if (!config.credentials) return Error("TLS certificate file " + config.tls->cert_file + ": not loaded");
        reloader.emplace(*config.tls, config.credentials, [] { return platform::monotonic_ns(); }, hooks.warn);
    }

    auto listener = bind_listener(address);
    if (!listener.ok()) return listener.error();

    // One write per line, so a redirected log shows each line at once.
    for (const std::string& line : banner_lines(address, config.token.has_value(), transport_of(config.tls))) {
        (void)platform::write_stdout(line);
    }
    if (hooks.on_listening) hooks.on_listening();

    ServeLoopConfig loop;
    loop.token = config.token;
    // By value: a pass left running when the loop stops may outlive this call.
    loop.pass = [ids = config.ids] {
        discovery::PassResult pass = discovery::discover_pass();
        pass.devices = render::devices_named(std::move(pass.devices), ids);
        return pass;
    };
    loop.metrics = config.metrics;
    loop.keep_going = hooks.keep_going;
    loop.tls = reloader ? &*reloader : nullptr;
    loop.warn = hooks.warn;
    accept_connections(*listener, loop);
    return {};
}

Error serve(const ServerConfig& config) {
    ServeHooks hooks;
    hooks.keep_going = [] { return true; };
    hooks.warn = [](std::string_view line) { (void)platform::write_stderr(line); };
    const Status stopped = serve_until(config, hooks);
    if (!stopped.ok()) return stopped.error();
    return Error("the HTTP API stopped accepting connections");
}

}  // namespace karvo::server
