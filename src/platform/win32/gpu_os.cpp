// Windows binding of the adapter statistics: DXGI for the adapter list, the
// gdi32 kernel-thunk statistics query for memory segments, PDH for the
// per-process memory and engine time counters, Toolhelp for process names and
// the configuration manager (cfgmgr32) for PCI link figures. Every
// library is loaded at run time, so the executable imports none of them and a
// missing one only makes its session fail to open.
//
// The structures are our own declarations of the published x64 layouts; the
// static_asserts pin every size and offset we read or write.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "common/text.h"
#include "platform/gpu_os.h"
#include "platform/library.h"

namespace karvo::platform {
namespace {

static_assert(sizeof(void*) == 8, "the layouts below are the 64-bit ones");

using HResult = std::int32_t;   // HRESULT: negative means failure
using NtStatus = std::int32_t;  // NTSTATUS: 0 means success
using PdhStatus = std::int32_t; // PDH_STATUS: 0 means success
using Bool32 = std::int32_t;    // BOOL
using Handle = void*;

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

// {770AAE78-F26F-4DBA-A829-253C83D1B387}: the DXGI 1.1 factory interface.
constexpr Guid kIidDxgiFactory1 = {0x770AAE78, 0xF26F, 0x4DBA, {0xA8, 0x29, 0x25, 0x3C, 0x83, 0xD1, 0xB3, 0x87}};

struct Luid {
    std::uint32_t low_part;
    std::int32_t high_part;
};
static_assert(sizeof(Luid) == 8 && alignof(Luid) == 4);

// ---- DXGI ------------------------------------------------------------------

struct DxgiAdapterDesc1 {
    char16_t description[128];
    std::uint32_t vendor_id;
    std::uint32_t device_id;
    std::uint32_t subsys_id;
    std::uint32_t revision;
    std::uint64_t dedicated_video_memory;
    std::uint64_t dedicated_system_memory;
    std::uint64_t shared_system_memory;
    Luid adapter_luid;
    std::uint32_t flags;
};
static_assert(sizeof(DxgiAdapterDesc1) == 312);
static_assert(offsetof(DxgiAdapterDesc1, vendor_id) == 256);
static_assert(offsetof(DxgiAdapterDesc1, device_id) == 260);
static_assert(offsetof(DxgiAdapterDesc1, dedicated_video_memory) == 272);
static_assert(offsetof(DxgiAdapterDesc1, shared_system_memory) == 288);
static_assert(offsetof(DxgiAdapterDesc1, adapter_luid) == 296);
static_assert(offsetof(DxgiAdapterDesc1, flags) == 304);

using CreateDxgiFactory1Fn = HResult (*)(const Guid* riid, void** factory);
using ReleaseFn = std::uint32_t (*)(void* self);
using EnumAdapters1Fn = HResult (*)(void* self, std::uint32_t ordinal, void** adapter);
using GetDesc1Fn = HResult (*)(void* self, DxgiAdapterDesc1* desc);

// Slots in the interfaces' virtual function tables.
constexpr std::size_t kReleaseSlot = 2;
constexpr std::size_t kEnumAdapters1Slot = 12;
constexpr std::size_t kGetDesc1Slot = 10;

template <class Fn>
Fn vtable_entry(void* object, std::size_t slot) {
    void* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Fn>(table[slot]);
}

// Holds one reference to a COM object and releases it when dropped.
class ComReference {
public:
    ComReference() = default;
    explicit ComReference(void* object) : object_(object) {}
    ComReference(ComReference&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ComReference& operator=(ComReference&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ComReference(const ComReference&) = delete;
    ComReference& operator=(const ComReference&) = delete;
    ~ComReference() { reset(); }

    void reset() {
        if (void* object = std::exchange(object_, nullptr)) vtable_entry<ReleaseFn>(object, kReleaseSlot)(object);
    }
    void* get() const { return object_; }

private:
    void* object_ = nullptr;
};

// ---- D3DKMT statistics -----------------------------------------------------

constexpr std::uint32_t kQueryStatisticsAdapter = 0;
constexpr std::uint32_t kQueryStatisticsSegment = 3;

struct KmtAdapterInformation {
    std::uint32_t nb_segments;
    std::uint32_t node_count;
    std::uint32_t vidpn_source_count;
};

struct KmtSegmentInformation {
    std::uint64_t commit_limit;
    std::uint64_t bytes_committed;
    std::uint64_t bytes_resident;
    std::uint8_t memory[16];
    std::uint32_t aperture;
};
static_assert(offsetof(KmtSegmentInformation, bytes_committed) == 8);
static_assert(offsetof(KmtSegmentInformation, bytes_resident) == 16);
static_assert(offsetof(KmtSegmentInformation, aperture) == 40);

struct KmtQueryStatistics {
    std::uint32_t type;
    Luid adapter_luid;
    Handle process;
    union {
        KmtAdapterInformation adapter_information;
        KmtSegmentInformation segment_information;
        std::uint8_t raw[776];
    } query_result;
    std::uint32_t segment_id;  // input of segment queries
};
static_assert(sizeof(KmtQueryStatistics) == 808);
static_assert(offsetof(KmtQueryStatistics, adapter_luid) == 4);
static_assert(offsetof(KmtQueryStatistics, process) == 16);
static_assert(offsetof(KmtQueryStatistics, query_result) == 24);
static_assert(offsetof(KmtQueryStatistics, segment_id) == 800);
static_assert(offsetof(KmtQueryStatistics, query_result) + offsetof(KmtSegmentInformation, bytes_resident) == 40);
static_assert(offsetof(KmtQueryStatistics, query_result) + offsetof(KmtSegmentInformation, aperture) == 64);

// The query goes into a zeroed 832-byte block: room to spare should a system
// write a little past the structure as published.
struct KmtQueryBlock {
    KmtQueryStatistics query;
    std::uint8_t spare[832 - sizeof(KmtQueryStatistics)];
};
static_assert(sizeof(KmtQueryBlock) == 832);

using QueryStatisticsFn = NtStatus (*)(const KmtQueryStatistics* query);

// ---- Toolhelp --------------------------------------------------------------

constexpr std::uint32_t kSnapProcess = 0x00000002;
const Handle kInvalidHandle = reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));

struct ProcessEntry32W {
    std::uint32_t size;
    std::uint32_t usage_count;
    std::uint32_t process_id;
    std::uintptr_t default_heap_id;
    std::uint32_t module_id;
    std::uint32_t thread_count;
    std::uint32_t parent_process_id;
    std::int32_t priority_class_base;
    std::uint32_t flags;
    char16_t exe_file[260];
};
static_assert(sizeof(ProcessEntry32W) == 568);
static_assert(offsetof(ProcessEntry32W, process_id) == 8);
static_assert(offsetof(ProcessEntry32W, default_heap_id) == 16);
static_assert(offsetof(ProcessEntry32W, exe_file) == 44);

using CreateToolhelp32SnapshotFn = Handle (*)(std::uint32_t flags, std::uint32_t process_id);
using Process32WalkFn = Bool32 (*)(Handle snapshot, ProcessEntry32W* entry);
using CloseHandleFn = Bool32 (*)(Handle object);

// ---- PDH -------------------------------------------------------------------

constexpr std::uint32_t kPdhFormatLarge = 0x00000400;
constexpr PdhStatus kPdhMoreData = static_cast<PdhStatus>(0x800007D2);
// English names: PdhAddEnglishCounterW finds them on any display language.
constexpr char16_t kDedicatedUsageCounter[] = u"\\GPU Process Memory(*)\\Dedicated Usage";
constexpr char16_t kSharedUsageCounter[] = u"\\GPU Process Memory(*)\\Shared Usage";
constexpr char16_t kRunningTimeCounter[] = u"\\GPU Engine(*)\\Running Time";

// Only for the static_asserts: the decoder reads the items by offset.
struct PdhFormattedItem {
    char16_t* name;
    std::uint32_t status;
    std::int64_t large_value;
};
static_assert(sizeof(PdhFormattedItem) == kCounterItemSize);
static_assert(offsetof(PdhFormattedItem, large_value) == kCounterItemValueOffset);

using PdhOpenQueryWFn = PdhStatus (*)(const char16_t* data_source, std::uintptr_t user_data, Handle* query);
using PdhAddEnglishCounterWFn = PdhStatus (*)(Handle query, const char16_t* path, std::uintptr_t user_data,
                                              Handle* counter);
using PdhCollectQueryDataFn = PdhStatus (*)(Handle query);
using PdhGetFormattedCounterArrayWFn = PdhStatus (*)(Handle counter, std::uint32_t format, std::uint32_t* buffer_size,
                                                     std::uint32_t* item_count, void* items);
using PdhCloseQueryFn = PdhStatus (*)(Handle query);

// ---- Configuration manager -------------------------------------------------

using ConfigRet = std::uint32_t;  // CONFIGRET: 0 means success
using DevInst = std::uint32_t;    // DEVINST

struct DevPropKey {
    Guid fmtid;
    std::uint32_t pid;
};
static_assert(sizeof(DevPropKey) == 20);
static_assert(offsetof(DevPropKey, pid) == 16);

// {3AB22E31-8264-4B4E-9AF5-A8D2D8E33E62}: the PCI device property set.
constexpr Guid kPciDeviceProperties = {0x3AB22E31, 0x8264, 0x4B4E, {0x9A, 0xF5, 0xA8, 0xD2, 0xD8, 0xE3, 0x3E, 0x62}};
constexpr DevPropKey kCurrentLinkSpeed = {kPciDeviceProperties, 9};
constexpr DevPropKey kCurrentLinkWidth = {kPciDeviceProperties, 10};
constexpr DevPropKey kMaxLinkSpeed = {kPciDeviceProperties, 11};
constexpr DevPropKey kMaxLinkWidth = {kPciDeviceProperties, 12};
constexpr std::uint32_t kDevPropTypeUint32 = 0x00000007;
constexpr std::size_t kMaxDeviceIdUnits = 200;  // MAX_DEVICE_ID_LEN, the NUL included

using CmLocateDevNodeWFn = ConfigRet (*)(DevInst* node, const char16_t* instance_id, std::uint32_t flags);
using CmGetParentFn = ConfigRet (*)(DevInst* parent, DevInst node, std::uint32_t flags);
using CmGetDeviceIdWFn = ConfigRet (*)(DevInst node, char16_t* buffer, std::uint32_t buffer_units,
                                       std::uint32_t flags);
using CmGetDevNodePropertyWFn = ConfigRet (*)(DevInst node, const DevPropKey* key, std::uint32_t* type,
                                              std::uint8_t* buffer, std::uint32_t* buffer_size, std::uint32_t flags);

// The item array of one collection is a few kilobytes; refuse sizes that can
// only be nonsense instead of trying to allocate them.
constexpr std::uint32_t kMaxCounterBufferBytes = 64u << 20;
// A snapshot lists each process once; the cap only guards against a walk that never ends.
constexpr std::size_t kMaxSnapshotEntries = 1u << 20;

template <class Fn>
bool resolve_into(const Library& library, const char* symbol, Fn& target) {
    target = library.find_as<Fn>(symbol);
    return target != nullptr;
}

// ---- Sessions --------------------------------------------------------------

class Win32GpuStatistics final : public GpuStatisticsSession {
public:
    // Members are released in reverse order: the current adapter and the
    // factory before dxgi.dll, whose code they run, is unloaded.
    Library dxgi;
    ComReference factory;
    ComReference current_adapter;
    Library gdi32;
    QueryStatisticsFn query_statistics = nullptr;

