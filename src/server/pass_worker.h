#pragma once
// The discovery passes of the serve loop, run on a thread of their own: a
// pass can take seconds (a PowerShell run, a slow display library), and the
// loop goes on accepting, reading and sending meanwhile. One pass at a time.
// The pass also renders the responses it was asked for, so a large document
// is never built on the loop's thread either.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "discovery/discover.h"
#include "render/metrics.h"

namespace karvo::server {

// One discovery pass; the product passes discover_pass (for the selected
// GPUs), tests a fake.
using PassFn = std::function<discovery::PassResult()>;

// The responses a pass is to prepare: those of the routes its requests asked.
struct PassPlan {
    bool json = false;
    bool metrics = false;
    bool ready = false;
};

// Whole responses (status line, headers and body), shared by every request
// the pass answers.
struct PassAnswers {
    std::shared_ptr<const std::string> json;
    std::shared_ptr<const std::string> metrics;
    std::shared_ptr<const std::string> ready;
};

class PassWorker {
public:
    PassWorker(PassFn pass, render::MetricsOptions metrics);
    // A pass still running is waited for up to kStopWaitMs, then left to end
    // on its own thread (its answers are dropped): a stop is never held up by
    // a source that hangs.
    ~PassWorker();
    PassWorker(const PassWorker&) = delete;
    PassWorker& operator=(const PassWorker&) = delete;

    static constexpr std::uint32_t kStopWaitMs = 1000;

    // Starts a pass; only when none is running.
    void start(const PassPlan& plan);
    // A pass was started and its answers not taken yet.
    bool running() const { return running_; }
    // The answers of the pass once it has ended (and from then on it is not running).
    std::optional<PassAnswers> take();

private:
    struct Shared;
    static void work(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    bool running_ = false;
};

}  // namespace karvo::server
