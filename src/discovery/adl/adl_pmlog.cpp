// PMLog sensor readings: discovers AMD adapters itself when the list is empty,
// otherwise writes the readings into the records other sources produced.

#include <charconv>
#include <cstring>

#include "common/text.h"
#include "discovery/adl/adl_internal.h"
#include "discovery/adl/adl_library.h"

namespace karvo::discovery::adl {
namespace {

constexpr std::uint32_t kLegacySampleRateMs = 100;
constexpr std::uint32_t kLegacyWaitMs = 300;
constexpr std::size_t kMaxStartSensors = 255;  // the start list keeps a terminating 0

// Sensor IDs of the readings we report.
constexpr std::uint32_t kGfxClock = 1;
constexpr std::uint32_t kMemClock = 2;
constexpr std::uint32_t kTempEdge = 8;
constexpr std::uint32_t kTempMem = 9;
constexpr std::uint32_t kFanRpm = 14;
constexpr std::uint32_t kFanPercent = 15;
constexpr std::uint32_t kSocVoltage = 16;
constexpr std::uint32_t kGfxActivity = 19;
constexpr std::uint32_t kMemActivity = 20;
constexpr std::uint32_t kGfxVoltage = 21;
constexpr std::uint32_t kMemVoltage = 22;
constexpr std::uint32_t kAsicPower = 23;
constexpr std::uint32_t kTempHotspot = 27;
constexpr std::uint32_t kGfxPower = 30;
constexpr std::uint32_t kThrottlerStatus = 35;
constexpr std::uint32_t kBusSpeed = 40;
constexpr std::uint32_t kBusLanes = 41;
constexpr std::uint32_t kBoardPower = 73;

// Largest believable readings of the newer sensors; anything above (including
// a negative value read as unsigned) is not reported.
constexpr std::uint32_t kMaxPercent = 100;
constexpr std::uint32_t kMaxFanRpm = 65535;
constexpr std::uint32_t kMaxMillivolts = 10000;
constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

std::string decimal(long long value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// One diagnostic line, written whatever the command line asked for.
void diagnostic(const AdlHost& host, const std::string& line) { host.write_line("[adl] " + line + "\n"); }

// The open library context. Destroyed exactly once, by close() or on scope exit.
class AdlSession {
public:
    AdlSession() = default;
    AdlSession(const AdlSession&) = delete;
    AdlSession& operator=(const AdlSession&) = delete;
    ~AdlSession() { close(); }

    Status open(const platform::Library& library) {
        auto create2 = find_entry<Adl2MainControlCreate>(library, "ADL2_Main_Control_Create");
        AdlContext handle = nullptr;
        if (create2 != nullptr && create2(adl_memory_alloc, 1, &handle) == kAdlOk) {
            adl2_ = true;
            handle_ = handle;
            // Without a destroy entry point the context is simply left behind.
            destroy2_ = find_entry<Adl2MainControlDestroy>(library, "ADL2_Main_Control_Destroy");
            open_ = true;
            return {};
        }
        AdlMainControlCreate create = nullptr;
        AdlMainControlDestroy destroy = nullptr;
        if (Status found = resolve_entry(library, "ADL_Main_Control_Create", create); !found.ok()) return found;
        if (Status found = resolve_entry(library, "ADL_Main_Control_Destroy", destroy); !found.ok()) return found;
        if (create(adl_memory_alloc, 1) != kAdlOk) return Error("ADL_Main_Control_Create failed");
        destroy1_ = destroy;
        open_ = true;
        return {};
    }

    void close() {
        if (!open_) return;
        open_ = false;
        if (adl2_) {
            if (destroy2_ != nullptr) destroy2_(handle_);
        } else {
            destroy1_();
        }
    }

    bool adl2() const { return adl2_; }
    AdlContext handle() const { return handle_; }  // null in legacy mode

private:
    bool open_ = false;
    bool adl2_ = false;
    AdlContext handle_ = nullptr;
    Adl2MainControlDestroy destroy2_ = nullptr;
    AdlMainControlDestroy destroy1_ = nullptr;
};

Result<int> count_adapters(const platform::Library& library, const AdlSession& session) {
    int count = 0;
    if (session.adl2()) {
        auto count2 = find_entry<Adl2AdapterNumberOfAdaptersGet>(library, "ADL2_Adapter_NumberOfAdapters_Get");
        if (count2 != nullptr && count2(session.handle(), &count) == kAdlOk && count >= 1) return count;
        count = 0;
        auto count1 = find_entry<AdlAdapterNumberOfAdaptersGet>(library, "ADL_Adapter_NumberOfAdapters_Get");
        if (count1 != nullptr) (void)count1(&count);  // whatever it returns, the count it leaves is taken
        return count;
    }
    AdlAdapterNumberOfAdaptersGet count1 = nullptr;
    if (Status found = resolve_entry(library, "ADL_Adapter_NumberOfAdapters_Get", count1); !found.ok()) {
        return found.error();
    }
    if (count1(&count) != kAdlOk) count = 0;
    return count;
}

void read_adapter_table(const platform::Library& library, const AdlSession& session,
                        std::vector<AdapterInfo>& table) {
    const int byte_size = table_byte_size(table);
    if (session.adl2()) {
        auto info2 = find_entry<Adl2AdapterAdapterInfoGet>(library, "ADL2_Adapter_AdapterInfo_Get");
        if (info2 != nullptr && info2(session.handle(), table.data(), byte_size) == kAdlOk) return;
    }
    // Elements the library leaves unfilled stay zero and are never selected.
    auto info1 = find_entry<AdlAdapterAdapterInfoGet>(library, "ADL_Adapter_AdapterInfo_Get");
    if (info1 != nullptr) (void)info1(table.data(), byte_size);
}

struct AdapterSensors {
    int adapter_index = 0;
    std::size_t table_position = 0;  // the table element that was queried
    SensorMap sensors;
};

void query_new_style(const platform::Library& library, const AdlSession& session, const AdlHost& host,
                     const std::vector<AdapterInfo>& table, const std::vector<std::size_t>& selected,
                     std::vector<AdapterSensors>& result) {
    auto query = find_entry<Adl2NewQueryPMLogDataGet>(library, "ADL2_New_QueryPMLogData_Get");
    if (query == nullptr) return;
    for (std::size_t position : selected) {
        const int index = table[position].iAdapterIndex;
        ADLPMLogDataOutput output{};
        output.size = static_cast<int>(sizeof output);
        const int ret = query(session.handle(), index, &output);
        if (ret != kAdlOk) {
            diagnostic(host, "New_QueryPMLog adapter " + decimal(index) + " ret " + decimal(ret));
            continue;
        }
        AdapterSensors entry{index, position, {}};
        for (std::size_t slot = 0; slot < kSensorSlots; ++slot) {
            if (output.sensors[slot].supported != 0) {
                entry.sensors[static_cast<std::uint32_t>(slot)] = static_cast<std::uint32_t>(output.sensors[slot].value);
            }
        }
        if (entry.sensors.empty()) {
            diagnostic(host, "New_QueryPMLog adapter " + decimal(index) + " empty");
            continue;
        }
        result.push_back(std::move(entry));
    }
}

struct LegacyEntryPoints {
    Adl2AdapterPMLogSupportGet support_get = nullptr;
    Adl2AdapterPMLogStart start = nullptr;
    Adl2AdapterPMLogStop stop = nullptr;
    Adl2DevicePMLogDeviceCreate device_create = nullptr;
    Adl2DevicePMLogDeviceDestroy device_destroy = nullptr;

    bool complete() const {
        return support_get != nullptr && start != nullptr && stop != nullptr && device_create != nullptr &&
               device_destroy != nullptr;
    }
};

// One adapter through the legacy logging sequence; an empty map when it fails.
SensorMap query_legacy_adapter(const LegacyEntryPoints& entry_points, AdlContext context, int index,
                               const AdlHost& host) {
    ADLPMLogSupportInfo support{};
    const int support_ret = entry_points.support_get(context, index, &support);
    if (support_ret != kAdlOk) {
        diagnostic(host, "PMLog Support_Get adapter " + decimal(index) + " ret " + decimal(support_ret));
        return {};
    }
    ADLPMLogStartInput input{};
    std::size_t copied = 0;
    while (copied < kMaxStartSensors && support.usSensors[copied] != 0) {
        input.usSensors[copied] = support.usSensors[copied];
        ++copied;
    }
    if (copied == 0) {
        diagnostic(host, "adapter " + decimal(index) + " no sensors");
        return {};
    }
    input.ulSampleRate = kLegacySampleRateMs;

    AdlDeviceHandle device = 0;
    if (entry_points.device_create(context, index, &device) != kAdlOk) {
        diagnostic(host, "Device_Create failed " + decimal(index));
        return {};
    }
    ADLPMLogStartOutput output{};
    const int start_ret = entry_points.start(context, index, &input, &output, device);
    if (start_ret != kAdlOk) {
        diagnostic(host, "PMLog_Start adapter " + decimal(index) + " ret " + decimal(start_ret));
        (void)entry_points.device_destroy(context, device);
        return {};
    }
    host.sleep_ms(kLegacyWaitMs);  // let the driver take a few samples
    SensorMap sensors = read_pmlog_block(output.pLoggingAddress);
    (void)entry_points.stop(context, index, device);
    (void)entry_points.device_destroy(context, device);
    if (sensors.empty()) diagnostic(host, "PMLog data empty adapter " + decimal(index));
    return sensors;
}

void query_legacy(const platform::Library& library, const AdlSession& session, const AdlHost& host,
                  const std::vector<AdapterInfo>& table, const std::vector<std::size_t>& selected,
                  std::vector<AdapterSensors>& result) {
    LegacyEntryPoints entry_points;
    entry_points.support_get = find_entry<Adl2AdapterPMLogSupportGet>(library, "ADL2_Adapter_PMLog_Support_Get");
    entry_points.start = find_entry<Adl2AdapterPMLogStart>(library, "ADL2_Adapter_PMLog_Start");
    entry_points.stop = find_entry<Adl2AdapterPMLogStop>(library, "ADL2_Adapter_PMLog_Stop");
    entry_points.device_create =
        find_entry<Adl2DevicePMLogDeviceCreate>(library, "ADL2_Device_PMLog_Device_Create");
    entry_points.device_destroy =
        find_entry<Adl2DevicePMLogDeviceDestroy>(library, "ADL2_Device_PMLog_Device_Destroy");
    if (!entry_points.complete()) {
        diagnostic(host, "legacy PMLog symbols missing");
        return;
    }
    for (std::size_t position : selected) {
        const int index = table[position].iAdapterIndex;
        SensorMap sensors = query_legacy_adapter(entry_points, session.handle(), index, host);
        if (!sensors.empty()) result.push_back({index, position, std::move(sensors)});
    }
}

bool is_useful_memory_type(const std::string& name) {
    if (name.empty()) return false;
    const std::string lower = text::ascii_lower(name);
    return lower != "unknown" && lower != "n/a";
}

void append_label(std::string& backend, std::string_view suffix) {
    if (backend.find("adl") == std::string::npos) backend += suffix;
}

void enrich(DeviceList& devices, const platform::Library& library, const AdlSession& session,
            const std::vector<AdapterInfo>& table, const std::vector<AdapterSensors>& entries) {
    for (std::size_t k = 0; k < devices.size(); ++k) {
        GpuDevice& device = devices[k];
        const AdapterSensors* entry = nullptr;
        if (k < entries.size()) {
            entry = &entries[k];
        } else {
            for (const auto& candidate : entries) {
                const auto id = parse_dev_id(read_text(table[candidate.table_position].strUDID));
                if (id.has_value() && *id == device.device_id) {
                    entry = &candidate;
                    break;
                }
            }
        }
        if (entry == nullptr) continue;
        apply_sensors(device, entry->sensors);
        apply_overdrive_extras(library, session.handle(), entry->adapter_index, device);
        const auto memory = query_memory_type(library, session.handle(), entry->adapter_index, session.adl2());
        if (memory.has_value() && is_useful_memory_type(*memory)) device.vram_type = *memory;
        append_label(device.backend, "+adl");
    }
}

void discover(DeviceList& devices, const platform::Library& library, const AdlSession& session,
              const AdlHost& host, const std::vector<AdapterInfo>& table,
              const std::vector<AdapterSensors>& entries) {
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const AdapterInfo& adapter = table[entries[k].table_position];
        const std::string udid = read_text(adapter.strUDID);
        const std::uint32_t device_id = parse_dev_id(udid).value_or(0);

        GpuDevice device;
        device.index = static_cast<std::uint32_t>(k);
        device.market_name = read_text(adapter.strAdapterName);
        device.vendor_id = kAmdVendorId;
        device.vendor_name = "AMD";
        device.device_id = device_id;
        device.gfx_version = naming::gfx_target_for_device_id(device_id);
        auto memory = query_memory_type(library, session.handle(), entries[k].adapter_index, session.adl2());
        device.vram_type = memory.has_value() ? std::move(*memory)
                                              : naming::memory_type_for_device_id(device_id, host.memory_code_query);
        device.bdf = udid + " bus " + decimal(adapter.iBusNumber) + " dev " + decimal(adapter.iDeviceNumber) +
                     " fn " + decimal(adapter.iFunctionNumber);
        device.driver_version = read_text(adapter.strDriverPath);
        apply_sensors(device, entries[k].sensors);
        apply_overdrive_extras(library, session.handle(), entries[k].adapter_index, device);
        device.backend = "adl-pmlog";
        devices.push_back(std::move(device));
    }
}

}  // namespace

SensorMap read_pmlog_block(const void* block) {
    SensorMap sensors;
    if (block == nullptr) return sensors;
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (std::size_t pair = 0; pair < kLogPairs; ++pair) {
        std::uint32_t id = 0;
        std::uint32_t value = 0;
        std::memcpy(&id, bytes + offsetof(ADLPMLogData, ulValues) + pair * 8, sizeof id);
        if (id == 0) break;
        std::memcpy(&value, bytes + offsetof(ADLPMLogData, ulValues) + pair * 8 + 4, sizeof value);
        sensors[id] = value;  // a repeated ID keeps the later value
    }
    return sensors;
}

void apply_sensors(GpuDevice& device, const SensorMap& sensors) {
    const auto reading = [&](std::uint32_t id) -> std::optional<std::uint32_t> {
        const auto found = sensors.find(id);
        if (found == sensors.end()) return std::nullopt;
        return found->second;
    };
    if (auto v = reading(kTempEdge)) device.temp_edge_c = static_cast<float>(*v);
    if (auto v = reading(kTempHotspot)) device.temp_hotspot_c = static_cast<float>(*v);
    if (auto v = reading(kTempMem)) device.temp_vram_c = static_cast<float>(*v);
    if (auto v = reading(kGfxClock)) device.gfx_clock_mhz = *v;
    if (auto v = reading(kMemClock)) device.mem_clock_mhz = *v;
    if (auto v = reading(kGfxActivity)) device.gfx_util_percent = *v;
    // Board power where the driver has it, else ASIC power, else graphics power; tenths of a watt.
    auto power = reading(kBoardPower);
    if (!power) power = reading(kAsicPower);
    if (!power) power = reading(kGfxPower);
    if (power) device.power_w = static_cast<float>(static_cast<float>(*power) / 10.0);
    if (auto v = reading(kBusLanes)) device.pcie_width = static_cast<std::uint16_t>(*v & 0xFFFFu);
    if (auto v = reading(kBusSpeed)) device.pcie_speed_gt = *v / 1000;

    const auto bounded = [&](std::uint32_t id, std::uint32_t max) -> std::optional<std::uint32_t> {
        const auto v = reading(id);
        if (!v || *v > max) return std::nullopt;
        return v;
    };
    if (auto v = bounded(kFanRpm, kMaxFanRpm)) device.fan_rpm = *v;  // 0 rpm: a fan stopped at idle
    if (auto v = bounded(kFanPercent, kMaxPercent)) device.fan_percent = *v;
    if (auto v = bounded(kSocVoltage, kMaxMillivolts)) device.voltage_soc_mv = *v;
    if (auto v = bounded(kGfxVoltage, kMaxMillivolts)) device.voltage_gfx_mv = *v;
    if (auto v = bounded(kMemVoltage, kMaxMillivolts)) device.voltage_mem_mv = *v;
    if (auto v = bounded(kMemActivity, kMaxPercent)) device.mem_util_percent = *v;
    // The status bits are not documented: any set bit means throttled, for a reason we cannot name.
    if (auto v = bounded(kThrottlerStatus, kAllOnes - 1)) {
        device.throttle = *v != 0 ? std::vector<std::string>{"other"} : std::vector<std::string>{};
    }
}

namespace {

Status pmlog_query(DeviceList& devices, const AdlHost& host) {
    const bool discovery_mode = devices.empty();
    CallbackArena arena;  // first: its blocks are freed after the library is unloaded
    auto loaded = load_library(host.library_names);
    if (!loaded.ok()) {
        note_source(kAdlSource, SourceReason::missing);
        return loaded.error();
    }
    const platform::Library& library = loaded.value();

    AdlSession session;  // declared after the library: destroyed before it is unloaded
    if (Status opened = session.open(library); !opened.ok()) return opened;

    auto count = count_adapters(library, session);
    if (!count.ok()) return count.error();
    if (usable_adapter_count(count.value()) == 0) return Error("no adapters");

    std::vector<AdapterInfo> table = make_adapter_table(count.value());
    read_adapter_table(library, session, table);
    const std::vector<std::size_t> selected = select_adapters(table);

    std::vector<AdapterSensors> entries;
    query_new_style(library, session, host, table, selected, entries);
    if (entries.empty()) query_legacy(library, session, host, table, selected, entries);
    if (entries.empty()) return Error("no PMLog data");

    // The memory-type queries of the record step still need the open context.
    if (discovery_mode) {
        discover(devices, library, session, host, table, entries);
    } else {
        enrich(devices, library, session, table, entries);
    }
    session.close();
    return {};
}

}  // namespace

Status query_pmlog(DeviceList& devices, const AdlHost& host) {
    const SourceTimer timed(kAdlSource);
    Status status = pmlog_query(devices, host);
    // A library that did not load has said so (missing) already.
    note_source(kAdlSource, status.ok() ? std::nullopt : std::optional(SourceReason::failed));
    return status;
}

}  // namespace karvo::discovery::adl
