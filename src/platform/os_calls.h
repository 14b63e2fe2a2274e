#pragma once
// The OS's own answers behind the calls a Boundary may take over (see
// boundary.h): each system's implementation (posix/, win32/) defines these,
// and the public functions of the other headers pass to them when no
// boundary is installed. Only the platform layer includes this.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/amdgpu.h"
#include "platform/files.h"
#include "platform/gpu_os.h"
#include "platform/process.h"

namespace karvo::platform::os {

bool visit_folder(const std::string& path, EntryVisitor visitor, void* context);
bool read_link_into(const std::string& path, std::string& out);
bool read_file_prefix_into(const std::string& path, std::size_t limit, std::string& out);
bool path_exists(const std::string& path);

// The loader: a handle, or the loader's error.
Result<void*> open_library(std::string_view name);
void close_library(void* handle);
void* find_symbol(void* handle, const char* symbol);
Result<void*> resolve_symbol(void* handle, const char* symbol);

Result<ProcessOutput> run_process(const ProcessSpec& spec);
GpuOs& gpu_os();
std::optional<AmdgpuInfo> amdgpu_device_info(const std::string& render_node);
std::optional<std::string> get_env(std::string_view name);
void sleep_milliseconds(std::uint32_t milliseconds);
Status write_stderr(std::string_view bytes);

}  // namespace karvo::platform::os
