// Connections that send nothing, or read slowly, never hold up the others.
// Real loopback sockets. No bound here depends on how fast the machine is:
// each test checks an order of events, or compares with the 5-second
// deadline that a server held up by the idle or slow client would have to
// reach first.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "loopback.h"
#include "platform/system.h"
#include "render/json.h"
#include "server/connection.h"

namespace karvo::testing {
namespace {

const std::string kHealth = expected_response("HTTP/1.1 200 OK", "application/json", R"({"status":"ok"})");
const std::string kHealthRequest = "GET /health HTTP/1.1\r\n\r\n";
const std::string kDocumentRequest = "GET / HTTP/1.1\r\n\r\n";

std::uint64_t elapsed_ms(std::uint64_t since_ns) { return (platform::monotonic_ns() - since_ns) / 1000000; }

std::vector<platform::Socket> idle_clients(const LoopbackServer& server, int count) {
    std::vector<platform::Socket> clients;
    for (int i = 0; i < count; ++i) clients.push_back(connect_client(server.address()));
    return clients;
}

TEST(Waiting, IdleConnectionsDoNotDelayRequests) {
    LoopbackServer server;
    const std::string document =
        expected_response("HTTP/1.1 200 OK", "application/json", render::render_json_compact(sample_devices()));
    const auto idle = idle_clients(server, 20);
    // All of them answered before the idle connections' deadline: a server
    // that waited for them would answer the first only after it.
    const std::uint64_t start = platform::monotonic_ns();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(round_trip(server.address(), kDocumentRequest).bytes, document) << i;
    EXPECT_LT(elapsed_ms(start), std::uint64_t{server::kConnectionTimeoutMs});
    EXPECT_EQ(server.passes(), 20);  // one after the other: each its own pass
}

TEST(Waiting, TheSixtyFifthWaitingConnectionClosesTheOldest) {
    LoopbackServer server;
    auto idle = idle_clients(server, 64);
    const std::uint64_t start = platform::monotonic_ns();
    platform::Socket newest = connect_client(server.address());
    const Reply oldest = read_reply(idle[0]);
    EXPECT_EQ(oldest.bytes, "");
    EXPECT_TRUE(oldest.clean_end);
    EXPECT_LT(elapsed_ms(start), std::uint64_t{server::kConnectionTimeoutMs});  // at once, not at its deadline
    // The next oldest and the newest still wait for their requests.
    for (platform::Socket* client : {&idle[1], &newest}) {
        ASSERT_TRUE(client->send_all(kHealthRequest).ok());
        EXPECT_EQ(read_reply(*client).bytes, kHealth);
    }
}

// A client that reads its large response slowly is sent to a piece at a time
// while everyone else is answered, and is cut off at its send deadline.
TEST(Waiting, ASlowReaderHoldsUpNobodyAndIsCutAtItsDeadline) {
    // A response far larger than the socket buffers of both ends together.
    GpuDevice device;
    device.market_name = std::string(32 << 20, 'n');
    LoopbackServer server(std::nullopt, true, DeviceList{device});
    const std::size_t full_size = render::render_json_compact({device}).size();

    platform::Socket slow = connect_client(server.address());
    ASSERT_TRUE(slow.send_all(kDocumentRequest).ok());
    std::atomic<std::size_t> slow_bytes{0};
    std::atomic<bool> slow_ended{false};
    std::thread reader([&] {
        // 16 KiB every 100 ms (the whole response would take minutes) until a
        // second past the send deadline, then the rest at full speed: what the
        // server sent before it cut the connection, up to the end.
        char buffer[16384];
        std::uint64_t first_byte = 0;
        for (;;) {
            const auto received = slow.receive(buffer, sizeof buffer);
            if (!received.ok() || *received == 0) break;
            if (first_byte == 0) first_byte = platform::monotonic_ns();
            slow_bytes += *received;
            if (elapsed_ms(first_byte) < server::kConnectionTimeoutMs + 1000) platform::sleep_milliseconds(100);
        }
        slow_ended = true;
    });
    // Once the response is on its way, other clients are answered while it still is.
    while (slow_bytes.load() == 0 && !slow_ended.load()) platform::sleep_milliseconds(1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(round_trip(server.address(), kHealthRequest).bytes, kHealth);
    // A request for data too: its pass runs and it is answered meanwhile.
    EXPECT_EQ(round_trip(server.address(), "GET /ready HTTP/1.1\r\n\r\n").bytes,
              expected_response("HTTP/1.1 200 OK", "application/json", R"({"gpus":1})"));
    // ...while the slow response is still being sent (a loop that sent it in
    // one go would have cut it at its deadline before answering them).
    EXPECT_TRUE(server.wait_for_loop([](const server::LoopCounts& c) { return c.sending == 1; }));
    reader.join();
    EXPECT_LT(slow_bytes.load(), full_size);
}

TEST(Waiting, EveryScrapeIsAnsweredDuringAnIdleConnectionAttack) {
    LoopbackServer server;
    std::vector<platform::Socket> attack;
    const std::uint64_t start = platform::monotonic_ns();
    int scrapes = 0;
    for (int second = 0; second < 30; ++second) {
        attack.push_back(connect_client(server.address()));
        if (second % 2 == 0) {
            const std::uint64_t asked = platform::monotonic_ns();
            const Reply reply = round_trip(server.address(), "GET /metrics HTTP/1.1\r\n\r\n");
            EXPECT_TRUE(reply.bytes.starts_with("HTTP/1.1 200 OK\r\n")) << "scrape at second " << second;
            EXPECT_LT(elapsed_ms(asked), std::uint64_t{server::kConnectionTimeoutMs}) << "scrape at second " << second;
            ++scrapes;
        }
        const std::uint64_t next = std::uint64_t(second + 1) * 1000;
        if (elapsed_ms(start) < next) platform::sleep_milliseconds(static_cast<std::uint32_t>(next - elapsed_ms(start)));
    }
    EXPECT_EQ(server.passes(), scrapes);
}

}  // namespace
}  // namespace karvo::testing
