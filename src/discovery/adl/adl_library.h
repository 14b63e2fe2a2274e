#pragma once
// Run-time binding of AMD's display library: where it is looked for, the
// allocation callback it is given, typed entry-point lookup and the rule for
// reading its fixed-size text fields.

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "discovery/adl/adl_backend.h"
#include "discovery/adl/adl_types.h"
#include "discovery/sources/source_ledger.h"
#include "platform/library.h"

namespace karvo::discovery::adl {

// The places the library is looked for, in order; the first that loads wins.
inline constexpr std::array<std::string_view, 5> kLibraryNames = {
    "C:\\Windows\\System32\\atiadlxx.dll", "C:\\Windows\\SysWOW64\\atiadlxx.dll",
    "C:\\Windows\\System32\\atiadlxy.dll", "atiadlxx.dll", "atiadlxy.dll"};

// Loads the first name that opens; when none does, the error of the last try.
Result<platform::Library> load_library(std::span<const std::string> names);

// The allocation callback handed to the library: a block of `size` bytes from
// the process heap, owned by this thread's current CallbackArena. Null for a
// size below 1, and outside any arena.
void* adl_memory_alloc(int size);

// Owns the blocks the library obtains through adl_memory_alloc during one use
// of it. The library never gives them back, so each use declares an arena
// before it loads the library: while the arena lives it is this thread's
// current one (the callback has no argument to carry it), and when it ends,
// after the context is destroyed and the library unloaded, it frees them all.
class CallbackArena {
public:
    CallbackArena();
    ~CallbackArena();
    CallbackArena(const CallbackArena&) = delete;
    CallbackArena& operator=(const CallbackArena&) = delete;

    // Blocks handed out through the callback and not freed yet, all arenas together.
    static std::size_t live_blocks();

private:
    friend void* adl_memory_alloc(int size);
    std::vector<void*> blocks_;
    CallbackArena* previous_;
};

// A fixed 256-byte text field: read up to its first NUL (or all 256 bytes),
// decoded as UTF-8 with invalid sequences replaced, trimmed at both ends.
std::string read_text(const char (&field)[kTextSize]);

// An entry point by exact name, or null when the library does not export it.
template <class Fn>
Fn find_entry(const platform::Library& library, const char* name) {
    return library.find_as<Fn>(name);
}

// Same, with the loader's error when it is missing.
template <class Fn>
Status resolve_entry(const platform::Library& library, const char* name, Fn& entry) {
    auto address = library.resolve(name);
    if (!address.ok()) return address.error();
    entry = reinterpret_cast<Fn>(address.value());
    return {};
}

}  // namespace karvo::discovery::adl
