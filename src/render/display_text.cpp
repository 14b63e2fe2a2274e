#include "render/display_text.h"

#include "common/text.h"

namespace karvo::render {

std::string display_text(std::string_view raw) {
    const std::string valid = text::is_valid_utf8(raw) ? std::string(raw) : text::utf8_lossy(raw);
    std::string out;
    out.reserve(valid.size());
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const auto byte = static_cast<unsigned char>(valid[i]);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\xEF\xBF\xBD";
        } else if (byte == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) <= 0x9F) {
            // U+0080..U+009F are encoded as C2 80..C2 9F (the text is valid UTF-8 here).
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out += valid[i];
        }
    }
    return out;
}

}  // namespace karvo::render
