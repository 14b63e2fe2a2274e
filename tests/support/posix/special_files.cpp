#include <sys/stat.h>

#include "support/special_files.h"

namespace karvo::testing {

std::optional<std::string> make_fifo(const std::filesystem::path& dir) {
    const std::string path = (dir / "token.fifo").string();
    if (::mkfifo(path.c_str(), 0600) != 0) return std::nullopt;
    return path;
}

std::string device_path() { return "/dev/zero"; }

}  // namespace karvo::testing
