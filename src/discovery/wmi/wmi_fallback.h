#pragma once
// AMD display adapters and the system memory type, read from WMI through PowerShell.
// Windows only.

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/error.h"
#include "discovery/device.h"
#include "discovery/naming/naming.h"

namespace karvo::discovery::wmi {

// The two PowerShell scripts, each passed as one argument exactly as written.
inline constexpr std::string_view kAdapterScript =
    R"ps(Get-CimInstance Win32_VideoController | Where-Object { $_.PNPDeviceID -like 'PCI\VEN_1002*' } | Select-Object Name,PNPDeviceID,DriverVersion,AdapterRAM | ConvertTo-Json -Compress)ps";
inline constexpr std::string_view kMemoryScript =
    R"ps((Get-CimInstance Win32_PhysicalMemory | Select-Object -First 1 -ExpandProperty SMBIOSMemoryType))ps";

// WMI's AdapterRAM is a 32-bit byte count that saturates for boards with
// 4 GiB or more; from this value up it says nothing about the real size.
inline constexpr std::uint64_t kAdapterRamSaturated = 4293918720;  // 0xFFF00000

// One PowerShell start: the adapter list as "wmi" records.
Result<DeviceList> query_wmi_devices();

// Turns the adapter script's output into records (no process started here,
// apart from what `query_code` does for shared-memory device IDs).
Result<DeviceList> parse_wmi_adapters(std::string_view output, const naming::MemoryCodeQuery& query_code);

// One PowerShell start: the SMBIOS memory-type code of the system RAM.
std::optional<std::uint32_t> query_system_memory_code();

// Reads the memory script's output: trimmed, "+"? digits, unsigned 32-bit.
std::optional<std::uint32_t> parse_memory_code(std::string_view output);

}  // namespace karvo::discovery::wmi
