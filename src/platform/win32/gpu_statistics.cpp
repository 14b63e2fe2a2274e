// The adapter statistics session: DXGI for the adapter list, the gdi32
// kernel-thunk statistics query (D3DKMTQueryStatistics) for memory segments.

#include <cstring>
#include <utility>

#include "common/text.h"
#include "platform/win32/gpu_abi.h"

namespace karvo::platform::win32 {
namespace {

// {770AAE78-F26F-4DBA-A829-253C83D1B387}: the DXGI 1.1 factory interface.
constexpr Guid kIidDxgiFactory1 = {0x770AAE78, 0xF26F, 0x4DBA, {0xA8, 0x29, 0x25, 0x3C, 0x83, 0xD1, 0xB3, 0x87}};

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

}  // namespace

Result<std::unique_ptr<GpuStatisticsSession>> open_gpu_statistics() {
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

}  // namespace karvo::platform::win32
