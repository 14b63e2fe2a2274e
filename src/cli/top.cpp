#include "cli/top.h"

#include <cstdlib>
#include <exception>
#include <utility>

#include "platform/console.h"
#include "platform/system.h"
#include "platform/terminal.h"
#include "render/query.h"
#include "render/selection.h"
#include "render/top/encode.h"
#include "render/top/screen.h"

namespace karvo::cli {
namespace {

namespace top = render::top;

// The screen looks at the window's size and the clock this often even when
// nothing arrives (Windows reports a resize of the visible window no other way).
constexpr std::uint32_t kTickMs = 100;
// How long quitting waits for a pass in progress before the process ends without it.
constexpr std::chrono::milliseconds kPassWait{200};

// "HH:MM:SS" of the local time: the end of the table title's date and time.
std::string time_of_day() {
    const std::string text = render::title_time_text(platform::wall_time(platform::Zone::local));
    return text.size() > 8 ? text.substr(text.size() - 8) : text;
}

// Keeps the last line written to standard error while the screen is up.
class MessageBox {
public:
    void add(std::string_view bytes) {
        const std::lock_guard lock(mutex_);
        pending_ += bytes;
        std::size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            if (end != 0) last_ = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            changed_ = true;
        }
        if (pending_.size() > 4096) pending_.clear();
    }
    std::optional<std::string> take() {
        const std::lock_guard lock(mutex_);
        if (!changed_) return std::nullopt;
        changed_ = false;
        return last_;
    }

private:
    std::mutex mutex_;
    std::string pending_;
    std::string last_;
    bool changed_ = false;
};

int usage(const TopIo& io, std::string_view message, std::string_view tip) {
    (void)io.write_err("error: " + std::string(message) + "\n\n  tip: " + std::string(tip) +
                       "\n\nUsage: karvo top [OPTIONS]\n\nFor more information, try '--help'.\n");
    return 2;
}

// The screen's loop; returns the exit status and, in `after`, what to print
// once the screen is gone.
int show(platform::Terminal& terminal, Sampler& sampler, MessageBox& messages, const TopOptions& options,
         std::string& after) {
    const top::Look look = top::choose_look(options.no_color, options.ascii, options.blocks, terminal.font_face());
    const top::EncodeOptions encoding{terminal.line_limit()};
    top::Monitor monitor;
    top::TopState state;
    state.interval_ms = options.interval_ms;
    const top::Screen screen{monitor, state, look};
    platform::TerminalSize size = terminal.size();
    top::Frame shown;
    bool redraw_all = true;
    bool first_pass = true;
    for (;;) {
        bool changed = redraw_all;
        const platform::TerminalEvents events = terminal.wait(kTickMs);
        if (events.quit) return 0;
        for (const platform::Key& key : events.keys) {
            // Ctrl-L: the whole screen again (something else wrote on it).
            if (key.code == platform::KeyCode::redraw) redraw_all = true;
            state = top::apply_key(state, key, top::key_context(screen, size.columns, size.rows));
            if (state.quit) return 0;
            changed = true;
        }
        if (std::optional<top::Sample> sample = sampler.take()) {
            if (first_pass) {
                // As the other modes: no GPU, or one --id does not name, ends the run.
                if (sample->devices.empty()) {
                    after = render::kNoGpuMessage;
                    return 2;
                }
                Result<DeviceList> selected = render::select_devices(std::move(sample->devices), options.ids);
                if (!selected.ok()) {
                    after = "error: " + selected.error().long_form() + "\n";
                    return 2;
                }
                sample->devices = std::move(selected).value();
                first_pass = false;
            } else {
                sample->devices = render::devices_named(std::move(sample->devices), options.ids);
            }
            const auto row = top::selected_row(monitor, state);
            monitor.add(std::move(*sample));
            state = top::reselect(monitor, state, row);
            changed = true;
        }
        if (std::optional<std::string> message = messages.take()) {
            monitor.set_message(std::move(*message));
            changed = true;
        }
        sampler.set_interval(state.interval_ms);
        sampler.set_paused(state.paused);
        const platform::TerminalSize now = terminal.size();
        if (events.resized || now != size) {
            redraw_all = redraw_all || now != size;
            size = now;
            changed = true;
        }
        if (!changed) continue;
        state = top::settle(state, top::key_context(screen, size.columns, size.rows));
        top::Frame next = top::frame(screen, size.columns, size.rows);
        const std::string bytes =
            redraw_all ? top::encode_full(next, encoding) : top::encode_changes(shown, next, encoding);
        if (const Status written = terminal.write(bytes); !written.ok()) {
            after = "Error: write to the terminal failed: " + written.error().long_form() + "\n";
            return 1;
        }
        shown = std::move(next);
        redraw_all = false;
    }
}

}  // namespace

std::uint64_t next_pass_ns(std::uint64_t start_ns, std::uint64_t interval_ns, std::uint64_t now_ns) {
    const std::uint64_t due = start_ns + interval_ns;
    return due > now_ns ? due : now_ns;
}

Sampler::Sampler(render::Discover discover, std::function<void()> on_sample, Clock clock,
                 std::function<std::string()> time_of_day_text)
    : discover_(std::move(discover)), on_sample_(std::move(on_sample)), clock_(std::move(clock)),
      time_of_day_(std::move(time_of_day_text)) {}

