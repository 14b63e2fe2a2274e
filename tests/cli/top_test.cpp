// The sampling thread of `karvo top`: its schedule, pausing and stopping.
#include "cli/top.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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
