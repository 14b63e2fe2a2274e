#include "common/zip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <set>

namespace karvo::zip {
namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::uint16_t kVersionNeeded = 20;  // deflate
constexpr std::uint16_t kUtf8Names = 0x0800;
constexpr std::uint16_t kEncrypted = 0x0001;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;

void put16(std::string& out, std::uint16_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

void put32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

std::uint16_t get16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

std::uint32_t get32(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(get16(bytes, at)) | (static_cast<std::uint32_t>(get16(bytes, at + 2)) << 16);
}

std::uint32_t crc_of(std::string_view data) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes at most 4 GiB - 1 per call.
    while (!data.empty()) {
        const auto chunk = static_cast<uInt>(std::min<std::size_t>(data.size(), 1u << 30));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), chunk);
        data.remove_prefix(chunk);
    }
    return static_cast<std::uint32_t>(crc);
}

Result<std::string> deflate_raw(std::string_view data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return Error("zip: the compressor could not start");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END) return Error("zip: compression failed");
    return out;
}

std::uint16_t dos_time(const DosTime& t) {
    return static_cast<std::uint16_t>((t.hour << 11) | (t.minute << 5) | (t.second / 2));
}

std::uint16_t dos_date(const DosTime& t) {
    const int year = std::clamp(t.year, 1980, 2107);
    return static_cast<std::uint16_t>(((year - 1980) << 9) | (t.month << 5) | t.day);
}

Error truncated() { return Error("zip: truncated or damaged archive"); }

}  // namespace

