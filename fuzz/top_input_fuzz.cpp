// What reaches `karvo top` from outside: bytes typed at a POSIX terminal, in
// reads of any size, and names of processes shown in cells. Decoding never
// crashes, holds no more than one unfinished sequence, yields only printable
// characters; any text put in a frame leaves the frame well-formed (wide
// characters whole, no control characters) and its diff stays in bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/keys.h"
#include "render/top/cells.h"
#include "render/top/encode.h"

using karvo::render::top::Frame;
using karvo::render::top::kWideTail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    // The first byte chooses how the bytes are cut into reads.
    const std::size_t step = data[0] % 7 + 1;
    karvo::platform::KeyDecoder decoder;
    std::vector<karvo::platform::Key> keys;
    for (std::size_t at = 0; at < input.size(); at += step) {
        decoder.feed(std::string_view(input).substr(at, step), keys);
        if (decoder.pending() && keys.size() > input.size()) std::abort();
    }
    decoder.flush(keys);
    if (decoder.pending()) std::abort();
    for (const auto& key : keys) {
        if (key.code != karvo::platform::KeyCode::character) continue;
        if (key.ch < 0x20 || (key.ch >= 0x7F && key.ch < 0xA0) || key.ch > 0x10FFFF) std::abort();
    }

    Frame before(12, 3);
    Frame frame(12, 3);
    frame.put(static_cast<int>(data[0] % 14) - 1, 1, input, {});
    frame.put(3, 2, karvo::render::top::fit_text(input, data[0] % 9, "~"), {});
    for (int y = 0; y < frame.height(); ++y) {
        for (int x = 0; x < frame.width(); ++x) {
            const char32_t ch = frame.at(x, y).ch;
            if (ch == kWideTail && (x == 0 || karvo::render::top::char_width(frame.at(x - 1, y).ch) != 2)) std::abort();
            if (ch != kWideTail && (ch < 0x20 || (ch >= 0x7F && ch < 0xA0))) std::abort();
        }
    }
    const std::string bytes = karvo::render::top::encode_changes(before, frame, {data[0] % 2 ? 20u : 0u});
    if (bytes.size() > 64 * 36 + 64) std::abort();
    return 0;
}
