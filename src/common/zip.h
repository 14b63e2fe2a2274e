#pragma once
// Zip archives, the small part of the format a report needs: a writer that
// deflates each entry (zlib, raw deflate), and a strict reader for archives
// from anywhere. No zip64, no encryption, no spanning.
//
// The reader trusts nothing in the file: every offset and size is checked
// against the bytes there are, each entry's CRC-32 and size against what it
// unpacks to, names that could leave a folder ("../", absolute paths, drive
// letters, backslashes) are refused, and the total unpacked stays under a cap
// whatever the entries declare.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace karvo::zip {

struct Entry {
    std::string name;  // "/"-separated, relative
    std::string data;
};

// The time stored with every entry (MS-DOS form: local time, 2-second steps).
struct DosTime {
    int year = 1980;  // 1980-2107
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The archive's bytes. Entries larger than 4 GiB cannot be written (an error).
Result<std::string> write(const std::vector<Entry>& entries, const DosTime& time);

// Most bytes all entries together may unpack to.
inline constexpr std::uint64_t kMaxUnpackedBytes = 256ull * 1024 * 1024;
// Most entries an archive may hold.
inline constexpr std::size_t kMaxEntries = 4096;

// Every entry in central-directory order. Errors name what is wrong ("zip:
// truncated archive", "zip: bad CRC-32 of entry answers.txt", ...).
Result<std::vector<Entry>> read(std::string_view archive, std::uint64_t max_unpacked = kMaxUnpackedBytes);

// A deflate stream on its own: raw (a zip entry's) or in one gzip member.
enum class Wrapping { raw, gzip };

// Inflates `compressed` into exactly `size` bytes. Nothing when the stream is
// corrupt, short, or unpacks to another size, and for gzip when bytes follow
// the member.
std::optional<std::string> inflate_exactly(std::string_view compressed, std::size_t size, Wrapping wrapping);

// True for a name that stays inside the folder it is unpacked into.
bool is_safe_name(std::string_view name);

}  // namespace karvo::zip
