// The parts of Library every system shares: which loader answers, and the
// system-library rule.

#include "platform/boundary.h"
#include "platform/library.h"
#include "platform/os_calls.h"

namespace karvo::platform {

Library& Library::operator=(Library&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) os::close_library(handle_);
        handle_ = other.handle_;
        other.handle_ = nullptr;
        source_ = std::move(other.source_);
    }
    return *this;
}

Library::~Library() {
    if (handle_ != nullptr) os::close_library(handle_);
}

Result<Library> Library::open_native(std::string_view name) {
    auto handle = os::open_library(name);
    if (!handle.ok()) return handle.error();
    return Library(handle.value());
}

Result<Library> Library::open(std::string_view name) {
    if (Boundary* boundary = active_boundary()) {
        const OsScope os_answers;
        return boundary->open_library(name);
    }
    return open_native(name);
}

Library Library::from_source(std::unique_ptr<LibrarySource> source) {
    Library library;
    library.source_ = std::move(source);
    return library;
}

Result<Library> Library::open_system(std::string_view name) {
    auto first = open("C:\\Windows\\System32\\" + std::string(name));
    if (first.ok()) return first;
    return open(name);
}

void* Library::find(const char* symbol) const {
    if (source_ != nullptr) return source_->find(symbol);
    if (handle_ == nullptr) return nullptr;
    return os::find_symbol(handle_, symbol);
}

Result<void*> Library::resolve(const char* symbol) const {
    if (source_ != nullptr) return source_->resolve(symbol);
    return os::resolve_symbol(handle_, symbol);
}

}  // namespace karvo::platform
