#pragma once
// What the Windows GPU sessions share: the plain types of the Win32 ABI and
// the binding of entry points, for our own declarations of the published x64
// layouts (static_asserts pin every size and offset we read or write). Each
// session loads its libraries at run time, so the executable imports none of
// them and a missing one only makes that session fail to open.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/error.h"
#include "platform/gpu_os.h"
#include "platform/library.h"

namespace karvo::platform::win32 {

static_assert(sizeof(void*) == 8, "the layouts below are the 64-bit ones");

using HResult = std::int32_t;   // HRESULT: negative means failure
using NtStatus = std::int32_t;  // NTSTATUS: 0 means success
using PdhStatus = std::int32_t; // PDH_STATUS: 0 means success
using Bool32 = std::int32_t;    // BOOL
using Handle = void*;

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);


struct Luid {
    std::uint32_t low_part;
    std::int32_t high_part;
};
static_assert(sizeof(Luid) == 8 && alignof(Luid) == 4);

template <class Fn>
bool resolve_into(const Library& library, const char* symbol, Fn& target) {
    target = library.find_as<Fn>(symbol);
    return target != nullptr;
}

// The sessions, one per file: DXGI with the D3DKMT statistics query, Toolhelp
// with the PDH counters, and the configuration manager's device tree.
Result<std::unique_ptr<GpuStatisticsSession>> open_gpu_statistics();
Result<std::unique_ptr<ProcessMemorySession>> open_process_memory();
Result<std::unique_ptr<DeviceTreeSession>> open_device_tree();

}  // namespace karvo::platform::win32
