#pragma once
// Run-time loading of shared libraries (DLLs / shared objects). A Library is
// released when it goes out of scope; nothing is cached between uses.

#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"

namespace karvo::platform {

// The entry points of a library that something other than the OS loader
// answers for: a recording of a real library or a replay of one (boundary.h).
class LibrarySource {
public:
    virtual ~LibrarySource() = default;
    virtual void* find(const char* symbol) = 0;
    virtual Result<void*> resolve(const char* symbol) = 0;
};

class Library {
public:
    Library() = default;
    Library(Library&& other) noexcept : handle_(other.handle_), source_(std::move(other.source_)) {
        other.handle_ = nullptr;
    }
    Library& operator=(Library&& other) noexcept;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library();

    // Opens a library by path or bare name (bare names use the platform's normal
    // search). Windows: LoadLibraryExW with critical-error dialogs suppressed for
    // the thread; failure "LoadLibraryExW failed" with the system text as cause.
    // POSIX: dlopen; failure "dlopen failed" with the loader's text as cause. A
    // Windows drive path ("C:\...") is never searched for on POSIX.
    static Result<Library> open(std::string_view name);

    // Opens a system library: first "C:\Windows\System32\{name}", then {name}.
    static Result<Library> open_system(std::string_view name);

    // Tries each name in order; the first that opens wins. On failure the error
    // of the last attempt is returned.
    template <class Names>
    static Result<Library> open_first(const Names& names);

    // Address of an exported entry point, or nothing when it is not exported.
    void* find(const char* symbol) const;
    // Same, with an error ("GetProcAddress failed" / "dlsym failed" and cause).
    Result<void*> resolve(const char* symbol) const;

    template <class Fn>
    Fn find_as(const char* symbol) const {
        return reinterpret_cast<Fn>(find(symbol));
    }

    bool is_open() const { return handle_ != nullptr || source_ != nullptr; }

    // Opens through the OS loader itself, whatever boundary is installed.
    static Result<Library> open_native(std::string_view name);
    // A library whose entry points `source` answers for.
    static Library from_source(std::unique_ptr<LibrarySource> source);

private:
    explicit Library(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;                 // the OS loader's handle
    std::unique_ptr<LibrarySource> source_;  // or what answers in its place
};

template <class Names>
Result<Library> Library::open_first(const Names& names) {
    Result<Library> last = Error("no library name to try");
    for (const auto& name : names) {
        last = open(name);
        if (last.ok()) return last;
    }
    return last;
}

}  // namespace karvo::platform
