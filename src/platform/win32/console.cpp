#include "platform/os_calls.h"
#include "platform/console.h"
#include "platform/system.h"
#include "platform/win32/win32_util.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace karvo::platform {
namespace {

Status write_all(DWORD which, std::string_view bytes) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return Error(os_error_text(ERROR_INVALID_HANDLE));
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        // A real console shows UTF-16; the bytes we hold are UTF-8.
        return win32::write_console(handle, bytes);
    }
    // Redirected: raw UTF-8 bytes, "\n" stays one LF byte.
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(bytes.size() < (1u << 30) ? bytes.size() : (1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr))
            return Error(os_error_text(static_cast<int>(GetLastError())));
        bytes.remove_prefix(written);
    }
    return Ok{};
}

void enable_vt(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode))
        SetConsoleMode(handle, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

}  // namespace

Status win32::write_console(HANDLE console, std::string_view bytes) {
    const std::wstring wide = widen(bytes);
    std::wstring_view rest(wide);
    while (!rest.empty()) {
        const DWORD chunk = static_cast<DWORD>(rest.size() < 8192 ? rest.size() : 8192);
        DWORD written = 0;
        if (!WriteConsoleW(console, rest.data(), chunk, &written, nullptr) || written == 0)
            return Error(os_error_text(static_cast<int>(GetLastError())));
        rest.remove_prefix(written);
    }
    return Ok{};
}

Status write_stdout(std::string_view bytes) { return write_all(STD_OUTPUT_HANDLE, bytes); }
Status os::write_stderr(std::string_view bytes) {
    if (stderr_diverted(bytes)) return Ok{};
    return write_all(STD_ERROR_HANDLE, bytes);
}

static BOOL WINAPI exit_zero(DWORD) {
    ExitProcess(0);
    return TRUE;
}

void exit_zero_on_interrupt() { SetConsoleCtrlHandler(exit_zero, TRUE); }

void init_process() {
    // Classic consoles print escape sequences literally unless VT processing is on;
    // the watch screen needs them interpreted. A failure leaves the console as it was.
    enable_vt(STD_OUTPUT_HANDLE);
    enable_vt(STD_ERROR_HANDLE);
}

}  // namespace karvo::platform
