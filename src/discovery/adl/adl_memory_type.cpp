// The memory technology name of one adapter, as the display library reports it.

#include "common/text.h"
#include "discovery/adl/adl_internal.h"
#include "discovery/adl/adl_library.h"

namespace karvo::discovery::adl {

std::optional<std::string> query_memory_type(const platform::Library& library, AdlContext context,
                                             int adapter_index, bool adl2_mode) {
    // Newest interface first; a missing entry point, a failure or an empty
    // answer moves on to the next one.
    if (auto x4_2 = find_entry<Adl2AdapterMemoryInfoX4Get>(library, "ADL2_Adapter_MemoryInfoX4_Get")) {
        ADLMemoryInfoX4 info{};
        if (x4_2(context, adapter_index, &info) == kAdlOk) {
            std::string name = read_text(info.strMemoryType);
            // Some drivers answer "unknown" here while the older calls know better.
            if (!name.empty() && text::ascii_lower(name) != "unknown") return name;
        }
    }
    if (auto x4 = find_entry<AdlAdapterMemoryInfoX4Get>(library, "ADL_Adapter_MemoryInfoX4_Get")) {
        ADLMemoryInfoX4 info{};
        if (x4(adapter_index, &info) == kAdlOk) {
            std::string name = read_text(info.strMemoryType);
            if (!name.empty()) return name;
        }
    }
    if (adl2_mode) {
        if (auto info_2 = find_entry<Adl2AdapterMemoryInfoGet>(library, "ADL2_Adapter_MemoryInfo_Get")) {
            ADLMemoryInfo info{};
            if (info_2(context, adapter_index, &info) == kAdlOk) {
                std::string name = read_text(info.strMemoryType);
                if (!name.empty()) return name;
            }
        }
    }
    if (auto info_1 = find_entry<AdlAdapterMemoryInfoGet>(library, "ADL_Adapter_MemoryInfo_Get")) {
        ADLMemoryInfo info{};
        if (info_1(adapter_index, &info) == kAdlOk) {
            std::string name = read_text(info.strMemoryType);
            if (!name.empty()) return name;
        }
    }
    if (auto info2_2 = find_entry<Adl2AdapterMemoryInfo2Get>(library, "ADL2_Adapter_MemoryInfo2_Get")) {
        ADLMemoryInfo2 info{};
        if (info2_2(context, adapter_index, &info) == kAdlOk) {
            std::string name = read_text(info.strMemoryType);
            if (!name.empty()) return name;
        }
    }
    return std::nullopt;
}

}  // namespace karvo::discovery::adl
