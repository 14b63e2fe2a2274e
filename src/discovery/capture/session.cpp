#include "discovery/capture/session.h"

#include <mutex>

#include "platform/host.h"

namespace karvo::discovery::capture {
namespace {

struct Mode {
    std::mutex mutex;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<const ReplaySource> source;
    bool quiet = false;
};

Mode& mode() {
    static Mode instance;
    return instance;
}

}  // namespace

System host_system() { return platform::kWindowsHost ? System::windows : System::linux; }

void record_passes(std::shared_ptr<Recorder> recorder) {
    const std::lock_guard lock(mode().mutex);
    mode().recorder = std::move(recorder);
    mode().source.reset();
}

void replay_passes(std::shared_ptr<const ReplaySource> source, bool quiet) {
    const std::lock_guard lock(mode().mutex);
    mode().source = std::move(source);
    mode().quiet = quiet;
    mode().recorder.reset();
}

void live_passes() {
    const std::lock_guard lock(mode().mutex);
    mode().source.reset();
    mode().recorder.reset();
}

PassScope::PassScope() : system_(host_system()) {
    bool quiet = false;
    {
        const std::lock_guard lock(mode().mutex);
        recorder_ = mode().recorder;
        source_ = mode().source;
        quiet = mode().quiet;
    }
    if (source_ != nullptr) {
        system_ = source_->capture().info.system;
        replay_ = std::make_unique<ReplayBoundary>(source_, quiet);
        boundary_scope_ = std::make_unique<platform::BoundaryScope>(replay_.get());
        calls_scope_ = std::make_unique<VendorCallsScope>(replay_.get());
    } else if (recorder_ != nullptr) {
        recording_ = std::make_unique<RecordingBoundary>(*recorder_);
        boundary_scope_ = std::make_unique<platform::BoundaryScope>(recording_.get());
        calls_scope_ = std::make_unique<VendorCallsScope>(recording_.get());
    }
}

PassScope::~PassScope() {
    calls_scope_.reset();
    boundary_scope_.reset();
}

}  // namespace karvo::discovery::capture
