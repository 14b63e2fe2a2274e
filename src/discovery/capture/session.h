#pragma once
// How the discovery passes of this process meet the system: live (the OS
// answers), recorded (the OS answers and a recorder keeps every answer), or
// replayed from a capture. The driver chooses once at start-up; every pass,
// whichever mode of output asked for it, then runs inside a PassScope.

#include <memory>

#include "discovery/capture/capture.h"
#include "discovery/capture/recording.h"
#include "discovery/capture/replay.h"

namespace karvo::discovery::capture {

// The system this build runs on.
System host_system();

// From now on, passes are recorded into `recorder` (they still ask the OS).
void record_passes(std::shared_ptr<Recorder> recorder);
// From now on, passes are answered by `source` (quietly: see ReplayBoundary).
void replay_passes(std::shared_ptr<const ReplaySource> source, bool quiet = false);
// Back to the OS alone.
void live_passes();

// One pass: installs the recording or replay boundary on this thread for the
// scope's lifetime, and says which system's pass to run (a replay runs the
// pass of the system its capture came from).
class PassScope {
public:
    PassScope();
    ~PassScope();
    PassScope(const PassScope&) = delete;
    PassScope& operator=(const PassScope&) = delete;

    System system() const { return system_; }

private:
    System system_;
    std::shared_ptr<Recorder> recorder_;
    std::shared_ptr<const ReplaySource> source_;
    std::unique_ptr<RecordingBoundary> recording_;
    std::unique_ptr<ReplayBoundary> replay_;
    std::unique_ptr<platform::BoundaryScope> boundary_scope_;
    std::unique_ptr<VendorCallsScope> calls_scope_;
};

}  // namespace karvo::discovery::capture
