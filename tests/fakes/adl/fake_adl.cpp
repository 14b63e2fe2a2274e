// A stand-in for AMD's display library (atiadlxx.dll), built as a real shared
// library under that file name on every platform. Build variants leave entry
// points out (see the FAKE_ADL_NO_* macros below and the sibling folders).
//
// What it reports comes from a scenario file named by the environment variable
// KARVO_FAKE_ADL. The file is read again by every context-create call (and on
// first use). Lines, blank lines and "#" comments ignored:
//
//   count <n>             what both NumberOfAdapters calls store (default: the number of adapters)
//   fill <n>              AdapterInfo_Get fills at most n elements (default: all it has room for)
//   alloc <n>             size the create calls ask of the allocation callback (default 64; 0: none)
//   ret <entry> <code>    result of that entry point (default 0)
//   adapter <index> <vendor> <bus> <dev> <fn>
//                         starts an adapter; the lines below describe it:
//     udid|name|driver <text>   text fields (rest of the line; \xNN and \\ escapes). A text
//                               of 256 bytes or more fills the whole field with no NUL.
//     ret <entry> <code>        result of that entry point for this adapter (wins over the global one)
//     sensor <id> <value>       a supported new-style sensor slot
//     support <id>...           legacy support list entries (appended)
//     support_range <first> <n> appends the IDs first .. first+n-1
//     log <id> <value>...       (sensor, value) pairs of the PMLog block (appended; 256 at most)
//     log_null                  PMLog_Start hands out a null logging address
//     memory <entry> <text>     answer of a memory entry point (text may be empty)
//     odn_temp <value>          OverdriveN temperature (thousandths of a degree)
//     odn_perf <core> <mem> <gfx> <activity> <bus speed> <bus lanes>
//     odn_throttle <status> <flags>   OverdriveN throttle notification
//     odn_fan <speed mode> <speed>    OverdriveN fan state
//
// Calls for an adapter index the scenario lacks return -5; memory and
// OverdriveN calls without an answer return -8.
//
// Every call appends one line to the file named by KARVO_FAKE_ADL_LOG (if set),
// e.g. "ADL2_New_QueryPMLogData_Get ctx=ok adapter=3 size=2052". "ctx=" is ok
// (the context this fake handed out), null, or bad.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define FAKE_ADL_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_ADL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#include "discovery/adl/adl_types.h"

using namespace karvo::discovery::adl;

// Everything else has internal linkage, so the library really unloads on Linux.
namespace {

constexpr int kErrInvalidAdapter = -5;
constexpr int kErrNotSupported = -8;
[[maybe_unused]] constexpr std::size_t kLogBlockBytes = offsetof(ADLPMLogData, ulValues) + kLogPairs * 8;

struct Adapter {
    int index = 0;
    int vendor = 0;
    int bus = 0;
    int dev = 0;
    int fn = 0;
    std::string udid;
    std::string name;
    std::string driver;
    std::map<std::string, int> rets;
    std::vector<std::pair<int, int>> sensors;
    std::vector<std::uint16_t> support;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> log;
    bool log_null = false;
    std::map<std::string, std::string> memory;
    std::optional<int> odn_temp;
    std::optional<std::array<int, 6>> odn_perf;
    std::optional<std::array<int, 2>> odn_throttle;
    std::optional<std::array<int, 2>> odn_fan;
    // The PMLog block handed out by PMLog_Start: exactly the bytes a reader
    // may touch (header and 256 pairs), so reading past them is caught.
    std::vector<unsigned char> block;
};

struct Scenario {
    bool loaded = false;
    std::string path;  // the scenario file it was read from
    std::optional<int> count;
    std::optional<int> fill;
    int alloc = 64;
    std::map<std::string, int> rets;
    std::vector<Adapter> adapters;
};

Scenario scenario;
int context_token = 0;
std::vector<void*> callback_blocks;

// Like the real library, this one never frees the blocks it got through the
// allocation callback. It writes to them once more when its context is
// destroyed and when it is unloaded (so a block freed too early shows under
// the sanitizers), then forgets them.
void touch_callback_blocks() {
    for (void* block : callback_blocks) std::memset(block, 0x5A, static_cast<std::size_t>(scenario.alloc));
    callback_blocks.clear();
}

struct UnloadCleanup {
    ~UnloadCleanup() { touch_callback_blocks(); }
} unload_cleanup;

std::string env(const char* name) {
#ifdef _WIN32
    char buffer[4096];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) return {};
    return std::string(buffer, length);
#else
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
#endif
}

