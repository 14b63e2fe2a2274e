// Any float: every layout holds only the characters it may hold, the JSON and
// plain forms read back as exactly the same float, and the fixed forms are
// the correctly rounded value with the requested number of decimals.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/numfmt.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool only(std::string_view text, std::string_view allowed) {
    return text.find_first_not_of(allowed) == std::string_view::npos;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

float read_back(const std::string& text) {
    float value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    check(result.ec == std::errc() && result.ptr == text.data() + text.size());
    return value;
}

void check_float(float value) {
    using namespace karvo::numfmt;
    std::string json;
    const bool finite = std::isfinite(value);
    check(append_float_json(json, value) == finite);
    if (finite) {
        check(!json.empty() && only(json, "-0123456789.e+"));
        check(same_bits(read_back(json), value));
        const auto e = json.find('e');
        if (e == std::string::npos) {
            check(json.find('.') != std::string::npos);  // "45.0", never "45"
        } else {
            check(json[e + 1] == '+' || json[e + 1] == '-');
            check(json[e + 2] != '0');
        }
    } else {
        check(json.empty());
    }

    const std::string plain = float_plain(value);
    if (std::isnan(value)) {
        check(plain == "NaN");
    } else if (std::isinf(value)) {
        check(plain == (value < 0 ? "-inf" : "inf"));
    } else {
        check(only(plain, "-0123456789."));
        check(plain.back() != '.' && !(plain.find('.') != std::string::npos && plain.back() == '0'));
        check(same_bits(read_back(plain), value));
    }

    for (unsigned decimals : {0u, 1u, 3u}) {
        const std::string fixed = float_fixed(value, decimals);
        if (!finite) {
            check(fixed == "NaN" || fixed == "inf" || fixed == "-inf");
            continue;
        }
        check(only(fixed, "-0123456789."));
        const auto point = fixed.find('.');
        check(decimals == 0 ? point == std::string::npos : fixed.size() - point - 1 == decimals);
        // Within half a unit of the last decimal of the exact value (a double
        // holds every float exactly; allow for the parse of long digit runs).
        double parsed = 0;
        std::from_chars(fixed.data(), fixed.data() + fixed.size(), parsed);
        const double half_unit = 0.5 * std::pow(10.0, -static_cast<double>(decimals));
        check(std::fabs(parsed - static_cast<double>(value)) <= half_unit * (1 + 1e-9) + std::fabs(parsed) * 1e-15);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= 4) {
        float value;
        std::memcpy(&value, data, sizeof value);
        check_float(value);
    }
    if (size >= 12) {
        double percent;
        std::memcpy(&percent, data + 4, sizeof percent);
        const std::uint32_t rounded = karvo::numfmt::round_percent(percent);
        if (std::isfinite(percent) && percent >= 0 && percent < 4294967295.0) {
            check(std::fabs(static_cast<double>(rounded) - percent) <= 0.5);
        }
        std::uint32_t part, whole;
        std::memcpy(&part, data, sizeof part);
        std::memcpy(&whole, data + 8, sizeof whole);
        (void)karvo::numfmt::percent_of(part, whole);
    }
    return 0;
}
