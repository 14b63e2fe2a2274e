#pragma once
// A program left running in the background while a test talks to it (a
// server, say), with its standard output and error going to files. The test
// ends it by killing it; the destructor does so too.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"

namespace karvo::testing {

class BackgroundProcess {
public:
    BackgroundProcess() = default;
    BackgroundProcess(BackgroundProcess&& other) noexcept;
    BackgroundProcess& operator=(BackgroundProcess&& other) noexcept;
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    ~BackgroundProcess() { kill(); }

    // Starts `program` (a full path) with `args`; it inherits our environment,
    // reads an empty standard input and writes into the two files. With
    // kClosedPipe as `stdout_path` its standard output is a pipe whose reading
    // end is already closed (a reader that has gone away).
    static Result<BackgroundProcess> start(const std::string& program, const std::vector<std::string>& args,
                                           const std::string& stdout_path, const std::string& stderr_path);
    static constexpr const char* kClosedPipe = "";

    // True while the program has not ended.
    bool running();
    // Waits up to `milliseconds` for the program to end; its exit status, or
    // nothing when it still runs.
    std::optional<int> wait_for_exit(std::uint32_t milliseconds);
    // Ends the program (if it still runs) and waits for it.
    void kill();

private:
    // A pid on POSIX, a process HANDLE on Windows; 0 when there is none.
    std::uintptr_t handle_ = 0;
};

}  // namespace karvo::testing
