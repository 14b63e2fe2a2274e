#include "discovery/capture/replay.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "common/numfmt.h"
#include "common/text.h"
#include "discovery/capture/gpu_keys.h"
#include "discovery/capture/payloads.h"
#include "discovery/capture/recording.h"
#include "platform/console.h"

namespace karvo::discovery::capture {
namespace {

std::mutex warned_mutex;
std::set<std::string, std::less<>> warned;

void warn_once(Kind kind, std::string_view key) {
    const std::string_view source = source_of(kind, key);
    {
        const std::lock_guard lock(warned_mutex);
        if (!warned.emplace(source).second) return;
    }
    const platform::OsScope os_answers;
    (void)platform::write_stderr("warning: the report holds no answer from " + std::string(source) + " (first: " +
                                 std::string(kind_name(kind)) + " " + text::utf8_lossy(escape_key(key)) +
                                 "); replayed as if that source had failed\n");
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

Error unanswered(std::string_view what) { return Error("the report holds no answer for " + std::string(what)); }

// A library the capture saw open: entry points it saw found are stand-ins
// that answer from the capture.
class ReplayLibrary final : public platform::LibrarySource {
public:
    ReplayLibrary(ReplayBoundary& boundary, std::string name) : boundary_(boundary), name_(std::move(name)) {}

    void* find(const char* symbol) override {
        auto found = lookup(symbol);
        return found.ok() ? found.value() : nullptr;
    }
    Result<void*> resolve(const char* symbol) override { return lookup(symbol); }

private:
    Result<void*> lookup(const char* symbol) {
        const platform::OsScope os_answers;
        const std::string key = name_ + "!" + symbol;
        const Record* record = boundary_.next(Kind::symbol, key);
        if (record == nullptr) return unanswered("the entry point " + key);
        if (record->answer != Answer::value) return error_from_payload(record->payload);
        void* stub = vendor_stub(symbol);
        if (stub == nullptr) return unanswered("calls of " + key);
        return stub;
    }

    ReplayBoundary& boundary_;
    std::string name_;
};

}  // namespace

// ---- ReplaySource ---------------------------------------------------------------

ReplaySource::ReplaySource(Capture capture) : capture_(std::move(capture)) {}

std::shared_ptr<const ReplaySource> ReplaySource::make(Capture capture) {
    std::shared_ptr<ReplaySource> source(new ReplaySource(std::move(capture)));
    const auto& records = source->capture_.records;
    for (std::size_t i = 0; i < records.size(); ++i) {
        source->index_[question_key(records[i].kind, records[i].key)].push_back(static_cast<std::uint32_t>(i));
    }
    return source;
}

const std::vector<std::uint32_t>* ReplaySource::answers(Kind kind, std::string_view key) const {
    const auto found = index_.find(question_key(kind, key));
    return found == index_.end() ? nullptr : &found->second;
}

Status check_record(const Record& record) {
    if (record.answer == Answer::error) {
        if (!text::is_valid_utf8(record.payload)) return Error("an error text that is not UTF-8");
        return {};
    }
    if (record.answer == Answer::absent) return {};
    const std::string_view p = record.payload;
    bool good = true;
    switch (record.kind) {
        case Kind::env:
        case Kind::link:
        case Kind::file:
        case Kind::devnode_id:
            break;
        case Kind::exists:
        case Kind::library:
        case Kind::symbol:
        case Kind::gpu_session:
            good = p.empty();
            break;
        case Kind::folder: good = folder_from_payload(p).has_value(); break;
        case Kind::amdgpu: good = amdgpu_from_payload(p).has_value(); break;
        case Kind::call: good = call_from_payload(p).has_value(); break;
        case Kind::process: good = process_from_payload(p).has_value(); break;
        case Kind::adapter: good = adapter_from_payload(p).has_value(); break;
        case Kind::segment: good = segment_from_payload(p).has_value(); break;
        case Kind::process_names: good = process_names_from_payload(p).has_value(); break;
        case Kind::counters: good = counters_from_payload(p).has_value(); break;
        case Kind::segment_count:
        case Kind::devnode:
        case Kind::devnode_parent:
        case Kind::link_property: {
            const auto number = unsigned_from(p);
            good = number && *number <= UINT32_MAX;
            break;
        }
        case Kind::source_error: good = false; break;  // only errors are recorded for sources
    }
    if (!good) return Error("its answer does not read as one of its kind");
    return {};
}

std::string_view source_of(Kind kind, std::string_view key) {
    switch (kind) {
        case Kind::env: return "the environment";
        case Kind::amdgpu: return "driver";
        case Kind::process: return "wmi";
        case Kind::gpu_session:
            if (key == "process-memory") return "pdh";
            if (key == "device-tree") return "cfgmgr";
            return "d3dkmt";
        case Kind::adapter:
        case Kind::segment_count:
        case Kind::segment: return "d3dkmt";
        case Kind::process_names:
        case Kind::counters: return "pdh";
        case Kind::devnode:
        case Kind::devnode_parent:
        case Kind::devnode_id:
        case Kind::link_property: return "cfgmgr";
        case Kind::library:
        case Kind::symbol:
        case Kind::call: return contains(text::ascii_lower(key), "hip") ? "hip" : "adl";
        case Kind::source_error: return "sources";
        case Kind::folder:
        case Kind::link:
        case Kind::file:
        case Kind::exists: break;
    }
    if (contains(key, "/sys/class/kfd/")) return "kfd";
    if (contains(key, "/sys/firmware/dmi/")) return "smbios";
    if (contains(key, "/var/log/")) return "kubelet";
    if (contains(key, "/usr/share/libdrm/")) return "amdgpu.ids";
    if (contains(key, "/sys/module/")) return "driver";
    if (contains(key, "/proc/")) {
        if (key.ends_with("/cgroup")) return "cgroup";
        if (contains(key, "/fd")) return "fdinfo";
        return "procfs";
    }
    return "sysfs";
}

void reset_replay_warnings() {
    const std::lock_guard lock(warned_mutex);
    warned.clear();
}

// ---- the graphics statistics sessions ----------------------------------------

class ReplayBoundary::GpuOsReplay final : public platform::GpuOs {
public:
    explicit GpuOsReplay(ReplayBoundary& boundary) : boundary_(boundary) {}

