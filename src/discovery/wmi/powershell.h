#pragma once
// Runs "powershell -NoProfile -Command {script}" and captures its standard output.

#include <chrono>
#include <string>
#include <string_view>

#include "common/error.h"

namespace karvo::discovery::wmi {

// The source every PowerShell run counts for.
inline constexpr std::string_view kWmiSource = "wmi";

// Longest a PowerShell run may take before it is stopped.
inline constexpr std::chrono::milliseconds kPowerShellTimeLimit{10000};

// Standard output as bytes. Errors: a failure to start the process, and a run
// that did not end within `time_limit` (it is killed with the processes it
// started); callers treat both alike. Each run is a call of the "wmi" source:
// a start failure counts as missing, a run past its limit as a timeout.
Result<std::string> run_powershell(std::string_view script,
                                   std::chrono::milliseconds time_limit = kPowerShellTimeLimit);

}  // namespace karvo::discovery::wmi
