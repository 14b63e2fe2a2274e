#pragma once
// The display library backend: PMLog sensor readings (discovery or
// enrichment), memory technology names and the OverdriveN fallback.
// Windows only: the Windows pass asks it; Linux reads the kernel's files instead.

#include <string_view>

#include "common/error.h"
#include "discovery/device.h"

namespace karvo::discovery::adl {

// The source the library's calls count for (discovery/sources): a library
// that does not load at all counts as missing.
inline constexpr std::string_view kAdlSource = "adl";

// Discovery mode when `devices` is empty on entry (appends "adl-pmlog"
// records), enrichment mode otherwise (fills sensors, appends "+adl").
Status query_pmlog(DeviceList& devices);

// Fills temperature, clocks, utilisation, PCIe, throttling and fan figures
// from OverdriveN.
Status overdrive_fallback(DeviceList& devices);

}  // namespace karvo::discovery::adl
