#include <cerrno>
#include <csignal>
#include <unistd.h>

#include "platform/os_calls.h"
#include "platform/console.h"
#include "platform/system.h"
#include "platform/posix/write_fd.h"

namespace karvo::platform {

Status write_all_fd(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error(os_error_text(errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return Ok{};
}

Status write_stdout(std::string_view bytes) { return write_all_fd(STDOUT_FILENO, bytes); }
Status os::write_stderr(std::string_view bytes) {
    if (stderr_diverted(bytes)) return Ok{};
    return write_all_fd(STDERR_FILENO, bytes);
}

void exit_zero_on_interrupt() {
    struct sigaction action {};
    action.sa_handler = [](int) { _exit(0); };  // async-signal-safe
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void init_process() {
    // A reader that went away (closed pipe, disconnected client) must not kill us.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace karvo::platform