void log_line(const std::string& line) {
    const std::string path = env("KARVO_FAKE_ADL_LOG");
    if (path.empty()) return;
    if (FILE* file = std::fopen(path.c_str(), "ab")) {
        const std::string text = line + "\n";
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
}

std::string num(long long value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

const char* ctx_text(AdlContext context) {
    if (context == nullptr) return "null";
    return context == &context_token ? "ok" : "bad";
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
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out.push_back('\\');
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hex_digit(text[i + 2]) >= 0 &&
                   hex_digit(text[i + 3]) >= 0) {
            out.push_back(static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3])));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

long long to_number(std::string_view text) {
    long long value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::vector<std::string_view> split(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// The text after the first `skip` words of the line and one separating blank.
std::string_view rest_after(std::string_view line, std::size_t skip) {
    std::size_t i = 0;
    for (std::size_t w = 0; w < skip; ++w) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    }
    if (i < line.size()) ++i;  // the one blank before the text
    return line.substr(std::min(i, line.size()));
}

void parse_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto words = split(line);
    if (words.empty() || words[0][0] == '#') return;
    const std::string_view key = words[0];
    Adapter* current = scenario.adapters.empty() ? nullptr : &scenario.adapters.back();
    const auto arg = [&](std::size_t i) { return i < words.size() ? to_number(words[i]) : 0; };

    if (key == "count") {
        scenario.count = static_cast<int>(arg(1));
    } else if (key == "fill") {
        scenario.fill = static_cast<int>(arg(1));
    } else if (key == "alloc") {
        scenario.alloc = static_cast<int>(arg(1));
    } else if (key == "adapter") {
        Adapter adapter;
        adapter.index = static_cast<int>(arg(1));
        adapter.vendor = static_cast<int>(arg(2));
        adapter.bus = static_cast<int>(arg(3));
        adapter.dev = static_cast<int>(arg(4));
        adapter.fn = static_cast<int>(arg(5));
        scenario.adapters.push_back(std::move(adapter));
    } else if (key == "ret" && words.size() >= 3) {
        auto& rets = current != nullptr ? current->rets : scenario.rets;
        rets[std::string(words[1])] = static_cast<int>(arg(2));
    } else if (current == nullptr) {
        return;
    } else if (key == "udid") {
        current->udid = unescape(rest_after(line, 1));
    } else if (key == "name") {
        current->name = unescape(rest_after(line, 1));
    } else if (key == "driver") {
        current->driver = unescape(rest_after(line, 1));
    } else if (key == "sensor") {
        current->sensors.emplace_back(static_cast<int>(arg(1)), static_cast<int>(arg(2)));
    } else if (key == "support") {
        for (std::size_t i = 1; i < words.size(); ++i) current->support.push_back(static_cast<std::uint16_t>(arg(i)));
    } else if (key == "support_range") {
        for (long long i = 0; i < arg(2); ++i) current->support.push_back(static_cast<std::uint16_t>(arg(1) + i));
    } else if (key == "log") {
        for (std::size_t i = 1; i + 1 < words.size(); i += 2) {
            current->log.emplace_back(static_cast<std::uint32_t>(arg(i)), static_cast<std::uint32_t>(arg(i + 1)));
        }
    } else if (key == "log_null") {
        current->log_null = true;
    } else if (key == "memory" && words.size() >= 2) {
        current->memory[std::string(words[1])] = unescape(rest_after(line, 2));
    } else if (key == "odn_temp") {
        current->odn_temp = static_cast<int>(arg(1));
    } else if (key == "odn_throttle") {
        current->odn_throttle = std::array<int, 2>{static_cast<int>(arg(1)), static_cast<int>(arg(2))};
    } else if (key == "odn_fan") {
        current->odn_fan = std::array<int, 2>{static_cast<int>(arg(1)), static_cast<int>(arg(2))};
    } else if (key == "odn_perf") {
        current->odn_perf = std::array<int, 6>{static_cast<int>(arg(1)), static_cast<int>(arg(2)),
                                               static_cast<int>(arg(3)), static_cast<int>(arg(4)),
                                               static_cast<int>(arg(5)), static_cast<int>(arg(6))};
    }
}

