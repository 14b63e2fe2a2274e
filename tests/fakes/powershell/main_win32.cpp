// Windows entry: wide arguments and environment, converted to UTF-8, and
// binary standard streams so that "\n" is printed as one byte.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "fake_powershell.h"

namespace {

std::string to_utf8(const wchar_t* text) {
    const int length = static_cast<int>(wcslen(text));
    if (length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(to_utf8(argv[i]));
    std::optional<std::string> dir;
    if (const wchar_t* value = _wgetenv(L"KARVO_FAKE_PS_DIR")) dir = to_utf8(value);
    return karvo::fake::run_fake_powershell(args, dir);
}
