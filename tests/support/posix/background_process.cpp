#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/system.h"
#include "support/background_process.h"

extern char** environ;

namespace karvo::testing {

BackgroundProcess::BackgroundProcess(BackgroundProcess&& other) noexcept : handle_(other.handle_) {
    other.handle_ = 0;
}

BackgroundProcess& BackgroundProcess::operator=(BackgroundProcess&& other) noexcept {
    if (this != &other) {
        kill();
        handle_ = other.handle_;
        other.handle_ = 0;
    }
    return *this;
}

Result<BackgroundProcess> BackgroundProcess::start(const std::string& program, const std::vector<std::string>& args,
                                                   const std::string& stdout_path, const std::string& stderr_path) {
    // A pipe whose reading end is closed before the child starts.
    int gone_reader[2] = {-1, -1};
    if (stdout_path.empty()) {
        if (::pipe2(gone_reader, O_CLOEXEC) != 0) return Error(platform::os_error_text(errno));
        ::close(gone_reader[0]);
        gone_reader[0] = -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdout_path.empty()) {
        posix_spawn_file_actions_adddup2(&actions, gone_reader[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int code = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (const int fd : gone_reader) {
        if (fd >= 0) ::close(fd);
    }
    if (code != 0) return Error(platform::os_error_text(code));
    BackgroundProcess process;
    process.handle_ = static_cast<std::uintptr_t>(pid);
    return process;
}

bool BackgroundProcess::running() {
    if (handle_ == 0) return false;
    int status = 0;
    const pid_t done = ::waitpid(static_cast<pid_t>(handle_), &status, WNOHANG);
    if (done == 0) return true;
    handle_ = 0;  // reaped (or no longer ours)
    return false;
}

std::optional<int> BackgroundProcess::wait_for_exit(std::uint32_t milliseconds) {
    const auto pid = static_cast<pid_t>(handle_);
    for (std::uint32_t waited = 0; handle_ != 0; waited += 10) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            handle_ = 0;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0 && errno != EINTR) break;
        if (waited >= milliseconds) return std::nullopt;
        platform::sleep_milliseconds(10);
    }
    return std::nullopt;
}

void BackgroundProcess::kill() {
    if (handle_ == 0) return;
    const auto pid = static_cast<pid_t>(handle_);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    handle_ = 0;
}

}  // namespace karvo::testing