void load_scenario() {
    callback_blocks.clear();  // those of an earlier use may be gone: forget them untouched
    scenario = Scenario{};
    scenario.loaded = true;
    const std::string path = env("KARVO_FAKE_ADL");
    scenario.path = path;
    if (path.empty()) return;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return;
    std::string text;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    std::fclose(file);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        parse_line(std::string_view(text).substr(start, end - start));
        start = end + 1;
    }
}

// A process that keeps the library loaded may have moved on to another scenario.
Scenario& current() {
    if (!scenario.loaded || scenario.path != env("KARVO_FAKE_ADL")) load_scenario();
    return scenario;
}

Adapter* find_adapter(int index) {
    for (auto& adapter : current().adapters) {
        if (adapter.index == index) return &adapter;
    }
    return nullptr;
}

int ret_of(const char* entry, const Adapter* adapter, int fallback = 0) {
    if (adapter != nullptr) {
        if (auto found = adapter->rets.find(entry); found != adapter->rets.end()) return found->second;
    }
    if (auto found = current().rets.find(entry); found != current().rets.end()) return found->second;
    return fallback;
}

// Exercises the allocation callback the way the real library may use it.
const char* check_callback(AdlMallocCallback callback) {
    if (callback == nullptr) return "missing";
    bool ok = callback(0) == nullptr && callback(-1) == nullptr;
    if (scenario.alloc > 0) {
        void* block = callback(scenario.alloc);
        if (block == nullptr) return "bad";
        std::memset(block, 0xA5, static_cast<std::size_t>(scenario.alloc));
        callback_blocks.push_back(block);
    }
    return ok ? "ok" : "bad";
}

void copy_text(char (&field)[kTextSize], const std::string& text) {
    std::memset(field, 0, kTextSize);
    std::memcpy(field, text.data(), std::min(text.size(), kTextSize));
}

int count_adapters(int* count) {
    if (count != nullptr) *count = current().count.value_or(static_cast<int>(current().adapters.size()));
    return 0;
}

int fill_table(const char* entry, AdapterInfo* table, int size) {
    const std::size_t room = size > 0 ? static_cast<std::size_t>(size) / sizeof(AdapterInfo) : 0;
    bool sizes_ok = true;
    for (std::size_t i = 0; i < room; ++i) sizes_ok = sizes_ok && table[i].iSize == static_cast<int>(sizeof(AdapterInfo));
    const int ret = ret_of(entry, nullptr);
    log_line(std::string(entry) + " size=" + num(size) + " isize=" + (sizes_ok ? "ok" : "bad"));
    std::size_t fill = std::min(room, current().adapters.size());
    if (current().fill.has_value()) fill = std::min(fill, static_cast<std::size_t>(std::max(*current().fill, 0)));
    for (std::size_t i = 0; i < fill; ++i) {
        const Adapter& adapter = current().adapters[i];
        AdapterInfo& element = table[i];
        element.iSize = static_cast<int>(sizeof(AdapterInfo));
        element.iAdapterIndex = adapter.index;
        copy_text(element.strUDID, adapter.udid);
        element.iBusNumber = adapter.bus;
        element.iDeviceNumber = adapter.dev;
        element.iFunctionNumber = adapter.fn;
        element.iVendorID = adapter.vendor;
        copy_text(element.strAdapterName, adapter.name);
        copy_text(element.strDisplayName, "\\\\.\\DISPLAY1");
        copy_text(element.strDriverPath, adapter.driver);
        element.iPresent = 1;
        element.iExist = 1;
    }
    return ret;
}

template <class Info>
int memory_answer(const char* entry, AdlContext context, bool with_context, int index, Info* info) {
    Adapter* adapter = find_adapter(index);
    log_line(std::string(entry) + (with_context ? std::string(" ctx=") + ctx_text(context) : std::string()) +
             " adapter=" + num(index));
    if (adapter == nullptr) return kErrInvalidAdapter;
    const auto found = adapter->memory.find(entry);
    if (found == adapter->memory.end()) return ret_of(entry, adapter, kErrNotSupported);
    if (info != nullptr) {
        info->iMemorySize = 8LL << 30;
        copy_text(info->strMemoryType, found->second);
    }
    return ret_of(entry, adapter, 0);
}

}  // namespace

