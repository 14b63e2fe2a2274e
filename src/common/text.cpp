#include "common/text.h"

#include <limits>

namespace karvo::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 character at `pos`. Returns its length and code point, or
// a length of the maximal invalid prefix (at least 1) with ok = false.
struct Decoded {
    std::size_t length;
    char32_t code_point;
    bool ok;
};

Decoded decode_one(std::string_view s, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(pos);
    if (b0 < 0x80) return {1, b0, true};
    std::size_t need;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return {1, kReplacement, false};
    }
    std::size_t i = 1;
    for (; i <= need; ++i) {
        if (pos + i >= s.size()) return {i, kReplacement, false};
        const unsigned char b = byte(pos + i);
        const unsigned char min = (i == 1) ? lo : 0x80;
        const unsigned char max = (i == 1) ? hi : 0xBF;
        if (b < min || b > max) return {i, kReplacement, false};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {need + 1, cp, true};
}

bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::u32string code_points(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const Decoded d = decode_one(text, pos);
        out += d.ok ? d.code_point : kReplacement;
        pos += d.ok ? d.length : 1;
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t pos = 0; pos < bytes.size();) {
        const Decoded d = decode_one(bytes, pos);
        if (!d.ok) return false;
        pos += d.length;
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        const Decoded d = decode_one(bytes, pos);
        if (d.ok) {
            out.append(bytes.substr(pos, d.length));
        } else {
            append_utf8(out, kReplacement);
        }
        pos += d.length;
    }
    return out;
}

namespace {
template <bool Strict>
std::optional<std::string> from_utf16(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                                (static_cast<char32_t>(units[i + 1]) - 0xDC00);
            append_utf8(out, cp);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            if (Strict) return std::nullopt;
            append_utf8(out, kReplacement);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}
}  // namespace

std::string utf16_to_utf8(std::u16string_view units) { return *from_utf16<false>(units); }

std::optional<std::string> utf16_to_utf8_strict(std::u16string_view units) {
    return from_utf16<true>(units);
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const Decoded d = decode_one(text, pos);
        const char32_t cp = d.ok ? d.code_point : kReplacement;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        pos += d.length;
    }
    return out;
}

std::string_view trim(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const Decoded d = decode_one(text, begin);
        if (!d.ok || !is_white_space(d.code_point)) break;
        begin += d.length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the start of the last character.
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 &&
               is_continuation(static_cast<unsigned char>(text[start])))
            --start;
        const Decoded d = decode_one(text, start);
        if (!d.ok || start + d.length != end || !is_white_space(d.code_point)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_list(std::string_view list) {
    std::vector<std::string_view> items;
    for (;;) {
        const std::size_t comma = list.find(',');
        items.push_back(trim(list.substr(0, comma)));
        if (comma == std::string_view::npos) return items;
        list.remove_prefix(comma + 1);
    }
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool equals_ignore_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::size_t char_count(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size(); ++count) pos += decode_one(text, pos).length;
    return count;
}

std::string truncate_cell(std::string_view text, std::size_t width) {
    if (text.size() <= width) return std::string(text);
    if (width < 3) return std::string("...").substr(0, width);
    std::size_t cut = width - 3;
    // Never split a character: move back to the start of the one the cut falls in.
    while (cut > 0 && is_continuation(static_cast<unsigned char>(text[cut]))) --cut;
    std::string out(text.substr(0, cut));
    out += "...";
    return out;
}

std::string pad_right(std::string_view text, std::size_t width) {
    std::string out(text);
    const std::size_t n = char_count(text);
    if (n < width) out.append(width - n, ' ');
    return out;
}

std::string pad_left(std::string_view text, std::size_t width) {
    const std::size_t n = char_count(text);
    std::string out;
    if (n < width) out.append(width - n, ' ');
    out += text;
    return out;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::uint64_t> leading_number(std::string_view& text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const std::string_view run = text.substr(0, digits);
    text.remove_prefix(digits);
    if (run.empty()) return std::nullopt;
    return parse_unsigned(run, std::numeric_limits<std::uint64_t>::max());
}

}  // namespace karvo::text
