#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

namespace karvo::platform {

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

std::optional<std::vector<std::string>> list_folder(const std::string& path) {
    std::vector<std::string> names;
    if (!for_each_entry(path, [&](std::string_view name) { names.emplace_back(name); })) return std::nullopt;
    return names;
}

std::optional<std::string> read_link(const std::string& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    // A target that fills the whole buffer may have been cut; it is not used.
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::optional<std::string> read_file_prefix(const std::string& path, std::size_t limit) {
    // O_NONBLOCK: a FIFO or device planted in a captured tree must not hang
    // the pass; anything that is not a regular file is refused right after.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string data;
    char chunk[4096];
    while (data.size() < limit) {
        const std::size_t want = limit - data.size() < sizeof chunk ? limit - data.size() : sizeof chunk;
        const ssize_t n = ::read(fd, chunk, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;  // EINVAL, ENODATA, EPERM...: the attribute has no value now
        }
        if (n == 0) break;
        data.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace karvo::platform
