#include "discovery/linux/fdinfo.h"

#include <limits>

#include "common/text.h"

namespace karvo::discovery::linux {
namespace {

using text::leading_number;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view strip(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

std::uint64_t scaled(std::uint64_t value, std::uint64_t unit) { return value > kMax / unit ? kMax : value * unit; }

// An engine's busy time: "N ns".
std::optional<std::uint64_t> engine_ns(std::string_view value) {
    const auto number = leading_number(value);
    value = strip(value);
    if (!number || !(value.empty() || value == "ns")) return std::nullopt;
    return number;
}

// The older form's memory figures: "N kB" (units of 1024 bytes).
std::optional<std::uint64_t> older_size(std::string_view value) {
    const auto number = leading_number(value);
    if (!number || strip(value) != "kB") return std::nullopt;
    return scaled(*number, 1024u);
}

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

Engine engine_group(std::string_view name) {
    if (name == "gfx") return Engine::gfx;
    if (name == "compute") return Engine::compute;
    if (name == "dma") return Engine::dma;
    if (name == "dec" || name == "jpeg") return Engine::dec;
    if (name == "enc" || name.starts_with("enc_")) return Engine::enc;
    return Engine::other;
}

DrmClient parse_fdinfo(std::string_view text) {
    constexpr std::string_view kEngine = "drm-engine-";
    DrmClient client;
    std::optional<std::uint64_t> resident_vram, memory_vram, resident_gtt, memory_gtt;
    // The older form's lines, used only when no drm-driver line shows up.
    std::string_view older_pdev;
    std::optional<std::uint64_t> pasid, older_vram, older_gtt;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = strip(line.substr(0, colon));
        // The kernel writes some keys as "key: \t": blanks on both sides go.
        const std::string_view value = strip(line.substr(colon + 1));
        // The first line of a key counts; a repeated one is passed over.
        // Engine lines add up in their group (jpeg joins dec).
        if (key == "drm-driver") {
            if (client.driver.empty()) client.driver = value;
        } else if (key == "drm-pdev") {
            if (client.pdev.empty()) client.pdev = value;
        } else if (key == "drm-client-id") {
            std::string_view rest = value;
            const auto id = leading_number(rest);
            if (!client.client_id && id && rest.empty() && *id != kMax) client.client_id = id;
        } else if (key == "drm-resident-vram") {
            if (!resident_vram) resident_vram = parse_drm_size(value);
        } else if (key == "drm-memory-vram") {
            if (!memory_vram) memory_vram = parse_drm_size(value);
        } else if (key == "drm-resident-gtt") {
            if (!resident_gtt) resident_gtt = parse_drm_size(value);
        } else if (key == "drm-memory-gtt") {
            if (!memory_gtt) memory_gtt = parse_drm_size(value);
        } else if (key.starts_with(kEngine)) {
            const std::string_view name = key.substr(kEngine.size());
            if (name.empty() || name.starts_with("capacity-")) continue;
            if (const auto ns = engine_ns(value)) client.engines.add(engine_group(name), *ns);
        } else if (key == "pdev") {
            if (older_pdev.empty()) older_pdev = value;
        } else if (key == "pasid") {
            std::string_view rest = value;
            const auto id = leading_number(rest);
            if (!pasid && id && rest.empty() && *id != kMax) pasid = id;
        } else if (key == "vram mem") {
            if (!older_vram) older_vram = older_size(value);
        } else if (key == "gtt mem") {
            if (!older_gtt) older_gtt = older_size(value);
        }
    }
    if (client.driver.empty() && !older_pdev.empty() && pasid) {
        // amdgpu's own form: the PASID names the client (one per opened file).
        client.driver = "amdgpu";
        client.pdev = older_pdev;
        client.client_id = pasid;
        client.older_form = true;
        client.vram_bytes = older_vram.value_or(0);
        client.gtt_bytes = older_gtt.value_or(0);
        return client;
    }
    client.vram_bytes = resident_vram ? *resident_vram : memory_vram.value_or(0);
    client.gtt_bytes = resident_gtt ? *resident_gtt : memory_gtt.value_or(0);
    return client;
}

}  // namespace karvo::discovery::linux
