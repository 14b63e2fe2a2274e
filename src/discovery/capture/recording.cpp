#include "discovery/capture/recording.h"

#include <cstring>

#include "common/numfmt.h"
#include "discovery/capture/gpu_keys.h"
#include "discovery/capture/payloads.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system.h"

namespace karvo::discovery::capture {
namespace {

// A library the pass opened: lookups of entry points the stand-ins know are
// answered with the stand-in, which passes each call to the real one.
class RecordingLibrary final : public platform::LibrarySource {
public:
    RecordingLibrary(RecordingBoundary& boundary, std::string name, platform::Library live)
        : boundary_(boundary), name_(std::move(name)), live_(std::move(live)) {}

    void* find(const char* symbol) override {
        const platform::OsScope os_answers;
        void* real = live_.find(symbol);
        const std::string key = name_ + "!" + symbol;
        if (real == nullptr) {
            auto failure = live_.resolve(symbol);
            boundary_.recorder().add_error(Kind::symbol, key,
                                           failure.ok() ? Error("not found") : failure.error());
            return nullptr;
        }
        boundary_.recorder().add(Kind::symbol, key, Answer::value);
        void* stub = vendor_stub(symbol);
        if (stub == nullptr) return real;  // its calls go unrecorded
        boundary_.set_real_address(symbol, real);
        return stub;
    }

    Result<void*> resolve(const char* symbol) override {
        void* address = find(symbol);
        if (address != nullptr) return address;
        const platform::OsScope os_answers;
        auto failure = live_.resolve(symbol);
        if (!failure.ok()) return failure.error();
        return Error("not found");
    }

private:
    RecordingBoundary& boundary_;
    std::string name_;
    platform::Library live_;
};

}  // namespace

// ---- Recorder -------------------------------------------------------------

void Recorder::add(Kind kind, std::string key, Answer answer, std::string payload) {
    if (answer == Answer::absent) payload.clear();
    const auto [last, first_time] = last_.try_emplace(question_key(kind, key), records_.size());
    if (!first_time) {
        const Record& previous = records_[last->second];
        if (previous.answer == answer && previous.payload == payload) return;
        last->second = records_.size();
    }
    records_.push_back({kind, std::move(key), answer, std::move(payload)});
}

void Recorder::add_error(Kind kind, std::string key, const Error& error) {
    add(kind, std::move(key), Answer::error, error_payload(error));
}

// ---- the graphics statistics sessions ----------------------------------------

class RecordingBoundary::GpuOsRecording final : public platform::GpuOs {
public:
    explicit GpuOsRecording(Recorder& recorder) : recorder_(recorder) {}

    Result<std::unique_ptr<platform::GpuStatisticsSession>> open_statistics() override {
        return open<platform::GpuStatisticsSession, Statistics>("statistics",
                                                                [](platform::GpuOs& os) { return os.open_statistics(); });
    }
    Result<std::unique_ptr<platform::ProcessMemorySession>> open_process_memory() override {
        return open<platform::ProcessMemorySession, ProcessMemory>(
            "process-memory", [](platform::GpuOs& os) { return os.open_process_memory(); });
    }
    Result<std::unique_ptr<platform::DeviceTreeSession>> open_device_tree() override {
        return open<platform::DeviceTreeSession, DeviceTree>("device-tree",
                                                             [](platform::GpuOs& os) { return os.open_device_tree(); });
    }

private:
    template <class Session, class Wrapper, class Open>
    Result<std::unique_ptr<Session>> open(const char* name, Open open_live) {
        const platform::OsScope os_answers;
        auto live = open_live(platform::system_gpu_os());
        if (!live.ok()) {
            recorder_.add_error(Kind::gpu_session, name, live.error());
            return live.error();
        }
        recorder_.add(Kind::gpu_session, name, Answer::value);
        return std::unique_ptr<Session>(std::make_unique<Wrapper>(recorder_, std::move(live).value()));
    }

