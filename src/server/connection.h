#pragma once
// The serve loop. One thread holds every socket: it accepts, waits for each
// connection's request bytes (and TLS handshake) at the same time as the
// others, and sends every response a piece at a time as the client takes
// it, so neither a silent client nor a slow reader holds up anyone else.
//
// Requests for data (/, /metrics, /ready) are answered from discovery passes
// that run beside the loop on a thread of their own, one at a time. A request
// waits for the next pass that starts after it arrived: one that arrives
// while a pass runs waits for the pass after it, which starts as soon as the
// running one ends. One pass then answers every request that waited for it,
// so each answer is at least as fresh as its request and any number of
// requests arriving together cost at most two passes. The health check, the
// browser page's files, a path that is not found and every refusal are
// answered at once, without a pass.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net.h"
#include "render/metrics.h"
#include "server/pass_worker.h"
#include "server/tls_reload.h"

namespace karvo::server {

// How long a connection may wait for its request bytes, counted from its
// accept; and how long sending its response may take in all, counted from
// when its response is ready.
inline constexpr std::uint32_t kConnectionTimeoutMs = 5000;

// Connections waiting for their bytes at once; accepting one more closes the
// one that has waited longest.
inline constexpr std::size_t kMaxWaitingConnections = 64;

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

// What the loop holds after a step (for tests that watch it).
struct LoopCounts {
    std::size_t waiting = 0;        // connections waiting for their request bytes
    std::size_t queued = 0;         // requests waiting for a pass
    std::size_t sending = 0;        // responses being sent
    std::uint64_t passes_started = 0;
    std::uint64_t passes_done = 0;
};

struct ServeLoopConfig {
    std::optional<std::string> token;  // the bearer token; nothing: none
    PassFn pass;
    render::MetricsOptions metrics;  // the process series of /metrics
    // Asked between steps (at least once a second): false stops the loop.
    // Responses being sent are finished (within their deadline) first; requests
    // still waiting for a pass are closed without one.
    std::function<bool()> keep_going;
    // With it the port speaks HTTPS only: each connection's handshake runs in
    // the same loop and within the same deadline as the wait for its bytes; a
    // client that speaks plain HTTP gets a short plain 400 and is closed;
    // failed handshakes go to `warn` (HandshakeFailures). Whether a client
    // proved who it is with a certificate is taken from its own connection's
    // verification.
    TlsReloader* tls = nullptr;
    std::function<void(std::string_view line)> warn;
    // Called after every step.
    std::function<void(const LoopCounts&)> observe;
};

// Accepts connections and serves them until `keep_going` says so. Failed
// accepts are dropped. A connection whose first read ends without bytes
// (closed, failed) or that sends nothing within kConnectionTimeoutMs of its
// accept is closed without a response.
void accept_connections(const platform::Socket& listener, const ServeLoopConfig& config);

}  // namespace karvo::server
