#pragma once
// Reading trees of small files: the kernel's sysfs and procfs, or a copy of
// them captured from another machine. These sources treat a missing or
// unreadable file as "not reported", so every call gives nothing instead of an
// error, and none of them can block: only regular files are read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace karvo::platform {

// The entry names of a folder ("." and ".." left out) in the order the system
// gives them; nothing when it is not a folder or cannot be read.
std::optional<std::vector<std::string>> list_folder(const std::string& path);

// Calls `visit(name)` for each entry of a folder without building a list
// ("." and ".." left out). False when the folder cannot be read.
template <class Visit>
bool for_each_entry(const std::string& path, Visit&& visit);

// The target of a symbolic link exactly as stored (not resolved); nothing
// when the path is no link or cannot be read.
std::optional<std::string> read_link(const std::string& path);

// At most `limit` bytes from the start of a regular file; nothing when it is
// missing, not a regular file, or cannot be opened or read.
std::optional<std::string> read_file_prefix(const std::string& path, std::size_t limit);

// True when something exists at the path (links are followed).
bool path_exists(const std::string& path);

// read_link and read_file_prefix into a buffer the caller keeps, so that a
// walk over thousands of files reuses one allocation. False (and `out`
// emptied) when there is nothing.
bool read_link_into(const std::string& path, std::string& out);
bool read_file_prefix_into(const std::string& path, std::size_t limit, std::string& out);

// What tells a changed file from the one read before: its modification time
// (in the system's own unit) and its size. Nothing when it cannot be looked at.
struct FileStamp {
    std::int64_t modified = 0;
    std::uint64_t size = 0;
    bool operator==(const FileStamp&) const = default;
};
std::optional<FileStamp> file_stamp(const std::string& path);

// True when users other than the owner (its group or anyone) may read the
// file: POSIX permission bits. Always false on Windows, whose access lists
// these bits do not describe.
bool readable_by_others(const std::string& path);

// The callback form behind for_each_entry.
using EntryVisitor = void (*)(void* context, const char* name, std::size_t length);
bool visit_folder(const std::string& path, EntryVisitor visitor, void* context);

template <class Visit>
bool for_each_entry(const std::string& path, Visit&& visit) {
    return visit_folder(
        path,
        [](void* context, const char* name, std::size_t length) {
            (*static_cast<std::remove_reference_t<Visit>*>(context))(std::string_view(name, length));
        },
        &visit);
}

}  // namespace karvo::platform
