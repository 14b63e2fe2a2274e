#include "server/connection.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "common/numfmt.h"
#include "platform/system.h"
#include "server/page.h"
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
// While a handshake waits for room to send, the loop looks again this often.
constexpr std::uint32_t kWriteRetryMs = 10;
// The plain refusal on an HTTPS port is small; a client that does not read it
// does not hold the loop for long.
constexpr std::uint32_t kRefusalSendMs = 500;

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

// Sends a response through whatever carries the connection (TLS or plain).
using Sender = std::function<void(std::string_view bytes)>;

void answer(const Sender& send, std::string_view request_bytes, const std::optional<std::string>& token,
            bool peer_authenticated, const DiscoverFn& discover) {
    const RequestDecision decision = decide(request_bytes, token, peer_authenticated);
    std::string response;
    if (decision.verdict == Verdict::serve && is_page_path(decision.path)) {
        // The page and its files hold no data: no discovery pass for them.
        response = page_response(decision.path, request_bytes);
    } else if (decision.verdict == Verdict::serve) {
        // The pass is timed for the metrics text (amd_gpu_discovery_seconds).
        const std::uint64_t started = platform::monotonic_ns();
        const DeviceList devices = discover();
        const double seconds = static_cast<double>(platform::monotonic_ns() - started) / 1e9;
        response = format_response(routed_response(route_of(decision.path), devices, seconds));
    } else {
        response = format_response(refusal_response(decision.verdict));
    }
    send(response);
}

// One accepted connection. The socket lives on the heap: a TLS session keeps
// its address while the connection moves between the loop's queues.
struct Connection {
    std::unique_ptr<platform::Socket> socket;
    std::unique_ptr<TlsSession> tls;  // only on an HTTPS port
    bool handshaken = false;
    bool wants_write = false;  // the handshake waits for room to send, not for bytes
};

// The state of the serve loop: connections waiting for their bytes (in
// accept order, so the first has waited longest and has the earliest
// deadline) and requests whose bytes have arrived (in arrival order). On an
// HTTPS port "waiting for the bytes" includes the whole handshake, which runs
// a step each time the connection's bytes arrive.
class ServeLoop {
public:
    ServeLoop(const platform::Socket& listener, const std::optional<std::string>& token, const DiscoverFn& discover,
              TlsReloader* tls, const std::function<void(std::string_view)>& warn)
        : listener_(listener),
          token_(token),
          discover_(discover),
          tls_(tls),
          failures_([] { return platform::monotonic_ns(); },
                    [&warn](std::string_view line) {
                        if (warn) warn(line);
                    }) {}

    void step() {
        wait_and_read();
        close_expired();
        if (!arrived_.empty()) answer_first();
        failures_.tick();
    }

private:
    struct Waiting {
        Connection connection;
        std::uint64_t deadline_ns;
    };
    struct Arrived {
        Connection connection;
        std::string bytes;
    };