    EnumeratedAdapter adapter(std::uint32_t ordinal) override {
        current_adapter.reset();
        void* raw = nullptr;
        const HResult status =
            vtable_entry<EnumAdapters1Fn>(factory.get(), kEnumAdapters1Slot)(factory.get(), ordinal, &raw);
        if (status < 0 || raw == nullptr) return {};
        current_adapter = ComReference(raw);

        DxgiAdapterDesc1 desc;
        std::memset(&desc, 0, sizeof desc);
        if (vtable_entry<GetDesc1Fn>(raw, kGetDesc1Slot)(raw, &desc) < 0) {
            current_adapter.reset();
            return {EnumeratedAdapter::Kind::no_description, {}};
        }
        EnumeratedAdapter found;
        found.kind = EnumeratedAdapter::Kind::described;
        found.description.vendor_id = desc.vendor_id;
        found.description.device_id = desc.device_id;
        found.description.luid = {desc.adapter_luid.low_part, desc.adapter_luid.high_part};
        found.description.shared_system_memory = desc.shared_system_memory;
        return found;
    }

    std::optional<std::uint32_t> segment_count(const AdapterLuid& luid) override {
        KmtQueryBlock block;
        prepare(block, kQueryStatisticsAdapter, luid);
        if (query_statistics(&block.query) != 0) return std::nullopt;
        return block.query.query_result.adapter_information.nb_segments;
    }

