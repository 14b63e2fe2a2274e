#include "platform/gpu_os.h"

namespace karvo::platform {
namespace {

// These statistics come from Windows' graphics kernel and performance
// counters; other systems have no equivalent, so both sessions fail to open.
class UnavailableGpuOs final : public GpuOs {
public:
    Result<std::unique_ptr<GpuStatisticsSession>> open_statistics() override {
        return Error("adapter statistics are not available on this system");
    }
    Result<std::unique_ptr<ProcessMemorySession>> open_process_memory() override {
        return Error("per-process video memory is not available on this system");
    }
};

}  // namespace

GpuOs& system_gpu_os() {
    static UnavailableGpuOs os;
    return os;
}

}  // namespace karvo::platform
