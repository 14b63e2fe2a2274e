#pragma once
// A card's hwmon sensors (temperatures, clocks, rails, power, power cap, fan)
// and its RAS error counters, both read from the PCI function's folder. Linux.

#include <string>

#include "discovery/device.h"

namespace karvo::discovery::linux {

// The hwmon readings of one card, found by label; power from the first file
// that answers. A field some hwmon folder already gave is not read again.
// Reading hwmon wakes a sleeping GPU: callers ask only for awake cards.
void read_hwmon(const std::string& device_dir, GpuDevice& device);

// Error counts of the RAS blocks (ras/<block>_err_count: "ue: N", "ce: N",
// and on umc "de: N" lines), summed over the blocks that answer. A block may
// read "Query currently inaccessible": it adds nothing.
void read_ras(const std::string& device_dir, GpuDevice& device);

}  // namespace karvo::discovery::linux
