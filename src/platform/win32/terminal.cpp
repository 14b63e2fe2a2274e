#include "platform/terminal.h"

#include <atomic>

#include "platform/system.h"
#include "platform/win32/win32_util.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#ifndef DISABLE_NEWLINE_AUTO_RETURN
#define DISABLE_NEWLINE_AUTO_RETURN 0x0008
#endif

namespace karvo::platform {
namespace {

constexpr UINT kUtf8CodePage = 65001;
// How long the console may wait for the screen to be left when its window
// closes (the system ends the process a few seconds after the event).
constexpr DWORD kCloseWaitMs = 3000;

// Set by the console control handler (its own thread), read by wait().
std::atomic<bool> g_quit_requested{false};
HANDLE g_wake_event = nullptr;  // wakes wait()
HANDLE g_left_event = nullptr;  // set once the screen has been left and the console restored

BOOL WINAPI on_console_event(DWORD type) {
    g_quit_requested = true;
    if (g_wake_event != nullptr) SetEvent(g_wake_event);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // Returning ends the process: first let the main thread restore the console.
        if (g_left_event != nullptr) WaitForSingleObject(g_left_event, kCloseWaitMs);
    }
    return TRUE;
}

// True under Wine, whose console host needs its output in short runs (see line_limit()).
bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

class ConsoleTerminal final : public Terminal {
public:
    ConsoleTerminal(HANDLE in, HANDLE out) : in_(in), out_(out), wine_(running_under_wine()) {}

    // Saves and changes the console's modes; false (with the error) when VT
    // processing is refused, with everything changed so far put back.
    Status set_up(const TerminalSetup& setup) {
        leave_ = setup.leave;
        GetConsoleMode(out_, &out_mode_);
        GetConsoleMode(in_, &in_mode_);
        if (!SetConsoleMode(out_, out_mode_ | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING |
                                      DISABLE_NEWLINE_AUTO_RETURN) &&
            !SetConsoleMode(out_, out_mode_ | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
            return Error(
                "this console does not process escape sequences (a console of Windows before 10, or one set to "
                "the legacy mode); use --watch for a refreshing table");
        }
        modes_changed_ = true;
        out_code_page_ = GetConsoleOutputCP();
        in_code_page_ = GetConsoleCP();
        SetConsoleOutputCP(kUtf8CodePage);
        SetConsoleCP(kUtf8CodePage);
        // Keys one by one, unechoed, Ctrl-C among them; resizes as events;
        // no selection with the mouse freezing the screen.
        DWORD input = in_mode_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT |
                                                     ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT);
        input |= ENABLE_WINDOW_INPUT | ENABLE_EXTENDED_FLAGS;
        SetConsoleMode(in_, input);
        // The console's own cursor too: Wine's console host shows it again after every write otherwise.
        cursor_saved_ = GetConsoleCursorInfo(out_, &cursor_) != 0;
        if (cursor_saved_) {
            CONSOLE_CURSOR_INFO hidden = cursor_;
            hidden.bVisible = FALSE;
            SetConsoleCursorInfo(out_, &hidden);
        }
        g_quit_requested = false;
        g_wake_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        g_left_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(on_console_event, TRUE);
        return write_sequences(setup.enter);
    }

    ~ConsoleTerminal() override {
        if (modes_changed_) {
            (void)write_sequences(leave_);
            if (cursor_saved_) SetConsoleCursorInfo(out_, &cursor_);
            SetConsoleOutputCP(out_code_page_);
            SetConsoleCP(in_code_page_);
            SetConsoleMode(in_, in_mode_);
        }
        SetConsoleMode(out_, out_mode_);
        if (g_left_event != nullptr) SetEvent(g_left_event);
        SetConsoleCtrlHandler(on_console_event, FALSE);
        // The handler may still be waiting on the event: it is never closed.
        if (g_wake_event != nullptr) CloseHandle(g_wake_event);
        g_wake_event = nullptr;
    }

    TerminalSize size() override {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!GetConsoleScreenBufferInfo(out_, &info)) return {80, 25};
        // The visible window, not the buffer behind it.
        return {info.srWindow.Right - info.srWindow.Left + 1, info.srWindow.Bottom - info.srWindow.Top + 1};
    }

