// Loopback test, bind policy, binding and the banner.
#include <gtest/gtest.h>

#include "platform/net.h"
#include "server/listener.h"
#include "server/serve.h"

namespace karvo::server {
namespace {

const std::optional<std::string> kNoToken;
const std::optional<std::string> kToken = std::string("0123456789abcdef");

TEST(Loopback, RecognisesLoopbackListenTexts) {
    for (const char* text : {"127.0.0.1", "127.0.0.5", "127.255.255.254", "localhost", "LOCALHOST", " LocalHost\t",
                             "::1", "[::1]", " [::1] ", "[[::1]]", "\xC2\xA0" "127.0.0.1\xE3\x80\x80"}) {
        EXPECT_TRUE(is_loopback_listen(text)) << text;
    }
}

TEST(Loopback, EverythingElseIsRemote) {
    // Host names starting with "127." may resolve anywhere; only literals count.
    for (const char* text : {"0.0.0.0", "::", "[::]", "192.168.1.10", "", "127.evil.example",
                             "127.0.0.1.evil.example", "127.0.0.1.", "127.1", "127.0.0.01", "127.0.0.256",
                             "localhost.evil.example", "localhost.", "::2", "[::1]:80", "0:0:0:0:0:0:0:1",
                             "127.0.0.1:80", "1127.0.0.1"}) {
        EXPECT_FALSE(is_loopback_listen(text)) << text;
    }
}

TEST(BindPolicy, MessagesByteForByte) {
    EXPECT_EQ(address_text("127.0.0.1", 8080), "127.0.0.1:8080");
    EXPECT_EQ(address_text(" localhost ", 0), " localhost :0");

    const auto refused = check_bind_policy("0.0.0.0", 9100, kNoToken);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(),
              "refusing unauthenticated remote bind on 0.0.0.0:9100 \xE2\x80\x94 "
              "set --token/--token-file or KARVO_TOKEN");
    EXPECT_TRUE(refused.error().causes().empty());
    EXPECT_FALSE(check_bind_policy("127.evil.example", 80, kNoToken).ok());

    const auto warned = check_bind_policy("0.0.0.0", 9100, kToken);
    ASSERT_TRUE(warned.ok());
    ASSERT_TRUE(warned->has_value());
    EXPECT_EQ(**warned,
              "WARNING: listening on 0.0.0.0:9100 (non-loopback). Token auth required; put TLS/reverse-proxy in "
              "front if leaving the trusted LAN. Firewall it.\n");

