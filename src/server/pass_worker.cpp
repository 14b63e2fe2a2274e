#include "server/pass_worker.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "server/request.h"

namespace karvo::server {

// What the thread and its owner share. The thread holds it too, so a thread
// left to finish a pass never touches the owner.
struct PassWorker::Shared {
    PassFn pass;
    render::MetricsOptions metrics;
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<PassPlan> job;
    std::optional<PassAnswers> done;
    bool busy = false;
    bool stop = false;
};

namespace {

std::shared_ptr<const std::string> answer(Route route, const discovery::PassResult& pass,
                                          const render::MetricsOptions& metrics) {
    return std::make_shared<const std::string>(format_response(routed_response(route, pass, metrics)));
}

}  // namespace

PassWorker::PassWorker(PassFn pass, render::MetricsOptions metrics) : shared_(std::make_shared<Shared>()) {
    shared_->pass = std::move(pass);
    shared_->metrics = metrics;
    thread_ = std::thread(&PassWorker::work, shared_);
}

PassWorker::~PassWorker() {
    std::unique_lock lock(shared_->mutex);
    shared_->stop = true;
    shared_->changed.notify_all();
    const bool ended = shared_->changed.wait_for(lock, std::chrono::milliseconds(kStopWaitMs),
                                                 [this] { return !shared_->busy; });
    lock.unlock();
    if (ended) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

void PassWorker::start(const PassPlan& plan) {
    const std::lock_guard lock(shared_->mutex);
    shared_->job = plan;
    shared_->busy = true;
    running_ = true;
    shared_->changed.notify_all();
}

std::optional<PassAnswers> PassWorker::take() {
    if (!running_) return std::nullopt;
    const std::lock_guard lock(shared_->mutex);
    if (!shared_->done) return std::nullopt;
    std::optional<PassAnswers> answers = std::move(shared_->done);
    shared_->done.reset();
    running_ = false;
    return answers;
}

void PassWorker::work(std::shared_ptr<Shared> shared) {
    for (;;) {
        PassPlan plan;
        {
            std::unique_lock lock(shared->mutex);
            shared->changed.wait(lock, [&] { return shared->stop || shared->job.has_value(); });
            if (shared->stop) {
                // A pass asked for and not begun is not begun any more.
                shared->busy = false;
                shared->changed.notify_all();
                return;
            }
            plan = *shared->job;
            shared->job.reset();
        }
        const discovery::PassResult pass = shared->pass();
        PassAnswers answers;
        if (plan.json) answers.json = answer(Route::json, pass, shared->metrics);
        if (plan.metrics) answers.metrics = answer(Route::metrics, pass, shared->metrics);
        if (plan.ready) answers.ready = answer(Route::ready, pass, shared->metrics);
        const std::lock_guard lock(shared->mutex);
        shared->done = std::move(answers);
        shared->busy = false;
        shared->changed.notify_all();
    }
}

}  // namespace karvo::server
