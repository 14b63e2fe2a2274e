#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/os_calls.h"

namespace karvo::platform::os {

bool visit_folder(const std::string& path, EntryVisitor visitor, void* context) {
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) return false;
    while (const dirent* entry = ::readdir(folder)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        visitor(context, name, std::strlen(name));
    }
    ::closedir(folder);
    return true;
}

bool read_link_into(const std::string& path, std::string& out) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    // A target that fills the whole buffer may have been cut; it is not used.
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
        out.clear();
        return false;
    }
    out.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

bool read_file_prefix_into(const std::string& path, std::size_t limit, std::string& out) {
    out.clear();
    // O_NONBLOCK: a FIFO or device planted in a captured tree must not hang
    // the pass; anything that is not a regular file is refused right after.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    // Straight into the caller's buffer: grown in steps, never past the limit.
    std::size_t used = 0;
    while (used < limit) {
        if (out.size() == used) out.resize(used + (limit - used < 4096 ? limit - used : 4096));
        const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            out.clear();
            return false;  // EINVAL, ENODATA, EPERM...: the attribute has no value now
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(used);
    return true;
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace karvo::platform::os

namespace karvo::platform {

std::optional<FileStamp> file_stamp(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    const auto seconds = static_cast<std::int64_t>(info.st_mtim.tv_sec);
    return FileStamp{seconds * 1000000000 + info.st_mtim.tv_nsec, static_cast<std::uint64_t>(info.st_size)};
}

bool readable_by_others(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

}  // namespace karvo::platform
