#pragma once
// Everything between a settled command line and the first accepted
// connection: the loopback test, the bind policy, binding and the banner.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/net.h"

namespace karvo::server {

inline constexpr int kListenBacklog = 128;

// "{listen}:{port}": the listen text exactly as given and the port in decimal.
std::string address_text(std::string_view listen, std::uint16_t port);

// True when the listen text names the loopback interface: after trimming,
// stripping surrounding brackets and lower-casing it is "localhost", "::1" or
// an IPv4 literal of 127.0.0.0/8. Host names that merely start with "127."
// are not loopback.
bool is_loopback_listen(std::string_view listen);

// How the port is secured beyond the token.
struct Transport {
    bool https = false;         // the port speaks HTTPS only
    bool client_certs = false;  // every client must present a certificate the configured CA signed
};

// Applies the bind policy. A remote bind with neither a token nor client
// certificates is refused (the error); a remote plain-HTTP bind with a token
// gives the warning line to print before binding; a loopback bind, or a
// remote one over HTTPS, gives nothing.
Result<std::optional<std::string>> check_bind_policy(std::string_view listen, std::uint16_t port,
                                                     const std::optional<std::string>& token,
                                                     Transport transport = {});

// Resolves the address text (a literal socket address first, otherwise host
// and port split at the last ":" and looked up) and listens on the first
// address that binds. Errors read "bind {address text} failed: {reason}".
Result<platform::Socket> bind_listener(std::string_view address_text);

// The banner lines, each ending in "\n": the address, how to authenticate,
// and the browser page's address. The token itself is never shown.
std::array<std::string, 3> banner_lines(std::string_view address_text, bool has_token, Transport transport = {});

}  // namespace karvo::server