Sampler::~Sampler() {
    request_stop();
    if (!wait_stopped(std::chrono::hours(1)) && thread_.joinable()) thread_.detach();
}

void Sampler::start(std::uint32_t interval_ms) {
    interval_ns_ = std::uint64_t{interval_ms} * 1000000;
    thread_ = std::thread([this] { run(); });
}

void Sampler::set_interval(std::uint32_t interval_ms) {
    const std::lock_guard lock(mutex_);
    const std::uint64_t ns = std::uint64_t{interval_ms} * 1000000;
    if (ns == interval_ns_) return;
    interval_ns_ = ns;
    changed_.notify_all();
}

void Sampler::set_paused(bool paused) {
    const std::lock_guard lock(mutex_);
    if (paused == paused_) return;
    paused_ = paused;
    changed_.notify_all();
}

std::optional<render::top::Sample> Sampler::take() {
    const std::lock_guard lock(mutex_);
    std::optional<render::top::Sample> sample = std::move(ready_);
    ready_.reset();
    return sample;
}

void Sampler::request_stop() {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
}

bool Sampler::wait_stopped(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (!thread_.joinable()) return true;
    if (!finished_.wait_for(lock, wait, [this] { return ended_; })) return false;
    lock.unlock();
    thread_.join();
    return true;
}

void Sampler::run() {
    std::unique_lock lock(mutex_);
    std::optional<std::uint64_t> planned;  // when the last pass was due; nothing: the next one is due now
    std::uint64_t last_end = 0;
    for (;;) {
        std::uint64_t due = 0;
        for (;;) {
            if (stopping_) {
                ended_ = true;
                finished_.notify_all();
                return;
            }
            if (paused_) {
                planned.reset();
                changed_.wait(lock);
                continue;
            }
            const std::uint64_t now = clock_();
            due = planned ? next_pass_ns(*planned, interval_ns_, last_end) : now;
            if (now >= due) break;
            changed_.wait_for(lock, std::chrono::nanoseconds(due - now));
        }
        planned = due;
        lock.unlock();
        render::top::Sample sample;
        try {
            sample.devices = discover_();
        } catch (const std::exception& failure) {
            // A pass that failed shows as one that found nothing; the screen goes on.
            (void)platform::write_stderr("discover error: " + std::string(failure.what()) + "\n");
        }
        sample.time_ns = clock_();
        sample.clock = time_of_day_();
        lock.lock();
        last_end = sample.time_ns;
        ready_ = std::move(sample);
        // Under the lock: once request_stop() returns, the screen may be gone.
        if (!stopping_ && on_sample_) on_sample_();
    }
}

TopIo system_top_io() {
    TopIo io;
    io.output_is_terminal = [] { return platform::stdout_is_terminal(); };
    io.input_is_terminal = [] { return platform::stdin_is_terminal(); };
    io.open_terminal = [](const platform::TerminalSetup& setup) { return platform::open_terminal(setup); };
    io.write_err = [](std::string_view bytes) { return platform::write_stderr(bytes); };
    io.clock = [] { return platform::monotonic_ns(); };
    io.time_of_day = time_of_day;
    return io;
}

int run_top(const TopOptions& options, const render::Discover& discover, const TopIo& io) {
    if (!io.output_is_terminal()) {
        return usage(io, "karvo top draws on a terminal, and standard output is not one",
                     "a stream of samples for a pipe or a file: karvo --compact --loop=1 (or --query-gpu=... --loop=1)");
    }
    if (!io.input_is_terminal()) {
        return usage(io, "karvo top reads its keys from a terminal, and standard input is not one",
                     "a stream of samples without keys: karvo --compact --loop=1");
    }
    Result<std::unique_ptr<platform::Terminal>> opened =
        io.open_terminal({std::string(render::top::kEnterScreen), std::string(render::top::kLeaveScreen)});
    if (!opened.ok()) {
        (void)io.write_err("Error: " + opened.error().long_form() + "\n");
        return 1;
    }
    std::unique_ptr<platform::Terminal> terminal = std::move(opened).value();
    // What the passes write to standard error would land in the middle of the screen.
    MessageBox messages;
    platform::divert_stderr([&messages](std::string_view bytes) { messages.add(bytes); });
    platform::Terminal* wake_target = terminal.get();
    Sampler sampler(discover, [wake_target] { wake_target->wake(); }, io.clock, io.time_of_day);
    sampler.start(options.interval_ms);

    int status = 0;
    std::string after;
    try {
        status = show(*terminal, sampler, messages, options, after);
    } catch (const std::exception& failure) {
        status = 1;
        after = "Error: " + std::string(failure.what()) + "\n";
    } catch (...) {
        status = 1;
        after = "Error: the screen failed\n";
    }
    sampler.request_stop();
    terminal.reset();  // the screen is left and the terminal restored
    platform::divert_stderr({});
    if (!after.empty()) (void)io.write_err(after);
    // A pass still running (PowerShell can take seconds) is not waited for:
    // the process ends without it, and without its diagnostics.
    platform::divert_stderr([](std::string_view) {});
    if (!sampler.wait_stopped(kPassWait)) std::_Exit(status);
    platform::divert_stderr({});
    return status;
}

}  // namespace karvo::cli
