// The sampling thread of `karvo top` (its schedule, pausing and stopping) and
// the monitor's loop over a stand-in terminal.
#include "cli/top.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "fixtures/sample_devices.h"
#include "platform/console.h"
#include "render/top/encode.h"

namespace karvo::cli {
namespace {

using namespace std::chrono_literals;

TEST(TopSchedule, FixedStartsAndNoBurstAfterAnOverrun) {
    struct Case {
        std::uint64_t start, interval, now, next;
    };
    for (const Case& c : std::vector<Case>{{0, 1000, 300, 1000},      // a short pass: the next on time
                                           {5000, 1000, 5999, 6000},  // from the planned start, not the end
                                           {0, 1000, 1000, 1000},
                                           {0, 1000, 2500, 2500},     // an overrun: at once, not twice
                                           {0, 100, 0, 100}}) {
        EXPECT_EQ(next_pass_ns(c.start, c.interval, c.now), c.next) << c.start << " " << c.now;
    }
}

// A discovery stand-in that counts its passes and can be held inside one.
struct Passes {
    std::mutex mutex;
    std::condition_variable released;
    bool hold = false;
    std::atomic<int> count{0};
    std::atomic<int> inside{0};

    DeviceList pass() {
        ++inside;
        std::unique_lock lock(mutex);
        released.wait(lock, [this] { return !hold; });
        --inside;
        DeviceList devices(1);
        devices[0].index = static_cast<std::uint32_t>(++count);
        return devices;
    }
};

// Waits up to 10 s for `done`; the tests never rely on how fast anything runs.
template <class Done>
bool eventually(Done done) {
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(10ms);
    return done();
}

TEST(Sampler, PassesArriveInOrderAndTheLastIsKept) {
    Passes passes;
    std::atomic<int> notified{0};
    Sampler sampler([&] { return passes.pass(); }, [&] { ++notified; },
                    [] { return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()); },
                    [] { return std::string("12:00:00"); });
    sampler.start(100);
    ASSERT_TRUE(eventually([&] { return notified >= 3; }));
    sampler.set_paused(true);
    std::optional<render::top::Sample> sample = sampler.take();
    ASSERT_TRUE(sample);
    EXPECT_GE(sample->devices[0].index, 3u) << "the newest pass";
    EXPECT_EQ(sample->clock, "12:00:00");
    EXPECT_FALSE(sampler.take()) << "taken once";
    sampler.request_stop();
    EXPECT_TRUE(sampler.wait_stopped(10s));
}

// Paused, no pass starts; resumed, one starts at once.
TEST(Sampler, PauseHoldsThePasses) {
    Passes passes;
    Sampler sampler([&] { return passes.pass(); }, [] {}, [] { return std::uint64_t{0}; },
                    [] { return std::string(); });
    sampler.set_paused(true);
    sampler.start(60000);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(passes.count, 0);
    sampler.set_paused(false);
    EXPECT_TRUE(eventually([&] { return passes.count == 1; }));
    sampler.request_stop();
    EXPECT_TRUE(sampler.wait_stopped(10s));
}

// Quitting does not wait for a pass that takes long: the wait ends and
// says the thread still runs; once the pass ends the thread ends too.
TEST(Sampler, StoppingDuringAPass) {
    Passes passes;
    passes.hold = true;
    std::atomic<int> notified{0};
    Sampler sampler([&] { return passes.pass(); }, [&] { ++notified; }, [] { return std::uint64_t{0}; },
                    [] { return std::string(); });
    sampler.start(100);
    ASSERT_TRUE(eventually([&] { return passes.inside == 1; }));
    sampler.request_stop();
    EXPECT_FALSE(sampler.wait_stopped(20ms));
    {
        const std::lock_guard lock(passes.mutex);
        passes.hold = false;
    }
    passes.released.notify_all();
    EXPECT_TRUE(sampler.wait_stopped(10s));
    EXPECT_EQ(notified, 0) << "no notice after the stop was asked";
}

}  // namespace
}  // namespace karvo::cli

// ---- the monitor's loop over a stand-in terminal ----------------------------

namespace karvo::cli {
namespace {

using namespace std::chrono_literals;

// What a stand-in terminal saw; it outlives the terminal.
struct Screenplay {
    std::mutex mutex;
    std::string written;  // everything written, the enter and leave sequences included
    bool closed = false;
    platform::TerminalSize size{100, 30};
    int size_calls = 0;
    int fail_on_size_call = 0;  // throw on this call to size() (0: never)
    // Events handed out once everything written so far contains the text.
    std::deque<std::pair<std::string, platform::TerminalEvents>> cues;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + 20s;
};

class StandInTerminal final : public platform::Terminal {
public:
    StandInTerminal(Screenplay& play, std::string leave) : play_(play), leave_(std::move(leave)) {}
    ~StandInTerminal() override {
        const std::lock_guard lock(play_.mutex);
        play_.written += leave_;
        play_.closed = true;
    }
    platform::TerminalSize size() override {
        const std::lock_guard lock(play_.mutex);
        if (++play_.size_calls == play_.fail_on_size_call) throw std::runtime_error("the console went away");
        return play_.size;
    }
    platform::TerminalEvents wait(std::uint32_t) override {
        std::this_thread::sleep_for(2ms);
        const std::lock_guard lock(play_.mutex);
        platform::TerminalEvents events;
        if (std::chrono::steady_clock::now() > play_.deadline) {
            ADD_FAILURE() << "the screen never showed: " << (play_.cues.empty() ? "" : play_.cues.front().first);
            events.quit = true;  // never hang the suite
        } else if (!play_.cues.empty() && play_.written.find(play_.cues.front().first) != std::string::npos) {
            events = play_.cues.front().second;
            play_.cues.pop_front();
        }
        return events;
    }
    void wake() override {}
    Status write(std::string_view bytes) override {
        const std::lock_guard lock(play_.mutex);
        play_.written += bytes;
        return Ok{};
    }
    std::size_t line_limit() override { return 0; }
    std::string font_face() override { return {}; }

private:
    Screenplay& play_;
    std::string leave_;
};

platform::TerminalEvents keys(std::string_view typed) {
    platform::TerminalEvents events;
    for (const char c : typed) events.keys.push_back(platform::character_key(static_cast<unsigned char>(c)));
    return events;
}

struct Stage {
    Screenplay play;
    std::string err;
    bool opened = false;
    TopIo io;

