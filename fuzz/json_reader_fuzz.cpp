// Any bytes: the reader either gives a value or an error, never crashes,
// hangs or recurses without bound; the WMI adapter parsing on top of it
// (lossy decoding, wrapping, member rules) holds up the same way.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/json_reader.h"
#include "discovery/wmi/wmi_fallback.h"

namespace {

// Walks the whole value so that every accessor runs; returns the depth seen.
std::size_t walk(const karvo::json::Value& value) {
    (void)value.as_bool();
    (void)value.as_u64();
    (void)value.as_i64();
    (void)value.as_double();
    if (value.is_number() && !value.as_double()) std::abort();
    std::size_t deepest = 0;
    if (const auto* items = value.as_array()) {
        for (const auto& item : *items) {
            const std::size_t depth = walk(item);
            if (depth > deepest) deepest = depth;
        }
        return deepest + 1;
    }
    if (const auto* members = value.as_object()) {
        for (const auto& member : *members) {
            if (value.find(member.name) == nullptr) std::abort();
            const std::size_t depth = walk(member.value);
            if (depth > deepest) deepest = depth;
        }
        return deepest + 1;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (auto parsed = karvo::json::parse(input); parsed.ok()) {
        if (walk(*parsed) > karvo::json::kMaxDepth) std::abort();
    } else if (parsed.error().message().rfind("invalid JSON at line ", 0) != 0) {
        std::abort();
    }

    auto devices = karvo::discovery::wmi::parse_wmi_adapters(input, [] { return std::optional<std::uint32_t>(35); });
    if (devices.ok()) {
        for (std::size_t k = 0; k < devices->size(); ++k)
            if ((*devices)[k].index != k || (*devices)[k].backend != "wmi") std::abort();
    }
    (void)karvo::discovery::wmi::parse_memory_code(input);
    return 0;
}
