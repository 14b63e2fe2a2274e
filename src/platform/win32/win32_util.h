#pragma once
// Helpers shared by the Win32 platform files: UTF-8 <-> UTF-16 and writing to a console.

#include <windows.h>

#include <string>
#include <string_view>

#include "common/error.h"
#include "common/text.h"

namespace karvo::platform::win32 {

inline std::wstring widen(std::string_view text) {
    const std::u16string units = text::utf8_to_utf16(text);
    return std::wstring(units.begin(), units.end());
}

inline std::string narrow(std::wstring_view text) {
    return text::utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

// Writes UTF-8 text to a console as the UTF-16 it shows, in pieces the
// console takes.
Status write_console(HANDLE console, std::string_view bytes);

}  // namespace karvo::platform::win32
