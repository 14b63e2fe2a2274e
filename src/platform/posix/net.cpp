#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <charconv>
#include <vector>

#include "platform/net.h"
#include "platform/system.h"

namespace karvo::platform {
namespace {

static_assert(sizeof(sockaddr_storage) <= SocketAddress::kCapacity);

int fd_of(Socket::Native native) { return static_cast<int>(native); }

Error last_error() { return Error(os_error_text(errno)); }

timeval to_timeval(std::uint32_t milliseconds) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(milliseconds / 1000);
    value.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    return value;
}

bool would_block(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

// Waits up to `milliseconds` until a send can go out or the connection failed.
void wait_writable(int fd, std::uint32_t milliseconds) {
    pollfd entry{fd, POLLOUT, 0};
    (void)::poll(&entry, 1, static_cast<int>(milliseconds));
}

Status set_timeout(int fd, int option, std::uint32_t milliseconds) {
    const timeval value = to_timeval(milliseconds);
    if (::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) return last_error();
    return Ok{};
}

}  // namespace

SocketAddress SocketAddress::from_ipv4(const std::array<std::uint8_t, 4>& octets, std::uint16_t port) {
    SocketAddress address;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    std::memcpy(&in.sin_addr, octets.data(), 4);
    std::memcpy(address.data(), &in, sizeof in);
    address.size_ = sizeof in;
    return address;
}

std::optional<SocketAddress> SocketAddress::from_ipv6(const std::string& text, std::uint16_t port) {
    sockaddr_in6 in6{};
    if (::inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) != 1) return std::nullopt;
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    SocketAddress address;
    std::memcpy(address.data(), &in6, sizeof in6);
    address.size_ = sizeof in6;
    return address;
}

bool SocketAddress::is_ipv6() const {
    sa_family_t family{};
    std::memcpy(&family, storage_.data() + offsetof(sockaddr, sa_family), sizeof family);
    return family == AF_INET6;
}

std::uint16_t SocketAddress::port() const {
    if (is_ipv6()) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, storage_.data(), sizeof in6);
        return ntohs(in6.sin6_port);
    }
    sockaddr_in in{};
    std::memcpy(&in, storage_.data(), sizeof in);
    return ntohs(in.sin_port);
}

std::string SocketAddress::to_string() const {
    char host[INET6_ADDRSTRLEN] = {};
    std::string text;
    if (is_ipv6()) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, storage_.data(), sizeof in6);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
        text = std::string("[") + host + "]";
    } else {
        sockaddr_in in{};
        std::memcpy(&in, storage_.data(), sizeof in);
        ::inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
        text = host;
    }
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof digits, port()).ptr;
    text += ':';
    text.append(digits, end);
    return text;
}

Result<std::vector<SocketAddress>> resolve_host(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (code != 0) {
        if (code == EAI_SYSTEM) return last_error();
        return Error(::gai_strerror(code));
    }
    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr) continue;
        SocketAddress address;
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in in{};
            std::memcpy(&in, entry->ai_addr, sizeof in);
            in.sin_port = htons(port);
            std::memcpy(address.data(), &in, sizeof in);
            address.set_size(sizeof in);
        } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 in6{};
            std::memcpy(&in6, entry->ai_addr, sizeof in6);
            in6.sin6_port = htons(port);
            std::memcpy(address.data(), &in6, sizeof in6);
            address.set_size(sizeof in6);
        } else {
            continue;
        }
        addresses.push_back(address);
    }
    ::freeaddrinfo(list);
    return addresses;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        native_ = other.native_;
        other.native_ = kInvalid;
    }
    return *this;
}

void Socket::close() {
    if (native_ != kInvalid) {
        ::close(fd_of(native_));
        native_ = kInvalid;
    }
}

Result<Socket> Socket::listen_on(const SocketAddress& address, int backlog) {
    const int family = address.is_ipv6() ? AF_INET6 : AF_INET;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return last_error();
    Socket socket(static_cast<Native>(fd));
    // The server closes every connection first, so each one leaves a TIME_WAIT
    // entry on its port for a minute; without SO_REUSEADDR a restarted server
    // could not bind its port again until they expire. On POSIX the option
    // allows exactly that and nothing more: a port someone listens on still
    // cannot be bound twice. (Windows gives the option another meaning, which
    // is why the Winsock side leaves it alone.)
    const int reuse = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (::bind(fd, static_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) != 0) {
        return last_error();
    }
    if (::listen(fd, backlog) != 0) return last_error();
    return socket;
}

