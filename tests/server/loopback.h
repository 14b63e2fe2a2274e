#pragma once
// Test helpers: the accept loop running on a thread against a loopback
// listener on a port the OS picks, and a raw client that sends exact bytes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/net.h"
#include "server/connection.h"

namespace karvo::testing {

// A small device list for the JSON and metrics routes.
DeviceList sample_devices();

class LoopbackServer {
public:
    // Listens on 127.0.0.1 with an OS-picked port. Connections are queued in
    // the backlog until start() (called here unless `start_now` is false).
    // Each pass gives `devices` (sample_devices() when nothing).
    explicit LoopbackServer(std::optional<std::string> token = std::nullopt, bool start_now = true,
                            std::optional<DeviceList> devices = std::nullopt);
    // Each pass calls `pass` (on the pass thread) and gives what it returns;
    // the process series of /metrics follow `metrics`.
    LoopbackServer(std::optional<std::string> token, server::PassFn pass, render::MetricsOptions metrics = {});
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    void start();
    const platform::SocketAddress& address() const { return address_; }
    std::uint16_t port() const { return address_.port(); }
    // Discovery passes run so far.
    int passes() const { return passes_.load(); }
    // Waits (at most 30 s) until what the loop holds after a step satisfies
    // `condition`; false when it never did.
    bool wait_for_loop(const std::function<bool(const server::LoopCounts&)>& condition);

private:
    void listen(bool start_now);

    std::optional<std::string> token_;
    DeviceList devices_;
    server::PassFn pass_;
    render::MetricsOptions metrics_;
    std::mutex counts_mutex_;
    server::LoopCounts counts_;
    platform::Socket listener_;
    platform::SocketAddress address_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> passes_{0};
    std::thread thread_;
};

struct Reply {
    std::string bytes;       // everything received
    bool clean_end = false;  // ended by the peer's orderly close, not an error
};

// A connected client socket (fails the test when connecting fails).
platform::Socket connect_client(const platform::SocketAddress& address);
// Reads until the peer closes (or an error / the 30-second safety time-out).
Reply read_reply(platform::Socket& client);
// Connects, sends `request`, reads the whole reply.
Reply round_trip(const platform::SocketAddress& address, std::string_view request);

// The exact bytes of a response with the fixed header set.
std::string expected_response(std::string_view status_line, std::string_view content_type, std::string_view body,
                              bool bearer_challenge = false);

}  // namespace karvo::testing
