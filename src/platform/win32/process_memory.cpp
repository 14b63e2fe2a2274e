// The per-process session: Toolhelp snapshots for process names, PDH counters
// for each process's dedicated and shared memory and its engines' running time.

#include <cstring>
#include <iterator>
#include <utility>

#include "common/text.h"
#include "platform/win32/gpu_abi.h"

namespace karvo::platform::win32 {
namespace {

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

// The item array of one collection is a few kilobytes; refuse sizes that can
// only be nonsense instead of trying to allocate them.
constexpr std::uint32_t kMaxCounterBufferBytes = 64u << 20;
// A snapshot lists each process once; the cap only guards against a walk that never ends.
constexpr std::size_t kMaxSnapshotEntries = 1u << 20;

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

}  // namespace

Result<std::unique_ptr<ProcessMemorySession>> open_process_memory() {
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

}  // namespace karvo::platform::win32