// Context

#ifndef FAKE_ADL_NO_ADL2_CONTEXT
FAKE_ADL_EXPORT int ADL2_Main_Control_Create(AdlMallocCallback callback, int connected, AdlContext* context) {
    load_scenario();
    const char* alloc = check_callback(callback);
    const int ret = ret_of("ADL2_Main_Control_Create", nullptr);
    log_line(std::string("ADL2_Main_Control_Create connected=") + num(connected) + " alloc=" + alloc);
    if (ret == 0 && context != nullptr) *context = &context_token;
    return ret;
}

#ifndef FAKE_ADL_NO_ADL2_DESTROY
FAKE_ADL_EXPORT int ADL2_Main_Control_Destroy(AdlContext context) {
    log_line(std::string("ADL2_Main_Control_Destroy ctx=") + ctx_text(context));
    touch_callback_blocks();
    return 0;
}
#endif
#endif

FAKE_ADL_EXPORT int ADL_Main_Control_Create(AdlMallocCallback callback, int connected) {
    load_scenario();
    const char* alloc = check_callback(callback);
    log_line(std::string("ADL_Main_Control_Create connected=") + num(connected) + " alloc=" + alloc);
    return ret_of("ADL_Main_Control_Create", nullptr);
}

#ifndef FAKE_ADL_NO_LEGACY_DESTROY
FAKE_ADL_EXPORT int ADL_Main_Control_Destroy() {
    log_line("ADL_Main_Control_Destroy");
    touch_callback_blocks();
    return 0;
}
#endif

// Adapters

FAKE_ADL_EXPORT int ADL2_Adapter_NumberOfAdapters_Get(AdlContext context, int* count) {
    log_line(std::string("ADL2_Adapter_NumberOfAdapters_Get ctx=") + ctx_text(context));
    count_adapters(count);
    return ret_of("ADL2_Adapter_NumberOfAdapters_Get", nullptr);
}

FAKE_ADL_EXPORT int ADL_Adapter_NumberOfAdapters_Get(int* count) {
    log_line("ADL_Adapter_NumberOfAdapters_Get");
    count_adapters(count);
    return ret_of("ADL_Adapter_NumberOfAdapters_Get", nullptr);
}

FAKE_ADL_EXPORT int ADL2_Adapter_AdapterInfo_Get(AdlContext context, AdapterInfo* table, int size) {
    log_line(std::string("ADL2_Adapter_AdapterInfo_Get ctx=") + ctx_text(context));
    if (ret_of("ADL2_Adapter_AdapterInfo_Get", nullptr) != 0) return ret_of("ADL2_Adapter_AdapterInfo_Get", nullptr);
    return fill_table("ADL2_Adapter_AdapterInfo_Get", table, size);
}

FAKE_ADL_EXPORT int ADL_Adapter_AdapterInfo_Get(AdapterInfo* table, int size) {
    return fill_table("ADL_Adapter_AdapterInfo_Get", table, size);
}

// New-style sensor query

#ifndef FAKE_ADL_NO_NEW_QUERY
FAKE_ADL_EXPORT int ADL2_New_QueryPMLogData_Get(AdlContext context, int index, ADLPMLogDataOutput* output) {
    Adapter* adapter = find_adapter(index);
    log_line(std::string("ADL2_New_QueryPMLogData_Get ctx=") + ctx_text(context) + " adapter=" + num(index) +
             " size=" + num(output != nullptr ? output->size : -1));
    if (adapter == nullptr) return kErrInvalidAdapter;
    const int ret = ret_of("ADL2_New_QueryPMLogData_Get", adapter);
    if (ret != 0) return ret;
    for (const auto& [id, value] : adapter->sensors) {
        if (id >= 0 && id < static_cast<int>(kSensorSlots)) {
            output->sensors[id].supported = 1;
            output->sensors[id].value = value;
        }
    }
    return 0;
}
#endif

