#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <charconv>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/net.h"
#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace karvo::platform {
namespace {

static_assert(sizeof(SOCKADDR_STORAGE) <= SocketAddress::kCapacity);

SOCKET handle_of(Socket::Native native) { return static_cast<SOCKET>(native); }

// Winsock needs WSAStartup once per process before any other call; it is
// never undone (the process ends with its sockets).
void ensure_winsock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

Error last_error() { return Error(os_error_text(::WSAGetLastError())); }

bool would_block(int code) { return code == WSAEWOULDBLOCK; }

// Waits up to `milliseconds` until a send can go out or the connection failed.
void wait_writable(SOCKET socket, std::uint32_t milliseconds) {
    WSAPOLLFD entry{socket, POLLWRNORM, 0};
    (void)::WSAPoll(&entry, 1, static_cast<INT>(milliseconds));
}

Status set_timeout(SOCKET socket, int option, std::uint32_t milliseconds) {
    const DWORD value = milliseconds;
    if (::setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) != 0) {
        return last_error();
    }
    return Ok{};
}

// Sockets are created overlapped-capable (required for receive/send time-outs
// to work on a socket made by WSASocketW) and not inheritable.
Result<Socket::Native> new_tcp_socket(bool ipv6) {
    ensure_winsock();
    const SOCKET socket = ::WSASocketW(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) return last_error();
    return static_cast<Socket::Native>(socket);
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
    ensure_winsock();
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
    ADDRESS_FAMILY family{};
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
    ensure_winsock();
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
    ensure_winsock();
    // The wide-character resolver takes the UTF-8 host name as it is meant.
    const std::wstring name = win32::widen(host);
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* list = nullptr;
    const int code = ::GetAddrInfoW(name.c_str(), nullptr, &hints, &list);
    if (code != 0) return Error(os_error_text(code));
    std::vector<SocketAddress> addresses;
    for (const ADDRINFOW* entry = list; entry != nullptr; entry = entry->ai_next) {
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
    ::FreeAddrInfoW(list);
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
        ::closesocket(handle_of(native_));
        native_ = kInvalid;
    }
}

Result<Socket> Socket::listen_on(const SocketAddress& address, int backlog) {
    auto created = new_tcp_socket(address.is_ipv6());
    if (!created.ok()) return created.error();
    Socket socket(created.value());
    const SOCKET handle = handle_of(socket.native_);
    if (::bind(handle, static_cast<const sockaddr*>(address.data()), static_cast<int>(address.size())) != 0) {
        return last_error();
    }
    if (::listen(handle, backlog) != 0) return last_error();
    return socket;
}

Result<Socket> Socket::connect_to(const SocketAddress& address) {
    auto created = new_tcp_socket(address.is_ipv6());
    if (!created.ok()) return created.error();
    Socket socket(created.value());
    if (::connect(handle_of(socket.native_), static_cast<const sockaddr*>(address.data()),
                  static_cast<int>(address.size())) != 0) {
        return last_error();
    }
    return socket;
}

Result<Socket> Socket::accept() const {
    const SOCKET accepted = ::accept(handle_of(native_), nullptr, nullptr);
    if (accepted == INVALID_SOCKET) return last_error();
    // Accepted sockets take their attributes from the listener; make sure the
    // handle stays out of child processes all the same.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    return Socket(static_cast<Native>(accepted));
}

Result<SocketAddress> Socket::local_address() const {
    SocketAddress address;
    int length = static_cast<int>(SocketAddress::kCapacity);
    if (::getsockname(handle_of(native_), static_cast<sockaddr*>(address.data()), &length) != 0) {
        return last_error();
    }
    address.set_size(static_cast<std::size_t>(length));
    return address;
}

Status Socket::set_receive_timeout(std::uint32_t milliseconds) {
    return set_timeout(handle_of(native_), SO_RCVTIMEO, milliseconds);
}

Status Socket::set_send_timeout(std::uint32_t milliseconds) {
    return set_timeout(handle_of(native_), SO_SNDTIMEO, milliseconds);
}

