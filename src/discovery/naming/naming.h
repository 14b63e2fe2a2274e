#pragma once
// Fixed lookups that supply the graphics target and the memory technology of
// a GPU from what the sources report: its marketing name or its PCI device ID.
// Both systems: every source that reports no graphics target or memory type asks.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace karvo::discovery::naming {

// Asks for the SMBIOS memory-type code of the system RAM (integrated GPUs share
// it); nothing when it cannot be had. The real one starts PowerShell.
using MemoryCodeQuery = std::function<std::optional<std::uint32_t>()>;

std::string gfx_target_for_name(std::string_view market_name);
std::string memory_type_for_name(std::string_view market_name, std::string_view gfx_version,
                                 const MemoryCodeQuery& query_code);
std::string gfx_target_for_device_id(std::uint32_t device_id);
std::string memory_type_for_device_id(std::uint32_t device_id, const MemoryCodeQuery& query_code);

// The two memory-code tables: the short one never fails ("DDR5" for anything
// unknown); the full one has no name for codes it does not list.
std::string short_memory_name(std::optional<std::uint32_t> code);
std::optional<std::string> full_memory_name(std::uint32_t code);

}  // namespace karvo::discovery::naming
