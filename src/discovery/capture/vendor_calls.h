#pragma once
// Stand-ins for the entry points of the vendor runtimes (HIP, the display
// library). A library opened through a recording or a replay hands these out
// instead of the real addresses; each one passes its call to the VendorCalls
// installed on the thread, which either calls the real entry point and keeps
// the result and what it wrote, or answers from a capture. A call is known by
// its entry point and its number arguments (adapter index, ordinal...);
// contexts and handles are passed through and not part of it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace karvo::discovery::capture {

// A buffer an entry point writes its answer into.
struct OutputBuffer {
    void* data;
    std::size_t size;
};

class VendorCalls {
public:
    virtual ~VendorCalls() = default;

    // One call of `symbol` with `arguments` ("3", "0,1"): its status, with the
    // output buffers filled. `invoke` calls the real entry point at the given
    // address (for a recording).
    virtual std::int32_t answer(std::string_view symbol, std::string_view arguments,
                                std::span<const OutputBuffer> outputs,
                                const std::function<std::int32_t(void* real)>& invoke) = 0;

    // The display library's legacy sensor log: a started log of `adapter`
    // writes into `block`; the pass reads it after a wait and then stops the
    // log. Returns the block the pass should read (a replay's copy).
    virtual void* log_started(int adapter, void* block) = 0;
    // Called just before the log of `adapter` is stopped (a recording keeps the block then).
    virtual void log_stopping(int adapter) = 0;
};

// The VendorCalls of this thread; null outside a recorded or replayed pass.
VendorCalls* active_vendor_calls();

class VendorCallsScope {
public:
    explicit VendorCallsScope(VendorCalls* calls);
    ~VendorCallsScope();
    VendorCallsScope(const VendorCallsScope&) = delete;
    VendorCallsScope& operator=(const VendorCallsScope&) = delete;

private:
    VendorCalls* previous_;
};

// The stand-in for an entry point, or null when there is none (its calls
// cannot be recorded or replayed).
void* vendor_stub(std::string_view symbol);

// Bytes of a PMLog block that the pass reads: the header and the sensor pairs.
std::size_t log_block_size();

// Status a stand-in returns when nothing answers it: a failed call.
inline constexpr std::int32_t kUnansweredStatus = -1;

}  // namespace karvo::discovery::capture
