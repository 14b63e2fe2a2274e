// The stand-ins, one per entry point the backends call. Each names its
// number arguments and its output buffers; everything else is passed through.

#include "discovery/capture/vendor_calls.h"

#include <array>
#include <string>

#include "common/numfmt.h"
#include "discovery/adl/adl_types.h"
#include "discovery/hip/hip_backend.h"

namespace karvo::discovery::capture {
namespace {

using namespace karvo::discovery::adl;

thread_local VendorCalls* installed = nullptr;

// Largest adapter table a stand-in copies (the backends never ask for more).
constexpr std::size_t kMaxTableBytes = 4096 * sizeof(AdapterInfo);

std::string arguments_text(std::initializer_list<long long> numbers) {
    std::string text;
    for (const long long number : numbers) {
        if (!text.empty()) text += ',';
        if (number < 0) {
            text += '-';
            text += numfmt::unsigned_text(static_cast<std::uint64_t>(-(number + 1)) + 1);
        } else {
            text += numfmt::unsigned_text(static_cast<std::uint64_t>(number));
        }
    }
    return text;
}

template <class Fn, class... Args>
std::int32_t pass(const char* symbol, std::initializer_list<long long> numbers,
                  std::initializer_list<OutputBuffer> outputs, Args... args) {
    VendorCalls* calls = installed;
    if (calls == nullptr) return kUnansweredStatus;
    return calls->answer(symbol, arguments_text(numbers), std::span<const OutputBuffer>(outputs.begin(), outputs.size()),
                         [&](void* real) { return static_cast<std::int32_t>(reinterpret_cast<Fn>(real)(args...)); });
}

template <class T>
OutputBuffer out(T* pointer) {
    return {pointer, pointer != nullptr ? sizeof(T) : 0};
}

// ---- HIP ----
using HipCount = std::int32_t (*)(std::int32_t*);
using HipProperties = std::int32_t (*)(void*, std::int32_t);

std::int32_t hip_count(std::int32_t* count) { return pass<HipCount>("hipGetDeviceCount", {}, {out(count)}, count); }
std::int32_t hip_properties_r0600(void* props, std::int32_t ordinal) {
    return pass<HipProperties>("hipGetDevicePropertiesR0600", {ordinal},
                               {{props, props != nullptr ? hip::kPropertiesBufferSize : 0}}, props, ordinal);
}
std::int32_t hip_properties(void* props, std::int32_t ordinal) {
    return pass<HipProperties>("hipGetDeviceProperties", {ordinal},
                               {{props, props != nullptr ? hip::kPropertiesBufferSize : 0}}, props, ordinal);
}

// ---- the display library ----
int main_create2(AdlMallocCallback callback, int connected, AdlContext* context) {
    return pass<Adl2MainControlCreate>("ADL2_Main_Control_Create", {connected}, {out(context)}, callback, connected,
                                       context);
}
int main_destroy2(AdlContext context) {
    return pass<Adl2MainControlDestroy>("ADL2_Main_Control_Destroy", {}, {}, context);
}
int main_create(AdlMallocCallback callback, int connected) {
    return pass<AdlMainControlCreate>("ADL_Main_Control_Create", {connected}, {}, callback, connected);
}
int main_destroy() { return pass<AdlMainControlDestroy>("ADL_Main_Control_Destroy", {}, {}); }
int adapter_count2(AdlContext context, int* count) {
    return pass<Adl2AdapterNumberOfAdaptersGet>("ADL2_Adapter_NumberOfAdapters_Get", {}, {out(count)}, context, count);
}
int adapter_count(int* count) {
    return pass<AdlAdapterNumberOfAdaptersGet>("ADL_Adapter_NumberOfAdapters_Get", {}, {out(count)}, count);
}
OutputBuffer table_buffer(AdapterInfo* table, int bytes) {
    const std::size_t size = table == nullptr || bytes <= 0 ? 0 : static_cast<std::size_t>(bytes);
    return {table, size < kMaxTableBytes ? size : kMaxTableBytes};
}
int adapter_info2(AdlContext context, AdapterInfo* table, int bytes) {
    return pass<Adl2AdapterAdapterInfoGet>("ADL2_Adapter_AdapterInfo_Get", {bytes}, {table_buffer(table, bytes)},
                                           context, table, bytes);
}
int adapter_info(AdapterInfo* table, int bytes) {
    return pass<AdlAdapterAdapterInfoGet>("ADL_Adapter_AdapterInfo_Get", {bytes}, {table_buffer(table, bytes)}, table,
                                          bytes);
}
int new_query(AdlContext context, int adapter, ADLPMLogDataOutput* output) {
    return pass<Adl2NewQueryPMLogDataGet>("ADL2_New_QueryPMLogData_Get", {adapter}, {out(output)}, context, adapter,
                                          output);
}
int log_support(AdlContext context, int adapter, ADLPMLogSupportInfo* support) {
    return pass<Adl2AdapterPMLogSupportGet>("ADL2_Adapter_PMLog_Support_Get", {adapter}, {out(support)}, context,
                                            adapter, support);
}
int log_start(AdlContext context, int adapter, ADLPMLogStartInput* input, ADLPMLogStartOutput* output,
              AdlDeviceHandle device) {
    const int status = pass<Adl2AdapterPMLogStart>("ADL2_Adapter_PMLog_Start", {adapter}, {out(output)}, context,
                                                   adapter, input, output, device);
    if (status == kAdlOk && output != nullptr && installed != nullptr) {
        output->pLoggingAddress = installed->log_started(adapter, output->pLoggingAddress);
    }
    return status;
}
int log_stop(AdlContext context, int adapter, AdlDeviceHandle device) {
    if (installed != nullptr) installed->log_stopping(adapter);
    return pass<Adl2AdapterPMLogStop>("ADL2_Adapter_PMLog_Stop", {adapter}, {}, context, adapter, device);
}
int log_device_create(AdlContext context, int adapter, AdlDeviceHandle* device) {
    return pass<Adl2DevicePMLogDeviceCreate>("ADL2_Device_PMLog_Device_Create", {adapter}, {out(device)}, context,
                                             adapter, device);
}
int log_device_destroy(AdlContext context, AdlDeviceHandle device) {
    return pass<Adl2DevicePMLogDeviceDestroy>("ADL2_Device_PMLog_Device_Destroy", {}, {}, context, device);
}
int memory_x4_2(AdlContext context, int adapter, ADLMemoryInfoX4* info) {
    return pass<Adl2AdapterMemoryInfoX4Get>("ADL2_Adapter_MemoryInfoX4_Get", {adapter}, {out(info)}, context, adapter,
                                            info);
}
int memory_x4(int adapter, ADLMemoryInfoX4* info) {
    return pass<AdlAdapterMemoryInfoX4Get>("ADL_Adapter_MemoryInfoX4_Get", {adapter}, {out(info)}, adapter, info);
}
int memory_2(AdlContext context, int adapter, ADLMemoryInfo* info) {
    return pass<Adl2AdapterMemoryInfoGet>("ADL2_Adapter_MemoryInfo_Get", {adapter}, {out(info)}, context, adapter,
                                          info);
}
int memory_1(int adapter, ADLMemoryInfo* info) {
    return pass<AdlAdapterMemoryInfoGet>("ADL_Adapter_MemoryInfo_Get", {adapter}, {out(info)}, adapter, info);
}
int memory_info2(AdlContext context, int adapter, ADLMemoryInfo2* info) {
    return pass<Adl2AdapterMemoryInfo2Get>("ADL2_Adapter_MemoryInfo2_Get", {adapter}, {out(info)}, context, adapter,
                                           info);
}
int od_temperature(AdlContext context, int adapter, int type, int* temperature) {
    return pass<Adl2OverdriveNTemperatureGet>("ADL2_OverdriveN_Temperature_Get", {adapter, type}, {out(temperature)},
                                              context, adapter, type, temperature);
}
int od_performance(AdlContext context, int adapter, ADLODNPerformanceStatus* status) {
    return pass<Adl2OverdriveNPerformanceStatusGet>("ADL2_OverdriveN_PerformanceStatus_Get", {adapter}, {out(status)},
                                                    context, adapter, status);
}
int od_fan(AdlContext context, int adapter, ADLODNFanControl* fan) {
    return pass<Adl2OverdriveNFanControlGet>("ADL2_OverdriveN_FanControl_Get", {adapter}, {out(fan)}, context, adapter,
                                             fan);
}
int od_throttle(AdlContext context, int adapter, int* status, int* flags) {
    return pass<Adl2OverdriveNThrottleNotificationGet>("ADL2_OverdriveN_ThrottleNotification_Get", {adapter},
                                                       {out(status), out(flags)}, context, adapter, status, flags);
}

template <class Fn>
void* address_of(Fn function) {
    return reinterpret_cast<void*>(function);
}

struct Stub {
    std::string_view symbol;
    void* address;
};

const std::array<Stub, 26>& stubs() {
    static const std::array<Stub, 26> table = {{
        {"hipGetDeviceCount", address_of(&hip_count)},
        {"hipGetDevicePropertiesR0600", address_of(&hip_properties_r0600)},
        {"hipGetDeviceProperties", address_of(&hip_properties)},
        {"ADL2_Main_Control_Create", address_of(&main_create2)},
        {"ADL2_Main_Control_Destroy", address_of(&main_destroy2)},
        {"ADL_Main_Control_Create", address_of(&main_create)},
        {"ADL_Main_Control_Destroy", address_of(&main_destroy)},
        {"ADL2_Adapter_NumberOfAdapters_Get", address_of(&adapter_count2)},
        {"ADL_Adapter_NumberOfAdapters_Get", address_of(&adapter_count)},
        {"ADL2_Adapter_AdapterInfo_Get", address_of(&adapter_info2)},
        {"ADL_Adapter_AdapterInfo_Get", address_of(&adapter_info)},
        {"ADL2_New_QueryPMLogData_Get", address_of(&new_query)},
        {"ADL2_Adapter_PMLog_Support_Get", address_of(&log_support)},
        {"ADL2_Adapter_PMLog_Start", address_of(&log_start)},
        {"ADL2_Adapter_PMLog_Stop", address_of(&log_stop)},
        {"ADL2_Device_PMLog_Device_Create", address_of(&log_device_create)},
        {"ADL2_Device_PMLog_Device_Destroy", address_of(&log_device_destroy)},
        {"ADL2_Adapter_MemoryInfoX4_Get", address_of(&memory_x4_2)},
        {"ADL_Adapter_MemoryInfoX4_Get", address_of(&memory_x4)},
        {"ADL2_Adapter_MemoryInfo_Get", address_of(&memory_2)},
        {"ADL_Adapter_MemoryInfo_Get", address_of(&memory_1)},
        {"ADL2_Adapter_MemoryInfo2_Get", address_of(&memory_info2)},
        {"ADL2_OverdriveN_Temperature_Get", address_of(&od_temperature)},
        {"ADL2_OverdriveN_PerformanceStatus_Get", address_of(&od_performance)},
        {"ADL2_OverdriveN_FanControl_Get", address_of(&od_fan)},
        {"ADL2_OverdriveN_ThrottleNotification_Get", address_of(&od_throttle)},
    }};
    return table;
}

}  // namespace

VendorCalls* active_vendor_calls() { return installed; }

VendorCallsScope::VendorCallsScope(VendorCalls* calls) : previous_(installed) { installed = calls; }
VendorCallsScope::~VendorCallsScope() { installed = previous_; }

void* vendor_stub(std::string_view symbol) {
    for (const Stub& stub : stubs())
        if (stub.symbol == symbol) return stub.address;
    return nullptr;
}

std::size_t log_block_size() { return offsetof(ADLPMLogData, ulValues) + kLogPairs * 8; }

}  // namespace karvo::discovery::capture