    std::optional<SegmentStatistics> segment(const AdapterLuid& luid, std::uint32_t segment_id) override {
        KmtQueryBlock block;
        prepare(block, kQueryStatisticsSegment, luid);
        block.query.segment_id = segment_id;
        if (query_statistics(&block.query) != 0) return std::nullopt;
        const KmtSegmentInformation& info = block.query.query_result.segment_information;
        return SegmentStatistics{info.commit_limit, info.bytes_committed, info.bytes_resident, info.aperture != 0};
    }

private:
    static void prepare(KmtQueryBlock& block, std::uint32_t type, const AdapterLuid& luid) {
        std::memset(&block, 0, sizeof block);
        block.query.type = type;
        block.query.adapter_luid = {luid.low_part, luid.high_part};
    }
};

class Win32ProcessMemory final : public ProcessMemorySession {
public:
    Library kernel32;
    Library pdh;
    CreateToolhelp32SnapshotFn create_snapshot = nullptr;
    Process32WalkFn process_first = nullptr;
    Process32WalkFn process_next = nullptr;
    CloseHandleFn close_handle = nullptr;
    PdhOpenQueryWFn open_query = nullptr;
    PdhAddEnglishCounterWFn add_english_counter = nullptr;
    PdhCollectQueryDataFn collect_query_data = nullptr;
    PdhGetFormattedCounterArrayWFn get_formatted_counter_array = nullptr;
    PdhCloseQueryFn close_query = nullptr;

