#include "common/json_string.h"

#include "common/text.h"

namespace karvo::json {
namespace {

void append_escaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        out.append(text.substr(plain_from, i - plain_from));
        plain_from = i + 1;
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            default:
                out += "\\u00";
                out += kHex[byte >> 4];
                out += kHex[byte & 0x0F];
        }
    }
    out.append(text.substr(plain_from));
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    if (text::is_valid_utf8(text)) {
        append_escaped(out, text);
    } else {
        append_escaped(out, text::utf8_lossy(text));
    }
    out += '"';
}

}  // namespace karvo::json