    Result<std::unique_ptr<platform::GpuStatisticsSession>> open_statistics() override {
        if (Status opened = open("statistics"); !opened.ok()) return opened.error();
        return std::unique_ptr<platform::GpuStatisticsSession>(std::make_unique<Statistics>(boundary_));
    }
    Result<std::unique_ptr<platform::ProcessMemorySession>> open_process_memory() override {
        if (Status opened = open("process-memory"); !opened.ok()) return opened.error();
        return std::unique_ptr<platform::ProcessMemorySession>(std::make_unique<ProcessMemory>(boundary_));
    }
    Result<std::unique_ptr<platform::DeviceTreeSession>> open_device_tree() override {
        if (Status opened = open("device-tree"); !opened.ok()) return opened.error();
        return std::unique_ptr<platform::DeviceTreeSession>(std::make_unique<DeviceTree>(boundary_));
    }

private:
    Status open(std::string_view name) {
        const Record* record = boundary_.next(Kind::gpu_session, name);
        if (record == nullptr) return unanswered("opening the " + std::string(name) + " session");
        if (record->answer != Answer::value) return error_from_payload(record->payload);
        return {};
    }

    static const Record* value(ReplayBoundary& boundary, Kind kind, std::string_view key) {
        const platform::OsScope os_answers;
        const Record* record = boundary.next(kind, key);
        return record != nullptr && record->answer == Answer::value ? record : nullptr;
    }
    static std::optional<std::uint32_t> number(ReplayBoundary& boundary, Kind kind, std::string_view key) {
        const Record* record = value(boundary, kind, key);
        if (record == nullptr) return std::nullopt;
        const auto parsed = unsigned_from(record->payload);
        if (!parsed || *parsed > UINT32_MAX) return std::nullopt;
        return static_cast<std::uint32_t>(*parsed);
    }

