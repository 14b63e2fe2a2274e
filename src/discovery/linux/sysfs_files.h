#pragma once
// Reading and parsing the small text attributes of sysfs and procfs. Every
// read is bounded and gives nothing for a missing, unreadable or special file;
// every parse gives nothing for text that is not the number it should be.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace karvo::discovery::linux::files {

// Bytes read from one attribute at most: sysfs hands out one page per file.
inline constexpr std::size_t kAttributeLimit = 4096;

// The attribute's bytes, at most `limit` of them.
std::optional<std::string> read_raw(const std::string& path, std::size_t limit = kAttributeLimit);

// The attribute as text: decoded (invalid UTF-8 replaced), white space trimmed.
std::optional<std::string> read_text(const std::string& path);

// Unsigned numbers: decimal digits only ("+" allowed), or hexadecimal with an
// optional "0x"; surrounding white space ignored; nothing on overflow.
std::optional<std::uint64_t> parse_decimal(std::string_view text);
std::optional<std::uint64_t> parse_hex(std::string_view text);
// A decimal number with an optional leading "-" (temperatures).
std::optional<std::int64_t> parse_signed(std::string_view text);

std::optional<std::uint64_t> read_decimal(const std::string& path);
std::optional<std::uint64_t> read_hex(const std::string& path);
std::optional<std::int64_t> read_signed(const std::string& path);

// The lines of a text, without their "\r\n" or "\n".
template <class Visit>
void for_each_line(std::string_view data, Visit&& visit) {
    while (!data.empty()) {
        const auto end = data.find('\n');
        std::string_view line = data.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        visit(line);
        if (end == std::string_view::npos) break;
        data.remove_prefix(end + 1);
    }
}

// A number that must fit 32 bits; nothing when it does not.
std::optional<std::uint32_t> narrow32(std::optional<std::uint64_t> value);

// The current level of a pp_dpm_* table: what follows the ":" of the first
// line ending in "*" ("1: 2482Mhz *" -> "2482Mhz *").
std::optional<std::string_view> current_level(std::string_view data);

// The last component of a path ("a/b/0000:03:00.0" -> "0000:03:00.0").
std::string_view last_component(std::string_view path);

}  // namespace karvo::discovery::linux::files
