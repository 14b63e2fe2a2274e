#pragma once
// A file tree built by a test in place of the machine's /sys and /proc (the
// folder handed to karvo as KARVO_SYSROOT, or to the sources as their Root).
// Parent folders are made as needed; paths are relative to the tree's top.

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "support/temp_dir.h"

namespace karvo::testing {

class SysTree {
public:
    const std::filesystem::path& top() const { return dir_.path(); }
    std::string root() const { return dir_.path().string(); }

    // Writes a file, replacing what was there.
    SysTree& file(std::string_view relative, std::string_view bytes) {
        const auto path = at(relative);
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return *this;
    }
    // Makes a symbolic link holding `target` exactly as given.
    SysTree& link(std::string_view relative, std::string_view target) {
        const auto path = at(relative);
        std::filesystem::create_directories(path.parent_path());
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        std::filesystem::create_symlink(std::string(target), path);
        return *this;
    }
    SysTree& folder(std::string_view relative) {
        std::filesystem::create_directories(at(relative));
        return *this;
    }
    SysTree& remove(std::string_view relative) {
        std::error_code ignored;
        std::filesystem::remove_all(at(relative), ignored);
        return *this;
    }

private:
    std::filesystem::path at(std::string_view relative) const { return dir_.path() / std::string(relative); }
    TempDir dir_;
};

}  // namespace karvo::testing
