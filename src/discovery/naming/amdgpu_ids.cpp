#include "discovery/naming/amdgpu_ids.h"

#include <charconv>

#include "common/text.h"

namespace karvo::discovery::naming {
namespace {

// Hex digits with an optional "0x", blanks around them allowed; nothing above `max`.
std::optional<std::uint32_t> hex_field(std::string_view text, std::uint32_t max) {
    text = text::trim(text);
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
    return value;
}

}  // namespace

MarketingNames::MarketingNames(std::string_view text) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (text::trim(line).starts_with('#')) continue;
        const auto first = line.find(',');
        if (first == std::string_view::npos) continue;  // the version line, or junk
        const auto second = line.find(',', first + 1);
        if (second == std::string_view::npos) continue;
        const auto device = hex_field(line.substr(0, first), 0xFFFF);
        const auto revision = hex_field(line.substr(first + 1, second - first - 1), 0xFF);
        const std::string_view name = text::trim(line.substr(second + 1));  // also drops a "\r"
        if (device && revision && !name.empty()) entries_.push_back({*device, *revision, name});
    }
}

std::optional<std::string_view> MarketingNames::exact(std::uint32_t device, std::uint32_t revision) const {
    for (const Entry& entry : entries_)
        if (entry.device == device && entry.revision == revision) return entry.name;
    return std::nullopt;
}

std::optional<std::string_view> MarketingNames::first_of(std::uint32_t device) const {
    for (const Entry& entry : entries_)
        if (entry.device == device) return entry.name;
    return std::nullopt;
}

const MarketingNames& builtin_marketing_names() {
    static const MarketingNames names(kBuiltinAmdgpuIds);
    return names;
}

}  // namespace karvo::discovery::naming