    // How long the next wait may last: not at all while requests are queued
    // (only what has arrived meanwhile is collected), briefly while a
    // handshake waits for room to send, else until the first deadline.
    std::uint32_t wait_ms() const {
        if (!arrived_.empty()) return 0;
        if (waiting_.empty()) return kMaxWaitMs;
        std::uint32_t limit = kMaxWaitMs;
        for (const Waiting& w : waiting_)
            if (w.connection.wants_write) limit = kWriteRetryMs;
        const std::uint64_t now = platform::monotonic_ns();
        const std::uint64_t deadline = waiting_.front().deadline_ns;
        if (deadline <= now) return 0;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, (deadline - now + kNsPerMs - 1) / kNsPerMs));
    }

    enum class Outcome { keep, arrived, close };

    // One read of a plain connection; a handshake step (and, once it is done,
    // the read of the request) on a TLS one.
    Outcome advance(Connection& c) {
        if (!c.tls) {
            const auto received = c.socket->try_receive(buffer_, sizeof buffer_);
            if (received.ok() && !*received) return Outcome::keep;  // woken without bytes after all
            if (received.ok() && **received > 0) {
                received_ = **received;
                return Outcome::arrived;
            }
            return Outcome::close;  // a failed read or the end of the stream: no response
        }
        TlsSession::Progress progress = TlsSession::Progress::done;
        if (!c.handshaken) {
            progress = c.tls->handshake();
            c.handshaken = progress == TlsSession::Progress::done;
        }
        // The request often comes with the handshake's last flight.
        if (c.handshaken) progress = c.tls->read(buffer_, sizeof buffer_, received_);
        c.wants_write = progress == TlsSession::Progress::want_write;
        switch (progress) {
            case TlsSession::Progress::done: return Outcome::arrived;
            case TlsSession::Progress::want_read:
            case TlsSession::Progress::want_write: return Outcome::keep;
            case TlsSession::Progress::plain_http:
                // No figures: a short plain refusal, then the connection closes.
                (void)c.socket->send_all_within(plain_http_refusal(), kRefusalSendMs);
                discard_unread_input(*c.socket);
                return Outcome::close;
            case TlsSession::Progress::failed:
                if (c.tls->peer_spoke()) failures_.failed(c.tls->failure_reason());
                return Outcome::close;
        }
        return Outcome::close;
    }

    void wait_and_read() {
        const bool accepting = arrived_.size() < kMaxQueuedRequests;
        std::vector<platform::PollEntry> entries;
        entries.reserve(waiting_.size() + 1);
        for (const Waiting& w : waiting_) entries.push_back({w.connection.socket.get(), false});
        if (accepting) entries.push_back({&listener_, false});
        if (!platform::wait_readable(entries, wait_ms()).ok()) {
            platform::sleep_milliseconds(10);  // nothing sensible to do but try again shortly
            return;
        }

        // The one read of each connection that has something, in accept order.
        std::deque<Waiting> still_waiting;
        for (std::size_t i = 0; i < waiting_.size(); ++i) {
            Waiting& w = waiting_[i];
            if (!entries[i].ready && !w.connection.wants_write) {
                still_waiting.push_back(std::move(w));
                continue;
            }
            switch (advance(w.connection)) {
                case Outcome::keep: still_waiting.push_back(std::move(w)); break;
                case Outcome::arrived:
                    arrived_.push_back({std::move(w.connection), std::string(buffer_, received_)});
                    break;
                case Outcome::close: break;
            }
        }
        waiting_ = std::move(still_waiting);

        if (accepting && entries.back().ready) accept_waiting();
    }

    void accept_waiting() {
        // Renewed certificate files are looked for before accepting, not per connection.
        const std::shared_ptr<const TlsCredentials> credentials = tls_ ? tls_->current() : nullptr;
        for (std::size_t taken = 0; taken < kMaxWaitingConnections; ++taken) {
            auto accepted = listener_.try_accept();
            if (!accepted.ok()) {
                // Dropped; the short pause keeps a lasting failure (such as
                // running out of descriptors) from spinning a core.
                platform::sleep_milliseconds(10);
                return;
            }
            if (!*accepted) return;
            Connection connection{std::make_unique<platform::Socket>(std::move(**accepted))};
            if (!connection.socket->set_nonblocking(true).ok()) continue;
            if (credentials) {
                connection.tls = std::make_unique<TlsSession>(credentials, *connection.socket);
                if (!connection.tls->ready()) continue;
            }
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
        Connection& c = request.connection;
        const bool peer_authenticated = c.tls && c.tls->peer_verified();
        const Sender send = [&c](std::string_view bytes) {
            if (c.tls) {
                (void)c.tls->send_all_within(bytes, kConnectionTimeoutMs);
            } else {
                (void)c.socket->send_all_within(bytes, kConnectionTimeoutMs);
            }
        };
        answer(send, request.bytes, token_, peer_authenticated, discover_);
        discard_unread_input(*c.socket);
    }

    const platform::Socket& listener_;
    const std::optional<std::string>& token_;
    const DiscoverFn& discover_;
    TlsReloader* tls_;
    HandshakeFailures failures_;
    std::deque<Waiting> waiting_;
    std::deque<Arrived> arrived_;
    char buffer_[kRequestLimit];
    std::size_t received_ = 0;
};

}  // namespace

void answer_request(platform::Socket& connection, std::string_view request_bytes,
                    const std::optional<std::string>& token, const DiscoverFn& discover) {
    answer([&connection](std::string_view bytes) { (void)connection.send_all_within(bytes, kConnectionTimeoutMs); },
           request_bytes, token, false, discover);
    discard_unread_input(connection);
}

void HandshakeFailures::failed(std::string reason) {
    ++total_;
    ++unreported_;
    last_reason_ = std::move(reason);
    tick();
}

void HandshakeFailures::tick() {
    if (unreported_ == 0) return;
    const std::uint64_t now = now_();
    if (last_line_ns_ && now - *last_line_ns_ < kReportIntervalNs) return;
    report(now);
}

void HandshakeFailures::report(std::uint64_t now) {
    std::string line = "warning: ";
    if (unreported_ == 1) {
        line += "TLS handshake failed: ";
    } else {
        line += numfmt::unsigned_text(unreported_) + " TLS handshakes failed, the last: ";
    }
    line += last_reason_ + " (" + numfmt::unsigned_text(total_) + " failed since the server started)\n";
    unreported_ = 0;
    last_line_ns_ = now;
    warn_(line);
}

void accept_connections(const platform::Socket& listener, const std::optional<std::string>& token,
                        const DiscoverFn& discover, const std::function<bool()>& keep_going, TlsReloader* tls,
                        const std::function<void(std::string_view)>& warn) {
    // Accepting must never wait: the listener is only asked once it has a connection.
    (void)listener.set_nonblocking(true);
    ServeLoop loop(listener, token, discover, tls, warn);
    while (keep_going()) loop.step();
}

}  // namespace karvo::server
