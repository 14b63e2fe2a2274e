#pragma once
// Keys as the interactive screen reads them, and the two forms they arrive
// in: bytes from a POSIX terminal (escape sequences, UTF-8) and key records
// of the Windows console (virtual-key codes). Both decoders are plain logic,
// so every system's build tests them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::platform {

enum class KeyCode : std::uint8_t {
    character,  // a printable character, in Key::ch
    up,
    down,
    left,
    right,
    page_up,
    page_down,
    home,
    end,
    tab,
    back_tab,   // Shift-Tab
    enter,
    escape,
    backspace,
    interrupt,  // Ctrl-C, read as a key while the screen is up
    redraw,     // Ctrl-L
    suspend,    // Ctrl-Z on a POSIX terminal (the terminal layer stops the job itself)
};

struct Key {
    KeyCode code = KeyCode::character;
    char32_t ch = 0;  // only for KeyCode::character

    bool operator==(const Key&) const = default;
};

inline Key character_key(char32_t ch) { return Key{KeyCode::character, ch}; }

// Turns a POSIX terminal's input bytes into keys. A sequence may arrive split
// over several reads, so an unfinished one is held for the next feed. A lone
// ESC looks like the start of a sequence: when no byte follows it within a
// short time, the caller calls flush() and gets the Escape key.
//
// Understood: printable UTF-8 characters; Tab, Enter (CR or LF), Backspace
// (DEL or BS), Ctrl-C, Ctrl-L, Ctrl-Z; the arrows, Home and End in both cursor-key modes
// (ESC [ A, ESC O A, ESC [ H, ESC O H), PgUp/PgDn and the numbered Home/End
// forms (ESC [ 5 ~, ESC [ 1 ~, ESC [ 7 ~, ...), Shift-Tab (ESC [ Z); modifier
// parameters are ignored ("ESC [ 1 ; 5 A" is Up). Other control bytes,
// unknown sequences, invalid UTF-8 and over-long sequences are dropped.
// ESC followed by a character (Alt held down) gives that character.
class KeyDecoder {
public:
    void feed(std::string_view bytes, std::vector<Key>& keys);
    // True while an unfinished sequence (or a lone ESC) is held.
    bool pending() const { return !held_.empty(); }
    // Takes what is held as complete: a lone ESC becomes the Escape key; the
    // rest of an unfinished sequence is dropped.
    void flush(std::vector<Key>& keys);

private:
    // Decodes held_ from its start; returns false when more bytes are needed.
    bool decode_one(std::vector<Key>& keys);
    std::string held_;
};

// Windows console key records (down strokes only): the virtual-key code, the
// UTF-16 character (0 for none) and the control-key state flags. Nothing for
// keys the screen has no use for (Shift alone, F-keys, a surrogate half).
std::optional<Key> windows_key(std::uint16_t virtual_key, char16_t ch, std::uint32_t control_state);

}  // namespace karvo::platform
