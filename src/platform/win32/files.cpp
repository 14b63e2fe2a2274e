#include <utility>

#include "platform/files.h"
#include "platform/os_calls.h"
#include "platform/win32/win32_util.h"

namespace karvo::platform::os {
namespace {

std::optional<std::string> read_file_prefix(const std::string& path, std::size_t limit) {
    const HANDLE file = CreateFileW(win32::widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return std::nullopt;
    }
    std::string data;
    char chunk[4096];
    while (data.size() < limit) {
        const DWORD want = static_cast<DWORD>(limit - data.size() < sizeof chunk ? limit - data.size() : sizeof chunk);
        DWORD got = 0;
        if (!ReadFile(file, chunk, want, &got, nullptr)) {
            CloseHandle(file);
            return std::nullopt;
        }
        if (got == 0) break;
        data.append(chunk, got);
    }
    CloseHandle(file);
    return data;
}

}  // namespace

bool visit_folder(const std::string& path, EntryVisitor visitor, void* context) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(win32::widen(path + "\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        const std::string name = win32::narrow(found.cFileName);
        if (name == "." || name == "..") continue;
        visitor(context, name.data(), name.size());
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

// The trees these calls read are Linux ones; Windows has no use for their links.
bool read_link_into(const std::string&, std::string& out) {
    out.clear();
    return false;
}

bool read_file_prefix_into(const std::string& path, std::size_t limit, std::string& out) {
    auto data = read_file_prefix(path, limit);
    out = data ? std::move(*data) : std::string();
    return data.has_value();
}

bool path_exists(const std::string& path) {
    return GetFileAttributesW(win32::widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace karvo::platform::os

namespace karvo::platform {

std::optional<FileStamp> file_stamp(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExW(win32::widen(path).c_str(), GetFileExInfoStandard, &info)) return std::nullopt;
    const std::uint64_t written =
        (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    return FileStamp{static_cast<std::int64_t>(written),
                     (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow};
}

bool readable_by_others(const std::string&) { return false; }

}  // namespace karvo::platform