Result<Socket> Socket::connect_to(const SocketAddress& address) {
    const int family = address.is_ipv6() ? AF_INET6 : AF_INET;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return last_error();
    Socket socket(static_cast<Native>(fd));
    for (;;) {
        if (::connect(fd, static_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) == 0) {
            return socket;
        }
        if (errno != EINTR) return last_error();
    }
}

Result<Socket> Socket::accept() const {
    for (;;) {
        const int fd = ::accept4(fd_of(native_), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return Socket(static_cast<Native>(fd));
        if (errno != EINTR) return last_error();
    }
}

Result<SocketAddress> Socket::local_address() const {
    SocketAddress address;
    socklen_t length = SocketAddress::kCapacity;
    if (::getsockname(fd_of(native_), static_cast<sockaddr*>(address.data()), &length) != 0) return last_error();
    address.set_size(length);
    return address;
}

Status Socket::set_receive_timeout(std::uint32_t milliseconds) {
    return set_timeout(fd_of(native_), SO_RCVTIMEO, milliseconds);
}

Status Socket::set_send_timeout(std::uint32_t milliseconds) {
    return set_timeout(fd_of(native_), SO_SNDTIMEO, milliseconds);
}

Result<std::size_t> Socket::receive(char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t n = ::recv(fd_of(native_), buffer, capacity, 0);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return last_error();
    }
}

Status Socket::send_all(std::string_view bytes) {
    while (!bytes.empty()) {
        // MSG_NOSIGNAL: a peer that went away is an error here, never SIGPIPE.
        const ssize_t n = ::send(fd_of(native_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_error();
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return Ok{};
}

Status Socket::set_nonblocking(bool on) const {
    const int flags = ::fcntl(fd_of(native_), F_GETFL);
    if (flags < 0) return last_error();
    if (::fcntl(fd_of(native_), F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) != 0) return last_error();
    return Ok{};
}

Result<std::optional<Socket>> Socket::try_accept() const {
    for (;;) {
        const int fd = ::accept4(fd_of(native_), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return std::optional<Socket>(Socket(static_cast<Native>(fd)));
        if (would_block(errno)) return std::optional<Socket>();
        if (errno != EINTR) return last_error();
    }
}

Result<std::optional<std::size_t>> Socket::try_receive(char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t n = ::recv(fd_of(native_), buffer, capacity, MSG_DONTWAIT);
        if (n >= 0) return std::optional<std::size_t>(static_cast<std::size_t>(n));
        if (would_block(errno)) return std::optional<std::size_t>();
        if (errno != EINTR) return last_error();
    }
}

Result<std::optional<std::size_t>> Socket::try_send(std::string_view bytes) {
    for (;;) {
        const ssize_t n = ::send(fd_of(native_), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return std::optional<std::size_t>(static_cast<std::size_t>(n));
        if (would_block(errno)) return std::optional<std::size_t>();
        if (errno != EINTR) return last_error();
    }
}

Status Socket::send_all_within(std::string_view bytes, std::uint32_t milliseconds) {
    const std::uint64_t deadline = monotonic_ns() + std::uint64_t{milliseconds} * 1000000u;
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_of(native_), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR) continue;
        if (!would_block(errno)) return last_error();
        const std::uint64_t now = monotonic_ns();
        if (now >= deadline) return Error("send timed out");
        // Rounded up, so a wait never ends just short of the deadline and spins.
        wait_writable(fd_of(native_), static_cast<std::uint32_t>((deadline - now + 999999u) / 1000000u));
    }
    return Ok{};
}

std::size_t Socket::pending_bytes() const {
    int count = 0;
    if (::ioctl(fd_of(native_), FIONREAD, &count) != 0 || count < 0) return 0;
    return static_cast<std::size_t>(count);
}

Status Socket::shutdown_send() {
    if (::shutdown(fd_of(native_), SHUT_WR) != 0) return last_error();
    return Ok{};
}

Status wait_ready(std::span<PollEntry> entries, std::uint32_t milliseconds) {
    std::vector<pollfd> watched;
    watched.reserve(entries.size());
    for (auto& entry : entries) {
        entry.ready = false;
        const short events = entry.for_sending ? POLLOUT : POLLIN;
        watched.push_back(pollfd{fd_of(entry.socket->native()), events, 0});
    }
    const int count = ::poll(watched.data(), watched.size(), static_cast<int>(milliseconds));
    if (count < 0) {
        if (errno == EINTR) return Ok{};
        return last_error();
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].ready = (watched[i].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return Ok{};
}

}  // namespace karvo::platform
