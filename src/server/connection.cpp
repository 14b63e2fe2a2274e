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
// While a pass runs, the loop looks this often whether it has ended.
constexpr std::uint32_t kPassCheckMs = 5;
// Requests waiting for a pass or being answered. While this many are held no
// more connections are accepted: they wait in the listen backlog instead.
constexpr std::size_t kMaxHeldRequests = 64;
// The plain refusal on an HTTPS port is small; a client that does not read it
// is not kept for long.
constexpr std::uint32_t kRefusalSendMs = 500;

std::uint64_t deadline_after(std::uint32_t milliseconds) {
    return platform::monotonic_ns() + std::uint64_t{milliseconds} * kNsPerMs;
}

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

// One accepted connection. The socket lives on the heap: a TLS session keeps
// its address while the connection moves between the loop's queues.
struct Connection {
    std::unique_ptr<platform::Socket> socket;
    std::unique_ptr<TlsSession> tls;  // only on an HTTPS port
    bool handshaken = false;
    bool wants_write = false;  // the TLS session waits for room to send, not for bytes
};

// The state of the serve loop: connections waiting for their bytes (in
// accept order, so the first has waited longest and has the earliest
// deadline), requests waiting for a pass (in arrival order) and responses
// being sent. On an HTTPS port "waiting for the bytes" includes the whole
// handshake, which runs a step each time the connection's bytes arrive.
class ServeLoop {
public:
    ServeLoop(const platform::Socket& listener, const ServeLoopConfig& config)
        : listener_(listener),
          config_(config),
          worker_(config.pass, config.metrics),
          failures_([] { return platform::monotonic_ns(); },
                    [&config](std::string_view line) {
                        if (config.warn) config.warn(line);
                    }) {}

    void step() {
        wait_and_progress(wait_ms());
        close_expired();
        collect_pass();
        start_pass();
        failures_.tick();
        observe();
    }

    // After the loop: what is being sent is finished within its deadline.
    // Nothing is accepted, read or started any more.
    void finish_sending() {
        waiting_.clear();
        queued_.clear();
        stopping_ = true;
        while (!sending_.empty()) {
            wait_and_progress(wait_ms());
            close_expired();
        }
    }

private:
    struct Waiting {
        Connection connection;
        std::uint64_t deadline_ns;
    };
    struct Queued {
        Connection connection;
        Route route;
        std::uint64_t pass;  // the pass that answers it
    };
    struct Sending {
        Connection connection;
        std::shared_ptr<const std::string> response;
        std::size_t sent = 0;
        std::uint64_t deadline_ns;
    };

    bool accepting() const { return !stopping_ && queued_.size() + sending_.size() < kMaxHeldRequests; }

