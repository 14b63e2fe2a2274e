#pragma once
// The serve loop: every accepted connection waits for its request bytes at
// the same time as the others; the requests that arrive are answered one at a
// time, in the order their bytes arrived, each after its own discovery pass.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/device.h"
#include "platform/net.h"
#include "server/tls_reload.h"

namespace karvo::server {

// One discovery pass; the product passes discover_devices, tests a fake.
using DiscoverFn = std::function<DeviceList()>;

// How long a connection may wait for its request bytes, counted from its
// accept; and how long sending its response may take in all.
inline constexpr std::uint32_t kConnectionTimeoutMs = 5000;

// Connections waiting for their bytes at once; accepting one more closes the
// one that has waited longest.
inline constexpr std::size_t kMaxWaitingConnections = 64;

// Answers the request whose one read gave `request_bytes`: the checks, a
// discovery pass for requests that pass them, the response sent within
// kConnectionTimeoutMs. All errors are absorbed; the caller closes the
// connection afterwards. `connection` must be non-blocking.
void answer_request(platform::Socket& connection, std::string_view request_bytes,
                    const std::optional<std::string>& token, const DiscoverFn& discover);

// Accepts connections and serves them, for as long as `keep_going` (asked
// between steps) says so. Failed accepts are dropped. A connection whose
// first read ends without bytes (closed, failed) or that sends nothing within
// kConnectionTimeoutMs of its accept is closed without a response.
// With `tls` the port speaks HTTPS only: each connection's handshake runs in
// the same loop and within the same deadline as the wait for its bytes; a
// client that speaks plain HTTP gets a short plain 400 and is closed.
void accept_connections(const platform::Socket& listener, const std::optional<std::string>& token,
                        const DiscoverFn& discover, const std::function<bool()>& keep_going,
                        TlsReloader* tls = nullptr);

}  // namespace karvo::server
