#pragma once
// What the screen shows besides the person's choices: the last discovery
// pass, its process rows with their engine rates against the pass before,
// and the history of every GPU's figures.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "discovery/device.h"
#include "render/top/history.h"
#include "render/top/state.h"

namespace karvo::render::top {

// One discovery pass.
struct Sample {
    DeviceList devices;
    std::uint64_t time_ns = 0;  // monotonic clock when the pass ended
    std::string clock;          // local time of day then, "HH:MM:SS"
};

struct ProcessRow {
    std::size_t gpu_position = 0;  // in the pass's list
    std::uint32_t gpu_index = 0;
    std::uint32_t pid = 0;
    ProcessKind kind = ProcessKind::graphics;
    std::uint32_t vram_mb = 0;
    std::uint32_t gtt_mb = 0;
    // Shares of the time since the pass before that the process kept the
    // engines busy: graphics and compute together, the video decoders
    // (JPEG included) and the encoders. Nothing on the first pass, or where
    // the source has no engine time.
    std::optional<std::uint32_t> gpu_percent;
    std::optional<std::uint32_t> dec_percent;
    std::optional<std::uint32_t> enc_percent;
    std::string name;       // cleaned for the terminal
    std::string container;  // "namespace/pod/container", the short container ID, or ""
};

// The process rows of `now` in pass order, with rates against `before` (a
// process is the same when its GPU and PID are).
std::vector<ProcessRow> process_rows(const Sample& now, const Sample* before);

// The process table: the rows of the chosen GPU (of all when none) that
// pass the filter, in the chosen order, as positions in `rows`. Ties keep
// the GPU order and then the PID order.
std::vector<std::size_t> table_order(const std::vector<ProcessRow>& rows, const TopState& state);

class Monitor {
public:
    // Takes a new pass: its rows (rates against the pass before) and history.
    void add(Sample sample);

    const std::optional<Sample>& current() const { return current_; }
    const std::vector<ProcessRow>& rows() const { return rows_; }
    const History& history() const { return history_; }

    // The last diagnostic line a pass wrote (shown with the help).
    const std::string& message() const { return message_; }
    void set_message(std::string line) { message_ = std::move(line); }

private:
    std::optional<Sample> current_;
    std::vector<ProcessRow> rows_;
    History history_;
    std::string message_;
};

// The row the selection is on, as (GPU index, PID), so it can be found
// again after a refresh reorders the table.
struct RowIdentity {
    std::uint32_t gpu_index = 0;
    std::uint32_t pid = 0;
    bool operator==(const RowIdentity&) const = default;
};
std::optional<RowIdentity> selected_row(const Monitor& monitor, const TopState& state);
// The state with the selection on `row` again (when it is still listed).
TopState reselect(const Monitor& monitor, TopState state, const std::optional<RowIdentity>& row);

}  // namespace karvo::render::top
