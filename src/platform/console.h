#pragma once
// Standard output and error as byte streams. Every write goes straight to the
// OS (nothing is buffered), so each line or document is visible at once. On a
// Windows console the UTF-8 text is shown as UTF-16; redirected output stays
// raw UTF-8 and "\n" is always one LF byte.

#include <functional>
#include <string_view>

#include "common/error.h"

namespace karvo::platform {

// Writes all bytes to standard output / standard error.
Status write_stdout(std::string_view bytes);
Status write_stderr(std::string_view bytes);

// One-time set-up at process start: on Windows enables VT processing on the
// console (so the watch screen's escape sequences clear it); on POSIX makes a
// closed pipe or socket an error instead of a fatal signal. Failures are ignored.
void init_process();

// While the interactive screen is up, lines for standard error would land in
// the middle of it: with a sink set, write_stderr hands its bytes to the sink
// instead (on whichever thread writes them). An empty function restores
// standard error.
void divert_stderr(std::function<void(std::string_view)> sink);
// For the write_stderr of each system: true when a sink took the bytes.
bool stderr_diverted(std::string_view bytes);

// From now on an interrupt (Ctrl-C, Ctrl-Break; SIGINT or SIGTERM on POSIX)
// ends the process at once with status 0: the end of a sampling loop.
void exit_zero_on_interrupt();

}  // namespace karvo::platform