    std::vector<ProcessEntry> process_snapshot() override {
        std::vector<ProcessEntry> processes;
        const Handle snapshot = create_snapshot(kSnapProcess, 0);
        if (snapshot == nullptr || snapshot == kInvalidHandle) return processes;
        const HandleCloser closer{snapshot, close_handle};

        ProcessEntry32W entry;
        std::memset(&entry, 0, sizeof entry);
        entry.size = sizeof entry;
        for (Bool32 more = process_first(snapshot, &entry); more != 0 && processes.size() < kMaxSnapshotEntries;
             more = process_next(snapshot, &entry)) {
            std::size_t length = 0;
            while (length < std::size(entry.exe_file) && entry.exe_file[length] != u'\0') ++length;
            processes.push_back({entry.process_id, std::u16string(entry.exe_file, length)});
            entry.size = sizeof entry;
        }
        return processes;
    }

    ProcessCounters collect_counters() override {
        ProcessCounters counters;
        Handle query = nullptr;
        if (open_query(nullptr, 0, &query) != 0) return counters;
        const QueryCloser closer{query, close_query};

        // Each counter is added on its own: one this system lacks leaves out
        // only its own figures.
        const Handle dedicated = add_counter(query, kDedicatedUsageCounter);
        const Handle shared = add_counter(query, kSharedUsageCounter);
        const Handle running_time = add_counter(query, kRunningTimeCounter);
        if (dedicated == nullptr && shared == nullptr && running_time == nullptr) return counters;
        collect_query_data(query);  // a failed collection shows up in the array reads below

        counters.dedicated = read_items(dedicated);
        counters.shared = read_items(shared);
        // Running time is a cumulative count: one collection gives its value.
        counters.running_time = read_items(running_time);
        return counters;
    }

private:
    Handle add_counter(Handle query, const char16_t* path) {
        Handle counter = nullptr;
        if (add_english_counter(query, path, 0, &counter) != 0) return nullptr;
        return counter;
    }

