// Literal socket addresses: the text rules are the same on every OS; only the
// binary sockaddr is built by the OS-specific half.
#include <string>

#include "platform/net.h"

namespace karvo::platform {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of 1 to `max_digits` digits without a leading zero
// (a lone "0" is fine), at most `max_value`.
std::optional<unsigned> parse_decimal(std::string_view text, std::size_t max_digits, unsigned max_value,
                                      bool allow_leading_zero) {
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    if (!allow_leading_zero && text.size() > 1 && text[0] == '0') return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > max_value) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text) {
    std::array<std::uint8_t, 4> octets{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t dot = text.find('.');
        const bool last = i == 3;
        if (last != (dot == std::string_view::npos)) return std::nullopt;
        const auto part = parse_decimal(text.substr(0, dot), 3, 255, false);
        if (!part) return std::nullopt;
        octets[i] = static_cast<std::uint8_t>(*part);
        if (!last) text.remove_prefix(dot + 1);
    }
    return octets;
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
    const auto value = parse_decimal(text, 5, 65535, true);
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

std::optional<SocketAddress> SocketAddress::parse(std::string_view text) {
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string_view::npos) return std::nullopt;
        const auto port = parse_port(text.substr(close + 2));
        const std::string_view host = text.substr(1, close - 1);
        // Only hexadecimal digits, colons and dots belong in an IPv6 literal;
        // this keeps scope suffixes and other extensions of the OS parser out.
        if (!port || host.empty() ||
            host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) {
            return std::nullopt;
        }
        return from_ipv6(std::string(host), *port);
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto octets = parse_ipv4(text.substr(0, colon));
    const auto port = parse_port(text.substr(colon + 1));
    if (!octets || !port) return std::nullopt;
    return from_ipv4(*octets, *port);
}

}  // namespace karvo::platform
