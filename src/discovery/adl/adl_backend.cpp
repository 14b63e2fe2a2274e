#include "discovery/adl/adl_backend.h"

namespace karvo::adl {

Status query_pmlog(DeviceList&) { return Error("not available"); }
Status overdrive_fallback(DeviceList&) { return Error("not available"); }

}  // namespace karvo::adl
