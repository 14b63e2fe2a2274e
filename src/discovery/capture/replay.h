#pragma once
// A pass that meets a capture instead of the system: every question is
// answered with the answer recorded for it. Questions asked more often than
// recorded get the last answer again; a question the capture never saw is
// answered as a failure of its source (a missing file, a library that does
// not load, a call that fails), with one warning line per source.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "discovery/capture/capture.h"
#include "discovery/capture/vendor_calls.h"
#include "platform/boundary.h"

namespace karvo::discovery::capture {

// A capture with its answers indexed by question, ready for any number of
// replayed passes (each with its own boundary).
class ReplaySource {
public:
    // Answers a payload that does not read as its kind's (see check_record)
    // as if the capture did not hold it.
    static std::shared_ptr<const ReplaySource> make(Capture capture);

    const Capture& capture() const { return capture_; }
    // The records answering one question, in recorded order; null when none.
    const std::vector<std::uint32_t>* answers(Kind kind, std::string_view key) const;

private:
    explicit ReplaySource(Capture capture);
    Capture capture_;
    std::unordered_map<std::string, std::vector<std::uint32_t>> index_;
};

// Checks that a record's payload reads as its kind's answer.
Status check_record(const Record& record);

// The source a question belongs to, as warnings and summaries name it
// ("sysfs", "kfd", "fdinfo", "cgroup", "kubelet", "smbios", "hip", "adl",
// "wmi", "d3dkmt", "pdh", "cfgmgr", ...).
std::string_view source_of(Kind kind, std::string_view key);

class ReplayBoundary final : public platform::Boundary, public VendorCalls {
public:
    // A quiet replay writes nothing on standard error (no diagnostics of the
    // pass, no warnings about missing answers).
    explicit ReplayBoundary(std::shared_ptr<const ReplaySource> source, bool quiet = false);
    ~ReplayBoundary() override;

    std::optional<std::vector<std::string>> list_folder(const std::string& path) override;
    std::optional<std::string> read_link(const std::string& path) override;
    std::optional<std::string> read_file_prefix(const std::string& path, std::size_t limit) override;
    bool path_exists(const std::string& path) override;
    Result<platform::Library> open_library(std::string_view name) override;
    Result<platform::ProcessOutput> run_process(const platform::ProcessSpec& spec) override;
    platform::GpuOs& gpu_os() override;
    std::optional<platform::AmdgpuInfo> amdgpu_device_info(const std::string& render_node) override;
    std::optional<std::string> get_env(std::string_view name) override;
    void sleep_milliseconds(std::uint32_t) override {}  // nothing to wait for
    Status write_stderr(std::string_view bytes) override;
    void saw_source_error(std::string_view, const Error&) override {}

    std::int32_t answer(std::string_view symbol, std::string_view arguments, std::span<const OutputBuffer> outputs,
                        const std::function<std::int32_t(void* real)>& invoke) override;
    void* log_started(int adapter, void* block) override;
    void log_stopping(int) override {}

    // The next recorded answer to a question; null (after the source's one
    // warning) when the capture holds none.
    const Record* next(Kind kind, std::string_view key);

private:
    class GpuOsReplay;
    std::shared_ptr<const ReplaySource> source_;
    bool quiet_;
    std::unordered_map<const std::vector<std::uint32_t>*, std::size_t> cursors_;
    std::unique_ptr<GpuOsReplay> gpu_os_;
    std::map<int, std::string> log_blocks_;
};

// Forgets which sources were warned about (each process warns once per source).
void reset_replay_warnings();

}  // namespace karvo::discovery::capture
