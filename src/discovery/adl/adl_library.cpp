#include "discovery/adl/adl_library.h"

#include <atomic>
#include <cstring>

#include "common/text.h"
#include "platform/system.h"

namespace karvo::discovery::adl {

Result<platform::Library> load_library(std::span<const std::string> names) {
    return platform::Library::open_first(names);
}

namespace {

thread_local CallbackArena* current_arena = nullptr;
std::atomic<std::size_t> live_block_count{0};

}  // namespace

CallbackArena::CallbackArena() : previous_(current_arena) { current_arena = this; }

CallbackArena::~CallbackArena() {
    for (void* block : blocks_) platform::heap_free(block);
    live_block_count -= blocks_.size();
    current_arena = previous_;
}

std::size_t CallbackArena::live_blocks() { return live_block_count; }

void* adl_memory_alloc(int size) {
    CallbackArena* arena = current_arena;
    if (size < 1 || arena == nullptr) return nullptr;
    // The library calls this from C: nothing may escape, so the room for the
    // record is made before the block is taken.
    try {
        std::vector<void*>& blocks = arena->blocks_;
        if (blocks.size() == blocks.capacity()) blocks.reserve(blocks.empty() ? 16 : blocks.size() * 2);
    } catch (...) {
        return nullptr;
    }
    void* block = platform::heap_alloc(size);
    if (block != nullptr) {
        arena->blocks_.push_back(block);
        ++live_block_count;
    }
    return block;
}

std::string read_text(const char (&field)[kTextSize]) {
    const void* nul = std::memchr(field, '\0', kTextSize);
    const std::size_t length =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : kTextSize;
    return std::string(text::trim(text::utf8_lossy(std::string_view(field, length))));
}

}  // namespace karvo::discovery::adl
