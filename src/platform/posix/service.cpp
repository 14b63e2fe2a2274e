#include "platform/service.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace karvo::platform {

Status install_service(const ServiceDefinition&) { return Error(std::string(kServicesOnlyOnWindows)); }
Status uninstall_service(std::string_view, std::uint32_t) { return Error(std::string(kServicesOnlyOnWindows)); }

Result<std::string> executable_path() {
    char buffer[PATH_MAX];
    const ssize_t size = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (size <= 0 || static_cast<std::size_t>(size) >= sizeof buffer) return Error("executable path not found");
    return std::string(buffer, static_cast<std::size_t>(size));
}

Result<std::string> absolute_path(const std::string& path) {
    if (path.starts_with('/')) return path;
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) return Error("current folder not found");
    return std::string(buffer) + "/" + path;
}

bool run_as_service(std::string_view, const ServiceCallbacks&) { return false; }

void report_event(std::string_view, EventType, std::string_view) {}

}  // namespace karvo::platform
