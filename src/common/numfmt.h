#pragma once
// Number formatting for every output form: plain integers, hexadecimal, the
// three layouts of a 32-bit float (JSON, Prometheus, fixed precision) and the
// rounded percentage of the table. All digits come from std::to_chars, so the
// text never depends on the C locale.

#include <cstdint>
#include <string>

namespace karvo::numfmt {

// Decimal digits, no sign, no leading zeros ("0" for zero).
void append_unsigned(std::string& out, std::uint64_t value);
std::string unsigned_text(std::uint64_t value);

// Lowercase hexadecimal without prefix, zero-padded to at least `min_digits`.
void append_hex(std::string& out, std::uint64_t value, unsigned min_digits);

// JSON form of a finite float: the shortest digits that read back as the same
// float; plain decimal for decimal exponents -6..12 (whole numbers get ".0"),
// otherwise exponent form ("1e+13", "2.5e+14", "1.5e-7"); zero is "0.0" or
// "-0.0". NaN and infinities have no JSON number form: nothing is written and
// the result is false, so the caller can write null.
bool append_float_json(std::string& out, float value);
// The same for a double (17 significant digits at most).
bool append_double_json(std::string& out, double value);

// Plain form (Prometheus samples): the shortest round-trip digits, never an
// exponent, no ".0" for whole numbers (45, 45.5, 1e20 as "1" and 20 zeros).
// NaN is "NaN", infinities "inf" and "-inf".
void append_float_plain(std::string& out, float value);
void append_double_plain(std::string& out, double value);
std::string float_plain(float value);

// Fixed number of decimals (0 or more) of the exact value of the float,
// rounded to nearest with exact ties to the even neighbour (64.5 -> "64",
// 65.5 -> "66", 12.25 -> "12.2"). Non-finite values read "NaN", "inf", "-inf".
void append_float_fixed(std::string& out, float value, unsigned decimals);
std::string float_fixed(float value, unsigned decimals);
// Fixed decimals (at most 17 significant places after the point are exact) of a double.
void append_double_fixed(std::string& out, double value, unsigned decimals);

// A percentage rounded to the nearest whole number, halves away from zero,
// limited to 0..4294967295 (NaN gives 0).
std::uint32_t round_percent(double percent);

// `part` as a percentage of `whole` (part / whole * 100 in double precision),
// rounded and limited as above. A `whole` of 0 gives 0.
std::uint32_t percent_of(std::uint64_t part, std::uint64_t whole);

}  // namespace karvo::numfmt
