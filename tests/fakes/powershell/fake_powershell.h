#pragma once
// The platform-neutral body of the fake PowerShell (see fake_powershell.cpp).

#include <optional>
#include <string>
#include <vector>

namespace karvo::fake {

// `args` are the arguments after the program name, `scenario_dir` the value of
// KARVO_FAKE_PS_DIR, both UTF-8. Returns the exit status.
int run_fake_powershell(const std::vector<std::string>& args, const std::optional<std::string>& scenario_dir);

}  // namespace karvo::fake
