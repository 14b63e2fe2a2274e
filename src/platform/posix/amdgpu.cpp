// DRM_IOCTL_AMDGPU_INFO on a render node. The request layout is the kernel's
// public interface (include/uapi/drm/amdgpu_drm.h): struct drm_amdgpu_info is
// a return pointer (u64), the size the driver may write (u32), the query (u32)
// and a 16-byte union of query arguments; the ioctl is DRM_IOW(DRM_COMMAND_BASE
// + DRM_AMDGPU_INFO) = _IOW('d', 0x40 + 0x05, struct drm_amdgpu_info).

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/os_calls.h"
#include "platform/amdgpu.h"

namespace karvo::platform {
namespace {

struct DrmAmdgpuInfo {
    std::uint64_t return_pointer = 0;
    std::uint32_t return_size = 0;
    std::uint32_t query = 0;
    std::uint32_t arguments[4] = {};  // query_hw_ip: type, ip_instance
};
static_assert(sizeof(DrmAmdgpuInfo) == 32);

constexpr unsigned long kIoctlAmdgpuInfo = _IOW('d', 0x45, DrmAmdgpuInfo);
constexpr std::uint32_t kInfoHwIpInfo = 0x02;
constexpr std::uint32_t kInfoDevInfo = 0x16;
constexpr std::uint32_t kHwIpGfx = 0;

bool ask(int fd, std::uint32_t query, std::uint32_t ip_type, std::string& out, std::size_t size) {
    out.assign(size, '\0');
    DrmAmdgpuInfo request;
    request.return_pointer = reinterpret_cast<std::uintptr_t>(out.data());
    request.return_size = static_cast<std::uint32_t>(size);
    request.query = query;
    request.arguments[0] = ip_type;
    int result;
    do {
        result = ::ioctl(fd, kIoctlAmdgpuInfo, &request);
    } while (result == -1 && errno == EINTR);
    if (result != 0) out.clear();
    return result == 0;
}

}  // namespace

std::optional<AmdgpuInfo> os::amdgpu_device_info(const std::string& render_node) {
    // Non-blocking so that a FIFO in a captured tree cannot hold the pass.
    const int fd = ::open(render_node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<AmdgpuInfo> info;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode)) {
        AmdgpuInfo answer;
        if (ask(fd, kInfoDevInfo, 0, answer.device_info, kAmdgpuDeviceInfoBytes)) {
            ask(fd, kInfoHwIpInfo, kHwIpGfx, answer.gfx_ip_info, kAmdgpuHwIpInfoBytes);
            info = std::move(answer);
        }
    }
    ::close(fd);
    return info;
}

}  // namespace karvo::platform
