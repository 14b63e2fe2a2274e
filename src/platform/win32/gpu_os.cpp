// The Windows binding of the adapter statistics: each session is opened by its
// own file (gpu_statistics.cpp, process_memory.cpp, device_tree.cpp).

#include "platform/os_calls.h"
#include "platform/win32/gpu_abi.h"

namespace karvo::platform {
namespace {

class Win32GpuOs final : public GpuOs {
public:
    Result<std::unique_ptr<GpuStatisticsSession>> open_statistics() override { return win32::open_gpu_statistics(); }
    Result<std::unique_ptr<ProcessMemorySession>> open_process_memory() override {
        return win32::open_process_memory();
    }
    Result<std::unique_ptr<DeviceTreeSession>> open_device_tree() override { return win32::open_device_tree(); }
};

}  // namespace

GpuOs& os::gpu_os() {
    static Win32GpuOs os;
    return os;
}

}  // namespace karvo::platform
