// Keys from a POSIX terminal's bytes and from Windows console key records.
#include "platform/keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace karvo::platform {
namespace {

Key k(KeyCode code) { return Key{code}; }
Key c(char32_t ch) { return character_key(ch); }

std::vector<Key> decode(const std::vector<std::string>& reads, bool flush = false) {
    KeyDecoder decoder;
    std::vector<Key> keys;
    for (const std::string& bytes : reads) decoder.feed(bytes, keys);
    if (flush) decoder.flush(keys);
    return keys;
}

TEST(KeyDecoder, Sequences) {
    struct Case {
        std::string bytes;
        std::vector<Key> keys;
    };
    const std::vector<Case> cases = {
        {"q", {c(U'q')}},
        {"s?+-", {c(U's'), c(U'?'), c(U'+'), c(U'-')}},
        {"\x1b[A\x1b[B\x1b[C\x1b[D", {k(KeyCode::up), k(KeyCode::down), k(KeyCode::right), k(KeyCode::left)}},
        {"\x1bOA\x1bOD\x1bOH\x1bOF", {k(KeyCode::up), k(KeyCode::left), k(KeyCode::home), k(KeyCode::end)}},
        {"\x1b[H\x1b[F", {k(KeyCode::home), k(KeyCode::end)}},
        {"\x1b[1~\x1b[7~\x1b[4~\x1b[8~", {k(KeyCode::home), k(KeyCode::home), k(KeyCode::end), k(KeyCode::end)}},
        {"\x1b[5~\x1b[6~", {k(KeyCode::page_up), k(KeyCode::page_down)}},
        {"\x1b[1;5A\x1b[5;2~", {k(KeyCode::up), k(KeyCode::page_up)}},  // modifiers ignored
        {"\x1b[Z\t", {k(KeyCode::back_tab), k(KeyCode::tab)}},
        {"\r\n\x7f\x08\x03\x0c\x1a", {k(KeyCode::enter), k(KeyCode::enter), k(KeyCode::backspace),
                                      k(KeyCode::backspace), k(KeyCode::interrupt), k(KeyCode::redraw),
                                      k(KeyCode::suspend)}},
        // Unknown or private sequences, F-keys, Insert/Delete and other controls give nothing.
        {"\x1b[2~\x1b[3~\x1b[15~\x1bOP\x1b[<0;1;1M\x1b[?1;2c\x01\x02", {}},
        {"\x1b\x1b[A", {k(KeyCode::escape), k(KeyCode::up)}},
        {"\x1bq", {c(U'q')}},  // Alt-q: the character
        {"\xc3\xa9\xe2\x86\x91\xf0\x9f\x98\x80", {c(U'\u00e9'), c(U'\u2191'), c(U'\U0001F600')}},
        {"\xff\xc3q\xc2\x85x", {c(U'q'), c(U'x')}},  // invalid bytes and a C1 control dropped
        {"\x1b[1;2\x1bOB", {k(KeyCode::down)}},      // a broken sequence is dropped, the next one read
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.bytes);
        EXPECT_EQ(decode({test.bytes}), test.keys);
    }
}

// A read may end anywhere inside a sequence or a character.
TEST(KeyDecoder, SplitReadsAreJoined) {
    EXPECT_EQ(decode({"\x1b", "[", "5", "~"}), std::vector<Key>{k(KeyCode::page_up)});
    EXPECT_EQ(decode({"\x1bO", "B"}), std::vector<Key>{k(KeyCode::down)});
    EXPECT_EQ(decode({"\xe2\x86", "\x91"}), std::vector<Key>{c(U'\u2191')});
    KeyDecoder decoder;
    std::vector<Key> keys;
    decoder.feed("\x1b[", keys);
    EXPECT_TRUE(decoder.pending());
    EXPECT_TRUE(keys.empty());
}

// A lone ESC waits for the caller's time-out, then is the Escape key; what
// is left of an unfinished sequence is dropped.
TEST(KeyDecoder, FlushTurnsALoneEscapeIntoTheKey) {
    EXPECT_EQ(decode({"\x1b"}), std::vector<Key>{});
    EXPECT_EQ(decode({"\x1b"}, true), std::vector<Key>{k(KeyCode::escape)});
    EXPECT_EQ(decode({"\x1b["}, true), std::vector<Key>{});
    EXPECT_EQ(decode({"\xe2"}, true), std::vector<Key>{});
    KeyDecoder decoder;
    std::vector<Key> keys;
    decoder.feed("\x1b", keys);
    decoder.flush(keys);
    EXPECT_FALSE(decoder.pending());
    decoder.feed("q", keys);
    EXPECT_EQ(keys, (std::vector<Key>{k(KeyCode::escape), c(U'q')}));
}

// Noise that never ends a sequence is not kept growing.
TEST(KeyDecoder, OverLongSequencesAreDropped) {
    KeyDecoder decoder;
    std::vector<Key> keys;
    decoder.feed("\x1b[" + std::string(100, '1'), keys);
    EXPECT_FALSE(decoder.pending());
    decoder.feed("a", keys);
    EXPECT_EQ(keys, std::vector<Key>{c(U'a')});
}

TEST(WindowsKey, VirtualKeysCharactersAndControl) {
    constexpr std::uint32_t kShift = 0x10, kLeftCtrl = 0x08, kRightAlt = 0x01;
    struct Case {
        std::uint16_t vk;
        char16_t ch;
        std::uint32_t state;
        std::optional<Key> key;
    };
    const std::vector<Case> cases = {
        {0x26, 0, 0, k(KeyCode::up)},          {0x28, 0, 0, k(KeyCode::down)},
        {0x25, 0, 0, k(KeyCode::left)},        {0x27, 0, 0, k(KeyCode::right)},
        {0x21, 0, 0, k(KeyCode::page_up)},     {0x22, 0, 0, k(KeyCode::page_down)},
        {0x24, 0, 0, k(KeyCode::home)},        {0x23, 0, 0, k(KeyCode::end)},
        {0x09, u'\t', 0, k(KeyCode::tab)},     {0x09, u'\t', kShift, k(KeyCode::back_tab)},
        {0x1B, 0x1B, 0, k(KeyCode::escape)},   {0x1B, 0, 0, k(KeyCode::escape)},  // Wine sends no character
        {0x0D, u'\r', 0, k(KeyCode::enter)},   {0x08, 0x08, 0, k(KeyCode::backspace)},
        {'Q', u'q', 0, c(U'q')},               {0xBB, u'+', kShift, c(U'+')},
        {'C', 0x03, kLeftCtrl, k(KeyCode::interrupt)},
        {'C', 0, kLeftCtrl, k(KeyCode::interrupt)},
        {'L', 0x0C, kLeftCtrl, k(KeyCode::redraw)},
        {'Z', 0x1A, kLeftCtrl, std::nullopt},  // no job control in a console: Ctrl-Z is nothing
        {'C', u'\u00a9', kLeftCtrl | kRightAlt, c(U'\u00a9')},  // AltGr-C is a character, not Ctrl-C
        {0x10, 0, kShift, std::nullopt},       {0x70, 0, 0, std::nullopt},  // Shift alone, F1
        {'X', 0xD83D, 0, std::nullopt},        {'A', 0x01, kLeftCtrl, std::nullopt},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::to_string(test.vk) + "/" + std::to_string(test.ch));
        EXPECT_EQ(windows_key(test.vk, test.ch, test.state), test.key);
    }
}

}  // namespace
}  // namespace karvo::platform