    // How long the next wait may last: until the first deadline, briefly
    // while a pass runs (to see it end), at most kMaxWaitMs.
    std::uint32_t wait_ms() const {
        std::uint32_t limit = worker_.running() ? kPassCheckMs : kMaxWaitMs;
        std::optional<std::uint64_t> deadline;
        if (!waiting_.empty()) deadline = waiting_.front().deadline_ns;
        for (const Sending& s : sending_) deadline = std::min(deadline.value_or(s.deadline_ns), s.deadline_ns);
        if (!deadline) return limit;
        const std::uint64_t now = platform::monotonic_ns();
        if (*deadline <= now) return 0;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, (*deadline - now + kNsPerMs - 1) / kNsPerMs));
    }

    enum class Outcome { keep, arrived, refuse, close };

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
            case TlsSession::Progress::plain_http: return Outcome::refuse;
            case TlsSession::Progress::failed:
                if (c.tls->peer_spoke()) failures_.failed(c.tls->failure_reason());
                return Outcome::close;
        }
        return Outcome::close;
    }

    void wait_and_progress(std::uint32_t timeout_ms) {
        const bool accept = accepting();
        std::vector<platform::PollEntry> entries;
        entries.reserve(waiting_.size() + sending_.size() + 1);
        for (const Waiting& w : waiting_)
            entries.push_back({w.connection.socket.get(), false, w.connection.wants_write});
        for (const Sending& s : sending_)
            entries.push_back({s.connection.socket.get(), false, !s.connection.tls || s.connection.wants_write});
        if (accept) entries.push_back({&listener_, false, false});
        if (entries.empty()) {
            platform::sleep_milliseconds(timeout_ms);
            return;
        }
        if (!platform::wait_ready(entries, timeout_ms).ok()) {
            platform::sleep_milliseconds(10);  // nothing sensible to do but try again shortly
            return;
        }

        // Sending first: it frees room for requests.
        std::deque<Sending> still_sending;
        for (std::size_t i = 0; i < sending_.size(); ++i) {
            Sending& s = sending_[i];
            if (entries[waiting_.size() + i].ready && !send_some(s)) continue;
            still_sending.push_back(std::move(s));
        }

        // The one read of each connection that has something, in accept order.
        std::deque<Waiting> still_waiting;
        std::vector<std::pair<Connection, std::string>> arrived;
        for (std::size_t i = 0; i < waiting_.size(); ++i) {
            Waiting& w = waiting_[i];
            if (!entries[i].ready) {
                still_waiting.push_back(std::move(w));
                continue;
            }
            switch (advance(w.connection)) {
                case Outcome::keep: still_waiting.push_back(std::move(w)); break;
                case Outcome::arrived: arrived.emplace_back(std::move(w.connection), std::string(buffer_, received_)); break;
                case Outcome::refuse: {
                    // No figures: a short plain refusal, then the connection closes.
                    w.connection.tls.reset();
                    Connection plain{std::move(w.connection.socket)};
                    respond(still_sending, std::move(plain),
                            std::make_shared<const std::string>(plain_http_refusal()), kRefusalSendMs);
                    break;
                }
                case Outcome::close: break;
            }
        }
        waiting_ = std::move(still_waiting);
        sending_ = std::move(still_sending);
        for (auto& [connection, bytes] : arrived) judge(std::move(connection), bytes);

        if (accept && entries.back().ready) accept_waiting();
    }

    // Decides what a request gets: a response at once, or a place in the
    // queue for the next pass.
    void judge(Connection connection, const std::string& bytes) {
        const bool peer_authenticated = connection.tls && connection.tls->peer_verified();
        const RequestDecision decision = decide(bytes, config_.token, peer_authenticated);
        if (decision.verdict != Verdict::serve) {
            respond(sending_, std::move(connection),
                    std::make_shared<const std::string>(format_response(refusal_response(decision.verdict))));
            return;
        }
        if (is_page_path(decision.path)) {
            // The page and its files hold no data: no pass for them either.
            respond(sending_, std::move(connection),
                    std::make_shared<const std::string>(page_response(decision.path, bytes)));
            return;
        }
        const Route route = route_of(decision.path);
        if (!needs_pass(route)) {
            respond(sending_, std::move(connection),
                    std::make_shared<const std::string>(format_response(routed_response(route, DeviceList{}))));
            return;
        }
        queued_.push_back({std::move(connection), route, passes_started_ + 1});
    }

    // Starts sending a response: as much as the client takes now (usually all of it).
    void respond(std::deque<Sending>& sending, Connection connection, std::shared_ptr<const std::string> response,
                 std::uint32_t within_ms = kConnectionTimeoutMs) {
        connection.wants_write = false;
        Sending s{std::move(connection), std::move(response), 0, deadline_after(within_ms)};
        if (send_some(s)) sending.push_back(std::move(s));
    }

    // Sends what the socket takes now. False when the connection is done
    // with: the whole response went (the connection is then closed in
    // order), or sending failed.
    bool send_some(Sending& s) {
        Connection& c = s.connection;
        const std::string& bytes = *s.response;
        while (s.sent < bytes.size()) {
            const std::string_view rest = std::string_view(bytes).substr(s.sent);
            if (c.tls) {
                std::size_t written = 0;
                const TlsSession::Progress progress = c.tls->write(rest, written);
                c.wants_write = progress != TlsSession::Progress::want_read;
                if (progress == TlsSession::Progress::want_read || progress == TlsSession::Progress::want_write)
                    return true;
                if (progress != TlsSession::Progress::done) return false;
                s.sent += written;
            } else {
                const auto sent = c.socket->try_send(rest);
                if (!sent.ok()) return false;
                if (!*sent || **sent == 0) return true;  // no room now
                s.sent += **sent;
            }
        }
        if (c.tls) c.tls->close_notify();
        discard_unread_input(*c.socket);
        return false;
    }

    void accept_waiting() {
        // Renewed certificate files are looked for before accepting, not per connection.
        const std::shared_ptr<const TlsCredentials> credentials = config_.tls ? config_.tls->current() : nullptr;
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
            waiting_.push_back({std::move(connection), deadline_after(kConnectionTimeoutMs)});
            if (waiting_.size() > kMaxWaitingConnections) waiting_.pop_front();  // the longest waiter goes
        }
    }

    void close_expired() {
        const std::uint64_t now = platform::monotonic_ns();
        while (!waiting_.empty() && waiting_.front().deadline_ns <= now) waiting_.pop_front();
        std::erase_if(sending_, [now](const Sending& s) { return s.deadline_ns <= now; });
    }

    // Hands the answers of the pass that ended to every request that waited for it.
    void collect_pass() {
        std::optional<PassAnswers> answers = worker_.take();
        if (!answers) return;
        ++passes_done_;
        std::deque<Queued> later;
        for (Queued& q : queued_) {
            if (q.pass > passes_done_) {
                later.push_back(std::move(q));
                continue;
            }
            const auto& response = q.route == Route::json      ? answers->json
                                   : q.route == Route::metrics ? answers->metrics
                                                               : answers->ready;
            if (response) respond(sending_, std::move(q.connection), response);
        }
        queued_ = std::move(later);
    }

    // The next pass starts as soon as a request waits for it and none runs.
    void start_pass() {
        if (worker_.running() || queued_.empty()) return;
        PassPlan plan;
        for (const Queued& q : queued_) {
            plan.json = plan.json || q.route == Route::json;
            plan.metrics = plan.metrics || q.route == Route::metrics;
            plan.ready = plan.ready || q.route == Route::ready;
        }
        ++passes_started_;
        worker_.start(plan);
    }

    void observe() {
        if (!config_.observe) return;
        config_.observe(LoopCounts{waiting_.size(), queued_.size(), sending_.size(), passes_started_, passes_done_});
    }

    const platform::Socket& listener_;
    const ServeLoopConfig& config_;
    PassWorker worker_;
    HandshakeFailures failures_;
    std::deque<Waiting> waiting_;
    std::deque<Queued> queued_;
    std::deque<Sending> sending_;
    std::uint64_t passes_started_ = 0;
    std::uint64_t passes_done_ = 0;
    bool stopping_ = false;
    char buffer_[kRequestLimit];
    std::size_t received_ = 0;
};

}  // namespace

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

void accept_connections(const platform::Socket& listener, const ServeLoopConfig& config) {
    // Accepting must never wait: the listener is only asked once it has a connection.
    (void)listener.set_nonblocking(true);
    ServeLoop loop(listener, config);
    while (!config.keep_going || config.keep_going()) loop.step();
    loop.finish_sending();
}

}  // namespace karvo::server
