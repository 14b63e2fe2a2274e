// The adapter table: how many elements to read, which ones to query, and the
// PCI device ID in an element's UDID text.

#include <algorithm>

#include "discovery/adl/adl_internal.h"
#include "discovery/pci_id.h"

namespace karvo::discovery::adl {
namespace {

constexpr int kAmdVendorDecimal = 1002;  // some drivers report the ID as decimal digits
constexpr int kAmdVendorPci = 0x1002;

}  // namespace

bool is_amd_vendor(int vendor_id) { return vendor_id == kAmdVendorDecimal || vendor_id == kAmdVendorPci; }

int usable_adapter_count(int reported) { return std::clamp(reported, 0, kMaxAdapters); }

std::vector<AdapterInfo> make_adapter_table(int count) {
    std::vector<AdapterInfo> table(static_cast<std::size_t>(usable_adapter_count(count)), AdapterInfo{});
    for (auto& element : table) element.iSize = static_cast<int>(sizeof(AdapterInfo));
    return table;
}

int table_byte_size(const std::vector<AdapterInfo>& table) {
    // At most kMaxAdapters elements, so the product always fits an int.
    static_assert(static_cast<long long>(kMaxAdapters) * sizeof(AdapterInfo) <= 0x7FFFFFFF);
    return static_cast<int>(table.size() * sizeof(AdapterInfo));
}

std::vector<std::size_t> select_adapters(std::span<const AdapterInfo> table) {
    std::vector<std::size_t> selected;
    std::vector<int> buses_seen;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const AdapterInfo& element = table[i];
        if (!is_amd_vendor(element.iVendorID) || element.iBusNumber < 0) continue;
        // One GPU shows up once per display output, all on the same bus.
        if (std::find(buses_seen.begin(), buses_seen.end(), element.iBusNumber) != buses_seen.end()) continue;
        buses_seen.push_back(element.iBusNumber);
        selected.push_back(i);
    }
    return selected;
}

std::optional<std::uint32_t> parse_dev_id(std::string_view udid) { return pci_id_field(udid, kPciDevice); }

}  // namespace karvo::discovery::adl
