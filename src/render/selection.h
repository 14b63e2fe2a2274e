#pragma once
// --id: the GPUs a run reports, named by index, PCI address ("0000:03:00.0"
// or "03:00.0"), serial, or (Windows) device instance path, case-insensitive.

#include <string>
#include <vector>

#include "common/error.h"
#include "discovery/device.h"

namespace karvo::render {

// The names of a comma-separated --id list; empty names are dropped.
std::vector<std::string> split_ids(std::string_view list);

// The devices any name matches, in discovery order; names that match nothing
// are passed over (the server: GPUs may come and go between requests).
DeviceList devices_named(DeviceList devices, const std::vector<std::string>& ids);

// The devices any name matches, in discovery order. A name that matches no
// device is an error that names it. No names: the list as it is.
Result<DeviceList> select_devices(DeviceList devices, const std::vector<std::string>& ids);

}  // namespace karvo::render
