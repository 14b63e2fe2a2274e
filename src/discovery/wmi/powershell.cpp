#include "discovery/wmi/powershell.h"

#include <utility>

#include "discovery/sources/source_ledger.h"
#include "platform/process.h"

namespace karvo::discovery::wmi {

Result<std::string> run_powershell(std::string_view script, std::chrono::milliseconds time_limit) {
    const SourceTimer timed(kWmiSource);
    platform::ProcessSpec spec;
    spec.program = "powershell";
    spec.args = {"-NoProfile", "-Command", std::string(script)};
    // A WMI service that stops answering would otherwise hold up the whole pass.
    spec.time_limit = time_limit;
    // Standard error is read along with standard output (so a chatty child
    // cannot stall on a full pipe) and then dropped; the exit status says
    // nothing reliable about whether the script printed its answer.
    auto result = platform::run_process(spec);
    if (!result.ok()) {
        // A run stopped at its limit, or a PowerShell that cannot be started at all.
        const bool timed_out = result.error().message() == platform::time_limit_error(spec).message();
        note_source(kWmiSource, timed_out ? SourceReason::timeout : SourceReason::missing);
        return result.error();
    }
    // Nothing printed and a failing status: the script itself failed (WMI
    // refused the query); nothing printed and success is an answer (no adapter).
    const bool refused = result->exit_code != 0 && result->out.empty();
    note_source(kWmiSource, refused ? std::optional(SourceReason::failed) : std::nullopt);
    return std::move(std::move(result).value().out);
}

}  // namespace karvo::discovery::wmi
