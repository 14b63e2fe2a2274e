#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <charconv>

#include "common/text.h"
#include "platform/os_calls.h"
#include "platform/system.h"
#include <sys/utsname.h>

namespace karvo::platform {

std::optional<std::string> os::get_env(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    std::string text(value);
    if (!text::is_valid_utf8(text)) return std::nullopt;
    return text;
}

std::string os_error_text(int code) {
    char buffer[256] = {};
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* message = strerror_r(code, buffer, sizeof buffer);
    std::string text = message != nullptr ? message : "Unknown error";
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, code).ptr;
    text += " (os error ";
    text.append(digits, end);
    text += ")";
    return text;
}

Result<std::string> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Error(os_error_text(errno));
    std::string data;
    int failure = 0;
    try {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0) {
                if (errno == EINTR) continue;
                failure = errno;
                break;
            }
            if (n == 0) break;
            data.append(chunk, static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        failure = ENOMEM;
    } catch (const std::length_error&) {
        failure = EFBIG;
    }
    ::close(fd);
    if (failure != 0) return Error(os_error_text(failure));
    return data;
}

Result<std::string> read_regular_file(const std::string& path, std::size_t max_bytes) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return Error(os_error_text(errno));
    if (!S_ISREG(info.st_mode)) return Error(std::string(kNotRegularFile));
    // O_NONBLOCK: should the path have become a FIFO since the check, the open
    // still returns at once (and the check below refuses it).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return Error(os_error_text(errno));
    std::string data;
    int failure = 0;
    bool too_large = false;
    if (::fstat(fd, &info) != 0) {
        failure = errno;
    } else if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return Error(std::string(kNotRegularFile));
    } else {
        char chunk[16384];
        for (;;) {
            const std::size_t room = max_bytes + 1 - data.size();
            const ssize_t n = ::read(fd, chunk, room < sizeof chunk ? room : sizeof chunk);
            if (n < 0) {
                if (errno == EINTR) continue;
                failure = errno;
                break;
            }
            if (n == 0) break;
            data.append(chunk, static_cast<std::size_t>(n));
            if (data.size() > max_bytes) {
                too_large = true;
                break;
            }
        }
    }
    ::close(fd);
    if (failure != 0) return Error(os_error_text(failure));
    if (too_large) return Error(std::string(kFileTooLarge));
    return data;
}

WallTime wall_time(Zone zone) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm parts{};
    const std::time_t seconds = now.tv_sec;
    const bool ok = zone == Zone::utc ? gmtime_r(&seconds, &parts) != nullptr : localtime_r(&seconds, &parts) != nullptr;
    if (!ok) return {};
    return WallTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                    parts.tm_min,         parts.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
}

void sleep_seconds(std::uint64_t seconds) {
    // Sleep in chunks of at most a day so no time value can overflow.
    constexpr std::uint64_t kChunk = 86400;
    while (seconds > 0) {
        const std::uint64_t step = seconds < kChunk ? seconds : kChunk;
        timespec request{static_cast<time_t>(step), 0};
        timespec remaining{};
        while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
        seconds -= step;
    }
}

void os::sleep_milliseconds(std::uint32_t milliseconds) {
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

std::uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

std::string executable_dir() {
    char buffer[PATH_MAX + 1] = {};
    const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0) return ".";
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

void* heap_alloc(std::int64_t size) {
    if (size < 1) return nullptr;
    return std::malloc(static_cast<std::size_t>(size));
}

void heap_free(void* block) { std::free(block); }

}  // namespace karvo::platform

namespace karvo::platform {

std::string executable_file_name(std::string_view base) { return std::string(base); }
char path_list_separator() { return ':'; }

}  // namespace karvo::platform

namespace karvo::platform {

void set_env(std::string_view name, const std::optional<std::string>& value) {
    const std::string key(name);
    if (value) ::setenv(key.c_str(), value->c_str(), 1);
    else ::unsetenv(key.c_str());
}

}  // namespace karvo::platform

namespace karvo::platform {

Status write_file(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return Error(os_error_text(errno));
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            const int code = errno;
            ::close(fd);
            return Error(os_error_text(code));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::close(fd) != 0) return Error(os_error_text(errno));
    return Ok{};
}

}  // namespace karvo::platform

namespace karvo::platform {

std::string os_description() {
    struct utsname names {};
    if (::uname(&names) != 0) return "POSIX";
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

}  // namespace karvo::platform
