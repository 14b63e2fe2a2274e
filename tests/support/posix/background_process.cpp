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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int code = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
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
