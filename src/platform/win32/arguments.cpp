#include <windows.h>

#include <shellapi.h>

#include <cstring>

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

#include "common/numfmt.h"

namespace karvo::platform {

std::string os_description() {
    // GetVersionEx reports the version the program's manifest names, not the
    // system's; the kernel's own call says what really runs.
    struct VersionInfo {
        ULONG size;
        ULONG major;
        ULONG minor;
        ULONG build;
        ULONG platform;
        WCHAR service_pack[128];
    };
    using RtlGetVersionFn = LONG(WINAPI*)(VersionInfo*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return "Windows";
    RtlGetVersionFn get_version = nullptr;
    const FARPROC address = GetProcAddress(ntdll, "RtlGetVersion");
    static_assert(sizeof get_version == sizeof address);
    std::memcpy(&get_version, &address, sizeof get_version);
    VersionInfo info{};
    info.size = sizeof info;
    if (get_version == nullptr || get_version(&info) != 0) return "Windows";
    return "Windows " + numfmt::unsigned_text(info.major) + "." + numfmt::unsigned_text(info.minor) + "." +
           numfmt::unsigned_text(info.build);
}

}  // namespace karvo::platform
