#include "server/connection.h"

#include <algorithm>
#include <deque>
#include <vector>

#include "platform/system.h"
#include "server/request.h"

namespace karvo::server {
namespace {

constexpr std::uint64_t kNsPerMs = 1000000;
// The longest single wait, so that `keep_going` is asked now and then even
// on an idle server.
constexpr std::uint32_t kMaxWaitMs = 1000;
// Requests read and not answered yet. While this many are queued no more
// connections are accepted: they wait in the listen backlog instead.
constexpr std::size_t kMaxQueuedRequests = 64;

// Input the client sent beyond the one read (an oversized request, or the
// rest of one that arrived in pieces) is read and dropped before closing:
// closing a socket with unread input resets the connection, and a reset can
// make the client's OS throw away the response it has not read yet. Only what
// has already arrived is taken, so this never waits.
void discard_unread_input(platform::Socket& connection) {
    constexpr std::size_t kBudget = 64 * 1024;
    char sink[4096];
    std::size_t left = kBudget;
    while (left > 0) {
        const std::size_t pending = connection.pending_bytes();
        if (pending == 0) break;
        const auto received = connection.try_receive(sink, std::min({pending, sizeof sink, left}));
        if (!received.ok() || !*received || **received == 0) break;
        left -= **received;
    }
}

// The state of the serve loop: connections waiting for their bytes (in
// accept order, so the first has waited longest and has the earliest
// deadline) and requests whose bytes have arrived (in arrival order).
class ServeLoop {
public:
    ServeLoop(const platform::Socket& listener, const std::optional<std::string>& token, const DiscoverFn& discover)
        : listener_(listener), token_(token), discover_(discover) {}

    void step() {
        wait_and_read();
        close_expired();
        if (!arrived_.empty()) answer_first();
    }

private:
    struct Waiting {
        platform::Socket socket;
        std::uint64_t deadline_ns;
    };
    struct Arrived {
        platform::Socket socket;
        std::string bytes;
    };

    // How long the next wait may last: not at all while requests are queued
    // (only what has arrived meanwhile is collected), else until the first
    // deadline.
    std::uint32_t wait_ms() const {
        if (!arrived_.empty()) return 0;
        if (waiting_.empty()) return kMaxWaitMs;
        const std::uint64_t now = platform::monotonic_ns();
        const std::uint64_t deadline = waiting_.front().deadline_ns;
        if (deadline <= now) return 0;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(kMaxWaitMs, (deadline - now + kNsPerMs - 1) / kNsPerMs));
    }

    void wait_and_read() {
        const bool accepting = arrived_.size() < kMaxQueuedRequests;
        std::vector<platform::PollEntry> entries;
        entries.reserve(waiting_.size() + 1);
        for (const Waiting& w : waiting_) entries.push_back({&w.socket, false});
        if (accepting) entries.push_back({&listener_, false});
        if (!platform::wait_readable(entries, wait_ms()).ok()) {
            platform::sleep_milliseconds(10);  // nothing sensible to do but try again shortly
            return;
        }

        // The one read of each connection that has something, in accept order.
        std::deque<Waiting> still_waiting;
        for (std::size_t i = 0; i < waiting_.size(); ++i) {
            Waiting& w = waiting_[i];
            if (!entries[i].ready) {
                still_waiting.push_back(std::move(w));
                continue;
            }
            const auto received = w.socket.try_receive(buffer_, sizeof buffer_);
            if (received.ok() && !*received) {
                still_waiting.push_back(std::move(w));  // woken without bytes after all
            } else if (received.ok() && **received > 0) {
                arrived_.push_back({std::move(w.socket), std::string(buffer_, **received)});
            }
            // A failed read or the end of the stream: closed without a response.
        }
        waiting_ = std::move(still_waiting);

        if (accepting && entries.back().ready) accept_waiting();
    }

    void accept_waiting() {
        for (std::size_t taken = 0; taken < kMaxWaitingConnections; ++taken) {
            auto accepted = listener_.try_accept();
            if (!accepted.ok()) {
                // Dropped; the short pause keeps a lasting failure (such as
                // running out of descriptors) from spinning a core.
                platform::sleep_milliseconds(10);
                return;
            }
            if (!*accepted) return;
            platform::Socket connection = std::move(**accepted);
            if (!connection.set_nonblocking(true).ok()) continue;
            waiting_.push_back(
                {std::move(connection), platform::monotonic_ns() + std::uint64_t{kConnectionTimeoutMs} * kNsPerMs});
            if (waiting_.size() > kMaxWaitingConnections) waiting_.pop_front();  // the longest waiter goes
        }
    }

    void close_expired() {
        const std::uint64_t now = platform::monotonic_ns();
        while (!waiting_.empty() && waiting_.front().deadline_ns <= now) waiting_.pop_front();
    }

    void answer_first() {
        Arrived request = std::move(arrived_.front());
        arrived_.pop_front();
        answer_request(request.socket, request.bytes, token_, discover_);
    }

    const platform::Socket& listener_;
    const std::optional<std::string>& token_;
    const DiscoverFn& discover_;
    std::deque<Waiting> waiting_;
    std::deque<Arrived> arrived_;
    char buffer_[kRequestLimit];
};

}  // namespace

void answer_request(platform::Socket& connection, std::string_view request_bytes,
                    const std::optional<std::string>& token, const DiscoverFn& discover) {
    const RequestDecision decision = decide(request_bytes, token);
    std::string response;
    if (decision.verdict == Verdict::serve) {
        // The pass is timed for the metrics text (amd_gpu_discovery_seconds).
        const std::uint64_t started = platform::monotonic_ns();
        const DeviceList devices = discover();
        const double seconds = static_cast<double>(platform::monotonic_ns() - started) / 1e9;
        response = format_response(routed_response(route_of(decision.path), devices, seconds));
    } else {
        response = format_response(refusal_response(decision.verdict));
    }
    (void)connection.send_all_within(response, kConnectionTimeoutMs);
    discard_unread_input(connection);
}

void accept_connections(const platform::Socket& listener, const std::optional<std::string>& token,
                        const DiscoverFn& discover, const std::function<bool()>& keep_going) {
    // Accepting must never wait: the listener is only asked once it has a connection.
    (void)listener.set_nonblocking(true);
    ServeLoop loop(listener, token, discover);
    while (keep_going()) loop.step();
}

}  // namespace karvo::server
