#pragma once
// Writing a whole buffer to a file descriptor, shared by the console and the
// terminal of karvo top (both write to standard output).

#include <string_view>

#include "common/error.h"

namespace karvo::platform {

// Writes every byte, again after a signal interrupts; the OS's error text otherwise.
Status write_all_fd(int fd, std::string_view bytes);

}  // namespace karvo::platform
