#include "discovery/sysfs/fdinfo.h"

#include <limits>

namespace karvo::sysfs {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view strip(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// The leading decimal digits of `text` (saturating), and what follows them.
// Nothing when it does not start with a digit.
std::optional<std::uint64_t> leading_number(std::string_view& text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::uint64_t value = 0;
    while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        const auto digit = static_cast<std::uint64_t>(text.front() - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
        text.remove_prefix(1);
    }
    return value;
}

std::uint64_t scaled(std::uint64_t value, std::uint64_t unit) { return value > kMax / unit ? kMax : value * unit; }

// An engine's busy time: "N ns" (the unit is not checked); 0 when unreadable.
std::uint64_t engine_ns(std::string_view value) { return leading_number(value).value_or(0); }

}  // namespace

std::optional<std::uint64_t> parse_drm_size(std::string_view value) {
    value = strip(value);
    const auto number = leading_number(value);
    if (!number) return std::nullopt;
    const std::string_view unit = strip(value);
    if (unit.empty()) return number;
    if (unit == "KiB") return scaled(*number, 1024u);
    if (unit == "MiB") return scaled(*number, 1024u * 1024u);
    return std::nullopt;
}

DrmClient parse_fdinfo(std::string_view text) {
    DrmClient client;
    std::optional<std::uint64_t> resident, memory;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, colon);
        const std::string_view value = strip(line.substr(colon + 1));
        if (key.size() < 5 || key.substr(0, 4) != "drm-") continue;
        // The first line of a key counts; a repeated one is passed over.
        if (key == "drm-driver") {
            if (client.driver.empty()) client.driver = value;
        } else if (key == "drm-pdev") {
            if (client.pdev.empty()) client.pdev = value;
        } else if (key == "drm-client-id") {
            std::string_view rest = value;
            const auto id = leading_number(rest);
            if (!client.client_id && id && rest.empty() && *id != kMax) client.client_id = id;
        } else if (key == "drm-resident-vram") {
            if (!resident) resident = parse_drm_size(value);
        } else if (key == "drm-memory-vram") {
            if (!memory) memory = parse_drm_size(value);
        } else if (key == "drm-engine-compute") {
            if (client.compute_ns == 0) client.compute_ns = engine_ns(value);
        } else if (key == "drm-engine-gfx") {
            if (client.gfx_ns == 0) client.gfx_ns = engine_ns(value);
        }
    }
    client.vram_bytes = resident ? *resident : memory.value_or(0);
    return client;
}

}  // namespace karvo::sysfs
