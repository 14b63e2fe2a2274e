#pragma once
// Runs "powershell -NoProfile -Command {script}" and captures its standard output.

#include <string>
#include <string_view>

#include "common/error.h"

namespace karvo::wmi {

// Standard output as bytes; the only error is a failure to start the process.
Result<std::string> run_powershell(std::string_view script);

}  // namespace karvo::wmi
