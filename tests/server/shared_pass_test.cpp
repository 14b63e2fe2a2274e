// Requests that arrive together share a discovery pass, which runs beside the
// socket loop. Each pass here waits until the test lets it end and names
// itself in the GPU it reports, so every reply tells which pass answered it;
// nothing depends on timing.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "platform/system.h"
#include "server/connection.h"
#include "server/listener.h"

namespace karvo::testing {
namespace {

// Passes that start on their own and end when released, one by one.
class Gate {
public:
    discovery::PassResult pass() {
        std::unique_lock lock(mutex_);
        const int number = ++started_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_ >= number; });
        ++ended_;
        changed_.notify_all();
        GpuDevice device;
        device.market_name = "pass " + std::to_string(number);
        device.backend = "gate";
        discovery::PassResult result;
        result.devices = {device};
        result.sources = {{"hip", discovery::SourceReason::missing, 0.5}, {"wmi", std::nullopt, 1.25}};
        return result;
    }
    void release(int through) {
        const std::lock_guard lock(mutex_);
        released_ = through;
        changed_.notify_all();
    }
    // Waits (at most 30 s) until `count` passes have started / ended.
    bool started(int count) { return wait([&] { return started_ >= count; }); }
    bool ended(int count) { return wait([&] { return ended_ >= count; }); }
    int started_count() {
        const std::lock_guard lock(mutex_);
        return started_;
    }

private:
    template <class Condition>
    bool wait(Condition condition) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), condition);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int started_ = 0;
    int released_ = 0;
    int ended_ = 0;
};

std::string get(std::string_view target) { return "GET " + std::string(target) + " HTTP/1.1\r\n\r\n"; }

platform::Socket send_request(const LoopbackServer& server, std::string_view target) {
    platform::Socket client = connect_client(server.address());
    EXPECT_TRUE(client.send_all(get(target)).ok());
    return client;
}

bool answered_by(const Reply& reply, int pass) {
    return reply.bytes.starts_with("HTTP/1.1 200 OK\r\n") &&
           reply.bytes.find("pass " + std::to_string(pass) + "\"") != std::string::npos;
}

TEST(SharedPasses, RequestsThatArriveDuringAPassShareTheNextOne) {
    auto gate = std::make_shared<Gate>();
    LoopbackServer server(std::nullopt, [gate] { return gate->pass(); });

    platform::Socket first = send_request(server, "/");
    ASSERT_TRUE(gate->started(1));
    // Nineteen more arrive while the first pass runs: they wait for the next.
    std::vector<platform::Socket> later;
    const std::vector<std::string> targets = {"/", "/metrics", "/?pretty", "/metrics"};
    for (int i = 0; i < 19; ++i) later.push_back(send_request(server, targets[i % targets.size()]));
    platform::Socket ready = send_request(server, "/ready");
    ASSERT_TRUE(server.wait_for_loop([](const server::LoopCounts& c) { return c.queued == 21; }));

    // Health and unknown paths are answered meanwhile, without a pass.
    EXPECT_EQ(round_trip(server.address(), get("/health")).bytes,
              expected_response("HTTP/1.1 200 OK", "application/json", R"({"status":"ok"})"));
    EXPECT_EQ(round_trip(server.address(), get("/nowhere")).bytes,
              expected_response("HTTP/1.1 404 Not Found", "application/json", R"({"error":"not found"})"));

    gate->release(1);
    EXPECT_TRUE(answered_by(read_reply(first), 1));
    ASSERT_TRUE(gate->started(2));
    gate->release(2);
    // Not by the pass that had started when they arrived: by the next.
    for (std::size_t i = 0; i < later.size(); ++i) {
        const Reply reply = read_reply(later[i]);
        EXPECT_TRUE(answered_by(reply, 2)) << "request " << i << ": " << reply.bytes.substr(0, 300);
        EXPECT_TRUE(reply.clean_end);
        // The pass's sources reach the metrics text.
        if (targets[i % targets.size()] != "/metrics") continue;
        EXPECT_NE(reply.bytes.find("\namd_gpu_source_up{source=\"hip\",reason=\"missing\"} 0\n"), std::string::npos);
        EXPECT_NE(reply.bytes.find("\namd_gpu_source_seconds{source=\"wmi\"} 1.25\n"), std::string::npos);
    }
    EXPECT_EQ(read_reply(ready).bytes, expected_response("HTTP/1.1 200 OK", "application/json", R"({"gpus":1})"));
    EXPECT_EQ(server.passes(), 2);
    EXPECT_EQ(gate->started_count(), 2);
}

// A stop (the Windows service's) is not held up by a pass that hangs: the
// loop ends, and the pass finishes on its own thread later.
TEST(SharedPasses, AStopDoesNotWaitForAHangingPass) {
    auto bound = server::bind_listener("127.0.0.1:0");
    ASSERT_TRUE(bound.ok());
    const platform::Socket listener = std::move(bound).value();
    const platform::SocketAddress address = *listener.local_address();
    auto gate = std::make_shared<Gate>();
    std::atomic<bool> stop{false};
    std::atomic<bool> returned{false};
    std::thread loop([&] {
        server::ServeLoopConfig config;
        config.pass = [gate] { return gate->pass(); };
        config.keep_going = [&stop] { return !stop.load(); };
        server::accept_connections(listener, config);
        returned = true;
    });
    platform::Socket client = connect_client(address);
    ASSERT_TRUE(client.send_all(get("/")).ok());
    ASSERT_TRUE(gate->started(1));
    stop = true;
    loop.join();  // while the pass still hangs
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(read_reply(client).bytes, "");  // closed without an answer
    gate->release(1);
    EXPECT_TRUE(gate->ended(1));
}

}  // namespace
}  // namespace karvo::testing
