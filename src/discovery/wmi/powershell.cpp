#include "discovery/wmi/powershell.h"

#include <utility>

#include "platform/process.h"

namespace karvo::discovery::wmi {

Result<std::string> run_powershell(std::string_view script, std::chrono::milliseconds time_limit) {
    platform::ProcessSpec spec;
    spec.program = "powershell";
    spec.args = {"-NoProfile", "-Command", std::string(script)};
    // A WMI service that stops answering would otherwise hold up the whole pass.
    spec.time_limit = time_limit;
    // Standard error is read along with standard output (so a chatty child
    // cannot stall on a full pipe) and then dropped; the exit status says
    // nothing reliable about whether the script printed its answer.
    auto result = platform::run_process(spec);
    if (!result.ok()) return result.error();
    return std::move(std::move(result).value().out);
}

}  // namespace karvo::discovery::wmi
