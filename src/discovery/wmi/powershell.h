#pragma once
// Runs "powershell -NoProfile -Command {script}" and captures its standard output.

#include <chrono>
#include <string>
#include <string_view>

#include "common/error.h"

namespace karvo::discovery::wmi {

// Longest a PowerShell run may take before it is stopped.
inline constexpr std::chrono::milliseconds kPowerShellTimeLimit{10000};

// Standard output as bytes. Errors: a failure to start the process, and a run
// that did not end within `time_limit` (it is killed with the processes it
// started); callers treat both alike.
Result<std::string> run_powershell(std::string_view script,
                                   std::chrono::milliseconds time_limit = kPowerShellTimeLimit);

}  // namespace karvo::discovery::wmi
