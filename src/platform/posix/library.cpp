#include <dlfcn.h>

#include "platform/os_calls.h"

namespace karvo::platform::os {
namespace {

// "C:\..." names only mean something on Windows; on POSIX dlopen would search
// the library path for a file with that literal name, which never exists.
bool is_windows_drive_path(std::string_view name) {
    return name.size() >= 3 && ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) &&
           name[1] == ':' && (name[2] == '\\' || name[2] == '/');
}

std::string last_dl_error() {
    const char* text = dlerror();
    return text != nullptr ? text : "the loader did not report the error";
}

}  // namespace

Result<void*> open_library(std::string_view name) {
    if (is_windows_drive_path(name)) {
        return Error("dlopen failed").with_cause(std::string(name) + ": not a library name on this system");
    }
    const std::string path(name);
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return Error("dlopen failed").with_cause(last_dl_error());
    return handle;
}

void close_library(void* handle) { dlclose(handle); }

void* find_symbol(void* handle, const char* symbol) { return dlsym(handle, symbol); }

Result<void*> resolve_symbol(void* handle, const char* symbol) {
    if (handle == nullptr) return Error("dlsym failed").with_cause("library not open");
    dlerror();
    void* address = dlsym(handle, symbol);
    if (address == nullptr) return Error("dlsym failed").with_cause(last_dl_error());
    return address;
}

}  // namespace karvo::platform::os
