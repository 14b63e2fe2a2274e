#include "server/listener.h"

#include <charconv>
#include <vector>

#include "common/text.h"

namespace karvo::server {

std::string address_text(std::string_view listen, std::uint16_t port) {
    std::string text(listen);
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof digits, port).ptr;
    text += ':';
    text.append(digits, end);
    return text;
}

bool is_loopback_listen(std::string_view listen) {
    std::string_view host = text::trim(listen);
    while (!host.empty() && (host.front() == '[' || host.front() == ']')) host.remove_prefix(1);
    while (!host.empty() && (host.back() == '[' || host.back() == ']')) host.remove_suffix(1);
    const std::string lower = text::ascii_lower(host);
    if (lower == "localhost" || lower == "::1") return true;
    // Only a real address literal: "127.evil.example" is a host name that may
    // resolve anywhere.
    return lower.starts_with("127.") && platform::is_ipv4_literal(lower);
}

Result<std::optional<std::string>> check_bind_policy(std::string_view listen, std::uint16_t port,
                                                     const std::optional<std::string>& token, Transport transport) {
    if (is_loopback_listen(listen)) return std::optional<std::string>();
    const std::string address = address_text(listen, port);
    if (!token && !transport.client_certs) {
        return Error("refusing unauthenticated remote bind on " + address +
                     " \xE2\x80\x94 set --token/--token-file or KARVO_TOKEN");
    }
    if (transport.https) return std::optional<std::string>();
    return std::optional<std::string>(
        "WARNING: listening on " + address +
        " (non-loopback). Token auth required; put TLS/reverse-proxy in front if leaving the trusted LAN. "
        "Firewall it.\n");
}

namespace {

Result<std::vector<platform::SocketAddress>> addresses_of(std::string_view address) {
    if (auto literal = platform::SocketAddress::parse(address)) return std::vector{*literal};
    const std::size_t colon = address.rfind(':');
    if (colon == std::string_view::npos) return Error("invalid socket address");
    const auto port = text::parse_unsigned(address.substr(colon + 1), 65535);
    if (!port) return Error("invalid port value");
    return platform::resolve_host(std::string(address.substr(0, colon)), static_cast<std::uint16_t>(*port));
}

}  // namespace

Result<platform::Socket> bind_listener(std::string_view address) {
    const std::string context = "bind " + std::string(address) + " failed: ";
    auto candidates = addresses_of(address);
    if (!candidates.ok()) return Error(context + candidates.error().long_form());
    if (candidates->empty()) return Error(context + "could not resolve to any addresses");
    std::string last_failure;
    for (const auto& candidate : *candidates) {
        auto listener = platform::Socket::listen_on(candidate, kListenBacklog);
        if (listener.ok()) return listener;
        last_failure = listener.error().long_form();
    }
    return Error(context + last_failure);
}

std::array<std::string, 3> banner_lines(std::string_view address, bool has_token, Transport transport) {
    const std::string url = (transport.https ? "https://" : "http://") + std::string(address) + "/";
    std::string first = "Headless API listening on " + url + " (GET / -> JSON, GET /metrics -> Prometheus)\n";
    // The token goes after "#", which the browser never sends; the page asks for it otherwise.
    std::string page = "Browser page: " + url + "ui" +
                       (has_token ? " (append #token=<token>, or enter the token when the page asks)\n" : "\n");
    if (transport.client_certs && !has_token) {
        return {std::move(first),
                "Auth: client certificate required. Example: curl --cacert ca.pem --cert client.pem "
                "--key client-key.pem " + url + "metrics\n",
                std::move(page)};
    }
    std::string second =
        has_token
            ? "Auth: bearer token required for / and /metrics (/health open). Example: curl -H \"Authorization: "
              "Bearer <token>\" " + url + "metrics\n"
            : "Auth: none (loopback only). Example: curl " + url + "  or  curl " + url + "metrics\n";
    return {std::move(first), std::move(second), std::move(page)};
}

}  // namespace karvo::server