    // The items of one counter of the last collection; none on any failure.
    std::vector<CounterItem> read_items(Handle counter) {
        if (counter == nullptr) return {};
        // The instance set may grow between the call that sizes the array and
        // the one that fills it: size it again a few times.
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::uint32_t needed = 0;
            std::uint32_t count = 0;
            get_formatted_counter_array(counter, kPdhFormatLarge, &needed, &count, nullptr);
            if (needed == 0 || needed > kMaxCounterBufferBytes) return {};

            // 8-byte words keep the item array aligned as the OS expects.
            std::vector<std::uint64_t> storage((needed + 7) / 8, 0);
            std::uint32_t size = needed;
            count = 0;
            const PdhStatus status =
                get_formatted_counter_array(counter, kPdhFormatLarge, &size, &count, storage.data());
            if (status == kPdhMoreData) continue;
            if (status != 0) return {};
            const std::span<const std::byte> buffer(reinterpret_cast<const std::byte*>(storage.data()), needed);
            auto items = decode_counter_items(buffer, count);
            if (!items) return {};
            return std::move(*items);
        }
        return {};
    }

    struct HandleCloser {
        Handle handle;
        CloseHandleFn close;
        ~HandleCloser() { close(handle); }
    };
    struct QueryCloser {
        Handle query;
        PdhCloseQueryFn close;
        ~QueryCloser() { close(query); }
    };
};

class Win32DeviceTree final : public DeviceTreeSession {
public:
    Library cfgmgr32;
    CmLocateDevNodeWFn locate_dev_node = nullptr;
    CmGetParentFn get_parent = nullptr;
    CmGetDeviceIdWFn get_device_id = nullptr;
    CmGetDevNodePropertyWFn get_property = nullptr;

    std::optional<std::uint32_t> locate(std::string_view instance_id) override {
        if (instance_id.empty()) return std::nullopt;  // an empty ID names the root of the tree
        const std::u16string wide = text::utf8_to_utf16(instance_id);
        DevInst node = 0;
        if (locate_dev_node(&node, wide.c_str(), 0) != 0) return std::nullopt;
        return node;
    }

    std::optional<std::uint32_t> parent(std::uint32_t node) override {
        DevInst up = 0;
        if (get_parent(&up, node, 0) != 0) return std::nullopt;
        return up;
    }

    std::optional<std::string> instance_id(std::uint32_t node) override {
        char16_t buffer[kMaxDeviceIdUnits + 1] = {};
        if (get_device_id(node, buffer, kMaxDeviceIdUnits, 0) != 0) return std::nullopt;
        std::size_t length = 0;
        while (length < kMaxDeviceIdUnits && buffer[length] != u'\0') ++length;
        return text::utf16_to_utf8(std::u16string_view(buffer, length));
    }

