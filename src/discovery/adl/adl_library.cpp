#include "discovery/adl/adl_library.h"

#include <cstring>

#include "common/text.h"
#include "platform/system.h"

namespace karvo::adl {

Result<platform::Library> load_library(std::span<const std::string> names) {
    return platform::Library::open_first(names);
}

void* adl_memory_alloc(int size) {
    if (size < 1) return nullptr;
    return platform::heap_alloc(size);
}

std::string read_text(const char (&field)[kTextSize]) {
    const void* nul = std::memchr(field, '\0', kTextSize);
    const std::size_t length =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : kTextSize;
    return std::string(text::trim(text::utf8_lossy(std::string_view(field, length))));
}

}  // namespace karvo::adl
