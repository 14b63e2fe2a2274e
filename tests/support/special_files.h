#pragma once
// Paths that name something other than a regular file, for readers that must
// refuse them without blocking.

#include <filesystem>
#include <optional>
#include <string>

namespace karvo::testing {

// A FIFO created in `dir`; nothing on a system without FIFOs in its file system.
std::optional<std::string> make_fifo(const std::filesystem::path& dir);

// A character device that reads without end (/dev/zero), or the null device
// where there is no such thing (NUL on Windows).
std::string device_path();

}  // namespace karvo::testing