    std::optional<std::uint32_t> link_property(std::uint32_t node, PciLinkProperty property) override {
        const DevPropKey* key = &kCurrentLinkSpeed;
        switch (property) {
            case PciLinkProperty::current_speed: key = &kCurrentLinkSpeed; break;
            case PciLinkProperty::current_width: key = &kCurrentLinkWidth; break;
            case PciLinkProperty::max_speed: key = &kMaxLinkSpeed; break;
            case PciLinkProperty::max_width: key = &kMaxLinkWidth; break;
        }
        std::uint32_t type = 0;
        std::uint32_t value = 0;
        std::uint32_t size = sizeof value;
        if (get_property(node, key, &type, reinterpret_cast<std::uint8_t*>(&value), &size, 0) != 0) return std::nullopt;
        if (type != kDevPropTypeUint32 || size != sizeof value) return std::nullopt;
        return value;
    }
};

class Win32GpuOs final : public GpuOs {
public:
    Result<std::unique_ptr<GpuStatisticsSession>> open_statistics() override {
        auto session = std::make_unique<Win32GpuStatistics>();
        auto dxgi = Library::open_system("dxgi.dll");
        if (!dxgi) return Error("cannot load dxgi.dll", dxgi.error());
        session->dxgi = std::move(*dxgi);

        CreateDxgiFactory1Fn create_factory = nullptr;
        if (!resolve_into(session->dxgi, "CreateDXGIFactory1", create_factory)) {
            return Error("dxgi.dll lacks CreateDXGIFactory1");
        }
        void* factory = nullptr;
        const HResult status = create_factory(&kIidDxgiFactory1, &factory);
        if (status < 0 || factory == nullptr) return Error("CreateDXGIFactory1 failed");
        session->factory = ComReference(factory);

        auto gdi32 = Library::open_system("gdi32.dll");
        if (!gdi32) return Error("cannot load gdi32.dll", gdi32.error());
        session->gdi32 = std::move(*gdi32);
        if (!resolve_into(session->gdi32, "D3DKMTQueryStatistics", session->query_statistics)) {
            return Error("gdi32.dll lacks D3DKMTQueryStatistics");
        }
        return std::unique_ptr<GpuStatisticsSession>(std::move(session));
    }

    Result<std::unique_ptr<ProcessMemorySession>> open_process_memory() override {
        auto session = std::make_unique<Win32ProcessMemory>();
        auto kernel32 = Library::open_system("kernel32.dll");
        if (!kernel32) return Error("cannot load kernel32.dll", kernel32.error());
        session->kernel32 = std::move(*kernel32);
        auto pdh = Library::open_system("pdh.dll");
        if (!pdh) return Error("cannot load pdh.dll", pdh.error());
        session->pdh = std::move(*pdh);

        const Library& k = session->kernel32;
        if (!resolve_into(k, "CreateToolhelp32Snapshot", session->create_snapshot) ||
            !resolve_into(k, "Process32FirstW", session->process_first) ||
            !resolve_into(k, "Process32NextW", session->process_next) ||
            !resolve_into(k, "CloseHandle", session->close_handle)) {
            return Error("kernel32.dll lacks a process snapshot entry point");
        }
        const Library& p = session->pdh;
        if (!resolve_into(p, "PdhOpenQueryW", session->open_query) ||
            !resolve_into(p, "PdhAddEnglishCounterW", session->add_english_counter) ||
            !resolve_into(p, "PdhCollectQueryData", session->collect_query_data) ||
            !resolve_into(p, "PdhGetFormattedCounterArrayW", session->get_formatted_counter_array) ||
            !resolve_into(p, "PdhCloseQuery", session->close_query)) {
            return Error("pdh.dll lacks a counter entry point");
        }
        return std::unique_ptr<ProcessMemorySession>(std::move(session));
    }

    Result<std::unique_ptr<DeviceTreeSession>> open_device_tree() override {
        auto session = std::make_unique<Win32DeviceTree>();
        auto cfgmgr32 = Library::open_system("cfgmgr32.dll");
        if (!cfgmgr32) return Error("cannot load cfgmgr32.dll", cfgmgr32.error());
        session->cfgmgr32 = std::move(*cfgmgr32);
        const Library& c = session->cfgmgr32;
        if (!resolve_into(c, "CM_Locate_DevNodeW", session->locate_dev_node) ||
            !resolve_into(c, "CM_Get_Parent", session->get_parent) ||
            !resolve_into(c, "CM_Get_Device_IDW", session->get_device_id) ||
            !resolve_into(c, "CM_Get_DevNode_PropertyW", session->get_property)) {
            return Error("cfgmgr32.dll lacks a device tree entry point");
        }
        return std::unique_ptr<DeviceTreeSession>(std::move(session));
    }
};

}  // namespace

GpuOs& system_gpu_os() {
    static Win32GpuOs os;
    return os;
}

}  // namespace karvo::platform
