// Connections that send nothing, or read slowly, never hold up the others.
// Real loopback sockets; the bounds on time are loose on purpose (the suite
// also runs under Wine on busy machines) and far from what a blocked server
// would take.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "loopback.h"
#include "platform/system.h"
#include "render/json.h"

namespace karvo::testing {
namespace {

const std::string kHealth = expected_response("HTTP/1.1 200 OK", "application/json", R"({"status":"ok"})");
const std::string kHealthRequest = "GET /health HTTP/1.1\r\n\r\n";

std::uint64_t elapsed_ms(std::uint64_t since_ns) { return (platform::monotonic_ns() - since_ns) / 1000000; }

// A request answered, and how long its round trip took.
std::uint64_t timed_health(const LoopbackServer& server) {
    const std::uint64_t start = platform::monotonic_ns();
    const Reply reply = round_trip(server.address(), kHealthRequest);
    EXPECT_EQ(reply.bytes, kHealth);
    return elapsed_ms(start);
}

std::vector<platform::Socket> idle_clients(const LoopbackServer& server, int count) {
    std::vector<platform::Socket> clients;
    for (int i = 0; i < count; ++i) clients.push_back(connect_client(server.address()));
    return clients;
}

TEST(Waiting, IdleConnectionsDoNotDelayRequests) {
    LoopbackServer server;
    const auto idle = idle_clients(server, 20);
    for (int i = 0; i < 50; ++i) EXPECT_LT(timed_health(server), 1000u) << "request " << i;
    EXPECT_EQ(server.passes(), 50);
}

TEST(Waiting, TheSixtyFifthWaitingConnectionClosesTheOldest) {
    LoopbackServer server;
    auto idle = idle_clients(server, 64);
    const std::uint64_t start = platform::monotonic_ns();
    platform::Socket newest = connect_client(server.address());
    const Reply oldest = read_reply(idle[0]);
    EXPECT_EQ(oldest.bytes, "");
    EXPECT_TRUE(oldest.clean_end);
    EXPECT_LT(elapsed_ms(start), 4000u);  // closed at once, not at its 5-second deadline
    // The next oldest and the newest still wait for their requests.
    for (platform::Socket* client : {&idle[1], &newest}) {
        ASSERT_TRUE(client->send_all(kHealthRequest).ok());
        EXPECT_EQ(read_reply(*client).bytes, kHealth);
    }
}

TEST(Waiting, ASlowReaderIsCutAtTheSendDeadline) {
    // A response far larger than the socket buffers of both ends together.
    GpuDevice device;
    device.market_name = std::string(32 << 20, 'n');
    LoopbackServer server(std::nullopt, true, DeviceList{device});
    // The server renders the document before its send deadline starts; on a
    // slow or busy machine (sanitizers, Wine) that alone takes seconds, so the
    // bound below allows for it as this machine does it now.
    const std::uint64_t render_start = platform::monotonic_ns();
    const std::size_t full_size = render::render_json_compact({device}).size();
    const std::uint64_t render_ms = elapsed_ms(render_start);

    platform::Socket slow = connect_client(server.address());
    ASSERT_TRUE(slow.send_all("GET / HTTP/1.1\r\n\r\n").ok());
    std::atomic<bool> drain{false};
    std::size_t slow_bytes = 0;
    std::thread reader([&] {
        // 16 KiB every 100 ms until told to drain: the whole response would take minutes.
        char buffer[16384];
        for (;;) {
            const auto received = slow.receive(buffer, sizeof buffer);
            if (!received.ok() || *received == 0) return;
            slow_bytes += *received;
            if (!drain.load()) platform::sleep_milliseconds(100);
        }
    });
    platform::sleep_milliseconds(500);
    // Behind at most the render (allowed three times over) and the 5-second send;
    // a server that waited for the slow reader would take minutes.
    EXPECT_LT(timed_health(server), 9000u + 3 * render_ms);
    drain = true;
    reader.join();
    EXPECT_LT(slow_bytes, full_size);
}

TEST(Waiting, EveryScrapeIsAnsweredDuringAnIdleConnectionAttack) {
    LoopbackServer server;
    std::vector<platform::Socket> attack;
    const std::uint64_t start = platform::monotonic_ns();
    for (int second = 0; second < 30; ++second) {
        attack.push_back(connect_client(server.address()));
        if (second % 2 == 0) {
            EXPECT_LT(timed_health(server), 3000u) << "scrape at second " << second;
        }
        const std::uint64_t next = std::uint64_t(second + 1) * 1000;
        if (elapsed_ms(start) < next) platform::sleep_milliseconds(static_cast<std::uint32_t>(next - elapsed_ms(start)));
    }
    EXPECT_EQ(server.passes(), 15);
}

}  // namespace
}  // namespace karvo::testing
