#pragma once
// --report FILE: one pass recorded at the system's boundary, saved with what
// karvo printed; --replay FILE: every pass of this process answered from
// such a file.

#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/driver.h"
#include "render/report.h"

namespace karvo::cli {

// Runs one recorded report with `options`, prints it as usual, writes the
// report file (redacted with args.redact) and says on standard error what it
// holds. Returns the exit status of the report (the file is written even when
// no GPU was found), or 1 when the file cannot be written.
int run_recorded_report(const Args& args, const std::vector<std::string>& argv, const render::ReportOptions& options,
                        const Services& services);

// Reads and checks a report file and makes every later pass answer from it.
// The error says what is wrong with the file.
Status start_replay(const std::string& path);

}  // namespace karvo::cli
