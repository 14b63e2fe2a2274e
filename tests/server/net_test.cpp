// The socket layer: literal address parsing and the socket calls the server uses.
#include <gtest/gtest.h>

#include "platform/net.h"
#include "platform/system.h"

namespace karvo::platform {
namespace {

TEST(SocketAddressParse, Literals) {
    const auto v4 = SocketAddress::parse("127.0.0.1:8080");
    ASSERT_TRUE(v4);
    EXPECT_FALSE(v4->is_ipv6());
    EXPECT_EQ(v4->port(), 8080);
    EXPECT_EQ(v4->to_string(), "127.0.0.1:8080");
    EXPECT_EQ(SocketAddress::parse("0.0.0.0:0")->to_string(), "0.0.0.0:0");
    EXPECT_EQ(SocketAddress::parse("255.255.255.255:65535")->port(), 65535);

    const auto v6 = SocketAddress::parse("[::1]:443");
    ASSERT_TRUE(v6);
    EXPECT_TRUE(v6->is_ipv6());
    EXPECT_EQ(v6->to_string(), "[::1]:443");
    EXPECT_EQ(SocketAddress::parse("[2001:DB8::7]:9")->to_string(), "[2001:db8::7]:9");
    EXPECT_TRUE(SocketAddress::parse("[::ffff:127.0.0.1]:80"));
}

TEST(SocketAddressParse, RejectsEverythingElse) {
    for (const char* text : {"", ":", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:+80", "127.0.0.1:-1",
                             "127.0.0.1:8o", "127.0.0.1:123456", "127.1:80", "1.2.3.4.5:80", "256.0.0.1:80",
                             "01.2.3.4:80", "1..3.4:80", " 1.2.3.4:80", "1.2.3.4 :80", "1.2.3.4: 80", "localhost:80",
                             "::1:80", "[::1]", "[::1]80", "[::1]:", "[]:80", "[::1%1]:80", "[fe80::1%eth0]:80",
                             "[::g]:80", "[1.2.3.4]:80", "[::1]:80x"}) {
        EXPECT_FALSE(SocketAddress::parse(text)) << text;
    }
}

TEST(TextParts, Ipv4AndPort) {
    EXPECT_TRUE(is_ipv4_literal("127.0.0.1"));
    EXPECT_TRUE(is_ipv4_literal("0.0.0.0"));
    EXPECT_FALSE(is_ipv4_literal("127.0.0"));
    EXPECT_FALSE(is_ipv4_literal("127.0.0.1."));
    EXPECT_FALSE(is_ipv4_literal("127.000.0.1"));
    EXPECT_FALSE(is_ipv4_literal("127.evil.example"));
    EXPECT_EQ(parse_port("0"), 0);
    EXPECT_EQ(parse_port("08080"), 8080);
    EXPECT_EQ(parse_port("65535"), 65535);
    EXPECT_FALSE(parse_port(""));
    EXPECT_FALSE(parse_port("65536"));
    EXPECT_FALSE(parse_port("000001"));
}

TEST(Sockets, LoopbackRoundTrip) {
    auto listener = Socket::listen_on(*SocketAddress::parse("127.0.0.1:0"), 4);
    ASSERT_TRUE(listener.ok()) << listener.error().long_form();
    const auto address = listener->local_address();
    ASSERT_TRUE(address.ok());
    auto client = Socket::connect_to(*address);
    ASSERT_TRUE(client.ok()) << client.error().long_form();
    auto accepted = listener->accept();
    ASSERT_TRUE(accepted.ok()) << accepted.error().long_form();

    ASSERT_TRUE(client->send_all("hello, server").ok());
    char buffer[64];
    auto got = accepted->receive(buffer, 5);  // one receive never takes more than asked
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(std::string(buffer, *got), "hello");
    // The rest is waiting (on loopback it arrives at once, but give a slow OS a moment).
    for (int i = 0; i < 1000 && accepted->pending_bytes() < 8; ++i) sleep_milliseconds(5);
    EXPECT_EQ(accepted->pending_bytes(), 8u);

    ASSERT_TRUE(accepted->shutdown_send().ok());
    auto end = client->receive(buffer, sizeof buffer);
    ASSERT_TRUE(end.ok());
    EXPECT_EQ(*end, 0u);  // orderly end of stream
}

TEST(Sockets, ReceiveTimeoutAndClosedPeer) {
    auto listener = Socket::listen_on(*SocketAddress::parse("127.0.0.1:0"), 4);
    ASSERT_TRUE(listener.ok());
    auto client = Socket::connect_to(*listener->local_address());
    ASSERT_TRUE(client.ok());
    auto accepted = listener->accept();
    ASSERT_TRUE(accepted.ok());

    ASSERT_TRUE(accepted->set_receive_timeout(100).ok());
    char buffer[16];
    auto timed_out = accepted->receive(buffer, sizeof buffer);
    ASSERT_FALSE(timed_out.ok());
    EXPECT_NE(timed_out.error().message().find(" (os error "), std::string::npos) << timed_out.error().message();

    // Sending to a peer that has gone is an error value, never a process-killing signal.
    client->close();
    Status sent = Ok{};
    const std::string chunk(65536, 'x');
    for (int i = 0; i < 64 && sent.ok(); ++i) sent = accepted->send_all(chunk);
    EXPECT_FALSE(sent.ok());
}

}  // namespace
}  // namespace karvo::platform
