#include <cstring>

#include "platform/library.h"
#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace karvo::platform {
namespace {

Error failure(const char* what, DWORD code) {
    if (code == 0) return Error(std::string(what) + ", but system did not report the error");
    return Error(what).with_cause(os_error_text(static_cast<int>(code)));
}

}  // namespace

Library& Library::operator=(Library&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

Library::~Library() {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

Result<Library> Library::open(std::string_view name) {
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
    return Library(module);
}

Result<Library> Library::open_system(std::string_view name) {
    auto first = open("C:\\Windows\\System32\\" + std::string(name));
    if (first.ok()) return first;
    return open(name);
}

void* Library::find(const char* symbol) const {
    if (handle_ == nullptr) return nullptr;
    const FARPROC address = GetProcAddress(static_cast<HMODULE>(handle_), symbol);
    void* result = nullptr;
    static_assert(sizeof result == sizeof address);
    std::memcpy(&result, &address, sizeof result);
    return result;
}

Result<void*> Library::resolve(const char* symbol) const {
    if (handle_ == nullptr) return failure("GetProcAddress failed", ERROR_INVALID_HANDLE);
    SetLastError(ERROR_SUCCESS);
    void* address = find(symbol);
    if (address == nullptr) return failure("GetProcAddress failed", GetLastError());
    return address;
}

}  // namespace karvo::platform