// Legacy sensor logging

#ifndef FAKE_ADL_NO_LEGACY_PMLOG
FAKE_ADL_EXPORT int ADL2_Adapter_PMLog_Support_Get(AdlContext context, int index, ADLPMLogSupportInfo* support) {
    Adapter* adapter = find_adapter(index);
    log_line(std::string("ADL2_Adapter_PMLog_Support_Get ctx=") + ctx_text(context) + " adapter=" + num(index));
    if (adapter == nullptr) return kErrInvalidAdapter;
    const int ret = ret_of("ADL2_Adapter_PMLog_Support_Get", adapter);
    if (ret != 0) return ret;
    for (std::size_t i = 0; i < adapter->support.size() && i < 256; ++i) support->usSensors[i] = adapter->support[i];
    return 0;
}

FAKE_ADL_EXPORT int ADL2_Device_PMLog_Device_Create(AdlContext context, int index, AdlDeviceHandle* device) {
    Adapter* adapter = find_adapter(index);
    log_line(std::string("ADL2_Device_PMLog_Device_Create ctx=") + ctx_text(context) + " adapter=" + num(index));
    if (adapter == nullptr) return kErrInvalidAdapter;
    const int ret = ret_of("ADL2_Device_PMLog_Device_Create", adapter);
    if (ret == 0) *device = static_cast<AdlDeviceHandle>(1000 + index);
    return ret;
}

FAKE_ADL_EXPORT int ADL2_Adapter_PMLog_Start(AdlContext context, int index, ADLPMLogStartInput* input,
                                             ADLPMLogStartOutput* output, AdlDeviceHandle device) {
    Adapter* adapter = find_adapter(index);
    std::size_t listed = 0;
    while (listed < 256 && input->usSensors[listed] != 0) ++listed;
    std::string line = std::string("ADL2_Adapter_PMLog_Start ctx=") + ctx_text(context) + " adapter=" + num(index) +
                       " device=" + num(device) + " rate=" + num(input->ulSampleRate) + " sensors=" + num(static_cast<long long>(listed));
    if (listed > 0) line += " first=" + num(input->usSensors[0]) + " last=" + num(input->usSensors[listed - 1]);
    log_line(line);
    if (adapter == nullptr) return kErrInvalidAdapter;
    const int ret = ret_of("ADL2_Adapter_PMLog_Start", adapter);
    if (ret != 0) return ret;
    if (adapter->log_null) {
        output->pLoggingAddress = nullptr;
        return 0;
    }
    adapter->block.assign(kLogBlockBytes, 0);
    for (std::size_t pair = 0; pair < adapter->log.size() && pair < kLogPairs; ++pair) {
        std::memcpy(adapter->block.data() + 16 + pair * 8, &adapter->log[pair].first, 4);
        std::memcpy(adapter->block.data() + 16 + pair * 8 + 4, &adapter->log[pair].second, 4);
    }
    output->pLoggingAddress = adapter->block.data();
    return 0;
}

FAKE_ADL_EXPORT int ADL2_Adapter_PMLog_Stop(AdlContext context, int index, AdlDeviceHandle device) {
    log_line(std::string("ADL2_Adapter_PMLog_Stop ctx=") + ctx_text(context) + " adapter=" + num(index) +
             " device=" + num(device));
    return 0;
}

FAKE_ADL_EXPORT int ADL2_Device_PMLog_Device_Destroy(AdlContext context, AdlDeviceHandle device) {
    log_line(std::string("ADL2_Device_PMLog_Device_Destroy ctx=") + ctx_text(context) + " device=" + num(device));
    return 0;
}
#endif

// Memory

FAKE_ADL_EXPORT int ADL2_Adapter_MemoryInfoX4_Get(AdlContext context, int index, ADLMemoryInfoX4* info) {
    return memory_answer("ADL2_Adapter_MemoryInfoX4_Get", context, true, index, info);
}

FAKE_ADL_EXPORT int ADL_Adapter_MemoryInfoX4_Get(int index, ADLMemoryInfoX4* info) {
    return memory_answer("ADL_Adapter_MemoryInfoX4_Get", nullptr, false, index, info);
}

