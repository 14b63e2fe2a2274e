#include "common/numfmt.h"
#include "platform/process.h"

namespace karvo::platform {

Error time_limit_error(const ProcessSpec& spec) {
    const auto limit = spec.time_limit.value_or(std::chrono::milliseconds(0)).count();
    return Error(spec.program + " did not finish within " +
                 numfmt::unsigned_text(static_cast<std::uint64_t>(limit < 0 ? 0 : limit)) + " ms");
}

}  // namespace karvo::platform
