// OverdriveN readings for records the PMLog enrichment could not reach.

#include "discovery/adl/adl_internal.h"
#include "discovery/adl/adl_library.h"

namespace karvo::discovery::adl {
namespace {

constexpr int kEdgeTemperature = 0;

// Throttle notification flags.
constexpr int kThrottlePower = 1;
constexpr int kThrottleThermal = 2;
constexpr int kThrottleCurrent = 4;

// Fan speed modes of the fan state.
constexpr int kFanSpeedPercent = 1;
constexpr int kFanSpeedRpm = 2;
constexpr int kMaxFanRpm = 65535;

// The adapter index for the record at `position`: the AMD adapter with the
// record's device ID, else the position-th AMD adapter, else the position.
int adapter_for_record(const std::vector<AdapterInfo>& table, const GpuDevice& device, std::size_t position) {
    for (const auto& element : table) {
        if (!is_amd_vendor(element.iVendorID)) continue;
        const auto id = parse_dev_id(read_text(element.strUDID));
        if (id.has_value() && *id == device.device_id) return element.iAdapterIndex;
    }
    std::size_t amd_seen = 0;
    for (const auto& element : table) {
        if (!is_amd_vendor(element.iVendorID)) continue;
        if (amd_seen == position) return element.iAdapterIndex;
        ++amd_seen;
    }
    return static_cast<int>(position);
}

void apply_performance(GpuDevice& device, const ADLODNPerformanceStatus& status) {
    // Clocks arrive in units of 10 kHz.
    if (status.iGFXClock > 0) {
        device.gfx_clock_mhz = static_cast<std::uint32_t>(status.iGFXClock / 100);
    } else if (status.iCoreClock > 0) {
        device.gfx_clock_mhz = static_cast<std::uint32_t>(status.iCoreClock / 100);
    }
    if (status.iMemoryClock > 0) device.mem_clock_mhz = static_cast<std::uint32_t>(status.iMemoryClock / 100);
    const auto activity = static_cast<std::uint32_t>(status.iGPUActivityPercent);  // negative fails the test
    if (activity <= 100) device.gfx_util_percent = activity;
    if (status.iCurrentBusSpeed > 0) device.pcie_speed_gt = static_cast<std::uint32_t>(status.iCurrentBusSpeed / 1000);
    if (status.iCurrentBusLanes > 0) {
        device.pcie_width = static_cast<std::uint16_t>(static_cast<std::uint32_t>(status.iCurrentBusLanes) & 0xFFFFu);
    }
}

// The legacy context of one fallback call, destroyed on every path once created.
class LegacyContext {
public:
    explicit LegacyContext(AdlMainControlDestroy destroy) : destroy_(destroy) {}
    LegacyContext(const LegacyContext&) = delete;
    LegacyContext& operator=(const LegacyContext&) = delete;
    ~LegacyContext() { destroy_(); }

private:
    AdlMainControlDestroy destroy_;
};

}  // namespace

std::optional<std::vector<std::string>> throttle_from_flags(int flags) {
    if (flags < 0) return std::nullopt;
    std::vector<std::string> reasons;
    if ((flags & kThrottlePower) != 0) reasons.emplace_back("power");
    if ((flags & kThrottleCurrent) != 0) reasons.emplace_back("current");
    if ((flags & kThrottleThermal) != 0) reasons.emplace_back("thermal");
    if ((flags & ~(kThrottlePower | kThrottleThermal | kThrottleCurrent)) != 0) reasons.emplace_back("other");
    return reasons;
}

void apply_fan_control(GpuDevice& device, const ADLODNFanControl& fan) {
    const int speed = fan.iCurrentFanSpeed;
    if (fan.iCurrentFanSpeedMode == kFanSpeedPercent && speed >= 0 && speed <= 100) {
        if (!device.fan_percent) device.fan_percent = static_cast<std::uint32_t>(speed);
    } else if (fan.iCurrentFanSpeedMode == kFanSpeedRpm && speed >= 0 && speed <= kMaxFanRpm) {
        if (!device.fan_rpm) device.fan_rpm = static_cast<std::uint32_t>(speed);
    }
}

void apply_overdrive_extras(const platform::Library& library, AdlContext context, int adapter_index,
                            GpuDevice& device) {
    if (auto notification = find_entry<Adl2OverdriveNThrottleNotificationGet>(
            library, "ADL2_OverdriveN_ThrottleNotification_Get")) {
        int status = 0;
        int flags = 0;
        if (notification(context, adapter_index, &status, &flags) == kAdlOk) {
            if (auto reasons = throttle_from_flags(flags)) device.throttle = std::move(*reasons);
        }
    }
    if (device.fan_percent) return;
    if (auto fan_get = find_entry<Adl2OverdriveNFanControlGet>(library, "ADL2_OverdriveN_FanControl_Get")) {
        ADLODNFanControl fan{};
        if (fan_get(context, adapter_index, &fan) == kAdlOk) apply_fan_control(device, fan);
    }
}

namespace {

Status overdrive_query(DeviceList& devices, const AdlHost& host) {
    CallbackArena arena;  // first: its blocks are freed after the library is unloaded
    auto loaded = load_library(host.library_names);
    if (!loaded.ok()) {
        note_source(kAdlSource, SourceReason::missing);
        return loaded.error();
    }
    const platform::Library& library = loaded.value();

    AdlMainControlCreate create = nullptr;
    AdlMainControlDestroy destroy = nullptr;
    Adl2OverdriveNTemperatureGet temperature_get = nullptr;
    if (Status found = resolve_entry(library, "ADL_Main_Control_Create", create); !found.ok()) return found;
    if (Status found = resolve_entry(library, "ADL_Main_Control_Destroy", destroy); !found.ok()) return found;
    if (Status found = resolve_entry(library, "ADL2_OverdriveN_Temperature_Get", temperature_get); !found.ok()) {
        return found;
    }
    auto performance_get =
        find_entry<Adl2OverdriveNPerformanceStatusGet>(library, "ADL2_OverdriveN_PerformanceStatus_Get");
    if (performance_get == nullptr) return Error("OverdriveN not supported");

    if (create(adl_memory_alloc, 1) != kAdlOk) return Error("ADL create failed");
    const LegacyContext context(destroy);  // declared after the library: destroyed before unloading

    AdlAdapterNumberOfAdaptersGet count_get = nullptr;
    AdlAdapterAdapterInfoGet info_get = nullptr;
    if (Status found = resolve_entry(library, "ADL_Adapter_NumberOfAdapters_Get", count_get); !found.ok()) {
        return found;
    }
    if (Status found = resolve_entry(library, "ADL_Adapter_AdapterInfo_Get", info_get); !found.ok()) return found;
    int count = 0;
    (void)count_get(&count);  // the count it leaves is taken whatever it returns
    std::vector<AdapterInfo> table = make_adapter_table(count);
    if (!table.empty()) (void)info_get(table.data(), table_byte_size(table));

    for (std::size_t k = 0; k < devices.size(); ++k) {
        GpuDevice& device = devices[k];
        const int index = adapter_for_record(table, device, k);
        int temperature = 0;
        if (temperature_get(nullptr, index, kEdgeTemperature, &temperature) == kAdlOk) {
            device.temp_edge_c = static_cast<float>(temperature / 1000.0);  // thousandths of a degree
        }
        ADLODNPerformanceStatus status{};
        if (performance_get(nullptr, index, &status) == kAdlOk) apply_performance(device, status);
        apply_overdrive_extras(library, nullptr, index, device);
        if (device.backend.find("adl") == std::string::npos) device.backend += "+adl-odn";
    }
    return {};
}

}  // namespace

Status overdrive_fallback(DeviceList& devices, const AdlHost& host) {
    const SourceTimer timed(kAdlSource);
    Status status = overdrive_query(devices, host);
    note_source(kAdlSource, status.ok() ? std::nullopt : std::optional(SourceReason::failed));
    return status;
}

}  // namespace karvo::discovery::adl
