#include "discovery/adapter_stats/adapter_stats.h"

namespace karvo::adapter_stats {

void apply_adapter_statistics(DeviceList&) {}

}  // namespace karvo::adapter_stats
