#pragma once
// Which sources one discovery pass asked, whether each answered, and how long
// each took. A pass keeps a ledger for the thread it runs on; the steps of the
// pass time their calls of a source with a SourceTimer and say why a source
// did not answer with note_source(). Without a ledger (a step run on its own)
// both do nothing, so the steps never depend on being watched.
//
// The time of a call is the time spent in it minus the time of the calls of
// other sources made from inside it: the PowerShell memory query that the HIP
// runtime's record asks for counts as "wmi", not "hip".

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace karvo::discovery {

// Every source a pass may ask, in the order they are listed. Windows: the HIP
// runtime, WMI through PowerShell, the display library, the kernel's adapter
// statistics, the per-process counters and the configuration manager. Linux:
// the amdgpu driver's files, the KFD topology and process list, the DRM
// clients' fdinfo, the processes' cgroups and the driver's render-node query
// (and the HIP runtime when the files show no card).
inline constexpr std::array<std::string_view, 11> kSourceNames = {
    "hip", "wmi", "adl", "d3dkmt", "pdh", "cfgmgr", "sysfs", "kfd", "fdinfo", "cgroup", "driver"};

// Why a source gave nothing. A fixed set: a label value, never free text.
enum class SourceReason : std::uint8_t {
    failed,   // it was there and answered with an error (or with nothing usable)
    missing,  // it is not there: no library, no program, no folder, no device node
    timeout,  // it did not answer within its time limit
};
std::string_view reason_name(SourceReason reason);

// How one source fared in one pass.
struct SourceStatus {
    std::string_view source;             // one of kSourceNames
    std::optional<SourceReason> reason;  // nothing: the source answered
    double seconds = 0;                  // time spent in it, its calls of other sources left out

    bool up() const { return !reason.has_value(); }
    bool operator==(const SourceStatus&) const = default;
};

// The record of one pass: installed for the thread that runs it for the
// scope's lifetime.
class SourceLedger {
public:
    SourceLedger();
    ~SourceLedger();
    SourceLedger(const SourceLedger&) = delete;
    SourceLedger& operator=(const SourceLedger&) = delete;

    // The sources asked, in kSourceNames order.
    std::vector<SourceStatus> statuses() const;

private:
    friend class SourceTimer;
    friend void note_source(std::string_view, std::optional<SourceReason>);
    friend void forget_source_outcome(std::string_view);

    struct Entry {
        bool asked = false;
        std::optional<SourceReason> reason;
        std::uint64_t ns = 0;
    };
    Entry* entry(std::string_view source);

    std::array<Entry, kSourceNames.size()> entries_{};
    SourceLedger* previous_;
};

// Times one call of a source (and marks it asked) from construction to
// destruction, on the ledger of this thread.
class SourceTimer {
public:
    explicit SourceTimer(std::string_view source);
    ~SourceTimer();
    SourceTimer(const SourceTimer&) = delete;
    SourceTimer& operator=(const SourceTimer&) = delete;

private:
    SourceLedger::Entry* entry_;
    std::uint64_t started_ = 0;
    std::uint64_t nested_ns_ = 0;  // spent in calls of other sources made from inside this one
    SourceTimer* outer_;
};

// Marks `source` asked in this pass and, with a reason, down. Several notes
// of one pass keep the most telling reason: a timeout over a missing source
// over a plain failure (which is what a caller that only sees an error says).
void note_source(std::string_view source, std::optional<SourceReason> reason);

// Forgets what the source's calls so far said (not their time): a step that
// stands in for a failed one decides instead (the display library's
// OverdriveN fallback after a failed sensor query).
void forget_source_outcome(std::string_view source);

}  // namespace karvo::discovery
