#include "platform/amdgpu.h"

namespace karvo::platform {

// amdgpu is a Linux driver: Windows has no render nodes to ask.
std::optional<AmdgpuInfo> amdgpu_device_info(const std::string&) { return std::nullopt; }

}  // namespace karvo::platform