FAKE_ADL_EXPORT int ADL2_Adapter_MemoryInfo_Get(AdlContext context, int index, ADLMemoryInfo* info) {
    return memory_answer("ADL2_Adapter_MemoryInfo_Get", context, true, index, info);
}

FAKE_ADL_EXPORT int ADL_Adapter_MemoryInfo_Get(int index, ADLMemoryInfo* info) {
    return memory_answer("ADL_Adapter_MemoryInfo_Get", nullptr, false, index, info);
}

FAKE_ADL_EXPORT int ADL2_Adapter_MemoryInfo2_Get(AdlContext context, int index, ADLMemoryInfo2* info) {
    return memory_answer("ADL2_Adapter_MemoryInfo2_Get", context, true, index, info);
}

// OverdriveN

FAKE_ADL_EXPORT int ADL2_OverdriveN_Temperature_Get(AdlContext context, int index, int type, int* temperature) {
    Adapter* adapter = find_adapter(index);
    log_line(std::string("ADL2_OverdriveN_Temperature_Get ctx=") + ctx_text(context) + " adapter=" + num(index) +
             " type=" + num(type));
    if (adapter == nullptr) return kErrInvalidAdapter;
    if (!adapter->odn_temp.has_value()) return ret_of("ADL2_OverdriveN_Temperature_Get", adapter, kErrNotSupported);
    *temperature = *adapter->odn_temp;
    return ret_of("ADL2_OverdriveN_Temperature_Get", adapter);
}

#ifndef FAKE_ADL_NO_ODN_PERFORMANCE
FAKE_ADL_EXPORT int ADL2_OverdriveN_PerformanceStatus_Get(AdlContext context, int index,
                                                          ADLODNPerformanceStatus* status) {
    Adapter* adapter = find_adapter(index);
    log_line(std::string("ADL2_OverdriveN_PerformanceStatus_Get ctx=") + ctx_text(context) + " adapter=" + num(index));
    if (adapter == nullptr) return kErrInvalidAdapter;
    if (!adapter->odn_perf.has_value()) {
        return ret_of("ADL2_OverdriveN_PerformanceStatus_Get", adapter, kErrNotSupported);
    }
    const auto& perf = *adapter->odn_perf;
    status->iCoreClock = perf[0];
    status->iMemoryClock = perf[1];
    status->iGFXClock = perf[2];
    status->iGPUActivityPercent = perf[3];
    status->iCurrentBusSpeed = perf[4];
    status->iCurrentBusLanes = perf[5];
    status->iMaximumBusLanes = 16;
    return ret_of("ADL2_OverdriveN_PerformanceStatus_Get", adapter);
}
#endif

FAKE_ADL_EXPORT int ADL2_OverdriveN_ThrottleNotification_Get(AdlContext context, int index, int* status, int* flags) {
    Adapter* adapter = find_adapter(index);
    log_line(std::string("ADL2_OverdriveN_ThrottleNotification_Get ctx=") + ctx_text(context) +
             " adapter=" + num(index));
    if (adapter == nullptr) return kErrInvalidAdapter;
    const char* entry = "ADL2_OverdriveN_ThrottleNotification_Get";
    if (!adapter->odn_throttle.has_value()) return ret_of(entry, adapter, kErrNotSupported);
    *status = (*adapter->odn_throttle)[0];
    *flags = (*adapter->odn_throttle)[1];
    return ret_of(entry, adapter);
}

FAKE_ADL_EXPORT int ADL2_OverdriveN_FanControl_Get(AdlContext context, int index, ADLODNFanControl* fan) {
    Adapter* adapter = find_adapter(index);
    log_line(std::string("ADL2_OverdriveN_FanControl_Get ctx=") + ctx_text(context) + " adapter=" + num(index));
    if (adapter == nullptr) return kErrInvalidAdapter;
    const char* entry = "ADL2_OverdriveN_FanControl_Get";
    if (!adapter->odn_fan.has_value()) return ret_of(entry, adapter, kErrNotSupported);
    fan->iMode = 1;
    fan->iCurrentFanSpeedMode = (*adapter->odn_fan)[0];
    fan->iCurrentFanSpeed = (*adapter->odn_fan)[1];
    fan->iTargetFanSpeed = 3000;
    return ret_of(entry, adapter);
}
