#include <windows.h>

#include <shellapi.h>

#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace karvo::platform {

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return {argv, argv + argc};
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(win32::narrow(wide[i]));
    LocalFree(wide);
    return args;
}

}  // namespace karvo::platform
