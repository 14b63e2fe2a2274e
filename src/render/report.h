#pragma once
// The report routine of the one-shot and watch modes: one discovery pass, then
// the table or the JSON document on standard output.

#include <cstdint>
#include <functional>
#include <optional>

#include "common/error.h"
#include "discovery/device.h"

namespace karvo::render {

struct ReportOptions {
    bool json = false;
    bool compact = false;  // wins over json
    bool verbose = false;
    std::optional<std::uint64_t> watch;  // seconds as given on the command line
};

enum class ReportOutcome {
    printed,  // the table or document was written
    no_gpu,   // the list was empty: the two-line message went to standard error; exit status 2
};

using Discover = std::function<DeviceList()>;

// Runs `discover` once and prints the result. Errors are for the caller to print.
Result<ReportOutcome> run_report(const ReportOptions& options, const Discover& discover);

}  // namespace karvo::render
