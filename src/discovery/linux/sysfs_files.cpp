#include "discovery/linux/sysfs_files.h"

#include <charconv>
#include <limits>

#include "common/text.h"
#include "platform/files.h"

namespace karvo::discovery::linux::files {

std::optional<std::string> read_raw(const std::string& path, std::size_t limit) {
    return platform::read_file_prefix(path, limit);
}

std::optional<std::string> read_text(const std::string& path) {
    auto raw = read_raw(path);
    if (!raw) return std::nullopt;
    return std::string(text::trim(text::utf8_lossy(*raw)));
}

namespace {

std::optional<std::uint64_t> parse_digits(std::string_view text, int base) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
    text = text::trim(text);
    if (text.starts_with('+')) text.remove_prefix(1);
    // from_chars accepts no sign of its own here, so "-5" and "+-5" fail.
    return parse_digits(text, 10);
}

std::optional<std::uint64_t> parse_hex(std::string_view text) {
    text = text::trim(text);
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    return parse_digits(text, 16);
}

std::optional<std::int64_t> parse_signed(std::string_view text) {
    text = text::trim(text);
    const bool negative = text.starts_with('-');
    if (negative) text.remove_prefix(1);
    const auto magnitude = parse_digits(text, 10);
    if (!magnitude || *magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
    const auto value = static_cast<std::int64_t>(*magnitude);
    return negative ? -value : value;
}

std::optional<std::uint64_t> read_decimal(const std::string& path) {
    const auto raw = read_raw(path);
    return raw ? parse_decimal(*raw) : std::nullopt;
}

std::optional<std::uint64_t> read_hex(const std::string& path) {
    const auto raw = read_raw(path);
    return raw ? parse_hex(*raw) : std::nullopt;
}

std::optional<std::int64_t> read_signed(const std::string& path) {
    const auto raw = read_raw(path);
    return raw ? parse_signed(*raw) : std::nullopt;
}

std::string_view last_component(std::string_view path) {
    while (path.ends_with('/')) path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::optional<std::uint32_t> narrow32(std::optional<std::uint64_t> value) {
    if (!value || *value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

std::optional<std::string_view> current_level(std::string_view data) {
    std::optional<std::string_view> current;
    for_each_line(data, [&](std::string_view line) {
        line = text::trim(line);
        if (!current && line.ends_with('*')) {
            const auto colon = line.find(':');
            if (colon != std::string_view::npos) current = text::trim(line.substr(colon + 1));
        }
    });
    return current;
}


}  // namespace karvo::discovery::linux::files
