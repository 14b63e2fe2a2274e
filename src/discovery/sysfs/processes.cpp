#include "discovery/sysfs/sysfs.h"

namespace karvo::sysfs {

// Placeholder until the process walk lands: no card gets process entries.
void attach_processes(const Root&, const std::vector<CardRef>&, DeviceList&) {}

}  // namespace karvo::sysfs
