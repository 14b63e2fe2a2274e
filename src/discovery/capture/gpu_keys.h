#pragma once
// How the questions of the graphics statistics sessions are named in a capture.

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/gpu_os.h"

namespace karvo::discovery::capture {

// A signed number in decimal.
inline std::string decimal(long long value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

// "0x<high part>_0x<low part>", eight lower-case hex digits each: the form
// the performance counters use in their instance names.
inline std::string luid_key(const platform::AdapterLuid& luid) {
    const auto hex8 = [](std::uint32_t value) {
        char digits[8];
        for (int i = 7; i >= 0; --i) {
            digits[i] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        }
        return std::string(digits, 8);
    };
    return "0x" + hex8(static_cast<std::uint32_t>(luid.high_part)) + "_0x" + hex8(luid.low_part);
}

inline std::string_view link_figure_name(platform::PciLinkProperty property) {
    switch (property) {
        case platform::PciLinkProperty::current_speed: return "current_speed";
        case platform::PciLinkProperty::current_width: return "current_width";
        case platform::PciLinkProperty::max_speed: return "max_speed";
        case platform::PciLinkProperty::max_width: return "max_width";
    }
    return "?";
}

}  // namespace karvo::discovery::capture
