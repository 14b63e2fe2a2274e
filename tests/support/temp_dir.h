#pragma once
// A private temporary folder for one test, removed with everything in it.

#include <filesystem>
#include <string>
#include <string_view>

namespace karvo::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `bytes` to a file in the folder and returns its full path.
    std::string write(std::string_view name, std::string_view bytes) const;

private:
    std::filesystem::path path_;
};

}  // namespace karvo::testing
