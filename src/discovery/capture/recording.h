#pragma once
// A pass that asks the OS as usual and keeps every answer: the boundary to
// install while a recorded pass runs, and the records it collects.

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

// The records of the passes recorded so far, in the order asked. An answer
// equal to the last one of the same question is not kept twice (a replay
// repeats the last answer of a question asked more often than recorded).
class Recorder {
public:
    void add(Kind kind, std::string key, Answer answer, std::string payload = {});
    void add_error(Kind kind, std::string key, const Error& error);
    void add_stderr(std::string_view bytes) { stderr_text_ += bytes; }

    const std::vector<Record>& records() const { return records_; }
    const std::string& stderr_text() const { return stderr_text_; }

private:
    std::vector<Record> records_;
    std::unordered_map<std::string, std::size_t> last_;  // kind and key to the last record
    std::string stderr_text_;
};

// Installs nothing itself: the pass scope installs it as the thread's
// boundary and as its vendor calls.
class RecordingBoundary final : public platform::Boundary, public VendorCalls {
public:
    explicit RecordingBoundary(Recorder& recorder);
    ~RecordingBoundary() override;

    std::optional<std::vector<std::string>> list_folder(const std::string& path) override;
    std::optional<std::string> read_link(const std::string& path) override;
    std::optional<std::string> read_file_prefix(const std::string& path, std::size_t limit) override;
    bool path_exists(const std::string& path) override;
    Result<platform::Library> open_library(std::string_view name) override;
    Result<platform::ProcessOutput> run_process(const platform::ProcessSpec& spec) override;
    platform::GpuOs& gpu_os() override;
    std::optional<platform::AmdgpuInfo> amdgpu_device_info(const std::string& render_node) override;
    std::optional<std::string> get_env(std::string_view name) override;
    void sleep_milliseconds(std::uint32_t milliseconds) override;
    Status write_stderr(std::string_view bytes) override;
    void saw_source_error(std::string_view source, const Error& error) override;

    std::int32_t answer(std::string_view symbol, std::string_view arguments, std::span<const OutputBuffer> outputs,
                        const std::function<std::int32_t(void* real)>& invoke) override;
    void* log_started(int adapter, void* block) override;
    void log_stopping(int adapter) override;

    // Where a library's entry point really is (the stand-in passes calls there).
    void set_real_address(std::string_view symbol, void* address);
    Recorder& recorder() { return recorder_; }

private:
    class GpuOsRecording;
    Recorder& recorder_;
    std::unique_ptr<GpuOsRecording> gpu_os_;
    std::map<std::string, void*, std::less<>> real_;
    std::map<int, void*> log_blocks_;
};

// The key of a child run: the program and its arguments, blank-separated.
std::string process_key(const platform::ProcessSpec& spec);

}  // namespace karvo::discovery::capture
