#include <dlfcn.h>

#include "platform/library.h"

namespace karvo::platform {
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

Library& Library::operator=(Library&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) dlclose(handle_);
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

Library::~Library() {
    if (handle_ != nullptr) dlclose(handle_);
}

Result<Library> Library::open(std::string_view name) {
    if (is_windows_drive_path(name)) {
        return Error("dlopen failed").with_cause(std::string(name) + ": not a library name on this system");
    }
    const std::string path(name);
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return Error("dlopen failed").with_cause(last_dl_error());
    return Library(handle);
}

Result<Library> Library::open_system(std::string_view name) {
    auto first = open("C:\\Windows\\System32\\" + std::string(name));
    if (first.ok()) return first;
    return open(name);
}

void* Library::find(const char* symbol) const {
    if (handle_ == nullptr) return nullptr;
    return dlsym(handle_, symbol);
}

Result<void*> Library::resolve(const char* symbol) const {
    if (handle_ == nullptr) return Error("dlsym failed").with_cause("library not open");
    dlerror();
    void* address = dlsym(handle_, symbol);
    if (address == nullptr) return Error("dlsym failed").with_cause(last_dl_error());
    return address;
}

}  // namespace karvo::platform