Result<std::size_t> Socket::receive(char* buffer, std::size_t capacity) {
    const int length = capacity > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
    const int n = ::recv(handle_of(native_), buffer, length, 0);
    if (n == SOCKET_ERROR) return last_error();
    return static_cast<std::size_t>(n);
}

Status Socket::send_all(std::string_view bytes) {
    while (!bytes.empty()) {
        const int length = bytes.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes.size());
        const int n = ::send(handle_of(native_), bytes.data(), length, 0);
        if (n == SOCKET_ERROR) return last_error();
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return Ok{};
}

Status Socket::set_nonblocking(bool on) const {
    u_long mode = on ? 1 : 0;
    if (::ioctlsocket(handle_of(native_), FIONBIO, &mode) != 0) return last_error();
    return Ok{};
}

Result<std::optional<Socket>> Socket::try_accept() const {
    const SOCKET accepted = ::accept(handle_of(native_), nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
        const int code = ::WSAGetLastError();
        if (would_block(code)) return std::optional<Socket>();
        return Error(os_error_text(code));
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    return std::optional<Socket>(Socket(static_cast<Native>(accepted)));
}

Result<std::optional<std::size_t>> Socket::try_receive(char* buffer, std::size_t capacity) {
    // Winsock has no per-call "don't wait" flag: the socket itself must be non-blocking.
    const int length = capacity > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
    const int n = ::recv(handle_of(native_), buffer, length, 0);
    if (n != SOCKET_ERROR) return std::optional<std::size_t>(static_cast<std::size_t>(n));
    const int code = ::WSAGetLastError();
    if (would_block(code)) return std::optional<std::size_t>();
    return Error(os_error_text(code));
}

Result<std::optional<std::size_t>> Socket::try_send(std::string_view bytes) {
    const int length = bytes.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes.size());
    const int n = ::send(handle_of(native_), bytes.data(), length, 0);
    if (n != SOCKET_ERROR) return std::optional<std::size_t>(static_cast<std::size_t>(n));
    const int code = ::WSAGetLastError();
    if (would_block(code)) return std::optional<std::size_t>();
    return Error(os_error_text(code));
}

Status Socket::send_all_within(std::string_view bytes, std::uint32_t milliseconds) {
    const std::uint64_t deadline = monotonic_ns() + std::uint64_t{milliseconds} * 1000000u;
    while (!bytes.empty()) {
        const int length = bytes.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes.size());
        const int n = ::send(handle_of(native_), bytes.data(), length, 0);
        if (n != SOCKET_ERROR) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        const int code = ::WSAGetLastError();
        if (!would_block(code)) return Error(os_error_text(code));
        const std::uint64_t now = monotonic_ns();
        if (now >= deadline) return Error("send timed out");
        // Rounded up, so a wait never ends just short of the deadline and spins.
        wait_writable(handle_of(native_), static_cast<std::uint32_t>((deadline - now + 999999u) / 1000000u));
    }
    return Ok{};
}

std::size_t Socket::pending_bytes() const {
    u_long count = 0;
    if (::ioctlsocket(handle_of(native_), FIONREAD, &count) != 0) return 0;
    return static_cast<std::size_t>(count);
}

Status Socket::shutdown_send() {
    if (::shutdown(handle_of(native_), SD_SEND) != 0) return last_error();
    return Ok{};
}

Status wait_ready(std::span<PollEntry> entries, std::uint32_t milliseconds) {
    std::vector<WSAPOLLFD> watched;
    watched.reserve(entries.size());
    for (auto& entry : entries) {
        entry.ready = false;
        const SHORT events = entry.for_sending ? POLLWRNORM : POLLRDNORM;
        watched.push_back(WSAPOLLFD{handle_of(entry.socket->native()), events, 0});
    }
    if (watched.empty()) {
        // WSAPoll refuses an empty set.
        Sleep(milliseconds);
        return Ok{};
    }
    const int count = ::WSAPoll(watched.data(), static_cast<ULONG>(watched.size()), static_cast<INT>(milliseconds));
    if (count == SOCKET_ERROR) return last_error();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].ready = (watched[i].revents & (POLLRDNORM | POLLWRNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return Ok{};
}

}  // namespace karvo::platform
