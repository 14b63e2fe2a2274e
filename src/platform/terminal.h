#pragma once
// The terminal of the interactive screen: keys as they are typed, the size,
// resize and quit notices, and output. One implementation per system: POSIX
// terminals (termios, SIGWINCH, signals) and the Windows console (VT
// processing, UTF-8 output, console input records, the control handler).
//
// What the screen shows is the caller's business: the terminal writes the
// bytes it is given, plus the `enter` sequence when it opens and the `leave`
// sequence when it closes. Closing (the destructor) restores everything it
// changed, so every way out of the screen that unwinds (a key, a signal or
// console event turned into a quit request, an exception) leaves the
// terminal as it was.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/keys.h"

namespace karvo::platform {

struct TerminalSize {
    int columns = 0;
    int rows = 0;

    bool operator==(const TerminalSize&) const = default;
};

// What happened during one wait.
struct TerminalEvents {
    std::vector<Key> keys;
    bool resized = false;  // the size may have changed: ask size()
    // A request to end from outside the key stream: SIGTERM, SIGHUP, SIGINT,
    // SIGQUIT or the terminal hanging up; Ctrl-C or Ctrl-Break as a console
    // event, the console window closing, logoff, shutdown.
    bool quit = false;
    bool woken = false;  // wake() was called
};

class Terminal {
public:
    virtual ~Terminal() = default;

    virtual TerminalSize size() = 0;
    // Waits up to `timeout_ms` for keys, a resize, a quit request or a wake().
    virtual TerminalEvents wait(std::uint32_t timeout_ms) = 0;
    // Ends the wait in progress, or the next one. Safe from any thread.
    virtual void wake() = 0;
    virtual Status write(std::string_view bytes) = 0;
    // The longest piece of output the terminal takes between two CR bytes,
    // or 0 for no limit. Wine's console host keeps what a program writes in
    // a buffer of the console's width, escape sequences counted as
    // characters, and breaks longer runs with line ends of its own; there
    // every run of output starts with CR and stays under this limit, and
    // write() hands each such run over on its own.
    virtual std::size_t line_limit() = 0;
    // The face name of the font the console window draws with ("Consolas"),
    // or "" where that is not known (POSIX terminals, terminal emulators on
    // Windows).
    virtual std::string font_face() = 0;
};

struct TerminalSetup {
    std::string enter;  // written once the terminal is set up (alternate screen, hidden cursor)
    std::string leave;  // written before it is restored
};

// Whether standard output / standard input are a terminal (a console on Windows).
bool stdout_is_terminal();
bool stdin_is_terminal();

// Puts the terminal of standard input and output in raw mode (keys as they
// are typed, Ctrl-C as a key, no echo) and writes `setup.enter`. Fails when
// the terminal cannot do what the screen needs: a POSIX terminal that cannot
// be switched to raw mode or calls itself "dumb", a Windows console that
// refuses VT processing.
Result<std::unique_ptr<Terminal>> open_terminal(const TerminalSetup& setup);

}  // namespace karvo::platform
