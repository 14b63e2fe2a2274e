#include "common/numfmt.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace karvo::numfmt {
namespace {

// The shortest round-trip digits of a finite float as d.ddd x 10^exponent.
struct Shortest {
    bool negative = false;
    char digits[24] = {};  // a float needs at most 9 significant digits, a double 17
    int count = 0;
    int exponent = 0;
};

template <class Real>
Shortest shortest_digits(Real value) {
    // Scientific notation without a precision is the shortest round trip,
    // always in the shape [-]d[.ddd]e(+|-)dd.
    char buffer[48];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const char* p = buffer;
    const char* const end = result.ptr;
    Shortest s;
    if (p < end && *p == '-') {
        s.negative = true;
        ++p;
    }
    for (; p < end && *p != 'e'; ++p) {
        if (*p == '.') continue;
        if (s.count < static_cast<int>(sizeof s.digits)) s.digits[s.count++] = *p;
    }
    if (p < end) ++p;  // 'e'
    bool negative_exponent = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative_exponent = *p == '-';
        ++p;
    }
    int exponent = 0;
    std::from_chars(p, end, exponent);
    s.exponent = negative_exponent ? -exponent : exponent;
    return s;
}

// Writes the digits in plain decimal. Returns false when the value is whole
// (nothing after the point was written).
bool append_plain_layout(std::string& out, const Shortest& s) {
    if (s.negative) out += '-';
    if (s.exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-s.exponent - 1), '0');
        out.append(s.digits, static_cast<std::size_t>(s.count));
        return true;
    }
    const int whole_digits = s.exponent + 1;
    if (s.count <= whole_digits) {
        out.append(s.digits, static_cast<std::size_t>(s.count));
        out.append(static_cast<std::size_t>(whole_digits - s.count), '0');
        return false;
    }
    out.append(s.digits, static_cast<std::size_t>(whole_digits));
    out += '.';
    out.append(s.digits + whole_digits, static_cast<std::size_t>(s.count - whole_digits));
    return true;
}

}  // namespace

void append_unsigned(std::string& out, std::uint64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

std::string unsigned_text(std::uint64_t value) {
    std::string out;
    append_unsigned(out, value);
    return out;
}

void append_hex(std::string& out, std::uint64_t value, unsigned min_digits) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    const auto length = static_cast<std::size_t>(result.ptr - buffer);
    if (length < min_digits) out.append(min_digits - length, '0');
    out.append(buffer, length);
}

template <class Real>
bool append_json_form(std::string& out, Real value) {
    if (!std::isfinite(value)) return false;
    const Shortest s = shortest_digits(value);
    if (s.exponent >= -6 && s.exponent <= 12) {
        if (!append_plain_layout(out, s)) out += ".0";
        return true;
    }
    if (s.negative) out += '-';
    out += s.digits[0];
    if (s.count > 1) {
        out += '.';
        out.append(s.digits + 1, static_cast<std::size_t>(s.count - 1));
    }
    out += 'e';
    out += s.exponent < 0 ? '-' : '+';
    append_unsigned(out, static_cast<std::uint64_t>(s.exponent < 0 ? -s.exponent : s.exponent));
    return true;
}

bool append_float_json(std::string& out, float value) { return append_json_form(out, value); }
bool append_double_json(std::string& out, double value) { return append_json_form(out, value); }

namespace {
// NaN and the infinities are spelled "NaN", "inf" and "-inf" in every text form
// that shows them; returns false for a finite value and writes nothing.
template <class Real>
bool append_non_finite(std::string& out, Real value) {
    if (std::isnan(value)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}
}  // namespace

void append_float_plain(std::string& out, float value) {
    if (append_non_finite(out, value)) return;
    append_plain_layout(out, shortest_digits(value));
}

void append_double_plain(std::string& out, double value) {
    if (append_non_finite(out, value)) return;
    append_plain_layout(out, shortest_digits(value));
}

std::string float_plain(float value) {
    std::string out;
    append_float_plain(out, value);
    return out;
}

void append_float_fixed(std::string& out, float value, unsigned decimals) {
    if (append_non_finite(out, value)) return;
    // A float's exact value has at most 149 decimals (the smallest subnormal
    // is 2^-149), so any further decimals are zeros appended here.
    constexpr unsigned kExactDecimals = 149;
    const unsigned exact = decimals < kExactDecimals ? decimals : kExactDecimals;
    char buffer[208];  // sign, 39 whole digits, point, 149 decimals
    // libstdc++ prints the exact binary value correctly rounded, ties to even.
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                                      static_cast<int>(exact));
    if (result.ec != std::errc()) return;  // cannot happen with this buffer size
    out.append(buffer, result.ptr);
    if (decimals > exact && std::isfinite(value)) out.append(decimals - exact, '0');
}

void append_double_fixed(std::string& out, double value, unsigned decimals) {
    if (append_non_finite(out, value)) return;
    // Table cells want a few decimals at most; a double's whole part has up to 309 digits.
    const unsigned places = decimals < 17 ? decimals : 17;
    char buffer[352];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                                      static_cast<int>(places));
    if (result.ec != std::errc()) return;
    out.append(buffer, result.ptr);
    if (decimals > places) out.append(decimals - places, '0');
}

std::string float_fixed(float value, unsigned decimals) {
    std::string out;
    append_float_fixed(out, value, decimals);
    return out;
}

std::uint32_t round_percent(double percent) {
    if (std::isnan(percent) || percent <= 0.0) return 0;
    const double rounded = std::round(percent);  // halves away from zero
    constexpr double kMax = static_cast<double>(std::numeric_limits<std::uint32_t>::max());
    if (rounded >= kMax) return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(rounded);
}

std::uint32_t percent_of(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return 0;
    return round_percent(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
}

}  // namespace karvo::numfmt
