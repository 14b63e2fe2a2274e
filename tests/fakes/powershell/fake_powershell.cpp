// Fake PowerShell for tests: built as "powershell" (POSIX) / "powershell.exe"
// (Windows) into bin/fakes/powershell/. It answers only the two scripts that
// karvo runs, and only when its arguments are exactly
//     -NoProfile  -Command  <script>
// with <script> byte for byte one of
//     adapters: Get-CimInstance Win32_VideoController | Where-Object { ... } | ... | ConvertTo-Json -Compress
//     memory:   (Get-CimInstance Win32_PhysicalMemory | Select-Object -First 1 -ExpandProperty SMBIOSMemoryType)
// (the full texts are below). Anything else prints nothing on standard output,
// a complaint on standard error, and exits with status 1.
//
// Scenario folder: the environment variable KARVO_FAKE_PS_DIR names it. When
// it is unset the fake prints nothing and exits with 0. Files in it:
//   adapters.out    printed byte for byte for the adapter script (missing: nothing)
//   memory.out      printed byte for byte for the memory script (missing: nothing)
//   adapters.mode,  optional; white-space separated words that change the answer
//   memory.mode     to that script:
//       garbage     print 1 MiB of fixed pseudo-random bytes (invalid UTF-8, NULs,
//                   stray brackets) instead of the .out file
//       nested      print 16 MiB of "[" instead of the .out file
//       huge        print 40 MiB of blanks and line breaks before the answer
//       stderr      write 4 MiB to standard error before the answer and 4 MiB
//                   after it (a parent that reads only one pipe dead-locks)
//       exit=N      exit with status N (default 0)
//       hang        sleep two minutes before answering (a WMI service that stopped answering)
//       delay=MS    sleep MS milliseconds before answering (a slow WMI service)
//       hang-first  the same, but only when `starts` lists no earlier start of this script
//   starts          the fake appends one line per start: "adapters", "memory"
//                   or "other" (so tests can count PowerShell starts)
//   args            rewritten on every start: each argument after the program
//                   name followed by one NUL byte, as the fake received it (UTF-8)

#include "fake_powershell.h"

#include "platform/console.h"
#include "platform/system.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

namespace karvo::fake {
namespace {

constexpr std::string_view kAdapterScript =
    "Get-CimInstance Win32_VideoController | Where-Object { $_.PNPDeviceID -like 'PCI\\VEN_1002*' } | "
    "Select-Object Name,PNPDeviceID,DriverVersion,AdapterRAM | ConvertTo-Json -Compress";
constexpr std::string_view kMemoryScript =
    "(Get-CimInstance Win32_PhysicalMemory | Select-Object -First 1 -ExpandProperty SMBIOSMemoryType)";

std::filesystem::path utf8_path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string read_all(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void append_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The two output streams, written as raw bytes through karvo's own console layer.
enum class Stream { out, err };

void put(Stream stream, std::string_view bytes) {
    if (bytes.empty()) return;
    (void)(stream == Stream::out ? karvo::platform::write_stdout(bytes) : karvo::platform::write_stderr(bytes));
}

// Writes `total` bytes made of repetitions of `pattern`, in large blocks.
void put_repeated(Stream stream, std::string_view pattern, std::size_t total) {
    std::string block;
    while (block.size() < 65536) block += pattern;
    while (total > 0) {
        const std::size_t n = total < block.size() ? total : block.size();
        put(stream, std::string_view(block).substr(0, n));
        total -= n;
    }
}

std::string garbage() {
    std::string bytes(1 << 20, '\0');
    std::uint32_t state = 0x2545F491u;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    bytes[0] = '\xff';  // never white space or a bracket at the start
    return bytes;
}

struct Mode {
    bool garbage = false;
    bool nested = false;
    bool huge = false;
    bool flood_stderr = false;
    bool hang = false;
    bool hang_first = false;
    int exit_status = 0;
    std::uint32_t delay_ms = 0;
};

Mode read_mode(const std::filesystem::path& file) {
    Mode mode;
    std::istringstream words(read_all(file));
    std::string word;
    while (words >> word) {
        if (word == "garbage") mode.garbage = true;
        else if (word == "nested") mode.nested = true;
        else if (word == "huge") mode.huge = true;
        else if (word == "stderr") mode.flood_stderr = true;
        else if (word == "hang") mode.hang = true;
        else if (word == "hang-first") mode.hang_first = true;
        else if (word.rfind("exit=", 0) == 0) mode.exit_status = std::atoi(word.c_str() + 5);
        else if (word.rfind("delay=", 0) == 0) mode.delay_ms = static_cast<std::uint32_t>(std::atoi(word.c_str() + 6));
    }
    return mode;
}

}  // namespace

int run_fake_powershell(const std::vector<std::string>& args, const std::optional<std::string>& scenario_dir) {
    const bool shape = args.size() == 3 && args[0] == "-NoProfile" && args[1] == "-Command";
    std::string_view kind = "other";
    if (shape && args[2] == kAdapterScript) kind = "adapters";
    else if (shape && args[2] == kMemoryScript) kind = "memory";

    std::filesystem::path dir;
    bool first_of_kind = true;
    if (scenario_dir) {
        dir = utf8_path(*scenario_dir);
        std::istringstream earlier(read_all(dir / "starts"));
        for (std::string line; std::getline(earlier, line);) first_of_kind = first_of_kind && line != kind;
        std::string received;
        for (const auto& arg : args) {
            received += arg;
            received += '\0';
        }
        write_file(dir / "args", received);
        append_file(dir / "starts", std::string(kind) + "\n");
    }

    if (kind == "other") {
        put(Stream::err, "fake powershell: unexpected arguments\n");
        return 1;
    }
    if (!scenario_dir) return 0;

    const std::string name(kind);
    const Mode mode = read_mode(dir / (name + ".mode"));
    if (mode.hang || (mode.hang_first && first_of_kind)) karvo::platform::sleep_milliseconds(120000);
    if (mode.delay_ms > 0) karvo::platform::sleep_milliseconds(mode.delay_ms);
    std::string answer;
    if (mode.garbage) answer = garbage();
    else if (mode.nested) answer.assign(16u << 20, '[');
    else answer = read_all(dir / (name + ".out"));

    if (mode.flood_stderr) put_repeated(Stream::err, "warning: the fake is flooding standard error\n", 4u << 20);
    if (mode.huge) put_repeated(Stream::out, "  \r\n\t", 40u << 20);
    put(Stream::out, answer);
    if (mode.flood_stderr) put_repeated(Stream::err, "warning: still flooding standard error\n", 4u << 20);
    return mode.exit_status;
}

}  // namespace karvo::fake

int main(int argc, char** argv) {
    const auto all = karvo::platform::utf8_arguments(argc, argv);
    const std::vector<std::string> args(all.begin() + (all.empty() ? 0 : 1), all.end());
    return karvo::fake::run_fake_powershell(args, karvo::platform::get_env("KARVO_FAKE_PS_DIR"));
}
