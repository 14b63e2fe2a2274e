#include "render/report.h"

#include "platform/console.h"
#include "platform/system.h"
#include "render/json.h"
#include "render/selection.h"
#include "render/table.h"

namespace karvo::render {
namespace {

constexpr std::string_view kOutputFailed = "write to standard output failed: ";

}  // namespace

std::string report_text(const ReportOptions& options, const DeviceList& devices, std::string_view time_text,
                        std::uint64_t now_ns) {
    if (options.compact || options.json) {
        std::string text = render_json(devices, options.compact ? JsonLayout::compact : JsonLayout::pretty);
        text += '\n';
        return text;
    }
    TableOptions table{options.verbose, options.watch};
    table.busy_columns = options.previous != nullptr;
    if (options.previous != nullptr && options.previous->time_ns != 0) table.previous = options.previous;
    table.now_ns = now_ns;
    return render_table(devices, table, time_text);
}

Result<ReportOutcome> run_report(const ReportOptions& options, const Discover& discover, const ReportIo& io) {
    DeviceList devices = discover();
    if (!options.ids.empty()) {
        Result<DeviceList> selected = select_devices(std::move(devices), options.ids);
        if (!selected.ok()) {
            (void)io.write_err("error: " + selected.error().long_form() + "\n");
            return ReportOutcome::no_match;
        }
        devices = std::move(selected).value();
    }
    const std::uint64_t now_ns = io.monotonic_ns ? io.monotonic_ns() : platform::monotonic_ns();
    if (devices.empty()) {
        // Nothing sensible can be done if a stream is gone; the exit status still tells.
        if (!options.screen_prefix.empty()) (void)io.write_out(options.screen_prefix);
        (void)io.write_err(kNoGpuMessage);
        return ReportOutcome::no_gpu;
    }
    // The time is that of the data, so it is taken after discovery; JSON has no time in it.
    const auto wall_time = [&](platform::Zone zone) {
        return io.wall_time ? io.wall_time(zone) : platform::wall_time(zone);
    };
    const bool table = !options.compact && !options.json && options.query == nullptr && !options.json_lines;
    const std::string time_text = table ? title_time_text(wall_time(platform::Zone::local)) : std::string();
    // One write per document (with the prefix), so it reaches the screen or
    // pipe at once and whole.
    std::string text(options.screen_prefix);
    if (options.query != nullptr) {
        if (options.query_header && options.query->header) text += query_header(*options.query);
        text += query_rows(*options.query, devices, wall_time(platform::Zone::local));
    } else if (options.json_lines) {
        text += json_line(devices, wall_time(platform::Zone::utc));
    } else {
        text += report_text(options, devices, time_text, now_ns);
    }
    if (options.previous != nullptr) {
        options.previous->devices = std::move(devices);
        options.previous->time_ns = now_ns;
    }
    const Status written = io.write_out(text);
    if (!written) return Error(std::string(kOutputFailed) + written.error().long_form());
    return ReportOutcome::printed;
}

bool is_output_failure(const Error& error) { return error.message().starts_with(kOutputFailed); }

Result<ReportOutcome> run_report(const ReportOptions& options, const Discover& discover) {
    static const ReportIo kProcessIo{platform::write_stdout, platform::write_stderr};
    return run_report(options, discover, kProcessIo);
}

}  // namespace karvo::render
