#pragma once
// Text helpers shared by every layer: UTF-8 checking and lossy decoding,
// UTF-16 conversion, Unicode white-space trimming, ASCII case folding and the
// byte/character measures the table layout needs.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::text {

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// The code points of UTF-8 text; each byte that does not belong to a
// well-formed character reads as one U+FFFD.
std::u32string code_points(std::string_view text);
// Appends the UTF-8 form of a code point (below U+110000).
void append_utf8(std::string& out, char32_t code_point);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view units);
// Strict UTF-16 to UTF-8: nothing when an unpaired surrogate occurs.
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view units);
// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// Removes leading and trailing Unicode White_Space characters
// (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000). Invalid UTF-8 bytes are never trimmed.
std::string_view trim(std::string_view text);

// The items of a comma-separated list (query fields, --id, --format), each
// trimmed as trim() does. Empty items are kept, so each caller decides what
// an empty one means; an empty or blank list is one empty item.
std::vector<std::string_view> split_list(std::string_view list);

// ASCII-only lower/upper casing; other bytes are copied unchanged.
std::string ascii_lower(std::string_view text);
bool equals_ignore_ascii_case(std::string_view a, std::string_view b);

// Number of characters (code points; each invalid byte counts as one).
std::size_t char_count(std::string_view text);

// Cell truncation: a text longer than `width` bytes becomes its first
// `width - 3` bytes (cut back to a character boundary) followed by "...".
std::string truncate_cell(std::string_view text, std::size_t width);

// Padding by characters: appends (or prepends) blanks up to `width` characters.
std::string pad_right(std::string_view text, std::size_t width);
std::string pad_left(std::string_view text, std::size_t width);

// Parses an unsigned decimal number: an optional leading "+", then one or more
// ASCII digits and nothing else; nothing on overflow.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);

// The run of ASCII digits at the front of `text` as a number, taken off the
// front ("16.0GT/s" -> 16, leaving ".0GT/s"). Nothing when the text does not
// start with a digit, or when the number does not fit: a figure that overflows
// is not reported rather than clamped (the digits are taken off either way).
std::optional<std::uint64_t> leading_number(std::string_view& text);

}  // namespace karvo::text