    for (const auto& token : {kNoToken, kToken}) {
        const auto quiet = check_bind_policy("[::1]", 8080, token);
        ASSERT_TRUE(quiet.ok());
        EXPECT_FALSE(quiet->has_value());
    }
}

TEST(Banner, ShowsTheAddressTextNeverTheToken) {
    const auto open = banner_lines("localhost:9000", false);
    EXPECT_EQ(open[0], "Headless API listening on http://localhost:9000/ (GET / -> JSON, GET /metrics -> Prometheus)\n");
    EXPECT_EQ(open[1],
              "Auth: none (loopback only). Example: curl http://localhost:9000/  or  curl "
              "http://localhost:9000/metrics\n");
    const auto guarded = banner_lines("0.0.0.0:0", true);
    EXPECT_EQ(guarded[0], "Headless API listening on http://0.0.0.0:0/ (GET / -> JSON, GET /metrics -> Prometheus)\n");
    EXPECT_EQ(guarded[1],
              "Auth: bearer token required for / and /metrics (/health open). Example: curl -H \"Authorization: "
              "Bearer <token>\" http://0.0.0.0:0/metrics\n");
    // The page's address; with a token, how to hand it over (never the token itself).
    EXPECT_EQ(open[2], "Browser page: http://localhost:9000/ui\n");
    EXPECT_EQ(guarded[2],
              "Browser page: http://0.0.0.0:0/ui (append #token=<token>, or enter the token when the page asks)\n");
    EXPECT_EQ(banner_lines("0.0.0.0:9", false, {true, true})[2], "Browser page: https://0.0.0.0:9/ui\n");
}

TEST(BindPolicy, HttpsNeedsNoWarningAndClientCertificatesStandForAToken) {
    const Transport https{true, false};
    const Transport mutual{true, true};
    EXPECT_FALSE(check_bind_policy("0.0.0.0", 9100, kNoToken, https).ok());
    for (const auto& [token, transport] : {std::pair{kToken, https}, std::pair{kNoToken, mutual}}) {
        const auto quiet = check_bind_policy("0.0.0.0", 9100, token, transport);
        ASSERT_TRUE(quiet.ok());
        EXPECT_FALSE(quiet->has_value());
    }

    const auto guarded = banner_lines("0.0.0.0:9", true, https);
    EXPECT_EQ(guarded[0], "Headless API listening on https://0.0.0.0:9/ (GET / -> JSON, GET /metrics -> Prometheus)\n");
    EXPECT_TRUE(guarded[1].ends_with(" https://0.0.0.0:9/metrics\n")) << guarded[1];
    EXPECT_EQ(banner_lines("0.0.0.0:9", false, mutual)[1],
              "Auth: client certificate required. Example: curl --cacert ca.pem --cert client.pem --key "
              "client-key.pem https://0.0.0.0:9/metrics\n");
}

TEST(BindListener, LiteralAndResolvedAddresses) {
    auto v4 = bind_listener("127.0.0.1:0");
    ASSERT_TRUE(v4.ok()) << v4.error().long_form();
    auto v4_local = v4->local_address();
    ASSERT_TRUE(v4_local.ok());
    EXPECT_FALSE(v4_local->is_ipv6());
    EXPECT_NE(v4_local->port(), 0);

    // Through the resolver: a host name, and the bare IPv6 loopback.
    auto named = bind_listener("localhost:0");
    ASSERT_TRUE(named.ok()) << named.error().long_form();
    auto v6 = bind_listener("[::1]:0");
    if (v6.ok()) {
        EXPECT_TRUE(v6->local_address()->is_ipv6());
        auto bare = bind_listener("::1:0");
        ASSERT_TRUE(bare.ok()) << bare.error().long_form();
        EXPECT_TRUE(bare->local_address()->is_ipv6());
    }
}

TEST(BindListener, Failures) {
    auto taken = bind_listener("127.0.0.1:0");
    ASSERT_TRUE(taken.ok());
    const std::string address = "127.0.0.1:" + std::to_string(taken->local_address()->port());
    auto again = bind_listener(address);
    ASSERT_FALSE(again.ok());
    const std::string& message = again.error().message();
    EXPECT_TRUE(message.starts_with("bind " + address + " failed: ")) << message;
    EXPECT_NE(message.find(" (os error "), std::string::npos) << message;
    EXPECT_TRUE(message.ends_with(")")) << message;
    EXPECT_TRUE(again.error().causes().empty());

    EXPECT_EQ(bind_listener("nohost").error().message(), "bind nohost failed: invalid socket address");
    EXPECT_EQ(bind_listener("localhost:65536").error().message(), "bind localhost:65536 failed: invalid port value");
    EXPECT_EQ(bind_listener("localhost:http").error().message(), "bind localhost:http failed: invalid port value");
}

TEST(BindListener, RebindsAPortItServedOnRightAway) {
    // A restarted server must get its port back although the connections it
    // closed are still winding down.
    std::string address;
    {
        auto first = bind_listener("127.0.0.1:0");
        ASSERT_TRUE(first.ok());
        address = "127.0.0.1:" + std::to_string(first->local_address()->port());
        auto client = platform::Socket::connect_to(*first->local_address());
        ASSERT_TRUE(client.ok());
        auto accepted = first->accept();
        ASSERT_TRUE(accepted.ok());
        ASSERT_TRUE(client->send_all("GET / HTTP/1.1\r\n\r\n").ok());
        char buffer[64];
        ASSERT_TRUE(accepted->receive(buffer, sizeof buffer).ok());
        accepted->close();  // the server side closes first, as it does for every request
        ASSERT_TRUE(client->receive(buffer, sizeof buffer).ok());
    }
    auto second = bind_listener(address);
    EXPECT_TRUE(second.ok()) << second.error().long_form();
}

TEST(Serve, ATakenPortIsABindErrorNotAServer) {
    auto taken = bind_listener("127.0.0.1:0");
    ASSERT_TRUE(taken.ok());
    ServerConfig config;
    config.port = taken->local_address()->port();
    EXPECT_TRUE(serve(config).message().starts_with("bind 127.0.0.1:" + std::to_string(config.port) + " failed: "));
}

}  // namespace
}  // namespace karvo::server