    class Statistics final : public platform::GpuStatisticsSession {
    public:
        Statistics(Recorder& recorder, std::unique_ptr<platform::GpuStatisticsSession> live)
            : recorder_(recorder), live_(std::move(live)) {}
        platform::EnumeratedAdapter adapter(std::uint32_t ordinal) override {
            const platform::OsScope os_answers;
            const auto answer = live_->adapter(ordinal);
            recorder_.add(Kind::adapter, numfmt::unsigned_text(ordinal), Answer::value, adapter_payload(answer));
            return answer;
        }
        std::optional<std::uint32_t> segment_count(const platform::AdapterLuid& luid) override {
            const platform::OsScope os_answers;
            const auto answer = live_->segment_count(luid);
            recorder_.add(Kind::segment_count, luid_key(luid), answer ? Answer::value : Answer::absent,
                          answer ? numfmt::unsigned_text(*answer) : std::string());
            return answer;
        }
        std::optional<platform::SegmentStatistics> segment(const platform::AdapterLuid& luid,
                                                           std::uint32_t segment_id) override {
            const platform::OsScope os_answers;
            const auto answer = live_->segment(luid, segment_id);
            recorder_.add(Kind::segment, luid_key(luid) + "/" + numfmt::unsigned_text(segment_id),
                          answer ? Answer::value : Answer::absent, answer ? segment_payload(*answer) : std::string());
            return answer;
        }

    private:
        Recorder& recorder_;
        std::unique_ptr<platform::GpuStatisticsSession> live_;
    };

    class ProcessMemory final : public platform::ProcessMemorySession {
    public:
        ProcessMemory(Recorder& recorder, std::unique_ptr<platform::ProcessMemorySession> live)
            : recorder_(recorder), live_(std::move(live)) {}
        std::vector<platform::ProcessEntry> process_snapshot() override {
            const platform::OsScope os_answers;
            auto answer = live_->process_snapshot();
            recorder_.add(Kind::process_names, "", Answer::value, process_names_payload(answer));
            return answer;
        }
        platform::ProcessCounters collect_counters() override {
            const platform::OsScope os_answers;
            auto answer = live_->collect_counters();
            recorder_.add(Kind::counters, "", Answer::value, counters_payload(answer));
            return answer;
        }

    private:
        Recorder& recorder_;
        std::unique_ptr<platform::ProcessMemorySession> live_;
    };

    class DeviceTree final : public platform::DeviceTreeSession {
    public:
        DeviceTree(Recorder& recorder, std::unique_ptr<platform::DeviceTreeSession> live)
            : recorder_(recorder), live_(std::move(live)) {}
        std::optional<std::uint32_t> locate(std::string_view instance_id) override {
            const platform::OsScope os_answers;
            return number(Kind::devnode, std::string(instance_id), live_->locate(instance_id));
        }
        std::optional<std::uint32_t> parent(std::uint32_t node) override {
            const platform::OsScope os_answers;
            return number(Kind::devnode_parent, numfmt::unsigned_text(node), live_->parent(node));
        }
        std::optional<std::string> instance_id(std::uint32_t node) override {
            const platform::OsScope os_answers;
            auto answer = live_->instance_id(node);
            recorder_.add(Kind::devnode_id, numfmt::unsigned_text(node), answer ? Answer::value : Answer::absent,
                          answer.value_or(std::string()));
            return answer;
        }
        std::optional<std::uint32_t> link_property(std::uint32_t node, platform::PciLinkProperty property) override {
            const platform::OsScope os_answers;
            return number(Kind::link_property, numfmt::unsigned_text(node) + "/" + std::string(link_figure_name(property)),
                          live_->link_property(node, property));
        }

    private:
        std::optional<std::uint32_t> number(Kind kind, std::string key, std::optional<std::uint32_t> answer) {
            recorder_.add(kind, std::move(key), answer ? Answer::value : Answer::absent,
                          answer ? numfmt::unsigned_text(*answer) : std::string());
            return answer;
        }
        Recorder& recorder_;
        std::unique_ptr<platform::DeviceTreeSession> live_;
    };

