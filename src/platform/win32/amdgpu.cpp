#include "platform/os_calls.h"
#include "platform/amdgpu.h"

namespace karvo::platform {

// amdgpu is a Linux driver: Windows has no render nodes to ask.
std::optional<AmdgpuInfo> os::amdgpu_device_info(const std::string&) { return std::nullopt; }

}  // namespace karvo::platform
