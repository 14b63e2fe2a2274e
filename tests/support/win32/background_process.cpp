#include <windows.h>

#include "platform/system.h"
#include "platform/win32/win32_util.h"
#include "support/background_process.h"

namespace karvo::testing {
namespace {

// Quotes one argument so that the usual command-line parsing gives it back
// unchanged (backslashes double only before a quote).
void append_argument(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

HANDLE open_inheritable(const std::string& path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(platform::win32::widen(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

Error last_error() { return Error(platform::os_error_text(static_cast<int>(GetLastError()))); }

}  // namespace

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
    std::wstring command_line;
    append_argument(command_line, platform::win32::widen(program));
    for (const auto& arg : args) append_argument(command_line, platform::win32::widen(arg));

    HANDLE std_handles[3] = {open_inheritable("NUL", false), INVALID_HANDLE_VALUE,
                             open_inheritable(stderr_path, true)};
    if (stdout_path.empty()) {
        // A pipe whose reading end is closed before the child starts.
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE reader = nullptr;
        HANDLE writer = nullptr;
        if (CreatePipe(&reader, &writer, &inherit, 0)) {
            CloseHandle(reader);
            std_handles[1] = writer;
        }
    } else {
        std_handles[1] = open_inheritable(stdout_path, true);
    }
    const auto close_all = [&] {
        for (HANDLE handle : std_handles) {
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        }
    };
    for (HANDLE handle : std_handles) {
        if (handle == INVALID_HANDLE_VALUE) {
            Error error = last_error();
            close_all();
            return error;
        }
    }

    // Only the three standard handles go to the child.
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::vector<unsigned char> list_memory(list_size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &list_size) ||
        !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, std_handles,
                                   sizeof std_handles, nullptr, nullptr)) {
        Error error = last_error();
        close_all();
        return error;
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = std_handles[0];
    startup.StartupInfo.hStdOutput = std_handles[1];
    startup.StartupInfo.hStdError = std_handles[2];
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION info{};
    const BOOL started =
        CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                       EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr,
                       nullptr, &startup.StartupInfo, &info);
    Error failure = started ? Error("") : last_error();
    DeleteProcThreadAttributeList(attributes);
    close_all();
    if (!started) return failure;
    CloseHandle(info.hThread);
    BackgroundProcess process;
    process.handle_ = reinterpret_cast<std::uintptr_t>(info.hProcess);
    return process;
}

bool BackgroundProcess::running() {
    if (handle_ == 0) return false;
    return WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), 0) == WAIT_TIMEOUT;
}

std::optional<int> BackgroundProcess::wait_for_exit(std::uint32_t milliseconds) {
    if (handle_ == 0) return std::nullopt;
    const auto process = reinterpret_cast<HANDLE>(handle_);
    if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    handle_ = 0;
    return static_cast<int>(code);
}

void BackgroundProcess::kill() {
    if (handle_ == 0) return;
    const auto process = reinterpret_cast<HANDLE>(handle_);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    handle_ = 0;
}

}  // namespace karvo::testing