    class Statistics final : public platform::GpuStatisticsSession {
    public:
        explicit Statistics(ReplayBoundary& boundary) : boundary_(boundary) {}
        platform::EnumeratedAdapter adapter(std::uint32_t ordinal) override {
            const Record* record = value(boundary_, Kind::adapter, numfmt::unsigned_text(ordinal));
            if (record == nullptr) return {};
            return adapter_from_payload(record->payload).value_or(platform::EnumeratedAdapter{});
        }
        std::optional<std::uint32_t> segment_count(const platform::AdapterLuid& luid) override {
            return number(boundary_, Kind::segment_count, luid_key(luid));
        }
        std::optional<platform::SegmentStatistics> segment(const platform::AdapterLuid& luid,
                                                           std::uint32_t segment_id) override {
            const Record* record =
                value(boundary_, Kind::segment, luid_key(luid) + "/" + numfmt::unsigned_text(segment_id));
            if (record == nullptr) return std::nullopt;
            return segment_from_payload(record->payload);
        }

    private:
        ReplayBoundary& boundary_;
    };

    class ProcessMemory final : public platform::ProcessMemorySession {
    public:
        explicit ProcessMemory(ReplayBoundary& boundary) : boundary_(boundary) {}
        std::vector<platform::ProcessEntry> process_snapshot() override {
            const Record* record = value(boundary_, Kind::process_names, "");
            if (record == nullptr) return {};
            return process_names_from_payload(record->payload).value_or(std::vector<platform::ProcessEntry>{});
        }
        platform::ProcessCounters collect_counters() override {
            const Record* record = value(boundary_, Kind::counters, "");
            if (record == nullptr) return {};
            return counters_from_payload(record->payload).value_or(platform::ProcessCounters{});
        }

    private:
        ReplayBoundary& boundary_;
    };

    class DeviceTree final : public platform::DeviceTreeSession {
    public:
        explicit DeviceTree(ReplayBoundary& boundary) : boundary_(boundary) {}
        std::optional<std::uint32_t> locate(std::string_view instance_id) override {
            return number(boundary_, Kind::devnode, instance_id);
        }
        std::optional<std::uint32_t> parent(std::uint32_t node) override {
            return number(boundary_, Kind::devnode_parent, numfmt::unsigned_text(node));
        }
        std::optional<std::string> instance_id(std::uint32_t node) override {
            const Record* record = value(boundary_, Kind::devnode_id, numfmt::unsigned_text(node));
            if (record == nullptr) return std::nullopt;
            return record->payload;
        }
        std::optional<std::uint32_t> link_property(std::uint32_t node, platform::PciLinkProperty property) override {
            return number(boundary_, Kind::link_property,
                          numfmt::unsigned_text(node) + "/" + std::string(link_figure_name(property)));
        }

    private:
        ReplayBoundary& boundary_;
    };

