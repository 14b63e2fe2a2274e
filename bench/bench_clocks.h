#pragma once
// Wall and CPU time of the parts of one benchmark iteration, added up over
// the iterations, so that two parts of a pass can be set against each other.

#include <time.h>

#include <cstdint>

#include "platform/system.h"

namespace karvo::bench {

inline std::uint64_t thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

struct Clocks {
    std::uint64_t wall = 0, cpu = 0;
};

template <class Fn>
void timed(Clocks& clocks, Fn&& fn) {
    const std::uint64_t wall = platform::monotonic_ns(), cpu = thread_cpu_ns();
    fn();
    clocks.cpu += thread_cpu_ns() - cpu;
    clocks.wall += platform::monotonic_ns() - wall;
}

}  // namespace karvo::bench
