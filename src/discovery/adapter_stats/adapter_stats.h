#pragma once
// Adapter statistics from the OS graphics kernel (DXGI + D3DKMT): used and
// pinned VRAM per GPU, then per-process dedicated memory (PDH + Toolhelp).

#include "discovery/device.h"

namespace karvo::adapter_stats {

// Changes `devices` in place; every failure is silent.
void apply_adapter_statistics(DeviceList& devices);

}  // namespace karvo::adapter_stats