    ReplayBoundary& boundary_;
};

// ---- ReplayBoundary ------------------------------------------------------------------

ReplayBoundary::ReplayBoundary(std::shared_ptr<const ReplaySource> source, bool quiet)
    : source_(std::move(source)), quiet_(quiet), gpu_os_(std::make_unique<GpuOsReplay>(*this)) {}

Status ReplayBoundary::write_stderr(std::string_view bytes) {
    if (quiet_) return {};
    return platform::write_stderr(bytes);
}

ReplayBoundary::~ReplayBoundary() = default;

const Record* ReplayBoundary::next(Kind kind, std::string_view key) {
    const std::vector<std::uint32_t>* answers = source_->answers(kind, key);
    if (answers == nullptr) {
        if (!quiet_) warn_once(kind, key);
        return nullptr;
    }
    std::size_t& cursor = cursors_[answers];
    const Record& record = source_->capture().records[(*answers)[cursor]];
    if (cursor + 1 < answers->size()) ++cursor;
    return &record;
}

std::optional<std::vector<std::string>> ReplayBoundary::list_folder(const std::string& path) {
    const Record* record = next(Kind::folder, path);
    if (record == nullptr || record->answer != Answer::value) return std::nullopt;
    return folder_from_payload(record->payload);
}

std::optional<std::string> ReplayBoundary::read_link(const std::string& path) {
    const Record* record = next(Kind::link, path);
    if (record == nullptr || record->answer != Answer::value) return std::nullopt;
    return record->payload;
}

std::optional<std::string> ReplayBoundary::read_file_prefix(const std::string& path, std::size_t limit) {
    const Record* record = next(Kind::file, path);
    if (record == nullptr || record->answer != Answer::value) return std::nullopt;
    return record->payload.substr(0, std::min(limit, record->payload.size()));
}

bool ReplayBoundary::path_exists(const std::string& path) {
    const Record* record = next(Kind::exists, path);
    return record != nullptr && record->answer == Answer::value;
}

Result<platform::Library> ReplayBoundary::open_library(std::string_view name) {
    const Record* record = next(Kind::library, name);
    if (record == nullptr) return unanswered("opening the library " + std::string(name));
    if (record->answer != Answer::value) return error_from_payload(record->payload);
    return platform::Library::from_source(std::make_unique<ReplayLibrary>(*this, std::string(name)));
}

Result<platform::ProcessOutput> ReplayBoundary::run_process(const platform::ProcessSpec& spec) {
    const std::string key = process_key(spec);
    const Record* record = next(Kind::process, key);
    if (record == nullptr) return unanswered("running " + spec.program);
    if (record->answer != Answer::value) return error_from_payload(record->payload);
    auto output = process_from_payload(record->payload);
    if (!output) return unanswered("running " + spec.program);
    return *output;
}

platform::GpuOs& ReplayBoundary::gpu_os() { return *gpu_os_; }

std::optional<platform::AmdgpuInfo> ReplayBoundary::amdgpu_device_info(const std::string& render_node) {
    const Record* record = next(Kind::amdgpu, render_node);
    if (record == nullptr || record->answer != Answer::value) return std::nullopt;
    return amdgpu_from_payload(record->payload);
}

std::optional<std::string> ReplayBoundary::get_env(std::string_view name) {
    const Record* record = next(Kind::env, name);
    if (record == nullptr || record->answer != Answer::value) return std::nullopt;
    return record->payload;
}

std::int32_t ReplayBoundary::answer(std::string_view symbol, std::string_view arguments,
                                    std::span<const OutputBuffer> outputs, const std::function<std::int32_t(void*)>&) {
    const platform::OsScope os_answers;
    const Record* record = next(Kind::call, std::string(symbol) + "(" + std::string(arguments) + ")");
    if (record == nullptr || record->answer != Answer::value) return kUnansweredStatus;
    const auto call = call_from_payload(record->payload);
    if (!call) return kUnansweredStatus;
    std::string_view written = call->outputs;
    for (const OutputBuffer& buffer : outputs) {
        const std::size_t size = std::min(buffer.size, written.size());
        if (size != 0) std::memcpy(buffer.data, written.data(), size);
        written.remove_prefix(size);
    }
    return call->status;
}

void* ReplayBoundary::log_started(int adapter, void*) {
    const platform::OsScope os_answers;
    const Record* record = next(Kind::call, "PMLog block(" + decimal(adapter) + ")");
    if (record == nullptr || record->answer != Answer::value) return nullptr;
    const auto call = call_from_payload(record->payload);
    if (!call) return nullptr;
    std::string& block = log_blocks_[adapter];
    block.assign(call->outputs.substr(0, log_block_size()));
    block.resize(log_block_size(), '\0');  // the pass may read the whole block
    return block.data();
}

}  // namespace karvo::discovery::capture