    Recorder& recorder_;
};

// ---- RecordingBoundary ----------------------------------------------------------

RecordingBoundary::RecordingBoundary(Recorder& recorder)
    : recorder_(recorder), gpu_os_(std::make_unique<GpuOsRecording>(recorder)) {}

RecordingBoundary::~RecordingBoundary() = default;

std::optional<std::vector<std::string>> RecordingBoundary::list_folder(const std::string& path) {
    auto names = platform::list_folder(path);
    recorder_.add(Kind::folder, path, names ? Answer::value : Answer::absent, names ? folder_payload(*names) : "");
    return names;
}

std::optional<std::string> RecordingBoundary::read_link(const std::string& path) {
    auto target = platform::read_link(path);
    recorder_.add(Kind::link, path, target ? Answer::value : Answer::absent, target.value_or(std::string()));
    return target;
}

std::optional<std::string> RecordingBoundary::read_file_prefix(const std::string& path, std::size_t limit) {
    auto data = platform::read_file_prefix(path, limit);
    recorder_.add(Kind::file, path, data ? Answer::value : Answer::absent, data.value_or(std::string()));
    return data;
}

bool RecordingBoundary::path_exists(const std::string& path) {
    const bool exists = platform::path_exists(path);
    recorder_.add(Kind::exists, path, exists ? Answer::value : Answer::absent);
    return exists;
}

Result<platform::Library> RecordingBoundary::open_library(std::string_view name) {
    auto live = platform::Library::open_native(name);
    if (!live.ok()) {
        recorder_.add_error(Kind::library, std::string(name), live.error());
        return live.error();
    }
    recorder_.add(Kind::library, std::string(name), Answer::value);
    return platform::Library::from_source(
        std::make_unique<RecordingLibrary>(*this, std::string(name), std::move(live).value()));
}

std::string process_key(const platform::ProcessSpec& spec) {
    std::string key = spec.program;
    for (const std::string& arg : spec.args) {
        key += ' ';
        key += arg;
    }
    return key;
}

Result<platform::ProcessOutput> RecordingBoundary::run_process(const platform::ProcessSpec& spec) {
    auto output = platform::run_process(spec);
    if (output.ok()) {
        recorder_.add(Kind::process, process_key(spec), Answer::value, process_payload(*output));
    } else {
        recorder_.add_error(Kind::process, process_key(spec), output.error());
    }
    return output;
}

platform::GpuOs& RecordingBoundary::gpu_os() { return *gpu_os_; }

std::optional<platform::AmdgpuInfo> RecordingBoundary::amdgpu_device_info(const std::string& render_node) {
    auto info = platform::amdgpu_device_info(render_node);
    recorder_.add(Kind::amdgpu, render_node, info ? Answer::value : Answer::absent,
                  info ? amdgpu_payload(*info) : std::string());
    return info;
}

std::optional<std::string> RecordingBoundary::get_env(std::string_view name) {
    auto value = platform::get_env(name);
    recorder_.add(Kind::env, std::string(name), value ? Answer::value : Answer::absent, value.value_or(std::string()));
    return value;
}

void RecordingBoundary::sleep_milliseconds(std::uint32_t milliseconds) { platform::sleep_milliseconds(milliseconds); }

Status RecordingBoundary::write_stderr(std::string_view bytes) {
    recorder_.add_stderr(bytes);
    return platform::write_stderr(bytes);
}

void RecordingBoundary::saw_source_error(std::string_view source, const Error& error) {
    recorder_.add_error(Kind::source_error, std::string(source), error);
}

void RecordingBoundary::set_real_address(std::string_view symbol, void* address) {
    real_.insert_or_assign(std::string(symbol), address);
}

std::int32_t RecordingBoundary::answer(std::string_view symbol, std::string_view arguments,
                                       std::span<const OutputBuffer> outputs,
                                       const std::function<std::int32_t(void* real)>& invoke) {
    const auto real = real_.find(symbol);
    if (real == real_.end()) return kUnansweredStatus;
    std::int32_t status = 0;
    {
        const platform::OsScope os_answers;
        status = invoke(real->second);
    }
    std::string written;
    for (const OutputBuffer& buffer : outputs) {
        if (buffer.size != 0) written.append(static_cast<const char*>(buffer.data), buffer.size);
    }
    recorder_.add(Kind::call, std::string(symbol) + "(" + std::string(arguments) + ")", Answer::value,
                  call_payload(status, written));
    return status;
}

void* RecordingBoundary::log_started(int adapter, void* block) {
    log_blocks_[adapter] = block;
    return block;
}

void RecordingBoundary::log_stopping(int adapter) {
    const auto found = log_blocks_.find(adapter);
    const std::string key = "PMLog block(" + decimal(adapter) + ")";
    if (found == log_blocks_.end() || found->second == nullptr) {
        recorder_.add(Kind::call, key, Answer::absent);
        return;
    }
    recorder_.add(Kind::call, key, Answer::value,
                  call_payload(0, std::string_view(static_cast<const char*>(found->second), log_block_size())));
}

}  // namespace karvo::discovery::capture
