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

// Failed TLS handshakes, counted and reported at most once a minute (a client
// that keeps failing must not flood the log): the first at once, the ones
// after it in one line when the minute is over, each line with mbedTLS's
// reason for the last failure and the count.
class HandshakeFailures {
public:
    using Clock = std::function<std::uint64_t()>;  // monotonic nanoseconds
    using Warn = std::function<void(std::string_view line)>;
    static constexpr std::uint64_t kReportIntervalNs = 60ull * 1000000000ull;

    HandshakeFailures(Clock now, Warn warn) : now_(std::move(now)), warn_(std::move(warn)) {}
    void failed(std::string reason);
    // Reports the failures counted since the last line once its minute is over.
    void tick();
    std::uint64_t total() const { return total_; }

private:
    void report(std::uint64_t now);

    Clock now_;
    Warn warn_;
    std::uint64_t total_ = 0;
    std::uint64_t unreported_ = 0;
    std::string last_reason_;
    std::optional<std::uint64_t> last_line_ns_;
};

// Accepts connections and serves them, for as long as `keep_going` (asked
// between steps) says so. Failed accepts are dropped. A connection whose
// first read ends without bytes (closed, failed) or that sends nothing within
// kConnectionTimeoutMs of its accept is closed without a response.
// With `tls` the port speaks HTTPS only: each connection's handshake runs in
// the same loop and within the same deadline as the wait for its bytes; a
// client that speaks plain HTTP gets a short plain 400 and is closed; failed
// handshakes go to `warn` (HandshakeFailures). Whether a client proved who it
// is with a certificate is taken from its own connection's verification.
void accept_connections(const platform::Socket& listener, const std::optional<std::string>& token,
                        const DiscoverFn& discover, const std::function<bool()>& keep_going,
                        TlsReloader* tls = nullptr, const std::function<void(std::string_view)>& warn = {});

}  // namespace karvo::server
