#pragma once
// The accept loop and the handling of one connection: one read, the checks,
// a fresh discovery pass for requests that pass them, one response, close.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "discovery/device.h"
#include "platform/net.h"

namespace karvo::server {

// One discovery pass; the product passes discover_devices, tests a fake.
using DiscoverFn = std::function<DeviceList()>;

// How long one receive (and one send) on a connection may block.
inline constexpr std::uint32_t kConnectionTimeoutMs = 5000;

// Serves the single request of a connection. Nothing is sent when the read
// fails, times out or finds the connection closed. All errors are absorbed;
// the caller closes the connection afterwards.
void handle_connection(platform::Socket& connection, const std::optional<std::string>& token,
                       const DiscoverFn& discover);

// Accepts connections and handles them one at a time, for as long as
// `keep_going` (asked before each accept) says so. A failed accept is
// dropped and the loop accepts again.
void accept_connections(const platform::Socket& listener, const std::optional<std::string>& token,
                        const DiscoverFn& discover, const std::function<bool()>& keep_going);

}  // namespace karvo::server
