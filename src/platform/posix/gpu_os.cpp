#include "platform/os_calls.h"
#include "platform/gpu_os.h"

namespace karvo::platform {
namespace {

// These statistics come from Windows' graphics kernel, performance counters
// and configuration manager; other systems have no equivalent, so every
// session fails to open.
class UnavailableGpuOs final : public GpuOs {
public:
    Result<std::unique_ptr<GpuStatisticsSession>> open_statistics() override {
        return Error("adapter statistics are not available on this system");
    }
    Result<std::unique_ptr<ProcessMemorySession>> open_process_memory() override {
        return Error("per-process video memory is not available on this system");
    }
    Result<std::unique_ptr<DeviceTreeSession>> open_device_tree() override {
        return Error("the configuration manager's device tree is not available on this system");
    }
};

}  // namespace

GpuOs& os::gpu_os() {
    static UnavailableGpuOs os;
    return os;
}

}  // namespace karvo::platform
