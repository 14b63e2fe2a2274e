#include "platform/gpu_os.h"

#include <cstring>

namespace karvo::platform {
namespace {

static_assert(sizeof(void*) == 8, "formatted counter items are decoded with the 64-bit layout");
static_assert(sizeof(std::uintptr_t) == 8);

// Reads UTF-16 units from `address` up to the first NUL, reading no unit that
// starts at or after `limit` and at most kMaxCounterNameUnits units. Units are
// copied byte-wise: the OS does not promise alignment.
std::optional<std::u16string> read_name(std::uintptr_t address, std::uintptr_t limit) {
    std::u16string name;
    for (std::size_t i = 0; i <= kMaxCounterNameUnits; ++i) {
        const std::uintptr_t at = address + i * sizeof(char16_t);
        if (at < address || at > limit || limit - at < sizeof(char16_t)) return std::nullopt;
        char16_t unit;
        std::memcpy(&unit, reinterpret_cast<const void*>(at), sizeof unit);
        if (unit == u'\0') return name;
        name.push_back(unit);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<CounterItem>> decode_counter_items(std::span<const std::byte> buffer,
                                                             std::uint64_t item_count) {
    if (item_count > buffer.size() / kCounterItemSize) return std::nullopt;
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
    const std::uintptr_t end = begin + buffer.size();

    std::vector<CounterItem> items;
    items.reserve(static_cast<std::size_t>(item_count));
    for (std::size_t i = 0; i < item_count; ++i) {
        const std::byte* item = buffer.data() + i * kCounterItemSize;
        std::uintptr_t name_address;
        std::memcpy(&name_address, item, sizeof name_address);
        CounterItem decoded;
        std::memcpy(&decoded.value, item + kCounterItemValueOffset, sizeof decoded.value);
        if (name_address != 0) {
            const bool inside = name_address >= begin && name_address < end;
            // Outside the buffer only the unit cap bounds the read.
            decoded.name = read_name(name_address, inside ? end : UINTPTR_MAX);
        }
        items.push_back(std::move(decoded));
    }
    return items;
}

}  // namespace karvo::platform
