#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>

#include "platform/os_calls.h"
#include "platform/process.h"
#include "platform/system.h"

extern char** environ;

namespace karvo::platform {
namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

bool make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
}

// The child's environment: ours with the requested changes applied.
std::vector<std::string> child_environment(const ProcessSpec& spec) {
    std::map<std::string, std::string> vars;
    std::vector<std::string> order;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string item(*entry);
        const auto eq = item.find('=');
        const std::string name = item.substr(0, eq);
        if (vars.emplace(name, eq == std::string::npos ? "" : item.substr(eq + 1)).second) order.push_back(name);
    }
    for (const auto& [name, value] : spec.env) {
        if (value) {
            if (vars.insert_or_assign(name, *value).second) order.push_back(name);
        } else {
            vars.erase(name);
        }
    }
    std::vector<std::string> result;
    for (const auto& name : order) {
        const auto found = vars.find(name);
        if (found != vars.end()) result.push_back(name + "=" + found->second);
    }
    return result;
}

// The normal program search: a name with a slash is used as is, any other is
// looked up in the PATH the child will see.
std::string find_program(const std::string& program, const std::vector<std::string>& env) {
    if (program.find('/') != std::string::npos) return program;
    std::string path = "/usr/local/bin:/usr/bin:/bin";
    for (const auto& item : env)
        if (item.rfind("PATH=", 0) == 0) path = item.substr(5);
    std::size_t start = 0;
    for (;;) {
        const auto end = path.find(':', start);
        std::string dir = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + program;
        struct stat info{};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return {};
}

// Milliseconds left until `deadline_ns` (monotonic), 0 when it has passed.
int remaining_ms(std::uint64_t deadline_ns) {
    const std::uint64_t now = monotonic_ns();
    if (now >= deadline_ns) return 0;
    const std::uint64_t ms = (deadline_ns - now + 999999) / 1000000;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// Kills the child's process group (the child alone should it have none) and reaps the child.
void kill_group(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

Result<ProcessOutput> os::run_process(const ProcessSpec& spec) {
    const std::string context = "failed to start " + spec.program;
    const std::vector<std::string> env = child_environment(spec);
    const std::string path = find_program(spec.program, env);
    if (path.empty()) return Error(context).with_cause(os_error_text(ENOENT));

    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are allowed.
    std::vector<std::string> argv_storage;
    argv_storage.push_back(spec.program);
    argv_storage.insert(argv_storage.end(), spec.args.begin(), spec.args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_storage = env;
    std::vector<char*> envp;
    for (auto& item : env_storage) envp.push_back(item.data());
    envp.push_back(nullptr);

    Fd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (null_in.get() < 0) return Error(context).with_cause(os_error_text(errno));
    Fd out_read, out_write, err_read, err_write, status_read, status_write;
    if (!make_pipe(out_read, out_write) || !make_pipe(err_read, err_write) ||
        !make_pipe(status_read, status_write))
        return Error(context).with_cause(os_error_text(errno));

    const bool limited = spec.time_limit.has_value();
    const std::uint64_t limit_ns =
        limited ? static_cast<std::uint64_t>(std::max<std::int64_t>(spec.time_limit->count(), 0)) * 1000000u : 0;
    const std::uint64_t deadline = monotonic_ns() + limit_ns;

    const pid_t pid = ::fork();
    if (pid < 0) return Error(context).with_cause(os_error_text(errno));
    if (pid == 0) {
        // A group of its own, so that the child's own children can be killed with it.
        if (limited) ::setpgid(0, 0);
        ::dup2(null_in.get(), 0);
        ::dup2(out_write.get(), 1);
        ::dup2(err_write.get(), 2);
        // Nothing of ours beyond the three standard streams reaches the child,
        // not even descriptors some library opened without close-on-exec.
        const int status_fd = status_write.get();
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != status_fd) ::close(fd);
        if (!spec.working_dir.empty() && ::chdir(spec.working_dir.c_str()) != 0) {
            const int error = errno;
            (void)!::write(status_fd, &error, sizeof error);
            ::_exit(127);
        }
        ::execve(path.c_str(), argv.data(), envp.data());
        const int error = errno;
        (void)!::write(status_fd, &error, sizeof error);
        ::_exit(127);
    }
    // Also here: whichever of the two calls comes first, the group exists before any kill.
    if (limited) ::setpgid(pid, pid);
    out_write.reset();
    err_write.reset();
    status_write.reset();
    null_in.reset();

    int exec_error = 0;
    ssize_t got;
    do {
        got = ::read(status_read.get(), &exec_error, sizeof exec_error);
    } while (got < 0 && errno == EINTR);

    ProcessOutput output;
    pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
    std::string* sinks[2] = {&output.out, &output.err};
    int open_count = 2;
    char buffer[65536];
    while (open_count > 0) {
        const int wait_ms = limited ? remaining_ms(deadline) : -1;
        if (wait_ms == 0) {
            kill_group(pid);
            return time_limit_error(spec);
        }
        const int ready = ::poll(fds, 2, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }

    int status = 0;
    if (limited) {
        // The output has ended; the child may still run.
        for (;;) {
            const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
            if (reaped == pid || (reaped < 0 && errno != EINTR)) break;
            if (remaining_ms(deadline) == 0) {
                kill_group(pid);
                return time_limit_error(spec);
            }
            sleep_milliseconds(5);
        }
    } else {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (got == static_cast<ssize_t>(sizeof exec_error)) return Error(context).with_cause(os_error_text(exec_error));
    if (WIFEXITED(status)) output.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) output.exit_code = 128 + WTERMSIG(status);
    return output;
}

}  // namespace karvo::platform
