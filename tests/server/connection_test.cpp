// The request handler and accept loop over real loopback connections.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "loopback.h"
#include "render/json.h"
#include "render/metrics.h"

namespace karvo::testing {
namespace {

constexpr std::string_view kOk = "HTTP/1.1 200 OK";
constexpr std::string_view kJson = "application/json";
constexpr std::string_view kMetricsType = "text/plain; version=0.0.4";
const std::string kHealth = expected_response(kOk, kJson, R"({"status":"ok"})");
const std::string kNotFound = expected_response("HTTP/1.1 404 Not Found", kJson, R"({"error":"not found"})");
const std::string kNotAllowed =
    expected_response("HTTP/1.1 405 Method Not Allowed", kJson, R"({"error":"method not allowed"})");
const std::string kForbidden = expected_response("HTTP/1.1 403 Forbidden", kJson, R"({"error":"forbidden host"})");
const std::string kUnauthorized =
    expected_response("HTTP/1.1 401 Unauthorized", kJson, R"({"error":"unauthorized"})", true);
const std::string kToken = "correct-horse-battery-staple";

std::string get(std::string_view target, std::string_view headers = "") {
    return "GET " + std::string(target) + " HTTP/1.1\r\n" + std::string(headers) + "\r\n";
}

// Sends the request and checks the reply bytes and the orderly close.
void expect_reply(const LoopbackServer& server, std::string_view request, const std::string& expected) {
    const Reply reply = round_trip(server.address(), request);
    EXPECT_EQ(reply.bytes, expected) << "request: " << request;
    EXPECT_TRUE(reply.clean_end) << "request: " << request;
}

// A metrics reply: the exact bytes of the devices' text, with the pass time
// the server measured (a plain number of seconds, checked for its form).
void expect_metrics_reply(const LoopbackServer& server, std::string_view request, const DeviceList& devices) {
    const Reply reply = round_trip(server.address(), request);
    constexpr std::string_view kSample = "\namd_gpu_discovery_seconds ";
    const auto at = reply.bytes.rfind(kSample);
    ASSERT_NE(at, std::string::npos) << reply.bytes;
    const std::string seconds = reply.bytes.substr(at + kSample.size(), reply.bytes.size() - at - kSample.size() - 1);
    ASSERT_FALSE(seconds.empty());
    EXPECT_EQ(seconds.find_first_not_of("0123456789.e-"), std::string::npos) << seconds;
    std::string body = render::render_metrics(devices, 0.0);
    ASSERT_TRUE(body.ends_with(std::string(kSample) + "0\n"));
    body.replace(body.size() - 2, 1, seconds);
    EXPECT_EQ(reply.bytes, expected_response(kOk, kMetricsType, body));
    EXPECT_TRUE(reply.clean_end);
}

TEST(Connection, RoutesWithoutToken) {
    LoopbackServer server;
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
    const DeviceList devices = sample_devices();
    const std::string json = render::render_json_compact(devices);
    ASSERT_FALSE(json.empty());

    expect_reply(server, get("/", host), expected_response(kOk, kJson, json));
    expect_metrics_reply(server, get("/metrics?since=0", host), devices);
    expect_reply(server, get("/ready", host), expected_response(kOk, kJson, R"({"gpus":1})"));
    EXPECT_EQ(server.passes(), 3);  // a fresh pass for each request for data
    // The health check and a path not found start no work.
    expect_reply(server, get("/health", host), kHealth);
    expect_reply(server, get("/Metrics", host), kNotFound);
    expect_reply(server, get("/metrics/", host), kNotFound);
    expect_reply(server, get("/ready/", host), kNotFound);
    EXPECT_EQ(server.passes(), 3);

    expect_reply(server, get("/"), expected_response(kOk, kJson, json));  // no Host line
    expect_reply(server, get("/", "HoSt: evil.example\r\n"), expected_response(kOk, kJson, json));
    EXPECT_EQ(server.passes(), 5);
}

// Ready once a GPU is seen: 503 with a count of 0 while none is, so a probe
// or a load balancer can tell; the body is the same small document either way.
TEST(Connection, ReadyAtNoneAndOneGpu) {
    LoopbackServer none(std::nullopt, true, DeviceList{});
    expect_reply(none, get("/ready"), expected_response("HTTP/1.1 503 Service Unavailable", kJson, R"({"gpus":0})"));
    expect_reply(none, get("/ready?verbose"), expected_response("HTTP/1.1 503 Service Unavailable", kJson, R"({"gpus":0})"));
    EXPECT_EQ(none.passes(), 2);
    LoopbackServer one;
    expect_reply(one, get("/ready"), expected_response(kOk, kJson, R"({"gpus":1})"));
    DeviceList three = sample_devices();
    three.push_back(three[0]);
    three.push_back(three[0]);
    LoopbackServer several(std::nullopt, true, three);
    expect_reply(several, get("/ready"), expected_response(kOk, kJson, R"({"gpus":3})"));
    // Token rules as /metrics: the Host is not checked, the token is.
    LoopbackServer guarded(kToken);
    expect_reply(guarded, get("/ready", "Host: evil.example\r\n"), kUnauthorized);
    expect_reply(guarded, get("/ready", "Authorization: Bearer " + kToken + "\r\n"),
                 expected_response(kOk, kJson, R"({"gpus":1})"));
    EXPECT_EQ(guarded.passes(), 1);
}

// The checks themselves are covered without sockets; here: the exact bytes
// on the wire and that refusals never run a discovery pass.
TEST(Connection, RefusalsRunNoDiscovery) {
    LoopbackServer server;
    expect_reply(server, get("/", "Host: localhost.evil.example\r\n"), kForbidden);
    expect_reply(server, "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", kNotAllowed);
    expect_reply(server, "GET", kNotAllowed);
    EXPECT_EQ(server.passes(), 0);
}

TEST(Connection, BearerToken) {
    LoopbackServer server(kToken);
    expect_reply(server, get("/health?verbose=1", "Host: evil.example\r\n"), kHealth);
    expect_metrics_reply(server, get("/metrics", "Host: evil.example\r\nAuthorization: Bearer " + kToken + "\r\n"),
                         sample_devices());
    EXPECT_EQ(server.passes(), 1);
    expect_reply(server, get("/", "Authorization: Bearer " + kToken.substr(1) + "\r\n"), kUnauthorized);
    expect_reply(server, get("/nowhere"), kUnauthorized);
    expect_reply(server, get("/nowhere", "Authorization: Bearer " + kToken + "\r\n"), kNotFound);
    // The method check comes first: no credentials needed to be told 405.
    expect_reply(server, "POST /metrics HTTP/1.1\r\n\r\n", kNotAllowed);
    EXPECT_EQ(server.passes(), 1);
}

// The browser page holds no data: served without the token and without a
// pass, compressed for a client that takes gzip.
TEST(Connection, PageRunsNoDiscovery) {
    LoopbackServer server(kToken);
    const Reply page = round_trip(server.address(), get("/ui", "Accept-Encoding: gzip\r\n"));
    EXPECT_TRUE(page.bytes.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"))
        << page.bytes.substr(0, 200);
    EXPECT_NE(page.bytes.find("\r\nContent-Encoding: gzip\r\n"), std::string::npos);
    EXPECT_TRUE(page.clean_end);
    const Reply plain = round_trip(server.address(), get("/ui"));
    EXPECT_NE(plain.bytes.find("\r\n\r\n<!doctype html>"), std::string::npos) << plain.bytes.substr(0, 200);
    expect_reply(server, get("/ui/none"), kNotFound);
    EXPECT_EQ(server.passes(), 0);
    expect_reply(server, get("/"), kUnauthorized);
}

TEST(Connection, OnlyTheFirstReadCounts) {
    LoopbackServer server(kToken);
    // The first read holds only part of the headers: judged on that part.
    {
        platform::Socket client = connect_client(server.address());
        ASSERT_TRUE(client.send_all("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n").ok());
        const Reply reply = read_reply(client);
        EXPECT_EQ(reply.bytes, kUnauthorized);
        (void)client.send_all("Authorization: Bearer " + kToken + "\r\n\r\n");  // too late
    }
    EXPECT_EQ(server.passes(), 0);
    expect_reply(server, get("/", "Authorization: Bearer " + kToken + "\r\n"),
                 expected_response(kOk, kJson, render::render_json_compact(sample_devices())));
}

TEST(Connection, OversizedRequestsAreCutAtTheReadLimit) {
    // Queue the requests before the server accepts, so each first read is full.
    LoopbackServer server(kToken, false);
    const std::string filler = "X-Filler: " + std::string(9000, 'a') + "\r\n";
    platform::Socket late_auth = connect_client(server.address());
    ASSERT_TRUE(late_auth.send_all(get("/", filler + "Authorization: Bearer " + kToken + "\r\n")).ok());
    platform::Socket health = connect_client(server.address());
    ASSERT_TRUE(health.send_all(get("/health", filler + filler)).ok());
    server.start();

    // The credentials lie beyond the first 8192 bytes and are never seen.
    Reply reply = read_reply(late_auth);
    EXPECT_EQ(reply.bytes, kUnauthorized);
    // The unread rest of the request is dropped without resetting the
    // connection, so the client gets the whole response and an orderly end.
    EXPECT_TRUE(reply.clean_end);
    reply = read_reply(health);
    EXPECT_EQ(reply.bytes, kHealth);
    EXPECT_TRUE(reply.clean_end);
    EXPECT_EQ(server.passes(), 0);
}

TEST(Connection, BinaryJunk) {
    LoopbackServer server;
    expect_reply(server, std::string("\0\0\0\0", 4), kNotAllowed);
    expect_reply(server, "\xFF\xFE\xFD\r\n\r\n", kNotAllowed);
    expect_reply(server, "\r\n", kNotAllowed);
    expect_reply(server, "GET /\xFF HTTP/1.1\r\n\r\n", kNotFound);  // "/" and U+FFFD: not a route
    expect_reply(server, std::string("GET /health\0 HTTP/1.1\r\n\r\n", 25), kNotFound);
    expect_reply(server, "GET /health HTTP/1.1\r\nHost: \xC0\xAF" "127.0.0.1\r\n\r\n", kForbidden);

    std::mt19937 random(20240601);
    for (int i = 0; i < 40; ++i) {
        std::string junk(1 + random() % 10000, '\0');
        for (char& c : junk) c = static_cast<char>(random() & 0xFF);
        const Reply reply = round_trip(server.address(), junk);
        // Whatever arrives, the answer is one complete refusal or data response.
        EXPECT_TRUE(reply.bytes.starts_with("HTTP/1.1 ")) << reply.bytes.substr(0, 40);
        EXPECT_NE(reply.bytes.find("\r\nConnection: close\r\n\r\n"), std::string::npos);
    }
    expect_reply(server, get("/health"), kHealth);
}

TEST(Connection, DroppedConnectionsDoNotStopTheServer) {
    LoopbackServer server;
    int complete_requests = 0;
    for (int i = 0; i < 150; ++i) {
        platform::Socket client = connect_client(server.address());
        switch (i % 3) {
            case 0:  // connect and go away
                break;
            case 1:  // half a method, then go away
                (void)client.send_all("GE");
                break;
            case 2:  // a whole request, gone before the response is sent
                (void)client.send_all(get(i % 2 == 0 ? "/" : "/health"));
                ++complete_requests;
                break;
        }
    }
    expect_reply(server, get("/health"), kHealth);
    expect_reply(server, get("/ready"), expected_response(kOk, kJson, R"({"gpus":1})"));
    // Requests that arrive together share passes: never more passes than requests for data.
    EXPECT_GE(server.passes(), 1);
    EXPECT_LE(server.passes(), complete_requests + 1);
}

TEST(Connection, SilentClientIsReleasedAfterTheTimeout) {
    LoopbackServer server;
    platform::Socket silent = connect_client(server.address());
    platform::Socket waiting = connect_client(server.address());
    ASSERT_TRUE(waiting.send_all(get("/health")).ok());
    // Nothing is ever sent to the silent client; after the receive time-out
    // the server closes it and moves on to the client queued behind it.
    const Reply nothing = read_reply(silent);
    EXPECT_EQ(nothing.bytes, "");
    EXPECT_TRUE(nothing.clean_end);
    EXPECT_EQ(read_reply(waiting).bytes, kHealth);
    EXPECT_EQ(server.passes(), 0);
}

}  // namespace
}  // namespace karvo::testing
