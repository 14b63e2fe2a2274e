#pragma once
// One discovery pass over every source the machine offers. Never fails: a
// source that cannot deliver is skipped, and nothing found is an empty list.

#include <vector>

#include "discovery/device.h"
#include "discovery/sources/source_ledger.h"

namespace karvo::discovery {

// What one pass found, and how it went: each source it asked, and the time
// the whole pass took.
struct PassResult {
    DeviceList devices;
    std::vector<SourceStatus> sources;
    double seconds = 0;
};

PassResult discover_pass();

// The devices of one pass, for callers that need nothing else.
DeviceList discover_devices();

}  // namespace karvo::discovery
