#pragma once
// Small OS services: environment, files, time, sleeping, paths, heap blocks.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace karvo::platform {

// The value of an environment variable; nothing when it is unset or is not
// valid Unicode (invalid UTF-8 on POSIX, an unpaired surrogate on Windows).
std::optional<std::string> get_env(std::string_view name);

// Reads a whole file as bytes. Errors read "{system text} (os error {code})".
Result<std::string> read_file(const std::string& path);

// Creates (or replaces) a file holding exactly `bytes`, readable and
// writable by its owner only where the system has such rights (POSIX mode
// 0600). Errors read "{system text} (os error {code})".
Status write_file(const std::string& path, std::string_view bytes);

// Reads a whole regular file of at most `max_bytes` bytes. Anything else (a
// folder, a FIFO, a device) fails with "not a regular file" without blocking:
// the path is checked before it is opened, it is opened without waiting, and
// the opened handle is checked again. A longer file fails with "file too
// large" after reading at most `max_bytes` + 1 bytes. Other errors read
// "{system text} (os error {code})".
Result<std::string> read_regular_file(const std::string& path, std::size_t max_bytes);
inline constexpr std::string_view kNotRegularFile = "not a regular file";
inline constexpr std::string_view kFileTooLarge = "file too large";

// Text of an OS error code, followed by " (os error {code})".
std::string os_error_text(int code);

// The wall clock broken down, to the millisecond.
struct WallTime {
    int year = 1970;
    int month = 1;  // 1-12
    int day = 1;    // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};
enum class Zone { local, utc };
WallTime wall_time(Zone zone);

// Sleeps for any number of seconds up to 2^64 - 1, in bounded chunks.
void sleep_seconds(std::uint64_t seconds);
void sleep_milliseconds(std::uint32_t milliseconds);

// Monotonic clock in nanoseconds, for measurements.
std::uint64_t monotonic_ns();

// Folder holding the running executable (UTF-8, no trailing separator).
std::string executable_dir();

// A block from the process heap (HeapAlloc on Windows), for the display
// library's allocation callback. Null for size < 1. heap_free gives it back
// (null is ignored).
void* heap_alloc(std::int64_t size);
void heap_free(void* block);

}  // namespace karvo::platform

namespace karvo::platform {

// The file name of an executable with the given base name on this system
// ("karvo" on POSIX, "karvo.exe" on Windows).
std::string executable_file_name(std::string_view base);

// The separator between folders in PATH (":" on POSIX, ";" on Windows).
char path_list_separator();

}  // namespace karvo::platform

namespace karvo::platform {

// Sets (or with nothing, removes) a variable of this process's environment.
void set_env(std::string_view name, const std::optional<std::string>& value);

}  // namespace karvo::platform

namespace karvo::platform {

// The system and its version as one line ("Linux 6.1.0-28-amd64 x86_64",
// "Windows 10.0.22631"), for reports that say where they were made.
std::string os_description();

// The process's arguments as UTF-8 for programs entered through a plain
// main(): on Windows as the C runtime splits the UTF-16 command line.
std::vector<std::string> utf8_arguments(int argc, char** argv);

}  // namespace karvo::platform
