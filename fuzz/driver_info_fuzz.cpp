// Any bytes as the amdgpu driver's answer (the first byte splits them into
// the device information and the graphics IP information): the decoder never
// reads past them, and what it gives is a version within 24 bits and a
// memory-type code other than "unknown", and names the tables give stay short.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "discovery/naming/amd_chips.h"
#include "discovery/linux/driver_info.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t wanted = std::size_t{data[0]} * 4;
    const std::size_t split = wanted < bytes.size() ? wanted : bytes.size();
    const karvo::platform::AmdgpuInfo answer{bytes.substr(0, split), bytes.substr(split)};
    const auto facts = karvo::discovery::linux::decode_driver_facts(answer);
    check(facts.has_value() == (split >= 180));
    if (!facts) return 0;
    if (facts->vram_type) {
        check(*facts->vram_type != 0);
        if (const auto name = karvo::discovery::naming::driver_memory_name(*facts->vram_type)) check(name->size() <= 6);
    }
    if (facts->gc_version) {
        const std::uint32_t v = *facts->gc_version;
        check(v != 0 && v <= 0xFFFFFF);
        if (const auto target = karvo::discovery::naming::gfx_target_for_gc_version(v >> 16, v >> 8 & 0xFF, v & 0xFF))
            check(target->starts_with("gfx"));
    }
    return 0;
}
