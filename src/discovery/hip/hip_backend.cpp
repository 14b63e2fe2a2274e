#include "discovery/hip/hip_backend.h"

#include <cassert>
#include <charconv>
#include <cstring>
#include <limits>

#include "common/text.h"
#include "discovery/sources/source_ledger.h"
#include "discovery/wmi/wmi_fallback.h"
#include "platform/library.h"

namespace karvo::discovery::hip {
namespace {

// The leading part of the runtime's published device-properties structure (the
// layout that goes with the R0600 entry point), up to the last field we read.
// Only name, totalGlobalMem, warpSize and maxThreadsPerBlock are used; the
// fields between them are declared so that the compiler confirms the offsets.
struct DevicePropertiesHead {
    char name[256];
    char uuid[16];
    char luid[8];
    std::uint32_t luid_device_node_mask;
    std::uint64_t total_global_mem;  // size_t on the 64-bit ABI
    std::uint64_t shared_mem_per_block;
    std::int32_t regs_per_block;
    std::int32_t warp_size;
    std::uint64_t mem_pitch;
    std::int32_t max_threads_per_block;
};
static_assert(offsetof(DevicePropertiesHead, name) == 0);
static_assert(offsetof(DevicePropertiesHead, total_global_mem) == 288);
static_assert(offsetof(DevicePropertiesHead, warp_size) == 308);
static_assert(offsetof(DevicePropertiesHead, max_threads_per_block) == 320);
static_assert(sizeof(DevicePropertiesHead) <= kPropertiesBufferSize);

constexpr std::size_t kNameSize = sizeof(DevicePropertiesHead::name);

// hipErrorNoDevice: the runtime works and sees no GPU it supports (an older
// card beside an installed runtime); it answered, with nothing.
constexpr std::int32_t kHipErrorNoDevice = 100;

constexpr std::string_view kSource = "hip";

// Entry points as the runtime exports them: plain C calls returning a 32-bit status.
using GetDeviceCountFn = std::int32_t (*)(std::int32_t* count);
using GetDevicePropertiesFn = std::int32_t (*)(void* properties, std::int32_t ordinal);

template <class T>
T read_field(std::span<const unsigned char> bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// Bytes to MB; a size too large for 32 bits of MB saturates instead of wrapping
// to a small, plausible-looking figure.
std::uint32_t total_mb(std::uint64_t bytes) {
    const std::uint64_t mb = bytes / 1048576u;
    return mb > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                          : static_cast<std::uint32_t>(mb);
}

std::string signed_text(std::int32_t value) {
    char buffer[16];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

}  // namespace

std::uint32_t compute_units(std::int32_t max_threads_per_block, std::int32_t warp_size) {
    if (warp_size == 0) return 0;
    // 64-bit arithmetic: INT32_MIN / -1 does not fit in 32 signed bits.
    const std::int64_t quotient = std::int64_t{max_threads_per_block} / std::int64_t{warp_size};
    return quotient < 0 ? 0 : static_cast<std::uint32_t>(quotient);
}

GpuDevice device_from_properties(std::span<const unsigned char> properties, std::uint32_t ordinal,
                                 const naming::MemoryCodeQuery& query_code) {
    assert(properties.size() >= sizeof(DevicePropertiesHead));
    const auto* name_bytes = reinterpret_cast<const char*>(properties.data() + offsetof(DevicePropertiesHead, name));
    // Up to the first NUL, and never past the field even when the runtime left no NUL in it.
    const void* nul = std::memchr(name_bytes, '\0', kNameSize);
    const std::size_t name_length =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - name_bytes) : kNameSize;

    const auto total_mem = read_field<std::uint64_t>(properties, offsetof(DevicePropertiesHead, total_global_mem));
    const auto warp_size = read_field<std::int32_t>(properties, offsetof(DevicePropertiesHead, warp_size));
    const auto max_threads =
        read_field<std::int32_t>(properties, offsetof(DevicePropertiesHead, max_threads_per_block));

    GpuDevice device;
    device.index = ordinal;
    device.market_name = text::utf8_lossy(std::string_view(name_bytes, name_length));
    device.vendor_id = kAmdVendorId;
    device.vendor_name = kAmdVendorName;
    device.num_cu = compute_units(max_threads, warp_size);
    device.gfx_version = naming::gfx_target_for_name(device.market_name);
    device.vram_type = naming::memory_type_for_name(device.market_name, device.gfx_version, query_code);
    device.vram_total_mb = total_mb(total_mem);
    device.backend = "hip";
    return device;
}

Result<DeviceList> query_hip_devices_from(std::span<const std::string_view> candidates,
                                          const naming::MemoryCodeQuery& query_code) {
    const SourceTimer timed(kSource);
    // The first candidate that opens is the runtime, even if it then turns out
    // to lack an entry point; the library is released on every way out.
    auto opened = platform::Library::open_first(candidates);
    if (!opened.ok()) {
        note_source(kSource, SourceReason::missing);
        return Error("HIP runtime not found (amdhip64)");
    }
    const platform::Library runtime = std::move(opened).value();

    auto count_entry = runtime.resolve("hipGetDeviceCount");
    if (!count_entry.ok()) {
        note_source(kSource, SourceReason::failed);
        return count_entry.error();
    }
    void* properties_address = runtime.find("hipGetDevicePropertiesR0600");
    if (properties_address == nullptr) {
        auto legacy = runtime.resolve("hipGetDeviceProperties");
        if (!legacy.ok()) {
            note_source(kSource, SourceReason::failed);
            return legacy.error();
        }
        properties_address = legacy.value();
    }
    const auto get_count = reinterpret_cast<GetDeviceCountFn>(count_entry.value());
    const auto get_properties = reinterpret_cast<GetDevicePropertiesFn>(properties_address);

    std::int32_t count = 0;
    const std::int32_t status = get_count(&count);
    if (status != 0) {
        note_source(kSource, status == kHipErrorNoDevice ? std::nullopt : std::optional(SourceReason::failed));
        return Error("hipGetDeviceCount failed: " + signed_text(status));
    }
    note_source(kSource, std::nullopt);

    DeviceList devices;
    const std::int32_t ordinals = count < kMaxOrdinals ? count : kMaxOrdinals;
    alignas(8) unsigned char buffer[kPropertiesBufferSize];
    for (std::int32_t ordinal = 0; ordinal < ordinals; ++ordinal) {
        std::memset(buffer, 0, sizeof buffer);
        if (get_properties(buffer, ordinal) != 0) continue;
        devices.push_back(device_from_properties(buffer, static_cast<std::uint32_t>(ordinal), query_code));
    }
    return devices;
}

Result<DeviceList> query_hip_devices() {
    return query_hip_devices_from(kRuntimeCandidates, [] { return wmi::query_system_memory_code(); });
}

}  // namespace karvo::discovery::hip
