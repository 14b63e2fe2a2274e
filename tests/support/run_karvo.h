#pragma once
// Runs the real karvo executable (built next to the test binaries) and
// captures what it prints and its exit status.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace karvo::testing {

// Folder of the test executables and of karvo itself.
std::string bin_dir();
// Full path of the karvo executable.
std::string karvo_path();
// Folder a fake was built into: bin/fakes/<name>.
std::string fake_dir(const std::string& name);

// An empty folder for KARVO_SYSROOT: the Linux sources then see no card and no
// process, whatever the machine running the tests has.
std::string empty_sysroot();

// A loopback port nobody listened on a moment ago (a server started on it
// may still find it taken: start again on another).
std::string free_loopback_port();

// GET `path` of the karvo serving on 127.0.0.1:`port`: everything it sent
// until it closed (within 30 s).
std::string loopback_get(const std::string& port, const std::string& path);

using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Runs karvo with `args`; `env` changes the child's environment. The token
// variables are removed and KARVO_SYSROOT is empty_sysroot() unless `env` sets
// them, so neither the caller's shell nor the machine's /sys leaks into a test.
platform::ProcessOutput run_karvo(const std::vector<std::string>& args, EnvChanges env = {},
                                  const std::string& program = karvo_path());

}  // namespace karvo::testing
