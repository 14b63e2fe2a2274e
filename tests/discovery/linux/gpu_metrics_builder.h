#pragma once
// Bytes of a device/gpu_metrics file: the header and little-endian values at
// byte offsets, over a table the firmware's way (every byte 0xFF until a
// value is written); for 1.9, tagged records appended one by one. The result
// goes to parse_gpu_metrics() or into a SysTree (CardBuilder::attr).

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace karvo::testing {

class GpuMetricsBlob {
public:
    // Value types and units of 1.9 records.
    enum class Type : unsigned { u8 = 0, s8, u16, s16, u32, s32, u64, s64 };
    enum Unit : unsigned { none = 0, mhz = 1, celsius = 2, watt = 3, gt_per_s = 6, tenth_gt_per_s = 7, percent = 10 };

    // A table of `size` bytes, all 0xFF, with its header.
    GpuMetricsBlob(unsigned format, unsigned content, std::size_t size) : bytes_(size < 4 ? 4 : size, '\xff') {
        header(static_cast<std::uint16_t>(size), format, content);
    }
    // An empty 1.9 table: header and attr_count 0; add records with record().
    static GpuMetricsBlob records() {
        GpuMetricsBlob blob(1, 9, 8);
        return blob.put(4, 0, 4);
    }

    GpuMetricsBlob& header(std::uint16_t structure_size, unsigned format, unsigned content) {
        put(0, structure_size, 2);
        bytes_[2] = static_cast<char>(format);
        bytes_[3] = static_cast<char>(content);
        return *this;
    }
    // `width` bytes of `value` at `at`, little-endian; the table grows (0xFF) to hold them.
    GpuMetricsBlob& put(std::size_t at, std::uint64_t value, std::size_t width) {
        if (bytes_.size() < at + width) bytes_.resize(at + width, '\xff');
        for (std::size_t k = 0; k < width; ++k) bytes_[at + k] = static_cast<char>(value >> (8 * k));
        return *this;
    }
    GpuMetricsBlob& u8(std::size_t at, std::uint8_t value) { return put(at, value, 1); }
    GpuMetricsBlob& u16(std::size_t at, std::uint16_t value) { return put(at, value, 2); }
    GpuMetricsBlob& u32(std::size_t at, std::uint32_t value) { return put(at, value, 4); }
    GpuMetricsBlob& u64(std::size_t at, std::uint64_t value) { return put(at, value, 8); }
    // `count` bytes from `at` set to `byte` (0xFF: "not supported").
    GpuMetricsBlob& fill(std::size_t at, std::size_t count, unsigned char byte = 0xFF) {
        if (bytes_.size() < at + count) bytes_.resize(at + count, '\xff');
        bytes_.replace(at, count, count, static_cast<char>(byte));
        return *this;
    }
    // Only the first `size` bytes, as a read cut short gives them.
    GpuMetricsBlob& truncate(std::size_t size) {
        if (size < bytes_.size()) bytes_.resize(size);
        return *this;
    }

    // The encoding word of a 1.9 record.
    static std::uint64_t encoding(unsigned id, unsigned type, unsigned unit, unsigned count) {
        return std::uint64_t{count & 0x3FFu} | std::uint64_t{id & 0x3FFu} << 10 | std::uint64_t{type & 0xFu} << 20 |
               std::uint64_t{unit & 0xFFu} << 24;
    }
    // Appends a 1.9 record (encoding, then the values unpadded), counts it in
    // attr_count and keeps structure_size equal to the table's length.
    GpuMetricsBlob& record(unsigned id, Type type, unsigned unit, std::initializer_list<std::uint64_t> values) {
        const auto code = static_cast<unsigned>(type);
        const std::size_t width = std::size_t{1} << (code / 2);
        std::size_t at = bytes_.size();
        put(at, encoding(id, code, unit, static_cast<unsigned>(values.size())), 8);
        at += 8;
        for (const std::uint64_t value : values) {
            put(at, value, width);
            at += width;
        }
        return attr_count(attr_count() + 1).put(0, bytes_.size(), 2);
    }
    GpuMetricsBlob& attr_count(std::int32_t count) { return put(4, static_cast<std::uint32_t>(count), 4); }
    std::int32_t attr_count() const {
        std::uint32_t count = 0;
        for (std::size_t k = 0; k < 4; ++k) count |= std::uint32_t{static_cast<unsigned char>(bytes_[4 + k])} << (8 * k);
        return static_cast<std::int32_t>(count);
    }

    const std::string& bytes() const { return bytes_; }
    operator std::string_view() const { return bytes_; }

private:
    std::string bytes_;
};

}  // namespace karvo::testing
