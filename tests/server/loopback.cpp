#include "loopback.h"

#include <gtest/gtest.h>

#include "server/listener.h"
#include "platform/system.h"
#include "support/json_documents.h"

namespace karvo::testing {

DeviceList sample_devices() {
    GpuDevice device;
    device.index = 0;
    device.market_name = "Radeon Test \"Board\"";
    device.vendor_id = kAmdVendorId;
    device.vendor_name = kAmdVendorName;
    device.device_id = 0x744c;
    device.gfx_version = "gfx1100";
    device.vram_total_mb = 24560;
    device.vram_used_mb = 1024;
    device.temp_edge_c = 41.0f;
    device.gfx_clock_mhz = 2100;
    device.backend = "hip";
    device.processes.push_back({1234, "worker.exe", 512, ProcessKind::compute});
    return {device};
}

LoopbackServer::LoopbackServer(std::optional<std::string> token, bool start_now, std::optional<DeviceList> devices)
    : token_(std::move(token)), devices_(devices ? std::move(*devices) : sample_devices()) {
    pass_ = [this] {
        discovery::PassResult pass;
        pass.devices = devices_;
        return pass;
    };
    listen(start_now);
}

LoopbackServer::LoopbackServer(std::optional<std::string> token, server::PassFn pass, render::MetricsOptions metrics)
    : token_(std::move(token)), pass_(std::move(pass)), metrics_(metrics) {
    listen(true);
}

void LoopbackServer::listen(bool start_now) {
    auto bound = server::bind_listener("127.0.0.1:0");
    if (!bound.ok()) {
        ADD_FAILURE() << bound.error().long_form();
        return;
    }
    listener_ = std::move(bound).value();
    auto local = listener_.local_address();
    if (!local.ok()) {
        ADD_FAILURE() << local.error().long_form();
        return;
    }
    address_ = *local;
    if (start_now) start();
}

void LoopbackServer::start() {
    if (!listener_.is_open() || thread_.joinable()) return;
    thread_ = std::thread([this] {
        server::ServeLoopConfig config;
        config.token = token_;
        config.pass = [this] {
            ++passes_;
            return pass_();
        };
        config.metrics = metrics_;
        config.keep_going = [this] { return !stopping_.load(); };
        config.observe = [this](const server::LoopCounts& counts) {
            const std::lock_guard lock(counts_mutex_);
            counts_ = counts;
        };
        server::accept_connections(listener_, config);
    });
}

bool LoopbackServer::wait_for_loop(const std::function<bool(const server::LoopCounts&)>& condition) {
    for (int i = 0; i < 30000; ++i) {
        {
            const std::lock_guard lock(counts_mutex_);
            if (condition(counts_)) return true;
        }
        platform::sleep_milliseconds(1);
    }
    return false;
}

LoopbackServer::~LoopbackServer() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    // Wake the pending accept; the loop sees the flag after this connection.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (platform::Socket::connect_to(address_).ok()) break;
    }
    thread_.join();
}

platform::Socket connect_client(const platform::SocketAddress& address) {
    auto client = platform::Socket::connect_to(address);
    if (!client.ok()) {
        ADD_FAILURE() << "connect: " << client.error().long_form();
        return {};
    }
    (void)client->set_receive_timeout(30000);
    return std::move(client).value();
}

Reply read_reply(platform::Socket& client) {
    Reply reply;
    char buffer[4096];
    for (;;) {
        auto received = client.receive(buffer, sizeof buffer);
        if (!received.ok()) return reply;
        if (*received == 0) {
            reply.clean_end = true;
            return reply;
        }
        reply.bytes.append(buffer, *received);
    }
}

Reply round_trip(const platform::SocketAddress& address, std::string_view request) {
    platform::Socket client = connect_client(address);
    if (!client.is_open()) return {};
    const Status sent = client.send_all(request);
    EXPECT_TRUE(sent.ok()) << (sent.ok() ? "" : sent.error().long_form());
    Reply reply = read_reply(client);
    // A JSON document served at "/" joins the ones validated against the schema.
    const auto body = reply.bytes.find("\r\n\r\n");
    if ((request.starts_with("GET / ") || request.starts_with("GET /?")) && reply.bytes.starts_with("HTTP/1.1 200 ") &&
        reply.bytes.find("\r\nContent-Type: application/json\r\n") < body) {
        collect_json_document("get-root", std::string_view(reply.bytes).substr(body + 4));
    }
    return reply;
}

std::string expected_response(std::string_view status_line, std::string_view content_type, std::string_view body,
                              bool bearer_challenge) {
    std::string out(status_line);
    out += "\r\nContent-Type: ";
    out += content_type;
    out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    if (bearer_challenge) out += "WWW-Authenticate: Bearer\r\n";
    out += "X-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

}  // namespace karvo::testing
