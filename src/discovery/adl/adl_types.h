#pragma once
// Our own minimal declarations of the display library's structures and entry
// points, laid out exactly as the 64-bit Windows library expects them. The
// same declarations are used on Linux (and by the test double), so every
// field has a fixed-width type: the library's `unsigned long` is 4 bytes on
// Windows and is declared as std::uint32_t here.

#include <cstddef>
#include <cstdint>

namespace karvo::discovery::adl {

constexpr int kAdlOk = 0;
constexpr std::size_t kTextSize = 256;      // every fixed text field
constexpr std::size_t kSensorSlots = 256;   // new-style sensor slots
constexpr std::size_t kLogPairs = 256;      // (sensor, value) pairs of a PMLog block

struct AdapterInfo {
    int iSize;
    int iAdapterIndex;
    char strUDID[kTextSize];
    int iBusNumber;
    int iDeviceNumber;
    int iFunctionNumber;
    int iVendorID;
    char strAdapterName[kTextSize];
    char strDisplayName[kTextSize];
    int iPresent;
    int iExist;
    char strDriverPath[kTextSize];
    char strDriverPathExt[kTextSize];
    char strPNPString[kTextSize];
    int iOSDisplayIndex;
};
static_assert(sizeof(AdapterInfo) == 1572);
static_assert(offsetof(AdapterInfo, iSize) == 0);
static_assert(offsetof(AdapterInfo, iAdapterIndex) == 4);
static_assert(offsetof(AdapterInfo, strUDID) == 8);
static_assert(offsetof(AdapterInfo, iBusNumber) == 264);
static_assert(offsetof(AdapterInfo, iDeviceNumber) == 268);
static_assert(offsetof(AdapterInfo, iFunctionNumber) == 272);
static_assert(offsetof(AdapterInfo, iVendorID) == 276);
static_assert(offsetof(AdapterInfo, strAdapterName) == 280);
static_assert(offsetof(AdapterInfo, strDriverPath) == 800);
static_assert(offsetof(AdapterInfo, iOSDisplayIndex) == 1568);

struct ADLSingleSensorData {
    int supported;
    int value;
};
static_assert(sizeof(ADLSingleSensorData) == 8);

struct ADLPMLogDataOutput {
    int size;
    ADLSingleSensorData sensors[kSensorSlots];
};
static_assert(sizeof(ADLPMLogDataOutput) == 2052);
static_assert(offsetof(ADLPMLogDataOutput, size) == 0);
static_assert(offsetof(ADLPMLogDataOutput, sensors) == 4);

struct ADLPMLogSupportInfo {
    std::uint16_t usSensors[256];
    int ulReserved[16];
};
static_assert(sizeof(ADLPMLogSupportInfo) == 576);
static_assert(offsetof(ADLPMLogSupportInfo, usSensors) == 0);

struct ADLPMLogStartInput {
    std::uint16_t usSensors[256];
    std::uint32_t ulSampleRate;  // milliseconds
    int ulReserved[15];
};
static_assert(sizeof(ADLPMLogStartInput) == 576);
static_assert(offsetof(ADLPMLogStartInput, usSensors) == 0);
static_assert(offsetof(ADLPMLogStartInput, ulSampleRate) == 512);

struct ADLPMLogStartOutput {
    void* pLoggingAddress;  // the library's PMLog block (ADLPMLogData), may be null
    int ulReserved[14];
};
static_assert(sizeof(ADLPMLogStartOutput) == 64);
static_assert(offsetof(ADLPMLogStartOutput, pLoggingAddress) == 0);

// The block pLoggingAddress points at: a 16-byte header, then sensor/value pairs.
struct ADLPMLogData {
    std::uint32_t ulVersion;
    std::uint32_t ulActiveSampleRate;
    std::uint64_t ulLastUpdated;
    std::uint32_t ulValues[kLogPairs][2];
    std::uint32_t ulReserved[256];
};
static_assert(sizeof(ADLPMLogData) == 3088);
static_assert(offsetof(ADLPMLogData, ulValues) == 16);

struct ADLMemoryInfo {
    long long iMemorySize;
    char strMemoryType[kTextSize];
    long long iMemoryBandwidth;
};
static_assert(sizeof(ADLMemoryInfo) == 272);
static_assert(offsetof(ADLMemoryInfo, strMemoryType) == 8);

struct ADLMemoryInfo2 {
    long long iMemorySize;
    char strMemoryType[kTextSize];
    long long iMemoryBandwidth;
    long long iHyperMemorySize;
    long long iInvisibleMemorySize;
    long long iVisibleMemorySize;
};
static_assert(sizeof(ADLMemoryInfo2) == 296);
static_assert(offsetof(ADLMemoryInfo2, strMemoryType) == 8);

struct ADLMemoryInfoX4 {
    long long iMemorySize;
    char strMemoryType[kTextSize];
    long long iMemoryBandwidth;
    long long iHyperMemorySize;
    long long iInvisibleMemorySize;
    long long iVisibleMemorySize;
    long long iVramVendorRevId;
    long long iMemoryBandwidthX2;
    long long iMemoryBitRateX2;
};
static_assert(sizeof(ADLMemoryInfoX4) == 320);
static_assert(offsetof(ADLMemoryInfoX4, strMemoryType) == 8);

struct ADLODNPerformanceStatus {
    int iCoreClock;       // 10 kHz units
    int iMemoryClock;     // 10 kHz units
    int iDCEFClock;
    int iGFXClock;        // 10 kHz units
    int iUVDClock;
    int iVCEClock;
    int iGPUActivityPercent;
    int iCurrentCorePerformanceLevel;
    int iCurrentMemoryPerformanceLevel;
    int iCurrentDCEFPerformanceLevel;
    int iCurrentGFXPerformanceLevel;
    int iUVDPerformanceLevel;
    int iVCEPerformanceLevel;
    int iCurrentBusSpeed;
    int iCurrentBusLanes;
    int iMaximumBusLanes;
    int iVDDC;
    int iVDDCI;
};
static_assert(sizeof(ADLODNPerformanceStatus) == 72);
static_assert(offsetof(ADLODNPerformanceStatus, iCoreClock) == 0);
static_assert(offsetof(ADLODNPerformanceStatus, iMemoryClock) == 4);
static_assert(offsetof(ADLODNPerformanceStatus, iGFXClock) == 12);
static_assert(offsetof(ADLODNPerformanceStatus, iGPUActivityPercent) == 24);
static_assert(offsetof(ADLODNPerformanceStatus, iCurrentBusSpeed) == 52);
static_assert(offsetof(ADLODNPerformanceStatus, iCurrentBusLanes) == 56);

// OverdriveN fan state (eight ints).
struct ADLODNFanControl {
    int iMode;
    int iFanControlMode;
    int iCurrentFanSpeedMode;  // 1: iCurrentFanSpeed is a percentage, 2: it is in rpm
    int iCurrentFanSpeed;
    int iTargetFanSpeed;
    int iTargetTemperature;
    int iMinPerformanceClock;
    int iMinFanLimit;
};
static_assert(sizeof(ADLODNFanControl) == 32);
static_assert(offsetof(ADLODNFanControl, iCurrentFanSpeedMode) == 8);
static_assert(offsetof(ADLODNFanControl, iCurrentFanSpeed) == 12);

// Handles and callbacks. On x64 Windows there is a single calling convention,
// so the library's __stdcall callback is an ordinary function pointer.
using AdlContext = void*;
using AdlDeviceHandle = std::uint32_t;  // passed by value to Start/Stop/Destroy
using AdlMallocCallback = void* (*)(int size);

// Entry points (all return an ADL result code; 0 is success).
using Adl2MainControlCreate = int (*)(AdlMallocCallback, int enum_connected, AdlContext* context);
using Adl2MainControlDestroy = int (*)(AdlContext);
using AdlMainControlCreate = int (*)(AdlMallocCallback, int enum_connected);
using AdlMainControlDestroy = int (*)();

using Adl2AdapterNumberOfAdaptersGet = int (*)(AdlContext, int* count);
using AdlAdapterNumberOfAdaptersGet = int (*)(int* count);
using Adl2AdapterAdapterInfoGet = int (*)(AdlContext, AdapterInfo* table, int byte_size);
using AdlAdapterAdapterInfoGet = int (*)(AdapterInfo* table, int byte_size);

using Adl2NewQueryPMLogDataGet = int (*)(AdlContext, int adapter, ADLPMLogDataOutput*);
using Adl2AdapterPMLogSupportGet = int (*)(AdlContext, int adapter, ADLPMLogSupportInfo*);
using Adl2AdapterPMLogStart = int (*)(AdlContext, int adapter, ADLPMLogStartInput*, ADLPMLogStartOutput*,
                                      AdlDeviceHandle);
using Adl2AdapterPMLogStop = int (*)(AdlContext, int adapter, AdlDeviceHandle);
using Adl2DevicePMLogDeviceCreate = int (*)(AdlContext, int adapter, AdlDeviceHandle* device);
using Adl2DevicePMLogDeviceDestroy = int (*)(AdlContext, AdlDeviceHandle);

using Adl2AdapterMemoryInfoX4Get = int (*)(AdlContext, int adapter, ADLMemoryInfoX4*);
using AdlAdapterMemoryInfoX4Get = int (*)(int adapter, ADLMemoryInfoX4*);
using Adl2AdapterMemoryInfoGet = int (*)(AdlContext, int adapter, ADLMemoryInfo*);
using AdlAdapterMemoryInfoGet = int (*)(int adapter, ADLMemoryInfo*);
using Adl2AdapterMemoryInfo2Get = int (*)(AdlContext, int adapter, ADLMemoryInfo2*);

using Adl2OverdriveNTemperatureGet = int (*)(AdlContext, int adapter, int temperature_type, int* temperature);
using Adl2OverdriveNPerformanceStatusGet = int (*)(AdlContext, int adapter, ADLODNPerformanceStatus*);
using Adl2OverdriveNFanControlGet = int (*)(AdlContext, int adapter, ADLODNFanControl*);
using Adl2OverdriveNThrottleNotificationGet = int (*)(AdlContext, int adapter, int* status, int* flags);

}  // namespace karvo::discovery::adl
