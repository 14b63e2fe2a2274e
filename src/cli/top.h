#pragma once
// `karvo top`: the interactive monitor. The screen runs on the main thread
// and answers keys, resizes and quitting at once; the discovery passes run
// beside it on a thread of their own, one per refresh on a fixed schedule,
// so a slow pass (PowerShell on Windows) never holds the screen up.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/error.h"
#include "platform/terminal.h"
#include "render/report.h"
#include "render/top/model.h"

namespace karvo::cli {

struct TopOptions {
    std::vector<std::string> ids;  // --id: only these GPUs
    std::uint32_t interval_ms = 1000;
    bool no_color = false;  // --no-color, or NO_COLOR set and not empty
    bool ascii = false;     // --ascii: plain ASCII
    bool blocks = false;    // --ascii=blocks: graphs with blocks instead of braille
};

// What the monitor reaches outside itself. system_top_io() gives the
// process's terminal, standard error and clocks; tests put their own in.
struct TopIo {
    std::function<bool()> output_is_terminal;
    std::function<bool()> input_is_terminal;
    std::function<Result<std::unique_ptr<platform::Terminal>>(const platform::TerminalSetup&)> open_terminal;
    std::function<Status(std::string_view)> write_err;
    std::function<std::uint64_t()> clock;       // monotonic nanoseconds
    std::function<std::string()> time_of_day;  // "HH:MM:SS"
};
TopIo system_top_io();

// Runs the monitor until it is quit; returns the exit status: 0 when quit,
// 2 when standard output or input is not a terminal or the first pass finds
// no GPU (or none --id names), 1 when the terminal cannot be used or the
// screen fails. The terminal is restored on every way out.
int run_top(const TopOptions& options, const render::Discover& discover, const TopIo& io = system_top_io());

// When the pass after one that started at `start_ns` is due: `interval_ns`
// later, or at once (`now_ns`) when that time has passed already: a pass
// that overran moves the schedule instead of bursting to catch up.
std::uint64_t next_pass_ns(std::uint64_t start_ns, std::uint64_t interval_ns, std::uint64_t now_ns);

// Runs discovery passes on a thread of its own, one per interval, and keeps
// the last finished one for the screen to take.
class Sampler {
public:
    using Clock = std::function<std::uint64_t()>;  // monotonic nanoseconds

    // `on_sample` is called (on the sampling thread) after each pass.
    Sampler(render::Discover discover, std::function<void()> on_sample, Clock clock,
            std::function<std::string()> time_of_day);
    ~Sampler();
    Sampler(const Sampler&) = delete;
    Sampler& operator=(const Sampler&) = delete;

    void start(std::uint32_t interval_ms);
    // Applies from the next pass on. Pausing lets a pass in progress finish;
    // resuming starts the next one at once.
    void set_interval(std::uint32_t interval_ms);
    void set_paused(bool paused);
    // The last pass finished since the previous take, if any.
    std::optional<render::top::Sample> take();
    // Asks the thread to end: no pass starts and `on_sample` is not called
    // once this returns.
    void request_stop();
    // Waits up to `wait` for the thread to end; false when a pass is still
    // running then (the thread is left to the end of the process).
    bool wait_stopped(std::chrono::milliseconds wait);

private:
    void run();

    render::Discover discover_;
    std::function<void()> on_sample_;
    Clock clock_;
    std::function<std::string()> time_of_day_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable finished_;
    std::uint64_t interval_ns_ = 1000000000;
    bool paused_ = false;
    bool stopping_ = false;
    bool ended_ = false;
    std::optional<render::top::Sample> ready_;
    std::thread thread_;
};

}  // namespace karvo::cli
