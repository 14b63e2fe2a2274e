#include <charconv>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "common/numfmt.h"
#include "platform/os_calls.h"
#include "platform/system.h"
#include "platform/win32/win32_util.h"

namespace karvo::platform {

std::optional<std::string> os::get_env(std::string_view name) {
    const std::wstring wide_name = win32::widen(name);
    std::vector<wchar_t> buffer(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (n < buffer.size()) {
            const std::u16string_view units(reinterpret_cast<const char16_t*>(buffer.data()), n);
            return text::utf16_to_utf8_strict(units);  // nothing when not valid Unicode
        }
        buffer.resize(n);
    }
}

void set_env(std::string_view name, const std::optional<std::string>& value) {
    const std::wstring wide_name = win32::widen(name);
    if (value) SetEnvironmentVariableW(wide_name.c_str(), win32::widen(*value).c_str());
    else SetEnvironmentVariableW(wide_name.c_str(), nullptr);
}

std::string os_error_text(int code) {
    wchar_t* message = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&message), 0,
                                   nullptr);
    std::string text;
    if (n > 0 && message != nullptr) text = win32::narrow(std::wstring_view(message, n));
    if (message != nullptr) LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.empty()) text = "Unknown error";
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, code).ptr;
    text += " (os error ";
    text.append(digits, end);
    text += ")";
    return text;
}

Result<std::string> read_file(const std::string& path) {
    HANDLE file = CreateFileW(win32::widen(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Error(os_error_text(static_cast<int>(GetLastError())));
    std::string data;
    DWORD failure = 0;
    try {
        std::vector<char> chunk(65536);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
                failure = GetLastError();
                break;
            }
            if (got == 0) break;
            data.append(chunk.data(), got);
        }
    } catch (const std::bad_alloc&) {
        failure = ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::length_error&) {
        failure = ERROR_NOT_ENOUGH_MEMORY;
    }
    CloseHandle(file);
    if (failure != 0) return Error(os_error_text(static_cast<int>(failure)));
    return data;
}

Result<std::string> read_regular_file(const std::string& path, std::size_t max_bytes) {
    const std::wstring wide = win32::widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Error(os_error_text(static_cast<int>(GetLastError())));
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return Error(std::string(kNotRegularFile));
    }
    // Opening never waits here: a pipe without a free instance fails at once.
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Error(os_error_text(static_cast<int>(GetLastError())));
    BY_HANDLE_FILE_INFORMATION info{};
    // Only a file on disk that is no folder: devices (NUL, CON) and pipes are
    // character or pipe handles.
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(file);
        return Error(std::string(kNotRegularFile));
    }
    std::string data;
    DWORD failure = 0;
    bool too_large = false;
    char chunk[16384];
    for (;;) {
        const std::size_t room = max_bytes + 1 - data.size();
        DWORD got = 0;
        if (!ReadFile(file, chunk, static_cast<DWORD>(room < sizeof chunk ? room : sizeof chunk), &got, nullptr)) {
            failure = GetLastError();
            break;
        }
        if (got == 0) break;
        data.append(chunk, got);
        if (data.size() > max_bytes) {
            too_large = true;
            break;
        }
    }
    CloseHandle(file);
    if (failure != 0) return Error(os_error_text(static_cast<int>(failure)));
    if (too_large) return Error(std::string(kFileTooLarge));
    return data;
}

WallTime wall_time(Zone zone) {
    SYSTEMTIME now{};
    if (zone == Zone::utc) GetSystemTime(&now);
    else GetLocalTime(&now);
    return WallTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void sleep_seconds(std::uint64_t seconds) {
    // Sleep in chunks of at most a day: no overflow for any count of seconds.
    constexpr std::uint64_t kChunk = 86400;
    while (seconds > 0) {
        const std::uint64_t step = seconds < kChunk ? seconds : kChunk;
        Sleep(static_cast<DWORD>(step * 1000));
        seconds -= step;
    }
}

void os::sleep_milliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

std::uint64_t monotonic_ns() {
    LARGE_INTEGER frequency{}, counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000000000u + ticks % per_second * 1000000000u / per_second;
}

std::string executable_dir() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return ".";
        if (n < buffer.size()) {
            std::string path = win32::narrow(std::wstring_view(buffer.data(), n));
            const auto slash = path.find_last_of("\\/");
            return slash == std::string::npos ? "." : path.substr(0, slash);
        }
        buffer.resize(buffer.size() * 2);
    }
}

void* heap_alloc(std::int64_t size) {
    if (size < 1) return nullptr;
    return HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(size));
}

void heap_free(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

std::string executable_file_name(std::string_view base) { return std::string(base) + ".exe"; }
char path_list_separator() { return ';'; }

}  // namespace karvo::platform

namespace karvo::platform {

Status write_file(const std::string& path, std::string_view bytes) {
    const HANDLE file = CreateFileW(win32::widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Error(os_error_text(static_cast<int>(GetLastError())));
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(bytes.size() < (1u << 30) ? bytes.size() : (1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
            const DWORD code = GetLastError();
            CloseHandle(file);
            return Error(os_error_text(static_cast<int>(code)));
        }
        bytes.remove_prefix(written);
    }
    if (!CloseHandle(file)) return Error(os_error_text(static_cast<int>(GetLastError())));
    return Ok{};
}

}  // namespace karvo::platform

namespace karvo::platform {

std::string os_description() {
    // GetVersionEx reports the version the program's manifest names, not the
    // system's; the kernel's own call says what really runs.
    struct VersionInfo {
        ULONG size;
        ULONG major;
        ULONG minor;
        ULONG build;
        ULONG platform;
        WCHAR service_pack[128];
    };
    using RtlGetVersionFn = LONG(WINAPI*)(VersionInfo*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return "Windows";
    RtlGetVersionFn get_version = nullptr;
    const FARPROC address = GetProcAddress(ntdll, "RtlGetVersion");
    static_assert(sizeof get_version == sizeof address);
    std::memcpy(&get_version, &address, sizeof get_version);
    VersionInfo info{};
    info.size = sizeof info;
    if (get_version == nullptr || get_version(&info) != 0) return "Windows";
    return "Windows " + numfmt::unsigned_text(info.major) + "." + numfmt::unsigned_text(info.minor) + "." +
           numfmt::unsigned_text(info.build);
}

}  // namespace karvo::platform
