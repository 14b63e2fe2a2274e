#pragma once
// A stand-in for the AMD HIP runtime, shared by the fake runtime variants
// (hip: both entry points of today's runtime; hip-legacy: only the older
// properties entry point; hip-partial: the count alone).
//
// What the fake reports comes from a scenario text: the environment variable
// KARVO_FAKE_HIP, or the text handed to the exported fake_hip_set_scenario()
// (in-process tests; it wins over the variable). It is read again on every
// call. Entries are separated by ';' or newlines, each "key=value":
//
//   count=<int>           value stored through hipGetDeviceCount's pointer
//                         (default: one more than the highest devN listed, else 0)
//   count_status=<int>    status hipGetDeviceCount returns (default 0)
//   missing_status=<int>  properties status for an ordinal no devN names (default 101)
//   devN.name=<text>      name bytes written from offset 0; %XX gives any byte
//                         (%00 a NUL, %25 '%', %3B ';'). More than 256 bytes run
//                         on into the fields that follow (at most 288 bytes), as
//                         a runtime that leaves no NUL in the name would.
//   devN.mem=<u64>        totalGlobalMem in bytes (default 0)
//   devN.warp=<int>       warpSize (default 32)
//   devN.threads=<int>    maxThreadsPerBlock (default 1024)
//   devN.status=<int>     status of the properties call for ordinal N (default 0)
//   log=<path>            every call appends one line to this file:
//                         "count", "props_r0600 <ordinal>", "props <ordinal>",
//                         and "unload" when the library is unloaded.
//
// Whatever the scenario, the fake also writes multiProcessorCount (offset 388)
// as 999 and gcnArchName (offset 1160) as "gfx0000", fields karvo must not use.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

// Everything has internal linkage: shared template or statics would be
// "unique" symbols on Linux, which keep a library from ever being unloaded.
namespace fake_hip {
namespace {

struct Device {
    std::string name;
    std::uint64_t mem = 0;
    std::int32_t warp = 32;
    std::int32_t threads = 1024;
    std::int32_t status = 0;
};

struct Scenario {
    bool count_given = false;
    std::int32_t count = 0;
    std::int32_t count_status = 0;
    std::int32_t missing_status = 101;
    std::map<std::int64_t, Device> devices;
    std::string log;
};

template <class T>
T number(std::string_view text) {
    T value{};
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

void apply(Scenario& scenario, std::string_view key, std::string_view value) {
    if (key == "count") {
        scenario.count_given = true;
        scenario.count = number<std::int32_t>(value);
    } else if (key == "count_status") {
        scenario.count_status = number<std::int32_t>(value);
    } else if (key == "missing_status") {
        scenario.missing_status = number<std::int32_t>(value);
    } else if (key == "log") {
        scenario.log = std::string(value);
    } else if (key.substr(0, 3) == "dev") {
        const auto dot = key.find('.');
        if (dot == std::string_view::npos) return;
        Device& device = scenario.devices[number<std::int64_t>(key.substr(3, dot - 3))];
        const std::string_view field = key.substr(dot + 1);
        if (field == "name") device.name = unescape(value);
        if (field == "mem") device.mem = number<std::uint64_t>(value);
        if (field == "warp") device.warp = number<std::int32_t>(value);
        if (field == "threads") device.threads = number<std::int32_t>(value);
        if (field == "status") device.status = number<std::int32_t>(value);
    }
}

// The text set by fake_hip_set_scenario, if any.
std::string& scenario_override() {
    static std::string text;
    return text;
}
bool& scenario_overridden() {
    static bool set = false;
    return set;
}

Scenario load() {
    std::string text;
    if (scenario_overridden()) {
        text = scenario_override();
    } else if (const char* env = std::getenv("KARVO_FAKE_HIP")) {
        text = env;
    }
    Scenario scenario;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(";\n", start);
        if (end == std::string::npos) end = text.size();
        std::string_view entry(text.data() + start, end - start);
        if (!entry.empty() && entry.back() == '\r') entry.remove_suffix(1);
        const auto eq = entry.find('=');
        if (eq != std::string_view::npos) apply(scenario, entry.substr(0, eq), entry.substr(eq + 1));
        start = end + 1;
    }
    if (!scenario.count_given && !scenario.devices.empty()) {
        scenario.count = static_cast<std::int32_t>(scenario.devices.rbegin()->first + 1);
    }
    return scenario;
}

void log_line(const Scenario& scenario, std::string_view line) {
    if (scenario.log.empty()) return;
    if (std::FILE* file = std::fopen(scenario.log.c_str(), "ab")) {
        std::fwrite(line.data(), 1, line.size(), file);
        std::fputc('\n', file);
        std::fclose(file);
    }
}

[[maybe_unused]] std::string with_number(std::string_view prefix, std::int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(prefix) + std::string(digits, end);
}

std::int32_t device_count(std::int32_t* count) {
    const Scenario scenario = load();
    log_line(scenario, "count");
    if (count != nullptr) *count = scenario.count;
    return scenario.count_status;
}

// Fills the runtime's properties structure (1472 bytes, the R0600 layout).
[[maybe_unused]] std::int32_t device_properties(void* buffer, std::int32_t ordinal, std::string_view entry) {
    const Scenario scenario = load();
    log_line(scenario, with_number(std::string(entry) + " ", ordinal));
    const auto found = scenario.devices.find(ordinal);
    if (found == scenario.devices.end()) return scenario.missing_status;
    const Device& device = found->second;
    if (device.status != 0) return device.status;

    auto* bytes = static_cast<unsigned char*>(buffer);
    std::memcpy(bytes, device.name.data(), device.name.size() < 288 ? device.name.size() : 288);
    std::memcpy(bytes + 288, &device.mem, sizeof device.mem);
    std::memcpy(bytes + 308, &device.warp, sizeof device.warp);
    std::memcpy(bytes + 320, &device.threads, sizeof device.threads);
    const std::int32_t multiprocessors = 999;
    std::memcpy(bytes + 388, &multiprocessors, sizeof multiprocessors);
    std::memcpy(bytes + 1160, "gfx0000", 8);
    return 0;
}

void set_scenario(const char* text) {
    scenario_overridden() = text != nullptr;
    scenario_override() = text != nullptr ? text : "";
}

// Writes "unload" to the log when the library is released.
struct UnloadLogger {
    // Constructing the override storage first makes it outlive this object.
    UnloadLogger() {
        scenario_override();
        scenario_overridden();
    }
    ~UnloadLogger() { log_line(load(), "unload"); }
};

}  // namespace
}  // namespace fake_hip

#if defined(_WIN32)
#define FAKE_HIP_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_HIP_EXPORT extern "C" __attribute__((visibility("default")))
#endif
