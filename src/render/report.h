#pragma once
// The report routine of the one-shot and watch modes: one discovery pass, then
// the table or the JSON document on standard output.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "discovery/device.h"
#include "platform/system.h"
#include "render/query.h"
#include "render/table.h"

namespace karvo::render {

struct ReportOptions {
    bool json = false;
    bool compact = false;  // wins over json
    bool verbose = false;
    std::optional<std::uint64_t> watch;  // seconds as given on the command line
    // Written to standard output before the report, in the same write, so a
    // screen cleared by it is never left blank while discovery runs (the watch
    // screen's clear sequence). With no GPU it is written alone, before the
    // message on standard error.
    std::string_view screen_prefix;
    // Watch mode: the previous refresh, replaced by this one after it is shown
    // (verbose process rows show busy rates against it). Null elsewhere.
    PreviousPass* previous = nullptr;
    // --id: only these GPUs (all when empty).
    std::vector<std::string> ids;
    // A query prints its CSV rows instead of the table or document; its
    // header only when `query_header` (the first sample of a loop).
    const Query* query = nullptr;
    bool query_header = true;
    // A loop sample of the document: one JSON Lines record with its time.
    bool json_lines = false;
};

enum class ReportOutcome {
    printed,  // the table or document was written
    no_gpu,   // the list was empty: the two-line message went to standard error; exit status 2
    no_match,  // an --id named no GPU: the message went to standard error; exit status 2
};

using Discover = std::function<DeviceList()>;

// Runs `discover` once, renders, then prints the result. The only error is a
// failed write of the report to standard output (see is_output_failure); it is
// for the caller to print.
Result<ReportOutcome> run_report(const ReportOptions& options, const Discover& discover);

// True for the error of a report that could not be written to standard output
// ("write to standard output failed: {reason}").
bool is_output_failure(const Error& error);

// The two lines written to standard error when discovery found nothing.
inline constexpr std::string_view kNoGpuMessage =
    "No AMD GPU found. Tried: HIP (amdhip64) -> ADL (atiadlxx.dll) -> WMI (Win32_VideoController) on Windows; "
    "HIP+sysfs on Linux\n"
    "Hint: check driver installed and C:\\TheRock\\build\\bin is in PATH\n";

// Where a report goes. run_report(options, discover) uses the process's
// standard streams and the local clock; tests put their own in.
struct ReportIo {
    std::function<Status(std::string_view)> write_out;
    std::function<Status(std::string_view)> write_err;
    std::function<platform::WallTime(platform::Zone)> wall_time;  // the system clock when unset
    std::function<std::uint64_t()> monotonic_ns;                  // the process clock when unset
};

Result<ReportOutcome> run_report(const ReportOptions& options, const Discover& discover, const ReportIo& io);

// Everything one report writes to standard output for a non-empty list: the
// JSON document and "\n" (compact when `compact`, else pretty when `json`), or
// the table. `time_text` is only used by the table.
std::string report_text(const ReportOptions& options, const DeviceList& devices, std::string_view time_text,
                        std::uint64_t now_ns = 0);

}  // namespace karvo::render
