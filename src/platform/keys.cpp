#include "platform/keys.h"

#include "common/text.h"

namespace karvo::platform {
namespace {

constexpr unsigned char kEsc = 0x1B;
// Longer than any key's sequence: what grows past this is noise, not a key.
constexpr std::size_t kMaxSequence = 32;

std::optional<Key> control_key(unsigned char byte) {
    switch (byte) {
        case 0x03: return Key{KeyCode::interrupt};
        case 0x08:
        case 0x7F: return Key{KeyCode::backspace};
        case 0x09: return Key{KeyCode::tab};
        case 0x0A:
        case 0x0D: return Key{KeyCode::enter};
        case 0x0C: return Key{KeyCode::redraw};
        case 0x1A: return Key{KeyCode::suspend};
        default: return std::nullopt;
    }
}

std::optional<Key> final_key(char final) {
    switch (final) {
        case 'A': return Key{KeyCode::up};
        case 'B': return Key{KeyCode::down};
        case 'C': return Key{KeyCode::right};
        case 'D': return Key{KeyCode::left};
        case 'H': return Key{KeyCode::home};
        case 'F': return Key{KeyCode::end};
        default: return std::nullopt;
    }
}

// A complete CSI sequence: its parameter bytes and final byte.
std::optional<Key> csi_key(std::string_view parameters, char final) {
    // Private forms ("<" mouse reports, "?" replies) are no keys.
    if (!parameters.empty() && (parameters.front() < '0' || parameters.front() > ';')) return std::nullopt;
    if (final == 'Z') return Key{KeyCode::back_tab};
    if (final != '~') return final_key(final);
    // "n ~" or "n ; modifiers ~": the key is the first number.
    const auto number = text::parse_unsigned(parameters.substr(0, parameters.find(';')), 99);
    if (!number) return std::nullopt;
    switch (*number) {
        case 1:
        case 7: return Key{KeyCode::home};
        case 4:
        case 8: return Key{KeyCode::end};
        case 5: return Key{KeyCode::page_up};
        case 6: return Key{KeyCode::page_down};
        default: return std::nullopt;
    }
}

// Bytes of the UTF-8 character a lead byte starts; 0 for a byte no character starts with.
std::size_t utf8_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

}  // namespace

bool KeyDecoder::decode_one(std::vector<Key>& keys) {
    const auto byte = static_cast<unsigned char>(held_[0]);
    if (byte == kEsc) {
        if (held_.size() == 1) return false;
        const char second = held_[1];
        if (second == '[') {
            std::size_t at = 2;
            while (at < held_.size()) {
                const auto c = static_cast<unsigned char>(held_[at]);
                if (c >= 0x40 && c <= 0x7E) {
                    if (auto key = csi_key(std::string_view(held_).substr(2, at - 2), static_cast<char>(c)))
                        keys.push_back(*key);
                    held_.erase(0, at + 1);
                    return true;
                }
                if (c < 0x20 || c > 0x3F) {
                    // Not a sequence after all: drop what was read of it.
                    held_.erase(0, at);
                    return true;
                }
                ++at;
            }
            if (held_.size() > kMaxSequence) {
                held_.clear();
                return true;
            }
            return false;
        }
        if (second == 'O') {
            if (held_.size() < 3) return false;
            if (auto key = final_key(held_[2])) keys.push_back(*key);
            held_.erase(0, 3);
            return true;
        }
        if (static_cast<unsigned char>(second) == kEsc) keys.push_back(Key{KeyCode::escape});
        // ESC and a character: the character typed with Alt, taken as itself.
        held_.erase(0, 1);
        return true;
    }
    if (byte < 0x20 || byte == 0x7F) {
        if (auto key = control_key(byte)) keys.push_back(*key);
        held_.erase(0, 1);
        return true;
    }
    if (byte < 0x80) {
        keys.push_back(character_key(byte));
        held_.erase(0, 1);
        return true;
    }
    const std::size_t length = utf8_length(byte);
    if (length == 0) {
        held_.erase(0, 1);
        return true;
    }
    const std::size_t have = std::min(length, held_.size());
    for (std::size_t i = 1; i < have; ++i) {
        if ((static_cast<unsigned char>(held_[i]) & 0xC0) != 0x80) {
            held_.erase(0, 1);
            return true;
        }
    }
    if (have < length) return false;
    const std::string_view encoded = std::string_view(held_).substr(0, length);
    if (text::is_valid_utf8(encoded)) {
        const char32_t ch = text::code_points(encoded).front();
        if (ch >= 0xA0) keys.push_back(character_key(ch));  // C1 controls are no characters
    }
    held_.erase(0, length);
    return true;
}

void KeyDecoder::feed(std::string_view bytes, std::vector<Key>& keys) {
    held_ += bytes;
    while (!held_.empty() && decode_one(keys)) {
    }
}

void KeyDecoder::flush(std::vector<Key>& keys) {
    if (held_.size() == 1 && static_cast<unsigned char>(held_[0]) == kEsc) keys.push_back(Key{KeyCode::escape});
    held_.clear();
}

std::optional<Key> windows_key(std::uint16_t virtual_key, char16_t ch, std::uint32_t control_state) {
    // Virtual-key codes and control-key flags of the Windows console.
    constexpr std::uint32_t kShift = 0x0010, kLeftCtrl = 0x0008, kRightCtrl = 0x0004;
    switch (virtual_key) {
        case 0x08: return Key{KeyCode::backspace};
        case 0x09: return Key{(control_state & kShift) != 0 ? KeyCode::back_tab : KeyCode::tab};
        case 0x0D: return Key{KeyCode::enter};
        case 0x1B: return Key{KeyCode::escape};
        case 0x21: return Key{KeyCode::page_up};
        case 0x22: return Key{KeyCode::page_down};
        case 0x23: return Key{KeyCode::end};
        case 0x24: return Key{KeyCode::home};
        case 0x25: return Key{KeyCode::left};
        case 0x26: return Key{KeyCode::up};
        case 0x27: return Key{KeyCode::right};
        case 0x28: return Key{KeyCode::down};
        default: break;
    }
    const bool ctrl = (control_state & (kLeftCtrl | kRightCtrl)) != 0;
    if (ch == 0x03 || (ctrl && virtual_key == 'C' && ch == 0)) return Key{KeyCode::interrupt};
    if (ch == 0x0C || (ctrl && virtual_key == 'L' && ch == 0)) return Key{KeyCode::redraw};
    if (ch < 0x20 || ch == 0x7F || (ch >= 0x80 && ch < 0xA0)) return std::nullopt;
    if (ch >= 0xD800 && ch <= 0xDFFF) return std::nullopt;
    return character_key(ch);
}

}  // namespace karvo::platform
