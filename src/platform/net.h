#pragma once
// TCP sockets: the thin OS layer under the HTTP API (BSD sockets on POSIX,
// Winsock 2 on Windows). Every socket this layer creates or accepts is closed
// when its owner goes out of scope and is never inherited by child processes.
// Error texts are the system's own followed by " (os error {code})".

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace karvo::platform {

// An IPv4 or IPv6 address with a port, held in the OS's own binary form.
class SocketAddress {
public:
    // A literal socket address: "a.b.c.d:port" (four decimal parts 0-255
    // without leading zeros) or "[ipv6]:port"; the port is 1-5 decimal digits
    // up to 65535. Nothing for anything else (host names included).
    static std::optional<SocketAddress> parse(std::string_view text);

    bool is_ipv6() const;
    std::uint16_t port() const;
    // "a.b.c.d:port" or "[ipv6]:port".
    std::string to_string() const;

    // The raw sockaddr bytes and their length, for the OS calls.
    const void* data() const { return storage_.data(); }
    void* data() { return storage_.data(); }
    std::size_t size() const { return size_; }
    void set_size(std::size_t size) { size_ = size; }
    static constexpr std::size_t kCapacity = 128;

private:
    // The OS-specific halves of parse().
    static SocketAddress from_ipv4(const std::array<std::uint8_t, 4>& octets, std::uint16_t port);
    static std::optional<SocketAddress> from_ipv6(const std::string& text, std::uint16_t port);

    alignas(8) std::array<unsigned char, kCapacity> storage_{};
    std::size_t size_ = 0;
};

// An IPv4 address literal in dotted form: four decimal parts from 0 to 255,
// no leading zeros, nothing else. Nothing for any other text.
std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text);
inline bool is_ipv4_literal(std::string_view text) { return parse_ipv4(text).has_value(); }

// A port: 1 to 5 ASCII decimal digits with a value up to 65535.
std::optional<std::uint16_t> parse_port(std::string_view text);

// Looks `host` up with the system resolver (getaddrinfo) for TCP and gives the
// addresses, in the resolver's order, with `port` set. An empty list is no
// error. On POSIX a resolver failure reads as the resolver's own text
// (gai_strerror), which has no OS error code.
Result<std::vector<SocketAddress>> resolve_host(const std::string& host, std::uint16_t port);

class Socket {
public:
    // SOCKET on Windows, a file descriptor on POSIX.
    using Native = std::uintptr_t;

    Socket() = default;
    Socket(Socket&& other) noexcept : native_(other.native_) { other.native_ = kInvalid; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }

    // A TCP socket of the address's family, bound to `address` and listening
    // with the given backlog. A port another socket listens on is never shared;
    // on POSIX a port held only by closed connections (TIME_WAIT) can be
    // bound again at once.
    static Result<Socket> listen_on(const SocketAddress& address, int backlog);
    // A TCP connection to `address` (the client side, for tools and tests).
    static Result<Socket> connect_to(const SocketAddress& address);

    // Waits for the next connection on a listening socket.
    Result<Socket> accept() const;
    // The address the socket is bound to (reads back an ephemeral port).
    Result<SocketAddress> local_address() const;

    // Limits how long one receive / send may block; 0 means no limit.
    Status set_receive_timeout(std::uint32_t milliseconds);
    Status set_send_timeout(std::uint32_t milliseconds);
    // Switches between blocking calls and calls that return at once.
    Status set_nonblocking(bool on) const;
    // On a non-blocking listener: the next waiting connection, or nothing when
    // none is waiting.
    Result<std::optional<Socket>> try_accept() const;

    // One receive of at most `capacity` bytes; 0 means the peer closed its side.
    // A time-out is an error like any other.
    Result<std::size_t> receive(char* buffer, std::size_t capacity);
    // Sends every byte unless the connection fails; a closed peer never raises
    // a signal. Gives the first error, which callers may ignore.
    Status send_all(std::string_view bytes);
    // On a non-blocking socket: one receive that returns at once, nothing when
    // no byte has arrived yet; 0 means the peer closed its side.
    Result<std::optional<std::size_t>> try_receive(char* buffer, std::size_t capacity);
    // On a non-blocking socket: sends every byte within `milliseconds` in
    // total, waiting for room in between; past that, the error "send timed out".
    Status send_all_within(std::string_view bytes, std::uint32_t milliseconds);
    // On a non-blocking socket: one send that returns at once, giving how many
    // bytes the OS took; nothing when it has no room now.
    Result<std::optional<std::size_t>> try_send(std::string_view bytes);
    // Bytes already received by the OS and not read yet.
    std::size_t pending_bytes() const;
    // Ends our sending side (the peer sees end of stream); receiving still works.
    Status shutdown_send();

    bool is_open() const { return native_ != kInvalid; }
    Native native() const { return native_; }
    void close();

private:
    explicit Socket(Native native) : native_(native) {}
    static constexpr Native kInvalid = ~Native{0};
    Native native_ = kInvalid;
};

// One socket to watch, for bytes to read or for room to send, and whether it
// turned out ready for that.
struct PollEntry {
    const Socket* socket = nullptr;
    bool ready = false;
    bool for_sending = false;  // wait for room to send instead of bytes to read
};

// Waits up to `milliseconds` until at least one of the sockets is ready and
// marks those ready (poll on POSIX, WSAPoll on Windows). Ready to read: bytes
// or the end of the stream have arrived, or a listening socket has a
// connection waiting; ready to send: the OS takes more bytes. A pending error
// or a hang-up makes a socket ready either way. A time-out or an interrupted
// wait leaves all unmarked and is no error.
Status wait_ready(std::span<PollEntry> entries, std::uint32_t milliseconds);

}  // namespace karvo::platform
