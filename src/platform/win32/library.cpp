#include <cstring>

#include "platform/os_calls.h"
#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace karvo::platform::os {
namespace {

Error failure(const char* what, DWORD code) {
    if (code == 0) return Error(std::string(what) + ", but system did not report the error");
    return Error(what).with_cause(os_error_text(static_cast<int>(code)));
}

}  // namespace

Result<void*> open_library(std::string_view name) {
    const std::wstring wide = win32::widen(name);
    // No "insert a disk" or "entry point not found" dialogs: the thread's error
    // mode is changed for the one call and restored right after.
    DWORD old_mode = 0;
    const BOOL changed = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old_mode);
    SetLastError(ERROR_SUCCESS);
    HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, 0);
    const DWORD code = GetLastError();
    if (changed) SetThreadErrorMode(old_mode, nullptr);
    if (module == nullptr) return failure("LoadLibraryExW failed", code);
    return static_cast<void*>(module);
}

void close_library(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

void* find_symbol(void* handle, const char* symbol) {
    const FARPROC address = GetProcAddress(static_cast<HMODULE>(handle), symbol);
    void* result = nullptr;
    static_assert(sizeof result == sizeof address);
    std::memcpy(&result, &address, sizeof result);
    return result;
}

Result<void*> resolve_symbol(void* handle, const char* symbol) {
    if (handle == nullptr) return failure("GetProcAddress failed", ERROR_INVALID_HANDLE);
    SetLastError(ERROR_SUCCESS);
    void* address = find_symbol(handle, symbol);
    if (address == nullptr) return failure("GetProcAddress failed", GetLastError());
    return address;
}

}  // namespace karvo::platform::os
