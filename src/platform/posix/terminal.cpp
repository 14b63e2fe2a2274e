#include "platform/terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>

#include "platform/system.h"
#include "platform/posix/write_fd.h"

namespace karvo::platform {
namespace {

// How long the byte after an ESC may take to arrive and still belong to the
// same key's sequence.
constexpr int kEscapeWaitMs = 30;

// Signal handlers only write one byte into this pipe: 'w' for a resize, 'z'
// for a request to stop (SIGTSTP from another process), 'c' for a continue
// after a stop, 'q' for a request to end. wake() writes 'k'.
int g_signal_pipe = -1;

constexpr std::array<int, 7> kHandledSignals = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGWINCH, SIGTSTP, SIGCONT};

char signal_note(int signal_number) {
    switch (signal_number) {
        case SIGWINCH: return 'w';
        case SIGTSTP: return 'z';
        case SIGCONT: return 'c';
        default: return 'q';
    }
}

void on_signal(int signal_number) {
    const int saved = errno;
    const char note = signal_note(signal_number);
    if (g_signal_pipe >= 0) (void)::write(g_signal_pipe, &note, 1);
    errno = saved;
}

class PosixTerminal final : public Terminal {
public:
    PosixTerminal(const termios& saved, const termios& raw, const int (&pipe_fds)[2], TerminalSetup setup)
        : saved_(saved), raw_(raw), enter_(std::move(setup.enter)), leave_(std::move(setup.leave)) {
        pipe_[0] = pipe_fds[0];
        pipe_[1] = pipe_fds[1];
        g_signal_pipe = pipe_[1];
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kHandledSignals.size(); ++i) sigaction(kHandledSignals[i], &action, &old_actions_[i]);
    }

    ~PosixTerminal() override {
        (void)write_all_fd(STDOUT_FILENO, leave_);
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        for (std::size_t i = 0; i < kHandledSignals.size(); ++i) sigaction(kHandledSignals[i], &old_actions_[i], nullptr);
        g_signal_pipe = -1;
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }

    TerminalSize size() override {
        winsize ws{};
        if ((ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 || ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) == 0) &&
            ws.ws_col != 0 && ws.ws_row != 0)
            return {ws.ws_col, ws.ws_row};
        return {80, 24};  // a terminal that does not say: the classic size
    }

    TerminalEvents wait(std::uint32_t timeout_ms) override {
        TerminalEvents events;
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {pipe_[0], POLLIN, 0}};
        const bool escape_held = decoder_.pending();
        const int timeout = escape_held && timeout_ms > kEscapeWaitMs ? kEscapeWaitMs : static_cast<int>(timeout_ms);
        const int ready = ::poll(fds, 2, timeout);
        if (ready == 0 && escape_held) decoder_.flush(events.keys);
        if (ready <= 0) return events;
        if ((fds[1].revents & POLLIN) != 0) {
            char notes[64];
            const ssize_t n = ::read(pipe_[0], notes, sizeof notes);
            bool stop = false, continued = false;
            for (ssize_t i = 0; i < n; ++i) {
                if (notes[i] == 'w') events.resized = true;
                if (notes[i] == 'q') events.quit = true;
                if (notes[i] == 'k') events.woken = true;
                if (notes[i] == 'z') stop = true;
                if (notes[i] == 'c') continued = true;
            }
            if (stop) {
                stop_job(events);
            } else if (continued) {
                // Stopped by a signal that cannot be caught (SIGSTOP): the
                // shell may have reset the terminal meanwhile.
                come_back(events);
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char bytes[256];
            const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (n > 0) {
                decoder_.feed(std::string_view(bytes, static_cast<std::size_t>(n)), events.keys);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                events.quit = true;  // the terminal has gone
            }
        }
        // Ctrl-Z stops the job as a shell user expects; it is no key of the screen.
        if (std::erase(events.keys, Key{KeyCode::suspend}) > 0) stop_job(events);
        return events;
    }

    void wake() override {
        const char note = 'k';
        (void)::write(pipe_[1], &note, 1);
    }

    Status write(std::string_view bytes) override { return write_all_fd(STDOUT_FILENO, bytes); }
    std::size_t line_limit() override { return 0; }
    std::string font_face() override { return {}; }

private:
    // Gives the terminal back as it was and stops the process group (the
    // shell's job), as a stop from the keyboard would; once continued (fg),
    // takes the terminal again and asks for the whole screen anew.
    void stop_job(TerminalEvents& events) {
        (void)write_all_fd(STDOUT_FILENO, leave_);
        tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_);
        struct sigaction ours {};
        struct sigaction stop_default {};
        stop_default.sa_handler = SIG_DFL;
        sigemptyset(&stop_default.sa_mask);
        sigaction(SIGTSTP, &stop_default, &ours);
        (void)::kill(0, SIGTSTP);  // returns once the job is continued (at once when no shell can continue it)
        sigaction(SIGTSTP, &ours, nullptr);
        come_back(events);
    }

    void come_back(TerminalEvents& events) {
        tcsetattr(STDIN_FILENO, TCSADRAIN, &raw_);
        (void)write_all_fd(STDOUT_FILENO, enter_);
        events.resized = true;  // the window may have changed while the job was stopped
        events.keys.push_back(Key{KeyCode::redraw});
    }

    termios saved_;
    termios raw_;
    std::string enter_;
    int pipe_[2] = {-1, -1};
    std::array<struct sigaction, kHandledSignals.size()> old_actions_{};
    std::string leave_;
    KeyDecoder decoder_;
};

}  // namespace

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

Result<std::unique_ptr<Terminal>> open_terminal(const TerminalSetup& setup) {
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::string_view(term) == "dumb") {
        return Error("the terminal (TERM=dumb) cannot move the cursor; use --watch for a refreshing table");
    }
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return Error("read the terminal's settings: " + os_error_text(errno));
    termios raw = saved;
    // Keys as they are typed, not echoed; Ctrl-C, Ctrl-Z and Ctrl-S arrive as keys.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | ISTRIP | BRKINT);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return Error("create a pipe: " + os_error_text(errno));
    for (const int fd : pipe_fds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        const int code = errno;
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        return Error("switch the terminal to raw mode: " + os_error_text(code));
    }
    auto terminal = std::make_unique<PosixTerminal>(saved, raw, pipe_fds, setup);
    if (const Status written = terminal->write(setup.enter); !written.ok()) return written.error();
    return std::unique_ptr<Terminal>(std::move(terminal));
}

}  // namespace karvo::platform