std::optional<std::string> inflate_exactly(std::string_view compressed, std::size_t size, Wrapping wrapping) {
    if (compressed.size() > std::numeric_limits<uInt>::max() || size > std::numeric_limits<uInt>::max()) {
        return std::nullopt;
    }
    z_stream stream{};
    // Raw deflate has no header; 16 + the largest window reads a gzip header and trailer around it.
    if (inflateInit2(&stream, wrapping == Wrapping::raw ? -MAX_WBITS : 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    std::string out(size, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(size);
    int status = inflate(&stream, Z_FINISH);
    // One byte of room more than expected, so that a longer stream is noticed.
    char spare = 0;
    if (status == Z_BUF_ERROR && stream.avail_out == 0) {
        stream.next_out = reinterpret_cast<Bytef*>(&spare);
        stream.avail_out = 1;
        status = inflate(&stream, Z_FINISH);
    }
    // A gzip member is whole on its own: bytes after it would be another member.
    const bool whole = status == Z_STREAM_END && stream.total_out == size &&
                       (wrapping == Wrapping::raw || stream.avail_in == 0);
    inflateEnd(&stream);
    if (!whole) return std::nullopt;
    return out;
}

bool is_safe_name(std::string_view name) {
    if (name.empty() || name.size() > 1024) return false;
    if (name.front() == '/' || name.find('\\') != std::string_view::npos || name.find('\0') != std::string_view::npos)
        return false;
    if (name.size() >= 2 && name[1] == ':') return false;  // a drive letter
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string_view part = name.substr(start, end - start);
        if (part == ".." || part == ".") return false;
        start = end + 1;
    }
    return true;
}

Result<std::string> write(const std::vector<Entry>& entries, const DosTime& time) {
    std::string archive;
    std::string directory;
    const std::uint16_t stamp_time = dos_time(time);
    const std::uint16_t stamp_date = dos_date(time);
    for (const Entry& entry : entries) {
        if (entry.data.size() > std::numeric_limits<std::uint32_t>::max() || !is_safe_name(entry.name)) {
            return Error("zip: cannot store entry " + entry.name);
        }
        auto packed = deflate_raw(entry.data);
        if (!packed.ok()) return packed.error();
        const bool store = packed->size() >= entry.data.size();
        const std::string_view body = store ? std::string_view(entry.data) : std::string_view(*packed);
        const std::uint32_t crc = crc_of(entry.data);
        const std::size_t offset = archive.size();
        if (offset > std::numeric_limits<std::uint32_t>::max()) return Error("zip: archive too large");

        const auto header_fields = [&](std::string& out) {
            put16(out, kVersionNeeded);
            put16(out, kUtf8Names);
            put16(out, store ? kStored : kDeflated);
            put16(out, stamp_time);
            put16(out, stamp_date);
            put32(out, crc);
            put32(out, static_cast<std::uint32_t>(body.size()));
            put32(out, static_cast<std::uint32_t>(entry.data.size()));
            put16(out, static_cast<std::uint16_t>(entry.name.size()));
            put16(out, 0);  // no extra field
        };
        put32(archive, kLocalSignature);
        header_fields(archive);
        archive += entry.name;
        archive += body;

        put32(directory, kCentralSignature);
        put16(directory, kVersionNeeded);  // made by: MS-DOS attributes, version 2.0
        header_fields(directory);
        put16(directory, 0);  // comment
        put16(directory, 0);  // disk
        put16(directory, 0);  // internal attributes
        put32(directory, 0);  // external attributes
        put32(directory, static_cast<std::uint32_t>(offset));
        directory += entry.name;
    }
    const std::size_t directory_offset = archive.size();
    if (directory_offset > std::numeric_limits<std::uint32_t>::max() || entries.size() > 0xFFFF) {
        return Error("zip: archive too large");
    }
    archive += directory;
    put32(archive, kEndSignature);
    put16(archive, 0);
    put16(archive, 0);
    put16(archive, static_cast<std::uint16_t>(entries.size()));
    put16(archive, static_cast<std::uint16_t>(entries.size()));
    put32(archive, static_cast<std::uint32_t>(directory.size()));
    put32(archive, static_cast<std::uint32_t>(directory_offset));
    put16(archive, 0);  // comment
    return archive;
}

Result<std::vector<Entry>> read(std::string_view archive, std::uint64_t max_unpacked) {
    if (archive.size() < kEndSize) return Error("zip: not a zip archive (too short)");
    // The end record is the last thing in the file, before a comment of at most 64 KiB.
    std::size_t end = std::string_view::npos;
    const std::size_t lowest = archive.size() - kEndSize > 0xFFFF ? archive.size() - kEndSize - 0xFFFF : 0;
    for (std::size_t at = archive.size() - kEndSize + 1; at-- > lowest;) {
        if (get32(archive, at) == kEndSignature && at + kEndSize + get16(archive, at + 20) == archive.size()) {
            end = at;
            break;
        }
    }
    if (end == std::string_view::npos) return Error("zip: not a zip archive (no end of central directory)");
    if (get16(archive, end + 4) != 0 || get16(archive, end + 6) != 0 ||
        get16(archive, end + 8) != get16(archive, end + 10)) {
        return Error("zip: archives spanning several files are not supported");
    }
    const std::size_t count = get16(archive, end + 10);
    const std::uint64_t directory_size = get32(archive, end + 12);
    const std::uint64_t directory_offset = get32(archive, end + 16);
    if (count > kMaxEntries) return Error("zip: too many entries");
    if (directory_offset + directory_size > end) return truncated();

    std::vector<Entry> entries;
    std::set<std::string, std::less<>> names;
    std::uint64_t unpacked = 0;
    std::size_t at = static_cast<std::size_t>(directory_offset);
    const std::size_t directory_end = static_cast<std::size_t>(directory_offset + directory_size);
    for (std::size_t i = 0; i < count; ++i) {
        if (directory_end - at < kCentralHeaderSize || get32(archive, at) != kCentralSignature) return truncated();
        const std::uint16_t flags = get16(archive, at + 8);
        const std::uint16_t method = get16(archive, at + 10);
        const std::uint32_t crc = get32(archive, at + 16);
        const std::uint32_t packed_size = get32(archive, at + 20);
        const std::uint32_t size = get32(archive, at + 24);
        const std::size_t name_length = get16(archive, at + 28);
        const std::size_t skipped = std::size_t{get16(archive, at + 30)} + get16(archive, at + 32);
        const std::uint64_t local = get32(archive, at + 42);
        if (directory_end - at - kCentralHeaderSize < name_length + skipped) return truncated();
        std::string name(archive.substr(at + kCentralHeaderSize, name_length));
        at += kCentralHeaderSize + name_length + skipped;

        if (!is_safe_name(name)) return Error("zip: entry name leaves the archive's folder: " + name);
        if (!names.insert(name).second) return Error("zip: entry " + name + " occurs twice");
        if ((flags & kEncrypted) != 0) return Error("zip: entry " + name + " is encrypted");
        if (method != kStored && method != kDeflated) {
            return Error("zip: entry " + name + " uses a compression method other than deflate");
        }
        unpacked += size;
        if (unpacked > max_unpacked) return Error("zip: the entries unpack to more than the allowed total");

        if (local + kLocalHeaderSize > directory_offset || get32(archive, static_cast<std::size_t>(local)) != kLocalSignature)
            return truncated();
        const auto local_at = static_cast<std::size_t>(local);
        const std::size_t local_name = get16(archive, local_at + 26);
        const std::size_t local_extra = get16(archive, local_at + 28);
        const std::uint64_t data_at = local + kLocalHeaderSize + local_name + local_extra;
        if (data_at + packed_size > directory_offset) return truncated();
        if (archive.substr(local_at + kLocalHeaderSize, local_name) != name) {
            return Error("zip: entry " + name + " is named differently in its local header");
        }
        const std::string_view body = archive.substr(static_cast<std::size_t>(data_at), packed_size);
        std::string data;
        if (method == kStored) {
            if (packed_size != size) return Error("zip: entry " + name + " does not unpack to its declared size");
            data.assign(body);
        } else {
            auto inflated = inflate_exactly(body, size, Wrapping::raw);
            if (!inflated) return Error("zip: entry " + name + " does not unpack to its declared size");
            data = std::move(*inflated);
        }
        if (crc_of(data) != crc) return Error("zip: bad CRC-32 of entry " + name);
        entries.push_back({std::move(name), std::move(data)});
    }
    return entries;
}

}  // namespace karvo::zip
