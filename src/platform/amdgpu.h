#pragma once
// What the amdgpu kernel driver answers about one of its devices through the
// device's render node (/dev/dri/renderD*): its DRM_IOCTL_AMDGPU_INFO queries.
// Opening the node wakes a runtime-suspended GPU, so callers ask only cards
// that are awake. A node that cannot be opened or answered gives nothing.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace karvo::platform {

// The answer bytes exactly as the driver wrote them into zero-filled buffers
// of the sizes below (an older driver writes fewer bytes: the rest stays 0).
struct AmdgpuInfo {
    std::string device_info;  // AMDGPU_INFO_DEV_INFO: struct drm_amdgpu_info_device
    std::string gfx_ip_info;  // AMDGPU_INFO_HW_IP_INFO for GFX instance 0: struct drm_amdgpu_info_hw_ip;
                              // empty when only the first query answered
};
inline constexpr std::size_t kAmdgpuDeviceInfoBytes = 512;  // the kernel's structure is 440 bytes today
inline constexpr std::size_t kAmdgpuHwIpInfoBytes = 64;     // 40 bytes today

// Opens the render node read-only, asks both queries and closes it. Nothing
// when the node cannot be opened, is no character device, or the first query
// fails. Always nothing on systems without amdgpu (Windows).
std::optional<AmdgpuInfo> amdgpu_device_info(const std::string& render_node);

// The form the Linux card scan takes, so that tests can answer in its place.
using AmdgpuInfoQuery = std::function<std::optional<AmdgpuInfo>(const std::string& render_node)>;

}  // namespace karvo::platform