    Stage() {
        io.output_is_terminal = [] { return true; };
        io.input_is_terminal = [] { return true; };
        io.open_terminal = [this](const platform::TerminalSetup& setup)
            -> Result<std::unique_ptr<platform::Terminal>> {
            opened = true;
            play.written += setup.enter;
            return std::unique_ptr<platform::Terminal>(std::make_unique<StandInTerminal>(play, setup.leave));
        };
        io.write_err = [this](std::string_view bytes) -> Status {
            err += bytes;
            return Ok{};
        };
        io.clock = [] { return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()); };
        io.time_of_day = [] { return std::string("12:34:56"); };
    }
};

TopOptions every_100ms() {
    TopOptions options;
    options.interval_ms = 100;
    return options;
}

TEST(TopRun, KeysReachTheScreenAndQuitLeavesIt) {
    Stage stage;
    stage.play.cues = {{"python.exe", keys("s")}, {"\u25bcGPU%", keys("?")}, {"Last message: [adl] note", keys("xq")}};
    const render::Discover discover = [] {
        (void)platform::write_stderr("[adl] note\n");  // lands in the help, not on the screen
        return testing::mixed_list();
    };
    EXPECT_EQ(run_top(every_100ms(), discover, stage.io), 0);
    EXPECT_TRUE(stage.play.closed);
    EXPECT_TRUE(stage.play.written.starts_with(std::string(render::top::kEnterScreen))) << stage.play.written;
    EXPECT_TRUE(stage.play.written.ends_with(std::string(render::top::kLeaveScreen)));
    EXPECT_NE(stage.play.written.find("12:34:56"), std::string::npos);
    EXPECT_TRUE(stage.err.empty()) << stage.err;
}

TEST(TopRun, ARequestToEndFromOutsideLeavesTheScreen) {
    Stage stage;
    platform::TerminalEvents quit;
    quit.quit = true;
    stage.play.cues = {{"blender.exe", quit}};
    EXPECT_EQ(run_top(every_100ms(), [] { return testing::mixed_list(); }, stage.io), 0);
    EXPECT_TRUE(stage.play.closed);
}

TEST(TopRun, FirstPassWithoutAGpuOrWithAnUnknownId) {
    Stage none;
    EXPECT_EQ(run_top(every_100ms(), [] { return DeviceList{}; }, none.io), 2);
    EXPECT_TRUE(none.play.closed);
    EXPECT_EQ(none.err, render::kNoGpuMessage);

    Stage unknown;
    TopOptions options = every_100ms();
    options.ids = {"0", "7"};
    EXPECT_EQ(run_top(options, [] { return testing::mixed_list(); }, unknown.io), 2);
    EXPECT_TRUE(unknown.play.closed);
    EXPECT_EQ(unknown.err, "error: no GPU matches --id '7'\n");
}

// An error in the middle of a refresh still restores the terminal first.
TEST(TopRun, AnErrorMidFrameRestoresTheTerminal) {
    Stage stage;
    stage.play.fail_on_size_call = 3;
    EXPECT_EQ(run_top(every_100ms(), [] { return testing::mixed_list(); }, stage.io), 1);
    EXPECT_TRUE(stage.play.closed);
    EXPECT_TRUE(stage.play.written.ends_with(std::string(render::top::kLeaveScreen)));
    EXPECT_EQ(stage.err, "Error: the console went away\n");
}

TEST(TopRun, NoTerminalNoScreen) {
    Stage pipe;
    pipe.io.output_is_terminal = [] { return false; };
    EXPECT_EQ(run_top(every_100ms(), [] { return testing::mixed_list(); }, pipe.io), 2);
    EXPECT_FALSE(pipe.opened);
    EXPECT_TRUE(pipe.err.starts_with("error: karvo top draws on a terminal, and standard output is not one\n\n"
                                     "  tip: a stream of samples for a pipe or a file: karvo --compact --loop=1"))
        << pipe.err;

    Stage no_keys;
    no_keys.io.input_is_terminal = [] { return false; };
    EXPECT_EQ(run_top(every_100ms(), [] { return testing::mixed_list(); }, no_keys.io), 2);
    EXPECT_FALSE(no_keys.opened);

    Stage legacy;
    legacy.io.open_terminal = [](const platform::TerminalSetup&) -> Result<std::unique_ptr<platform::Terminal>> {
        return Error("this console does not process escape sequences; use --watch for a refreshing table");
    };
    EXPECT_EQ(run_top(every_100ms(), [] { return testing::mixed_list(); }, legacy.io), 1);
    EXPECT_EQ(legacy.err, "Error: this console does not process escape sequences; use --watch for a refreshing table\n");
}

}  // namespace
}  // namespace karvo::cli