    TerminalEvents wait(std::uint32_t timeout_ms) override {
        TerminalEvents events;
        HANDLE handles[2] = {in_, g_wake_event};
        const DWORD ready = WaitForMultipleObjects(2, handles, FALSE, timeout_ms);
        if (ready == WAIT_OBJECT_0) read_input(events);
        if (ready == WAIT_OBJECT_0 + 1) events.woken = true;
        if (g_quit_requested) events.quit = true;
        return events;
    }

    void wake() override { SetEvent(g_wake_event); }

    Status write(std::string_view bytes) override {
        if (!wine_) return win32::write_console(out_, bytes);
        // One write per run that starts with CR (see line_limit()).
        while (!bytes.empty()) {
            const std::size_t next = bytes.find('\r', 1);
            if (const Status written = win32::write_console(out_, bytes.substr(0, next)); !written.ok()) return written;
            if (next == std::string_view::npos) break;
            bytes.remove_prefix(next);
        }
        return Ok{};
    }

    std::size_t line_limit() override {
        if (!wine_) return 0;
        const TerminalSize now = size();
        return now.columns > 1 ? static_cast<std::size_t>(now.columns) : 1;
    }

    std::string font_face() override {
        // Behind a terminal emulator (Windows Terminal, VS Code, WezTerm, mintty) the
        // console's font is a setting nobody sees: the emulator draws with its own.
        for (const char* variable : {"WT_SESSION", "TERM_PROGRAM", "TERM"})
            if (get_env(variable)) return {};
        CONSOLE_FONT_INFOEX font{};
        font.cbSize = sizeof font;
        if (!GetCurrentConsoleFontEx(out_, FALSE, &font)) return {};
        return win32::narrow(std::wstring_view(font.FaceName));
    }

private:
    void read_input(TerminalEvents& events) {
        DWORD count = 0;
        if (!GetNumberOfConsoleInputEvents(in_, &count) || count == 0) return;
        INPUT_RECORD records[64];
        DWORD read = 0;
        if (!ReadConsoleInputW(in_, records, count < 64 ? count : 64, &read)) return;
        for (DWORD i = 0; i < read; ++i) {
            const INPUT_RECORD& record = records[i];
            if (record.EventType == WINDOW_BUFFER_SIZE_EVENT) events.resized = true;
            if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
            const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
            const auto decoded = windows_key(key.wVirtualKeyCode, static_cast<char16_t>(key.uChar.UnicodeChar),
                                             key.dwControlKeyState);
            if (!decoded) continue;
            for (WORD n = 0; n < (key.wRepeatCount == 0 ? 1 : key.wRepeatCount) && n < 16; ++n)
                events.keys.push_back(*decoded);
        }
    }

    // A text of escape sequences only (enter, leave): under Wine each one
    // goes out on its own, behind a CR.
    Status write_sequences(std::string_view sequences) {
        if (!wine_) return win32::write_console(out_, sequences);
        while (!sequences.empty()) {
            const std::size_t next = sequences.find('\x1b', 1);
            if (const Status written = win32::write_console(out_, "\r" + std::string(sequences.substr(0, next)));
                !written.ok())
                return written;
            if (next == std::string_view::npos) break;
            sequences.remove_prefix(next);
        }
        return Ok{};
    }

    HANDLE in_;
    HANDLE out_;
    bool wine_;
    DWORD in_mode_ = 0;
    DWORD out_mode_ = 0;
    UINT out_code_page_ = 0;
    UINT in_code_page_ = 0;
    CONSOLE_CURSOR_INFO cursor_{};
    bool cursor_saved_ = false;
    bool modes_changed_ = false;
    std::string leave_;
};

}  // namespace

bool stdout_is_terminal() { return is_console(GetStdHandle(STD_OUTPUT_HANDLE)); }
bool stdin_is_terminal() { return is_console(GetStdHandle(STD_INPUT_HANDLE)); }

Result<std::unique_ptr<Terminal>> open_terminal(const TerminalSetup& setup) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!is_console(in) || !is_console(out)) return Error("standard input and output must be a console");
    auto terminal = std::make_unique<ConsoleTerminal>(in, out);
    if (const Status ready = terminal->set_up(setup); !ready.ok()) return ready.error();
    return std::unique_ptr<Terminal>(std::move(terminal));
}

}  // namespace karvo::platform
