// The diversion of standard error while the interactive screen is up (see
// console.h); the same on every system.
#include <mutex>
#include <utility>

#include "platform/console.h"

namespace karvo::platform {
namespace {

std::mutex g_sink_mutex;
std::function<void(std::string_view)> g_sink;

}  // namespace

void divert_stderr(std::function<void(std::string_view)> sink) {
    const std::lock_guard lock(g_sink_mutex);
    g_sink = std::move(sink);
}

bool stderr_diverted(std::string_view bytes) {
    const std::lock_guard lock(g_sink_mutex);
    if (!g_sink) return false;
    g_sink(bytes);
    return true;
}

}  // namespace karvo::platform
