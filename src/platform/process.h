#pragma once
// Child processes: start a program found by the normal program search, give
// it an empty standard input, capture standard output and standard error at
// the same time (a child filling one pipe never dead-locks us) and wait for it.
// The child inherits none of our handles (sockets, files) beyond its three
// standard streams, and gets no console window of its own on Windows.
//
// With a time limit the child and the processes it starts form a group of
// their own (a process group on POSIX, a job on Windows); when the limit
// passes with the child still running (or its output still open), the whole
// group is killed and the run fails.

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"

namespace karvo::platform {

struct ProcessSpec {
    std::string program;             // name or path; names use the program search
    std::vector<std::string> args;   // arguments after the program name, passed byte for byte
    // Environment changes for the child: a value sets the variable, nothing removes it.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    std::string working_dir;         // empty: ours
    // Longest the run may take, from the start to the end of the child and of
    // its output; nothing: as long as it takes.
    std::optional<std::chrono::milliseconds> time_limit;
};

struct ProcessOutput {
    int exit_code = 0;  // the exit status; on POSIX 128 + signal number when killed by a signal
    std::string out;
    std::string err;
};

// Runs the program to completion. Errors: a failure to start it, and a run
// that reached its time limit ("<program> did not finish within <n> ms").
Result<ProcessOutput> run_process(const ProcessSpec& spec);

// The error of a run that reached its time limit.
Error time_limit_error(const ProcessSpec& spec);

}  // namespace karvo::platform
