// The arguments as the C runtime splits the UTF-16 command line: msvcrt's
// __wgetmainargs, the call a wmain program's start-up makes. Nothing else is
// loaded for it (CommandLineToArgvW would load shell32, and with it user32
// and gdi32, at every start).
#include <windows.h>

#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace {
struct StartupInfo {
    int new_mode;
};
}  // namespace

extern "C" __declspec(dllimport) int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                                                            int expand_wildcards, StartupInfo* startup);

namespace karvo::platform {

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    StartupInfo startup{0};
    // No wildcard expansion: "*" stays an argument, as the narrow arguments had it.
    if (__wgetmainargs(&count, &wide, &environment, 0, &startup) < 0 || wide == nullptr) return {argv, argv + argc};
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(win32::narrow(wide[i]));
    return args;
}

}  // namespace karvo::platform
