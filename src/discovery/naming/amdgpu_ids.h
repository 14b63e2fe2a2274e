#pragma once
// libdrm's list of AMD marketing names (amdgpu.ids): "DEVICE,\tREVISION,\tNAME"
// lines in hexadecimal, "#" comments and a version line. Distributions ship
// the file in /usr/share/libdrm, often years old; karvo also carries a recent
// copy of its own (see README.md in this folder).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace karvo::discovery::naming {

class MarketingNames {
public:
    MarketingNames() = default;
    // Keeps views into `text`, which must outlive the list. Lines that are not
    // "device, revision, name" are passed over; blanks around each of the
    // three parts are allowed (one line of libdrm's file has spaces where tabs
    // belong).
    explicit MarketingNames(std::string_view text);

    // The name on the first line with that device and revision.
    std::optional<std::string_view> exact(std::uint32_t device, std::uint32_t revision) const;
    // The name on the first line of the device, whatever its revision.
    std::optional<std::string_view> first_of(std::uint32_t device) const;
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::uint32_t device = 0;
        std::uint32_t revision = 0;
        std::string_view name;  // trimmed, not checked for UTF-8
    };
    std::vector<Entry> entries_;
};

// The text of the list built into karvo.
extern const std::string_view kBuiltinAmdgpuIds;

// The built-in list, parsed on first use and kept for the life of the process.
const MarketingNames& builtin_marketing_names();

}  // namespace karvo::discovery::naming
