#pragma once
// One discovery pass over every source the machine offers. Never fails: a
// source that cannot deliver is skipped, and nothing found is an empty list.

#include "discovery/device.h"

namespace karvo::discovery {

DeviceList discover_devices();

}  // namespace karvo::discovery
