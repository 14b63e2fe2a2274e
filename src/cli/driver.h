#pragma once
// The program's entry: parse the command line, pick one run mode, run it and
// turn the outcome into output streams and an exit status.

#include <string>
#include <vector>

namespace karvo::cli {

// `args` holds the program name first, then the arguments, all UTF-8.
// Returns the exit status (some modes never return).
int run(const std::vector<std::string>& args);

}  // namespace karvo::cli
